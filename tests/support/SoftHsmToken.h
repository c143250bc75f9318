// SoftHSM2 tokens for tests: made in a private temporary folder (removed with the object) by
// tests/fixtures/make-token.sh.
//
//   test::SoftHsmToken token("Voter", "1234", {test::MakeTokenObject("01", key.get(), cert.get())});
//   settings.Pkcs11Module = test::SoftHsmToken::ModulePath();
//   auto keys = KeyStorage::Load(settings.Pkcs11Module, &error);   // sees the token
//
// The constructor sets SOFTHSM2_CONF for the whole process to the token's folder. SoftHSM reads
// it when the module is initialised, so make tokens before KeyStorage::Load, or after every
// KeyStorage of the process is gone (the module is initialised again by the next Load). Making
// a token takes a fraction of a second: tests make theirs once per program (a static fixture).
// Nothing here prompts: give the PIN through an IPinPrompt or KOVRAX_PKCS11_PIN.
#pragma once
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <string>
#include <vector>

#include "platform/KeyStorage.h"
#include "support/TestPki.h"

namespace kovrax::test {

// One key and/or certificate of a token, both under the same CKA_ID.
struct TokenObject {
  std::string Id;       // CKA_ID in hex, e.g. "01"
  std::string KeyPem;   // unencrypted PKCS#8 PEM private key; empty: no key
  Bytes CertDer;        // DER certificate; empty: no certificate
  std::string Label;    // CKA_LABEL of both; empty: "key" + Id
};

// key or cert may be null (certificate without a key, key without a certificate).
TokenObject MakeTokenObject(const std::string& id, EVP_PKEY* key, X509* cert, const std::string& label = {});

class SoftHsmToken {
 public:
  // Makes the folder and the first token; throws std::runtime_error with the tools' output.
  SoftHsmToken(const std::string& label, const std::string& pin, const std::vector<TokenObject>& objects,
               const std::string& soPin = "12345678");
  ~SoftHsmToken();
  SoftHsmToken(const SoftHsmToken&) = delete;
  SoftHsmToken& operator=(const SoftHsmToken&) = delete;

  // Another token in the same folder (same SOFTHSM2_CONF).
  void AddToken(const std::string& label, const std::string& pin, const std::vector<TokenObject>& objects,
                const std::string& soPin = "12345678");
  // Deletes a token of this folder (softhsm2-util --delete-token).
  void DeleteToken(const std::string& label);

  const std::string& Label() const { return label_; }  // of the first token
  const std::string& Pin() const { return pin_; }
  const std::string& Dir() const { return dir_; }
  std::string ConfPath() const { return dir_ + "/softhsm2.conf"; }
  // Sets SOFTHSM2_CONF to this folder again (after another SoftHsmToken changed it).
  void Activate() const;

  static const char* ModulePath() { return "/usr/lib/softhsm/libsofthsm2.so"; }
  static std::string ScriptPath();

 private:
  std::string dir_;  // in /dev/shm when there is one: SoftHSM rewrites its files many times
  std::string label_;
  std::string pin_;
  int files_ = 0;
};

// A signer key as the agent builds it for a certificate of "MY": the certificate's public key,
// private operations through the platform methods (RegisterPlatformMethods first), the context
// at ex-data index 0 owning the certificate and the token key. Null when the key cannot be
// acquired. Release it with ReleaseSignerKey.
EVP_PKEY* MakePlatformSignerKey(KeyStorage& keys, const CertContextPtr& cert, IPinPrompt* pin);
// The same around a given token key (fakes in tests); ownsKey goes into the context's OwnsKey.
EVP_PKEY* MakePlatformSignerKey(const CertContextPtr& cert, std::unique_ptr<TokenKey> tokenKey, bool ownsKey = true);

// Answers PIN prompts from a list (the last answer repeats) and records what was asked.
class ScriptedPinPrompt : public IPinPrompt {
 public:
  explicit ScriptedPinPrompt(std::vector<std::optional<std::string>> answers) : answers_(std::move(answers)) {}
  std::optional<std::string> AskPin(const std::string& tokenLabel, const std::string& certName, bool retry) override;
  int Calls() const { return static_cast<int>(retries_.size()); }
  const std::vector<bool>& Retries() const { return retries_; }
  const std::string& LastToken() const { return lastToken_; }
  const std::string& LastCertName() const { return lastCert_; }

 private:
  std::vector<std::optional<std::string>> answers_;
  std::vector<bool> retries_;
  std::string lastToken_, lastCert_;
};

}  // namespace kovrax::test
