#include "shell/Codepage.h"

#include <iconv.h>

#include <cerrno>
#include <memory>

namespace kovrax {
namespace {

struct IconvCloser {
  void operator()(iconv_t* cd) const {
    iconv_close(*cd);
    delete cd;
  }
};

// Converts as far as possible; a byte sequence that cannot be converted is replaced and skipped.
std::string Convert(const char* to, const char* from, const std::string& in, size_t skipOnInvalid) {
  if (in.empty()) return {};
  iconv_t raw = iconv_open(to, from);
  if (raw == reinterpret_cast<iconv_t>(-1)) return {};
  std::unique_ptr<iconv_t, IconvCloser> cd(new iconv_t(raw));
  std::string out;
  out.reserve(in.size() * 2);
  char* src = const_cast<char*>(in.data());
  size_t srcLeft = in.size();
  char buf[512];
  while (srcLeft > 0) {
    char* dst = buf;
    size_t dstLeft = sizeof buf;
    size_t r = iconv(*cd, &src, &srcLeft, &dst, &dstLeft);
    out.append(buf, dst - buf);
    if (r != static_cast<size_t>(-1)) continue;
    if (errno == E2BIG) continue;
    // EILSEQ (no such character in the target, or malformed input) or EINVAL (truncated input)
    out += '?';
    size_t skip = skipOnInvalid;
    if (skipOnInvalid == 0) {  // UTF-8 input: skip one whole character
      unsigned char lead = static_cast<unsigned char>(*src);
      skip = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
      for (size_t k = 1; k < skip && k < srcLeft; ++k)
        if ((static_cast<unsigned char>(src[k]) & 0xC0) != 0x80) { skip = k; break; }
    }
    if (skip > srcLeft) skip = srcLeft;
    src += skip;
    srcLeft -= skip;
    iconv(*cd, nullptr, nullptr, nullptr, nullptr);
  }
  return out;
}

}  // namespace

std::string Utf8ToCp1250(const std::string& utf8) { return Convert("WINDOWS-1250", "UTF-8", utf8, 0); }

std::string Cp1250ToUtf8(const std::string& cp1250) { return Convert("UTF-8", "WINDOWS-1250", cp1250, 1); }

}  // namespace kovrax
