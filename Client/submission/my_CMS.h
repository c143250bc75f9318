// The ESS signing-certificate-v2 attribute (RFC 5035) for CMS signers.
//
// libcrypto 3.0 already carries the RFC 5035 types (ESS_CERT_ID_V2, ESS_SIGNING_CERT_V2 with
// their d2i/i2d/new/free/dup), the attribute's object identifier
// (NID_id_smime_aa_signingCertificateV2) and the value builder OSSL_ESS_signing_cert_v2_new_init,
// so those are used as they are. What it does not export is the step that puts the value into a
// signer's signed attributes; that lives here, in our own namespace so that it can never bind to
// a libcrypto symbol.
#pragma once
#include <openssl/cms.h>
#include <openssl/ess.h>

#include <memory>

namespace kovrax {

struct EssSigningCertV2Free {
  void operator()(ESS_SIGNING_CERT_V2* p) const { ESS_SIGNING_CERT_V2_free(p); }
};
using EssSigningCertV2Ptr = std::unique_ptr<ESS_SIGNING_CERT_V2, EssSigningCertV2Free>;

// Adds the DER of value as the single value (an ASN.1 SEQUENCE) of a signingCertificateV2 signed
// attribute. 1 on success, 0 on failure. The value stays the caller's.
int ossl_cms_add1_signing_cert_v2(CMS_SignerInfo* si, const ESS_SIGNING_CERT_V2* value);

}  // namespace kovrax
