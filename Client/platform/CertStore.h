// Certificate stores: the voter's personal store "MY" (certificates on PKCS#11 tokens that have
// a private key), directory-backed "Root"/"CA"/"AUTHROOT" stores for the current user and the
// local machine, and in-memory stores.
#pragma once
#include <openssl/x509.h>

#include <memory>
#include <string>
#include <vector>

#include "shell/Settings.h"

namespace kovrax {

class KeyStorage;

enum class StoreLocation { CurrentUser, LocalMachine };

// One certificate as a store holds it. For certificates of "MY" it also says where the private
// key is (the token and the CKA_ID shared by certificate and key).
struct CertContext {
  std::vector<unsigned char> Der;
  std::string TokenId;                // identifies the token (module and serial); empty off-token
  std::string TokenLabel;             // for prompts
  std::vector<unsigned char> KeyId;   // CKA_ID of certificate and private key
};
using CertContextPtr = std::shared_ptr<const CertContext>;

enum class AddResult { Added, Exists, Failed };

class ICertStore {
 public:
  virtual ~ICertStore() = default;
  // Every certificate once, in the store's own stable order.
  virtual std::vector<CertContextPtr> Enumerate() = 0;
  // Adds unless a certificate with identical DER bytes is present. Failed when it cannot be
  // written (nothing already there is damaged).
  virtual AddResult AddNew(const std::vector<unsigned char>& der) = 0;
  // Adds a copy whatever the store holds (candidate stores); false when not supported.
  virtual bool AddAlways(const CertContextPtr& cert) = 0;
  // The certificate of this store whose subject name equals the certificate's issuer name, or null.
  virtual CertContextPtr FindIssuer(const CertContext& cert) = 0;
};

// Opens a system store: "MY" (current user only: the tokens of keys), "Root", "CA", "AUTHROOT"
// (names case-insensitive, "ROOT" is "Root"). Null with a reason in *error when it cannot be
// opened (unknown name, unreadable folder, no key storage for "MY").
//
// On disk a store is the folder StoreFolder(...) (UserStoreDir or MachineStoreDir, then "ROOT",
// "CA" or "AUTHROOT") holding one DER file per certificate, named by the lowercase SHA-1 hex of
// its bytes plus ".der". A folder that does not exist yet is an empty store; AddNew creates it.
// Files are listed in name order; files that are not one DER certificate are passed over. The
// local machine's "ROOT" lists the PEM bundle SystemTrustBundle first; the bundle is never written.
std::unique_ptr<ICertStore> OpenSystemStore(const TSettings& settings, KeyStorage* keys, const std::string& name,
                                            StoreLocation location, std::string* error = nullptr);

// The folder of a directory-backed store; empty for "MY" or an unknown name.
std::string StoreFolder(const TSettings& settings, const std::string& name, StoreLocation location);

// A new empty in-memory store.
std::unique_ptr<ICertStore> NewMemoryStore();

// SHA-1 of the DER bytes.
std::vector<unsigned char> Sha1Thumbprint(const std::vector<unsigned char>& der);
// The simple display name: the subject's (or with issuer=true the issuer's) CN, else OU, else O,
// else e-mail address; empty when none.
std::string SimpleDisplayName(const std::vector<unsigned char>& der, bool issuer);

}  // namespace kovrax
