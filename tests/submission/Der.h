// A small DER reader for tests: checks encodings without going through the code under test.
#pragma once
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace kovrax::test::der {

struct Tlv {
  unsigned tag = 0;     // the identifier octet (low tag numbers only)
  const unsigned char* header = nullptr;
  size_t headerLen = 0;
  const unsigned char* value = nullptr;
  size_t len = 0;
  bool Constructed() const { return (tag & 0x20) != 0; }
  std::vector<unsigned char> Encoding() const { return {header, value + len}; }
  std::vector<unsigned char> Value() const { return {value, value + len}; }
  std::string Text() const { return {reinterpret_cast<const char*>(value), len}; }
  // The elements inside a constructed value; throws on anything not definite-length DER.
  std::vector<Tlv> Children() const;
};

// One element at p (at most n bytes); *used gets its whole size.
inline Tlv Read(const unsigned char* p, size_t n, size_t* used = nullptr) {
  if (n < 2) throw std::runtime_error("DER: truncated");
  Tlv t;
  t.tag = p[0];
  if ((t.tag & 0x1F) == 0x1F) throw std::runtime_error("DER: high tag number");
  size_t pos = 2;
  size_t len = p[1];
  if (len == 0x80) throw std::runtime_error("DER: indefinite length");
  if (len > 0x80) {
    size_t k = len & 0x7F;
    if (k > 4 || n < 2 + k) throw std::runtime_error("DER: bad length");
    if (p[2] == 0) throw std::runtime_error("DER: length not minimal");
    len = 0;
    for (size_t i = 0; i < k; ++i) len = (len << 8) | p[2 + i];
    if (len < 0x80) throw std::runtime_error("DER: length not minimal");
    pos += k;
  }
  if (n - pos < len) throw std::runtime_error("DER: value runs past its container");
  t.header = p;
  t.headerLen = pos;
  t.value = p + pos;
  t.len = len;
  if (used) *used = pos + len;
  return t;
}

inline Tlv Read(const std::vector<unsigned char>& bytes) {
  size_t used = 0;
  Tlv t = Read(bytes.data(), bytes.size(), &used);
  if (used != bytes.size()) throw std::runtime_error("DER: trailing bytes");
  return t;
}

inline std::vector<Tlv> Tlv::Children() const {
  if (!Constructed()) throw std::runtime_error("DER: not constructed");
  std::vector<Tlv> out;
  size_t pos = 0;
  while (pos < len) {
    size_t used = 0;
    out.push_back(Read(value + pos, len - pos, &used));
    pos += used;
  }
  return out;
}

// Dotted text of an OBJECT IDENTIFIER's value.
inline std::string Oid(const Tlv& t) {
  if (t.tag != 0x06 || t.len == 0) throw std::runtime_error("DER: not an OID");
  std::string out;
  uint64_t v = 0;
  bool first = true;
  for (size_t i = 0; i < t.len; ++i) {
    v = (v << 7) | (t.value[i] & 0x7F);
    if (t.value[i] & 0x80) continue;
    if (first) {
      uint64_t a = v < 40 ? 0 : v < 80 ? 1 : 2;
      out = std::to_string(a) + "." + std::to_string(v - 40 * a);
      first = false;
    } else {
      out += "." + std::to_string(v);
    }
    v = 0;
  }
  return out;
}

// Small non-negative INTEGER.
inline long Int(const Tlv& t) {
  if (t.tag != 0x02 || t.len == 0 || t.len > 4) throw std::runtime_error("DER: not a small INTEGER");
  long v = 0;
  for (size_t i = 0; i < t.len; ++i) v = (v << 8) | t.value[i];
  return v;
}

}  // namespace kovrax::test::der
