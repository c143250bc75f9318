#include "support/TestPki.h"

#include <openssl/bio.h>
#include <openssl/ec.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace kovrax::test {
namespace {

void Check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("test PKI: ") + what);
}

void AddExt(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  Check(ext != nullptr, "extension");
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

void AddName(X509_NAME* name, const char* field, const std::string& value) {
  if (value.empty()) return;
  Check(X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1, 0) == 1,
        "name");
}

}  // namespace

KeyPtr MakeRsaKey(int bits) {
  KeyPtr key(EVP_RSA_gen(static_cast<unsigned>(bits)));
  Check(key != nullptr, "RSA key");
  return key;
}

KeyPtr MakeEcKey() {
  KeyPtr key(EVP_EC_gen("P-256"));
  Check(key != nullptr, "EC key");
  return key;
}

CertPtr IssueCert(const CertSpec& spec, EVP_PKEY* subjectKey, X509* issuer, EVP_PKEY* issuerKey) {
  CertPtr cert(X509_new());
  Check(cert != nullptr, "X509_new");
  X509_set_version(cert.get(), 2);
  long serial = spec.serial;
  if (serial == 0) {
    unsigned char r[4];
    RAND_bytes(r, sizeof r);
    serial = 1 + ((long(r[0]) << 23) | (long(r[1]) << 15) | (long(r[2]) << 7) | (r[3] & 0x7F));
  }
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), spec.notBeforeOffset);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), spec.notAfterOffset);
  X509_NAME* name = X509_get_subject_name(cert.get());
  AddName(name, "O", spec.o);
  AddName(name, "OU", spec.ou);
  AddName(name, "CN", spec.cn);
  AddName(name, "emailAddress", spec.email);
  X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name);
  X509_set_pubkey(cert.get(), subjectKey);
  X509* issuerCert = issuer ? issuer : cert.get();
  if (spec.ca) {
    AddExt(cert.get(), issuerCert, NID_basic_constraints, "critical,CA:TRUE");
    AddExt(cert.get(), issuerCert, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    AddExt(cert.get(), issuerCert, NID_basic_constraints, "CA:FALSE");
  }
  AddExt(cert.get(), issuerCert, NID_subject_key_identifier, "hash");
  if (issuer) AddExt(cert.get(), issuerCert, NID_authority_key_identifier, "keyid:always");
  if (!spec.keyUsage.empty()) AddExt(cert.get(), issuerCert, NID_key_usage, spec.keyUsage);
  if (!spec.extKeyUsage.empty()) AddExt(cert.get(), issuerCert, NID_ext_key_usage, spec.extKeyUsage);
  std::string san;
  for (const auto& d : spec.dnsNames) san += (san.empty() ? "" : ",") + std::string("DNS:") + d;
  for (const auto& ip : spec.ipAddresses) san += (san.empty() ? "" : ",") + std::string("IP:") + ip;
  if (!san.empty()) AddExt(cert.get(), issuerCert, NID_subject_alt_name, san);
  Check(X509_sign(cert.get(), issuerKey ? issuerKey : subjectKey, EVP_sha256()) > 0, "X509_sign");
  return cert;
}

// CA keys are EC: RSA key generation would dominate the run time of every test that makes a PKI.
Authority MakeRootCa(const std::string& cn, const std::string& o) {
  Authority a;
  a.key = MakeEcKey();
  CertSpec spec;
  spec.cn = cn;
  spec.o = o;
  spec.ca = true;
  spec.notAfterOffset = 10L * 365 * 24 * 3600;
  a.cert = IssueCert(spec, a.key.get());
  return a;
}

Authority MakeSubCa(const std::string& cn, const Authority& parent) {
  Authority a;
  a.key = MakeEcKey();
  CertSpec spec;
  spec.cn = cn;
  spec.o = "Test";
  spec.ca = true;
  spec.notAfterOffset = 5L * 365 * 24 * 3600;
  a.cert = IssueCert(spec, a.key.get(), parent.cert.get(), parent.key.get());
  return a;
}

Bytes ToDer(X509* cert) {
  unsigned char* buf = nullptr;
  int len = i2d_X509(cert, &buf);
  Check(len > 0, "i2d_X509");
  Bytes out(buf, buf + len);
  OPENSSL_free(buf);
  return out;
}

std::string ToPem(X509* cert) {
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(bio, cert);
  char* data = nullptr;
  long len = BIO_get_mem_data(bio, &data);
  std::string out(data, len);
  BIO_free(bio);
  return out;
}

std::string KeyToPem(EVP_PKEY* key) {
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
  char* data = nullptr;
  long len = BIO_get_mem_data(bio, &data);
  std::string out(data, len);
  BIO_free(bio);
  return out;
}

Bytes KeyToPkcs8Der(EVP_PKEY* key) {
  BIO* bio = BIO_new(BIO_s_mem());
  i2d_PKCS8PrivateKey_bio(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
  char* data = nullptr;
  long len = BIO_get_mem_data(bio, &data);
  Bytes out(data, data + len);
  BIO_free(bio);
  return out;
}

CertPtr FromDer(const Bytes& der) {
  const unsigned char* p = der.data();
  return CertPtr(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
}

std::string Sha1Hex(X509* cert, bool upper) {
  unsigned char md[20];
  unsigned int n = 0;
  X509_digest(cert, EVP_sha1(), md, &n);
  std::string out;
  char hex[3];
  for (unsigned i = 0; i < n; ++i) {
    std::snprintf(hex, sizeof hex, upper ? "%02X" : "%02x", md[i]);
    out += hex;
  }
  return out;
}

void WriteFile(const std::string& path, const std::string& data) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << data;
}

void WriteFile(const std::string& path, const Bytes& data) {
  WriteFile(path, std::string(data.begin(), data.end()));
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

TempDir::TempDir(const std::string& prefix) {
  std::string tmpl = "/tmp/" + prefix + "-XXXXXX";
  Check(mkdtemp(tmpl.data()) != nullptr, "mkdtemp");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

int RunCommand(const std::string& command, std::string* output) {
  FILE* p = popen((command + " 2>&1").c_str(), "r");
  if (!p) return -1;
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int status = pclose(p);
  if (output) *output = out;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace kovrax::test
