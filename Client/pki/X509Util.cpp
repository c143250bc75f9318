#include "pki/X509Util.h"

#include <openssl/sha.h>

#include <climits>

#include "shell/KovraException.h"

namespace kovrax::pki {

X509* GetX509(const unsigned char* der, std::size_t len) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio) KOVRA_RAISE_CALL("BIO_new", 1974, "TActiveXThread::GetX509");
  X509* cert = nullptr;
  if (len > 0 && len <= static_cast<std::size_t>(INT_MAX) &&
      BIO_write(bio.get(), der, static_cast<int>(len)) == static_cast<int>(len)) {
    cert = d2i_X509_bio(bio.get(), nullptr);
  }
  if (cert == nullptr) KOVRA_RAISE(1011, 1981, "TActiveXThread::GetX509");
  return cert;
}

std::string CertThumbprint(X509* cert) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  if (cert == nullptr || X509_digest(cert, EVP_sha1(), md, &n) != 1) return {};
  return HexUpper(std::vector<unsigned char>(md, md + n));
}

namespace {
std::string Hex(const std::vector<unsigned char>& bytes, const char* digits) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}
char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
}  // namespace

std::string HexLower(const std::vector<unsigned char>& bytes) { return Hex(bytes, "0123456789abcdef"); }
std::string HexUpper(const std::vector<unsigned char>& bytes) { return Hex(bytes, "0123456789ABCDEF"); }

bool EqualsNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

}  // namespace kovrax::pki
