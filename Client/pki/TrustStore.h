// Trust stores per kind, built from the system stores and the embedded authorities, and the
// installation of missing authorities into the platform's stores.
#pragma once
#include <openssl/x509_vfy.h>

#include <string>
#include <vector>

#include "pki/PkiSite.h"
#include "platform/CertStore.h"

namespace kovrax::pki {

// At worker start: adds to the current user's "Root"/"CA" stores each embedded authority that
// neither the machine's nor the user's store holds byte for byte. Raises nothing.
void CheckRoots(PkiSite& site);

// Copies the permitted certificates of one system store into the trust store and clears the
// RootFlags of the authorities found. Raises 1009 (store not opened), 1011, 1014.
void LoadFromStore(PkiSite& site, X509_STORE* store, const std::vector<std::string>& permitted,
                   const std::string& storeName, StoreLocation location);

// A new trust store for the kind ('u' or 's'), owned by the caller. Raises; frees what it built.
X509_STORE* LoadCerts(PkiSite& site, char kind);

// Adds the certificate to the local machine's store of that name; failures are ignored.
void InstallRoot(PkiSite& site, const std::vector<unsigned char>& der, const std::string& storeName);

}  // namespace kovrax::pki
