// Fixture PKI for tests: keys, CAs and end-entity certificates made in memory, and temp folders.
#pragma once
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>
#include <vector>

namespace kovrax::test {

struct EvpPkeyFree { void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); } };
struct X509Free { void operator()(X509* c) const { X509_free(c); } };
using KeyPtr = std::unique_ptr<EVP_PKEY, EvpPkeyFree>;
using CertPtr = std::unique_ptr<X509, X509Free>;
using Bytes = std::vector<unsigned char>;

KeyPtr MakeRsaKey(int bits = 2048);
KeyPtr MakeEcKey();  // P-256

struct CertSpec {
  std::string cn;
  std::string o;
  std::string ou;
  std::string email;
  bool ca = false;
  long notBeforeOffset = -3600;             // seconds from now
  long notAfterOffset = 365L * 24 * 3600;   // seconds from now
  std::vector<std::string> dnsNames;        // subjectAltName DNS entries
  std::vector<std::string> ipAddresses;     // subjectAltName IP entries
  std::string keyUsage;                     // e.g. "digitalSignature,nonRepudiation"; empty: none
  std::string extKeyUsage;                  // e.g. "serverAuth"; empty: none
  long serial = 0;                          // 0: random
};

// Issues a certificate for subjectKey; issuer null makes it self-signed with subjectKey.
CertPtr IssueCert(const CertSpec& spec, EVP_PKEY* subjectKey, X509* issuer = nullptr, EVP_PKEY* issuerKey = nullptr);

// A CA with its key.
struct Authority {
  KeyPtr key;
  CertPtr cert;
};
// EC P-256 keys (fast to make).
Authority MakeRootCa(const std::string& cn, const std::string& o = "Test");
Authority MakeSubCa(const std::string& cn, const Authority& parent);

Bytes ToDer(X509* cert);
std::string ToPem(X509* cert);
std::string KeyToPem(EVP_PKEY* key);   // PKCS#8, unencrypted
Bytes KeyToPkcs8Der(EVP_PKEY* key);
CertPtr FromDer(const Bytes& der);
std::string Sha1Hex(X509* cert, bool upper = false);

void WriteFile(const std::string& path, const std::string& data);
void WriteFile(const std::string& path, const Bytes& data);
std::string ReadFile(const std::string& path);

// A private temporary folder removed with everything in it.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "kovrax-test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Runs a shell command; its exit status, and its combined output in *output when given.
int RunCommand(const std::string& command, std::string* output = nullptr);

}  // namespace kovrax::test
