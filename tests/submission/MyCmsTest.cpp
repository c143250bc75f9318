#include "submission/my_CMS.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/sha.h>

#include "Der.h"
#include "SubmissionTestUtil.h"
#include "submission/SignedBallot.h"

namespace kovrax::test {
namespace {

struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};

// A signer info of a partial SignedData, ready to take attributes.
struct PartialCms {
  submission::CmsPtr cms;
  CMS_SignerInfo* si = nullptr;
};

PartialCms MakePartial(const Signer& signer) {
  PartialCms p;
  p.cms.reset(CMS_sign(nullptr, nullptr, nullptr, nullptr, CMS_PARTIAL | CMS_NOSMIMECAP | CMS_BINARY));
  p.si = CMS_add1_signer(p.cms.get(), signer.cert.get(), signer.key.get(), EVP_sha256(),
                         CMS_NOSMIMECAP | CMS_BINARY);
  return p;
}

// The encoded value of the signingCertificateV2 attribute of si.
Bytes AttributeValue(CMS_SignerInfo* si) {
  int idx = CMS_signed_get_attr_by_NID(si, NID_id_smime_aa_signingCertificateV2, -1);
  EXPECT_GE(idx, 0);
  X509_ATTRIBUTE* attr = CMS_signed_get_attr(si, idx);
  EXPECT_EQ(X509_ATTRIBUTE_count(attr), 1);
  ASN1_TYPE* t = X509_ATTRIBUTE_get0_type(attr, 0);
  EXPECT_EQ(ASN1_TYPE_get(t), V_ASN1_SEQUENCE);
  const unsigned char* p = ASN1_STRING_get0_data(t->value.sequence);
  return Bytes(p, p + ASN1_STRING_length(t->value.sequence));
}

Bytes Encode(const ESS_SIGNING_CERT_V2* v) {
  unsigned char* p = nullptr;
  int n = i2d_ESS_SIGNING_CERT_V2(v, &p);
  Bytes out(p, p + n);
  OPENSSL_free(p);
  return out;
}

// Re-issues the signer's certificate with the given serial (hex, "-" for negative).
CertPtr WithSerial(const Signer& signer, const char* hexSerial) {
  CertPtr cert(X509_dup(signer.cert.get()));
  BIGNUM* bn = nullptr;
  BN_hex2bn(&bn, hexSerial);
  ASN1_INTEGER* serial = BN_to_ASN1_INTEGER(bn, nullptr);
  X509_set_serialNumber(cert.get(), serial);
  ASN1_INTEGER_free(serial);
  BN_free(bn);
  X509_sign(cert.get(), FixtureRoot().key.get(), EVP_sha256());
  return cert;
}

TEST(SigningCertV2, AttributeCarriesTheValueDerAsOneSequence) {
  struct Case {
    const char* name;
    const EVP_MD* md;
    const char* serial;  // null: the signer's own
    unsigned firstTag;   // of ESS_CERT_ID_V2: OCTET STRING when the hash is the SHA-256 default
  } cases[] = {
      {"sha256", EVP_sha256(), nullptr, 0x04},
      {"sha384", EVP_sha384(), nullptr, 0x30},
      {"large serial", EVP_sha256(), "7F0102030405060708090A0B0C0D0E0F10111213", 0x04},
      {"negative serial", EVP_sha256(), "-0123456789ABCDEF", 0x04},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CertPtr cert = c.serial ? WithSerial(RsaSigner(), c.serial) : CertPtr(X509_dup(RsaSigner().cert.get()));
    EssSigningCertV2Ptr value(OSSL_ESS_signing_cert_v2_new_init(c.md, cert.get(), nullptr, 1));
    ASSERT_NE(value, nullptr);
    PartialCms p = MakePartial(RsaSigner());
    ASSERT_NE(p.si, nullptr);
    ASSERT_EQ(ossl_cms_add1_signing_cert_v2(p.si, value.get()), 1);
    value.reset();  // the attribute keeps its own copy

    Bytes enc = AttributeValue(p.si);
    auto certId = der::Read(enc).Children().at(0).Children().at(0).Children();
    EXPECT_EQ(certId.at(0).tag, c.firstTag);
    auto issuerSerial = certId.back().Children();
    unsigned char* sp = nullptr;
    int n = i2d_ASN1_INTEGER(X509_get0_serialNumber(cert.get()), &sp);
    EXPECT_EQ(issuerSerial.at(1).Encoding(), Bytes(sp, sp + n));
    OPENSSL_free(sp);
    if (c.md == EVP_sha256()) {
      Bytes certDer = ToDer(cert.get());
      Bytes hash(SHA256_DIGEST_LENGTH);
      SHA256(certDer.data(), certDer.size(), hash.data());
      EXPECT_EQ(certId.at(0).Value(), hash);
    }
  }
}

TEST(SigningCertV2, EncodesExactlyWhatTheBuilderMade) {
  EssSigningCertV2Ptr value(OSSL_ESS_signing_cert_v2_new_init(EVP_sha256(), EcSigner().cert.get(), nullptr, 1));
  PartialCms p = MakePartial(EcSigner());
  ASSERT_EQ(ossl_cms_add1_signing_cert_v2(p.si, value.get()), 1);
  EXPECT_EQ(AttributeValue(p.si), Encode(value.get()));
}

TEST(SigningCertV2, NullArgumentsGiveZero) {
  EssSigningCertV2Ptr value(OSSL_ESS_signing_cert_v2_new_init(EVP_sha256(), EcSigner().cert.get(), nullptr, 1));
  PartialCms p = MakePartial(EcSigner());
  EXPECT_EQ(ossl_cms_add1_signing_cert_v2(nullptr, value.get()), 0);
  EXPECT_EQ(ossl_cms_add1_signing_cert_v2(p.si, nullptr), 0);
  EXPECT_LT(CMS_signed_get_attr_by_NID(p.si, NID_id_smime_aa_signingCertificateV2, -1), 0);
}

}  // namespace
}  // namespace kovrax::test
