#include "support/SoftHsmToken.h"

#include <openssl/ec.h>
#include <openssl/rsa.h>
#include <stdlib.h>

#include "platform/PlatformKeys.h"

#include <algorithm>
#include <filesystem>
#include <stdexcept>

namespace kovrax::test {
namespace {

// Single quotes for the shell; the texts come from tests but may hold blanks.
std::string Quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

}  // namespace

TokenObject MakeTokenObject(const std::string& id, EVP_PKEY* key, X509* cert, const std::string& label) {
  TokenObject o;
  o.Id = id;
  if (key) o.KeyPem = KeyToPem(key);
  if (cert) o.CertDer = ToDer(cert);
  o.Label = label;
  return o;
}

std::string SoftHsmToken::ScriptPath() { return std::string(KOVRAX_TEST_FIXTURES) + "/make-token.sh"; }

SoftHsmToken::SoftHsmToken(const std::string& label, const std::string& pin, const std::vector<TokenObject>& objects,
                           const std::string& soPin)
    : label_(label), pin_(pin) {
  for (const char* base : {"/dev/shm", "/tmp"}) {
    std::string tmpl = std::string(base) + "/kovrax-token-XXXXXX";
    if (mkdtemp(tmpl.data())) {
      dir_ = tmpl;
      break;
    }
  }
  if (dir_.empty()) throw std::runtime_error("SoftHsmToken: no temporary folder");
  try {
    AddToken(label, pin, objects, soPin);
  } catch (...) {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
    throw;
  }
}

SoftHsmToken::~SoftHsmToken() {
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

void SoftHsmToken::Activate() const { setenv("SOFTHSM2_CONF", ConfPath().c_str(), 1); }

void SoftHsmToken::AddToken(const std::string& label, const std::string& pin, const std::vector<TokenObject>& objects,
                            const std::string& soPin) {
  std::string cmd = Quote(ScriptPath()) + " -d " + Quote(Dir()) + " -l " + Quote(label) + " -p " + Quote(pin) +
                    " -s " + Quote(soPin);
  std::vector<std::string> written;
  for (const auto& o : objects) {
    std::string n = std::to_string(++files_);
    std::string keyFile, certFile;
    if (!o.KeyPem.empty()) {
      keyFile = Dir() + "/key" + n + ".p8";
      WriteFile(keyFile, o.KeyPem);
      written.push_back(keyFile);
    }
    if (!o.CertDer.empty()) {
      certFile = Dir() + "/cert" + n + ".der";
      WriteFile(certFile, o.CertDer);
      written.push_back(certFile);
    }
    cmd += " -o " + Quote(o.Id + ":" + keyFile + ":" + certFile + ":" + o.Label);
  }
  std::string output;
  int rc = RunCommand(cmd, &output);
  for (const auto& f : written) std::remove(f.c_str());
  if (rc != 0) throw std::runtime_error("make-token.sh failed (" + std::to_string(rc) + "): " + output);
  Activate();
}

void SoftHsmToken::DeleteToken(const std::string& label) {
  std::string output;
  int rc = RunCommand("SOFTHSM2_CONF=" + Quote(ConfPath()) + " softhsm2-util --delete-token --token " + Quote(label),
                      &output);
  if (rc != 0) throw std::runtime_error("softhsm2-util --delete-token failed: " + output);
}

EVP_PKEY* MakePlatformSignerKey(KeyStorage& keys, const CertContextPtr& cert, IPinPrompt* pin) {
  std::unique_ptr<TokenKey> tokenKey = keys.AcquirePrivateKey(*cert, pin);
  if (!tokenKey) return nullptr;
  return MakePlatformSignerKey(cert, std::move(tokenKey));
}

EVP_PKEY* MakePlatformSignerKey(const CertContextPtr& cert, std::unique_ptr<TokenKey> tokenKey, bool ownsKey) {
  if (!cert || !tokenKey) return nullptr;
  CertPtr x509 = FromDer(cert->Der);
  KeyPtr pub(x509 ? X509_get_pubkey(x509.get()) : nullptr);
  if (!pub) return nullptr;
  auto* ctx = new PlatformKeyContext;
  ctx->Certificate = cert;
  ctx->KeySpec = CERT_NCRYPT_KEY_SPEC;
  ctx->OwnsKey = ownsKey;
  ctx->AcquiredKey = tokenKey.release();
  ctx->KeyHandle = ctx->AcquiredKey;
  EVP_PKEY* key = EVP_PKEY_new();
  bool ok = key != nullptr;
  if (ok && EVP_PKEY_get_base_id(pub.get()) == EVP_PKEY_RSA) {
    RSA* rsa = RSA_new();
    const BIGNUM *n = nullptr, *e = nullptr;
    RSA_get0_key(EVP_PKEY_get0_RSA(pub.get()), &n, &e, nullptr);
    ok = rsa && RSA_set_method(rsa, RsaPlatformMethod()) && RSA_set0_key(rsa, BN_dup(n), BN_dup(e), nullptr) &&
         RSA_set_ex_data(rsa, 0, ctx) && EVP_PKEY_assign_RSA(key, rsa);
    if (!ok) RSA_free(rsa);
  } else if (ok && EVP_PKEY_get_base_id(pub.get()) == EVP_PKEY_EC) {
    const EC_KEY* src = EVP_PKEY_get0_EC_KEY(pub.get());
    EC_KEY* ec = EC_KEY_new();
    ok = ec && EC_KEY_set_method(ec, EcdsaPlatformMethod()) && EC_KEY_set_group(ec, EC_KEY_get0_group(src)) &&
         EC_KEY_set_public_key(ec, EC_KEY_get0_public_key(src));
    if (ok) {
      EC_KEY_set_enc_flags(ec, EC_KEY_get_enc_flags(src));
      EC_KEY_set_conv_form(ec, EC_KEY_get_conv_form(src));
      ok = EC_KEY_set_ex_data(ec, 0, ctx) && EVP_PKEY_assign_EC_KEY(key, ec);
    }
    if (!ok) EC_KEY_free(ec);
  } else {
    ok = false;
  }
  if (!ok) {
    // The context is not attached to a key that will be released: free it on its own.
    EVP_PKEY_free(key);
    if (!ctx->OwnsKey) delete ctx->AcquiredKey;
    FreePlatformKeyContext(ctx);
    return nullptr;
  }
  return key;
}

std::optional<std::string> ScriptedPinPrompt::AskPin(const std::string& tokenLabel, const std::string& certName,
                                                     bool retry) {
  lastToken_ = tokenLabel;
  lastCert_ = certName;
  retries_.push_back(retry);
  if (answers_.empty()) return std::nullopt;
  return answers_[std::min(retries_.size(), answers_.size()) - 1];
}

}  // namespace kovrax::test
