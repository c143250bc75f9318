// Key storage on PKCS#11 tokens (through p11-kit or any module): the voter's certificates and
// private keys that never leave their token.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "platform/CertStore.h"
#include "shell/Dialogs.h"

namespace kovrax {

enum class TokenKeyType { Rsa, Ec, Other };

// A private key on a token. Login happens at the first signature, through the PIN prompt given
// when the key was acquired (a protected authentication path logs in without a PIN).
class TokenKey {
 public:
  virtual ~TokenKey() = default;
  virtual TokenKeyType Type() const = 0;
  // CKM_RSA_PKCS over an encoded DigestInfo: exactly the modulus length of output.
  // CKM_ECDSA over a digest: r||s with equal halves. False on any failure (cancelled or wrong
  // PIN, token gone); never blocks without a prompt, never throws.
  virtual bool Sign(const unsigned char* in, size_t inLen, std::vector<unsigned char>& out) = 0;
};

class KeyStorage {
 public:
  virtual ~KeyStorage() = default;
  // Loads and initialises a PKCS#11 module (a path, or a file name searched as the loader does).
  // Null with a reason in *error when it cannot be loaded.
  static std::unique_ptr<KeyStorage> Load(const std::string& module, std::string* error);

  // "MY": every X.509 certificate on a present token that has a private key with the same CKA_ID
  // on the same token, each once, in a stable order. Tokens are looked up afresh on every call.
  // A token that hides its private keys until login counts a public key with that CKA_ID.
  virtual std::vector<CertContextPtr> PersonalCertificates() = 0;
  // The private key of a certificate of "MY", or null when it has none on a present token.
  // A null pin prompt means headless: the PIN comes from KOVRAX_PKCS11_PIN when it is set, else
  // from the controlling terminal, else the signature fails. At most three PIN attempts per
  // signature; a token with a PIN pad (protected authentication path) is logged in without one.
  // The key keeps one session open; the token stays logged in until the key is gone.
  virtual std::unique_ptr<TokenKey> AcquirePrivateKey(const CertContext& cert, IPinPrompt* pin) = 0;

  // Sessions currently open on the module by this storage and its keys (diagnostics, tests).
  virtual long OpenSessionCount() const { return 0; }
};

}  // namespace kovrax
