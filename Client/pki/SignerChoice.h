// The choice of the voter's certificate in "MY" and its binding to the token key.
#pragma once
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <string>

#include "pki/PkiSite.h"
#include "platform/CertStore.h"

namespace kovrax::pki {

// The certificate of the store whose CertThumbprint equals hash exactly (uppercase), or null.
// An empty hash finds nothing. Raises 1011 when a certificate of the store cannot be parsed.
CertContextPtr FindByHash(ICertStore& store, const std::string& hash);

// Chooses the signer certificate (by "CertHash", by the issuer filter or through the chooser),
// verifies it for the voter's side and builds a key object whose private operations go to the
// token. True: both outputs set and owned by the caller. False: both null, nothing left open;
// the message of the failure inside goes to *failure when given.
bool LoadFromCAPI(PkiSite& site, EVP_PKEY*& key, X509*& cert, std::string* failure = nullptr);

}  // namespace kovrax::pki
