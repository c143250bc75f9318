// Judges a certificate against the trust store of one kind.
#pragma once
#include <openssl/x509.h>

#include "pki/PkiSite.h"

namespace kovrax::pki {

// True when the certificate chains to an anchor of the kind's trust store under OpenSSL's default
// verification (current time, no revocation). When the site has a TLS session, the certificates
// the peer sent after its own help to build the chain but are never trusted by themselves.
// Trust-store errors (1009, 1011, 1014, 1061) pass through.
bool VerifyCert(PkiSite& site, X509* cert, char kind);

}  // namespace kovrax::pki
