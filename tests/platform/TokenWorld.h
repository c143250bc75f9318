// The tokens every key test of this program shares, made once: "Voter" with an RSA-2048 and a
// P-256 key and their certificates (CKA_ID 01, 02) and an authority certificate without a key
// (03); "Spare" with its own P-256 key (01) and a copy of the RSA key and certificate (02);
// "Gone" (PIN as "Voter") with a P-256 key, for the one test that deletes it.
#pragma once
#include <memory>
#include <string>

#include "platform/CertStore.h"
#include "platform/KeyStorage.h"
#include "support/SoftHsmToken.h"

namespace kovrax::test {

struct TokenWorld {
  static constexpr const char* kPin = "1234";
  static constexpr const char* kSparePin = "5678";

  Authority ca;
  KeyPtr rsaKey, ecKey, spareKey, goneKey;
  CertPtr rsaCert, ecCert, spareCert, goneCert;
  std::unique_ptr<SoftHsmToken> token;
  std::unique_ptr<KeyStorage> keys;

  // The certificate of "MY" with these DER bytes (fails the test when absent).
  CertContextPtr Find(X509* cert) const;
};

TokenWorld& World();

// Gives each token of the world its own PIN and counts the questions.
class WorldPin : public IPinPrompt {
 public:
  std::optional<std::string> AskPin(const std::string& tokenLabel, const std::string&, bool) override {
    ++calls;
    return std::string(tokenLabel == "Spare" ? TokenWorld::kSparePin : TokenWorld::kPin);
  }
  int calls = 0;
};

}  // namespace kovrax::test
