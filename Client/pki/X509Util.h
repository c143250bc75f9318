// Small OpenSSL helpers of the certificate code: owners, DER parsing, thumbprints.
#pragma once
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <memory>
#include <string>
#include <vector>

namespace kovrax::pki {

struct X509Deleter { void operator()(X509* p) const { X509_free(p); } };
struct X509StoreDeleter { void operator()(X509_STORE* p) const { X509_STORE_free(p); } };
struct X509StoreCtxDeleter { void operator()(X509_STORE_CTX* p) const { X509_STORE_CTX_free(p); } };
struct EvpPkeyDeleter { void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); } };
struct BioDeleter { void operator()(BIO* p) const { BIO_free(p); } };
using X509Ptr = std::unique_ptr<X509, X509Deleter>;
using X509StorePtr = std::unique_ptr<X509_STORE, X509StoreDeleter>;
using X509StoreCtxPtr = std::unique_ptr<X509_STORE_CTX, X509StoreCtxDeleter>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, EvpPkeyDeleter>;
using BioPtr = std::unique_ptr<BIO, BioDeleter>;

// Parses one DER certificate (PEM is not accepted). Raises 1014 "BIO_new" when the memory stream
// cannot be made, 1011 when the bytes are no certificate. Never returns null.
X509* GetX509(const unsigned char* der, std::size_t len);
inline X509* GetX509(const std::vector<unsigned char>& der) { return GetX509(der.data(), der.size()); }

// SHA-1 of the DER encoding as 40 uppercase hex digits; empty when it cannot be computed.
std::string CertThumbprint(X509* cert);

// Bytes as hex digits, two per byte.
std::string HexLower(const std::vector<unsigned char>& bytes);
std::string HexUpper(const std::vector<unsigned char>& bytes);

// ASCII comparisons without regard to case.
bool EqualsNoCase(const std::string& a, const std::string& b);
bool StartsWithNoCase(const std::string& text, const std::string& prefix);

}  // namespace kovrax::pki
