#include "submission/my_CMS.h"

#include <openssl/asn1.h>
#include <openssl/crypto.h>
#include <openssl/objects.h>

namespace kovrax {

int ossl_cms_add1_signing_cert_v2(CMS_SignerInfo* si, const ESS_SIGNING_CERT_V2* value) {
  if (si == nullptr || value == nullptr) return 0;
  int len = i2d_ESS_SIGNING_CERT_V2(value, nullptr);
  if (len <= 0) return 0;
  struct BufFree {
    void operator()(unsigned char* p) const { OPENSSL_free(p); }
  };
  std::unique_ptr<unsigned char, BufFree> buf(static_cast<unsigned char*>(OPENSSL_malloc(len)));
  if (!buf) return 0;
  unsigned char* p = buf.get();
  if (i2d_ESS_SIGNING_CERT_V2(value, &p) != len) return 0;
  struct StrFree {
    void operator()(ASN1_STRING* s) const { ASN1_STRING_free(s); }
  };
  std::unique_ptr<ASN1_STRING, StrFree> str(ASN1_STRING_new());
  if (!str || !ASN1_STRING_set(str.get(), buf.get(), len)) return 0;
  // The attribute copies the string; ours is freed either way.
  return CMS_signed_add1_attr_by_NID(si, NID_id_smime_aa_signingCertificateV2, V_ASN1_SEQUENCE, str.get(), -1) ? 1
                                                                                                                 : 0;
}

}  // namespace kovrax
