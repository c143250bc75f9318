#include "submission/SignedBallot.h"

#include <gtest/gtest.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/ess.h>
#include <openssl/sha.h>
#include <openssl/x509v3.h>
#include <time.h>

#include <algorithm>
#include <ctime>

#include "Der.h"
#include "SubmissionTestUtil.h"
#include "gateway/ActiveXThreadUnit.h"
#include "submission/my_CMS.h"

namespace kovrax::test {
namespace {

using submission::BuildSignedContent;
using submission::HasReservedField;
using submission::IsUsableProfile;
using submission::SignContent;
using submission::SignedBallot;

Bytes Sha256(const void* data, size_t len) {
  Bytes out(SHA256_DIGEST_LENGTH);
  SHA256(static_cast<const unsigned char*>(data), len, out.data());
  return out;
}

Bytes NameDer(const X509_NAME* name) {
  unsigned char* p = nullptr;
  int n = i2d_X509_NAME(name, &p);
  Bytes out(p, p + n);
  OPENSSL_free(p);
  return out;
}

Bytes SerialDer(X509* cert) {
  unsigned char* p = nullptr;
  int n = i2d_ASN1_INTEGER(X509_get0_serialNumber(cert), &p);
  Bytes out(p, p + n);
  OPENSSL_free(p);
  return out;
}

submission::CmsPtr Decode(const Bytes& der) {
  const unsigned char* p = der.data();
  return submission::CmsPtr(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(der.size())));
}

Bytes ReceiptRequestId(const Bytes& ballotDer) {
  submission::CmsPtr cms = Decode(ballotDer);
  CMS_SignerInfo* si = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), 0);
  CMS_ReceiptRequest* rr = nullptr;
  EXPECT_EQ(CMS_get1_ReceiptRequest(si, &rr), 1);
  ASN1_STRING* id = nullptr;
  CMS_ReceiptRequest_get0_values(rr, &id, nullptr, nullptr, nullptr);
  Bytes out(ASN1_STRING_get0_data(id), ASN1_STRING_get0_data(id) + ASN1_STRING_length(id));
  CMS_ReceiptRequest_free(rr);
  return out;
}

// ---- the signed content and the reserved names ----

TEST(SignedContent, AppendsServerAndProfileFormEncoded) {
  struct Case {
    std::string body, server, profile, want;
  } cases[] = {
      {"", "", "3016", "&Kovra-Streznik=&Kovra-Profil=3016"},
      {"a=1&b=%C5%A1", "https://volitve.example/oddaj", "3016",
       "a=1&b=%C5%A1&Kovra-Streznik=https%3A%2F%2Fvolitve.example%2Foddaj&Kovra-Profil=3016"},
      {"x=y", "a b&c", "", "x=y&Kovra-Streznik=a+b%26c&Kovra-Profil="},
      {"glas=Kovra-Profil", "s", "p 1", "glas=Kovra-Profil&Kovra-Streznik=s&Kovra-Profil=p+1"},
  };
  for (const Case& c : cases) EXPECT_EQ(BuildSignedContent(c.body, c.server, c.profile), c.want) << c.body;
}

TEST(SignedContent, ReservedNamesAreFoundDecodedInAnyCase) {
  struct Case {
    std::string body;
    bool reserved;
  } cases[] = {
      {"Kovra-Streznik=x", true},
      {"a=1&kovra-profil=2", true},
      {"a=1&KOVRA-PROFIL", true},
      {"Kovra%2DStreznik=https://drugje", true},
      {"kovra%2dprofil=1", true},
      {"%4Bovra-Profil=1", true},
      {"a&&Kovra-Streznik&", true},
      {"glas=Kovra-Profil", false},
      {"glas=1&Kovra-Profil2=1", false},
      {"Kovra+Profil=1", false},
      {"Kovra-Streznik%00x=1", true},  // a decoded zero byte ends the name
      {"", false},
      {"&&=", false},
  };
  for (const Case& c : cases) EXPECT_EQ(HasReservedField(c.body), c.reserved) << c.body;
}

TEST(SignedContent, ProfileMustBePrintableAscii) {
  EXPECT_TRUE(IsUsableProfile("3016"));
  EXPECT_TRUE(IsUsableProfile(""));
  EXPECT_TRUE(IsUsableProfile("Profil A-1"));
  EXPECT_FALSE(IsUsableProfile("3016\r\nX-Forged: 1"));
  EXPECT_FALSE(IsUsableProfile("30\n16"));
  EXPECT_FALSE(IsUsableProfile(std::string("30\0" "16", 5)));
  EXPECT_FALSE(IsUsableProfile("\xC5\xA1"));
}

// ---- the receipt request ----

TEST(GetReceiptRequest, NamesProfileAsOtherNameCommonName) {
  for (const std::string profile : {"3016", "", "Profil-7"}) {
    submission::ReceiptRequestPtr rr(TActiveXThread::GetReceiptRequest(profile));
    ASSERT_NE(rr, nullptr);
    unsigned char* p = nullptr;
    int n = i2d_CMS_ReceiptRequest(rr.get(), &p);
    ASSERT_GT(n, 0);
    Bytes enc(p, p + n);
    OPENSSL_free(p);

    auto fields = der::Read(enc).Children();
    ASSERT_EQ(fields.size(), 3u);
    EXPECT_EQ(fields[0].tag, 0x04u);
    EXPECT_EQ(fields[0].len, 32u);
    EXPECT_EQ(fields[1].Encoding(), (Bytes{0x80, 0x01, 0x00}));  // allOrFirstTier [0] allReceipts
    auto to = fields[2].Children();
    ASSERT_EQ(to.size(), 1u);
    auto names = to[0].Children();
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0].tag, 0xA0u);  // otherName
    auto other = names[0].Children();
    ASSERT_EQ(other.size(), 2u);
    EXPECT_EQ(der::Oid(other[0]), "2.5.4.3");
    EXPECT_EQ(other[1].tag, 0xA0u);
    auto value = other[1].Children();
    ASSERT_EQ(value.size(), 1u);
    EXPECT_EQ(value[0].tag, 0x16u);  // IA5String
    EXPECT_EQ(value[0].Text(), profile);
  }
}

// ---- the SignedData ----

struct KeyCase {
  const char* name;
  const Signer& (*signer)();
  std::string sigOid;
  bool nullParams;
};

class SignedBallotTest : public ::testing::TestWithParam<KeyCase> {};

std::time_t ParseUtcTime(const std::string& s) {
  std::tm tm{};
  tm.tm_year = 100 + std::stoi(s.substr(0, 2));
  tm.tm_mon = std::stoi(s.substr(2, 2)) - 1;
  tm.tm_mday = std::stoi(s.substr(4, 2));
  tm.tm_hour = std::stoi(s.substr(6, 2));
  tm.tm_min = std::stoi(s.substr(8, 2));
  tm.tm_sec = std::stoi(s.substr(10, 2));
  return timegm(&tm);
}

TEST_P(SignedBallotTest, DerHasTheBallotStructure) {
  const Signer& signer = GetParam().signer();
  const std::string content = "glas=A&x=%C5%A1&Kovra-Streznik=s&Kovra-Profil=3016";
  SignedBallot b = SignContent(content, signer.key.get(), signer.cert.get(), "P-42");
  ASSERT_NE(b.cms, nullptr);
  const std::time_t now = std::time(nullptr);

  auto ci = der::Read(b.der).Children();
  ASSERT_EQ(ci.size(), 2u);
  EXPECT_EQ(der::Oid(ci[0]), "1.2.840.113549.1.7.2");
  ASSERT_EQ(ci[1].tag, 0xA0u);
  auto sd = ci[1].Children().at(0).Children();
  ASSERT_EQ(sd.size(), 5u) << "version, digests, content, certificates, signers; no CRLs";
  EXPECT_EQ(der::Int(sd[0]), 1);

  auto digests = sd[1].Children();
  ASSERT_EQ(digests.size(), 1u);
  auto sha256Alg = digests[0].Children();
  ASSERT_EQ(sha256Alg.size(), 1u) << "parameters absent";
  EXPECT_EQ(der::Oid(sha256Alg[0]), "2.16.840.1.101.3.4.2.1");

  auto encap = sd[2].Children();
  ASSERT_EQ(encap.size(), 2u);
  EXPECT_EQ(der::Oid(encap[0]), "1.2.840.113549.1.7.1");
  auto econtent = encap[1].Children();
  ASSERT_EQ(econtent.size(), 1u);
  EXPECT_EQ(econtent[0].tag, 0x04u);
  EXPECT_EQ(econtent[0].Text(), content);

  ASSERT_EQ(sd[3].tag, 0xA0u);
  auto certs = sd[3].Children();
  ASSERT_EQ(certs.size(), 1u);
  EXPECT_EQ(certs[0].Encoding(), ToDer(signer.cert.get()));

  auto signers = sd[4].Children();
  ASSERT_EQ(signers.size(), 1u);
  auto si = signers[0].Children();
  ASSERT_EQ(si.size(), 6u) << "no unsigned attributes";
  EXPECT_EQ(der::Int(si[0]), 1);
  auto sid = si[1].Children();
  ASSERT_EQ(sid.size(), 2u);
  EXPECT_EQ(sid[0].Encoding(), NameDer(X509_get_issuer_name(signer.cert.get())));
  EXPECT_EQ(sid[1].Encoding(), SerialDer(signer.cert.get()));
  auto digestAlg = si[2].Children();
  ASSERT_EQ(digestAlg.size(), 1u);
  EXPECT_EQ(der::Oid(digestAlg[0]), "2.16.840.1.101.3.4.2.1");

  ASSERT_EQ(si[3].tag, 0xA0u);
  auto attrs = si[3].Children();
  std::vector<std::string> oids;
  for (size_t i = 0; i < attrs.size(); ++i) {
    auto a = attrs[i].Children();
    ASSERT_EQ(a.size(), 2u);
    oids.push_back(der::Oid(a[0]));
    ASSERT_EQ(a[1].tag, 0x31u);
    ASSERT_EQ(a[1].Children().size(), 1u) << oids.back();
    if (i > 0) {
      EXPECT_LT(attrs[i - 1].Encoding(), attrs[i].Encoding()) << "DER set order";
    }
  }
  std::vector<std::string> sorted = oids;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(sorted, (std::vector<std::string>{"1.2.840.113549.1.9.16.2.1", "1.2.840.113549.1.9.16.2.47",
                                              "1.2.840.113549.1.9.3", "1.2.840.113549.1.9.4",
                                              "1.2.840.113549.1.9.5"}));
  auto value = [&](const std::string& oid) {
    for (auto& attr : attrs) {
      auto a = attr.Children();
      if (der::Oid(a[0]) == oid) return a[1].Children()[0];
    }
    throw std::runtime_error("no attribute " + oid);
  };
  EXPECT_EQ(der::Oid(value("1.2.840.113549.1.9.3")), "1.2.840.113549.1.7.1");

  der::Tlv st = value("1.2.840.113549.1.9.5");
  ASSERT_EQ(st.tag, 0x17u) << "UTCTime";
  ASSERT_EQ(st.len, 13u);
  EXPECT_EQ(st.Text().back(), 'Z');
  EXPECT_LE(std::abs(ParseUtcTime(st.Text()) - now), 120);

  der::Tlv md = value("1.2.840.113549.1.9.4");
  EXPECT_EQ(md.tag, 0x04u);
  EXPECT_EQ(md.Value(), Sha256(content.data(), content.size()));

  auto scv2 = value("1.2.840.113549.1.9.16.2.47").Children();
  ASSERT_EQ(scv2.size(), 1u) << "no policies";
  auto ids = scv2[0].Children();
  ASSERT_EQ(ids.size(), 1u);
  auto certId = ids[0].Children();
  ASSERT_EQ(certId.size(), 2u);
  EXPECT_EQ(certId[0].tag, 0x04u) << "SHA-256 is the default: no hashAlgorithm";
  Bytes certDer = ToDer(signer.cert.get());
  EXPECT_EQ(certId[0].Value(), Sha256(certDer.data(), certDer.size()));
  auto issuerSerial = certId[1].Children();
  ASSERT_EQ(issuerSerial.size(), 2u);
  auto generalNames = issuerSerial[0].Children();
  ASSERT_EQ(generalNames.size(), 1u);
  EXPECT_EQ(generalNames[0].tag, 0xA4u) << "directoryName";
  EXPECT_EQ(generalNames[0].Children().at(0).Encoding(), NameDer(X509_get_issuer_name(signer.cert.get())));
  EXPECT_EQ(issuerSerial[1].Encoding(), SerialDer(signer.cert.get()));

  auto rr = value("1.2.840.113549.1.9.16.2.1").Children();
  ASSERT_EQ(rr.size(), 3u);
  EXPECT_EQ(rr[0].len, 32u);
  EXPECT_EQ(rr[1].Encoding(), (Bytes{0x80, 0x01, 0x00}));
  auto profileName = rr[2].Children().at(0).Children().at(0).Children();
  EXPECT_EQ(der::Oid(profileName.at(0)), "2.5.4.3");
  EXPECT_EQ(profileName.at(1).Children().at(0).Text(), "P-42");

  auto sigAlg = si[4].Children();
  EXPECT_EQ(der::Oid(sigAlg.at(0)), GetParam().sigOid);
  if (GetParam().nullParams) {
    ASSERT_EQ(sigAlg.size(), 2u);
    EXPECT_EQ(sigAlg[1].Encoding(), (Bytes{0x05, 0x00}));
  } else {
    EXPECT_EQ(sigAlg.size(), 1u);
  }
  EXPECT_EQ(si[5].tag, 0x04u);
}

TEST_P(SignedBallotTest, OpensslCommandVerifiesIt) {
  const Signer& signer = GetParam().signer();
  const std::string content = "glas=B&opomba=" + std::string(3000, 'x') + "\r\n\n&Kovra-Streznik=&Kovra-Profil=3016";
  SignedBallot b = SignContent(content, signer.key.get(), signer.cert.get(), "3016");
  TempDir dir;
  WriteFile(dir / "ballot.der", b.der);
  WriteFile(dir / "ca.pem", ToPem(FixtureRoot().cert.get()));
  std::string out;
  ASSERT_EQ(RunCommand("openssl cms -verify -binary -inform DER -in " + dir / "ballot.der" + " -noverify -out " +
                           dir / "plain.txt",
                       &out),
            0)
      << out;
  EXPECT_EQ(ReadFile(dir / "plain.txt"), content);
  ASSERT_EQ(RunCommand("openssl cms -verify -binary -inform DER -in " + dir / "ballot.der" + " -CAfile " +
                           dir / "ca.pem" + " -out " + dir / "plain2.txt",
                       &out),
            0)
      << out;
  EXPECT_EQ(ReadFile(dir / "plain2.txt"), content);

  // The signature covers the content: one changed byte and the tool refuses it.
  Bytes tampered = b.der;
  auto it = std::search(tampered.begin(), tampered.end(), content.begin(), content.begin() + 6);
  ASSERT_NE(it, tampered.end());
  it[5] = 'C';
  WriteFile(dir / "tampered.der", tampered);
  EXPECT_NE(RunCommand("openssl cms -verify -binary -inform DER -in " + dir / "tampered.der" + " -noverify -out " +
                       dir / "plain3.txt"),
            0);
}

TEST_P(SignedBallotTest, SigningCertificateV2MatchesTheSigner) {
  const Signer& signer = GetParam().signer();
  SignedBallot b = SignContent("a=1", signer.key.get(), signer.cert.get(), "3016");
  submission::CmsPtr cms = Decode(b.der);
  ASSERT_NE(cms, nullptr);
  CMS_SignerInfo* si = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), 0);
  ESS_SIGNING_CERT_V2* v2 = static_cast<ESS_SIGNING_CERT_V2*>(
      CMS_signed_get0_data_by_OBJ(si, OBJ_nid2obj(NID_id_smime_aa_signingCertificateV2), -3, V_ASN1_SEQUENCE));
  ASSERT_NE(v2, nullptr);
  ASN1_STRING* seq = reinterpret_cast<ASN1_STRING*>(v2);
  const unsigned char* p = ASN1_STRING_get0_data(seq);
  EssSigningCertV2Ptr decoded(d2i_ESS_SIGNING_CERT_V2(nullptr, &p, ASN1_STRING_length(seq)));
  ASSERT_NE(decoded, nullptr);
  STACK_OF(X509)* chain = sk_X509_new_null();
  sk_X509_push(chain, signer.cert.get());
  EXPECT_EQ(OSSL_ESS_check_signing_certs(nullptr, decoded.get(), chain, 1), 1);
  // Another certificate does not match it.
  sk_X509_set(chain, 0, (&signer == &RsaSigner() ? EcSigner() : RsaSigner()).cert.get());
  EXPECT_NE(OSSL_ESS_check_signing_certs(nullptr, decoded.get(), chain, 1), 1);
  sk_X509_free(chain);
  ERR_clear_error();
}

TEST_P(SignedBallotTest, ReceiptMadeForItPassesReceiptVerification) {
  const Signer& signer = GetParam().signer();
  SignedBallot b = SignContent("glas=C&Kovra-Streznik=&Kovra-Profil=3016", signer.key.get(), signer.cert.get(), "3016");
  SignedBallot other = SignContent("glas=C&Kovra-Streznik=&Kovra-Profil=3016", signer.key.get(), signer.cert.get(),
                                   "3016");
  KeyPtr serverKey = MakeEcKey();
  CertSpec spec;
  spec.cn = "Streznik";
  spec.o = "Melsa, d.o.o.";
  spec.ou = "Kovra";
  CertPtr serverCert = IssueCert(spec, serverKey.get(), FixtureRoot().cert.get(), FixtureRoot().key.get());

  submission::CmsPtr ballot = Decode(b.der);
  ASSERT_NE(ballot, nullptr);
  CMS_SignerInfo* si = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(ballot.get()), 0);
  submission::CmsPtr receipt(CMS_sign_receipt(si, serverCert.get(), serverKey.get(), nullptr, 0));
  ASSERT_NE(receipt, nullptr);
  unsigned char* p = nullptr;
  int n = i2d_CMS_ContentInfo(receipt.get(), &p);
  Bytes receiptDer(p, p + n);
  OPENSSL_free(p);
  submission::CmsPtr received = Decode(receiptDer);

  X509_STORE* store = X509_STORE_new();
  X509_STORE_add_cert(store, FixtureRoot().cert.get());
  EXPECT_EQ(CMS_verify_receipt(received.get(), ballot.get(), nullptr, store, 0), 1);
  // The same receipt does not fit a second ballot of the same content.
  submission::CmsPtr otherBallot = Decode(other.der);
  EXPECT_NE(CMS_verify_receipt(received.get(), otherBallot.get(), nullptr, store, 0), 1);
  // The object kept in memory for the check is the same ballot as the DER.
  EXPECT_EQ(CMS_verify_receipt(received.get(), b.cms.get(), nullptr, store, 0), 1);
  X509_STORE_free(store);
  ERR_clear_error();
}

TEST_P(SignedBallotTest, TwoBallotsOfOneContentDifferInIdentifier) {
  const Signer& signer = GetParam().signer();
  SignedBallot a = SignContent("x=1", signer.key.get(), signer.cert.get(), "3016");
  SignedBallot b = SignContent("x=1", signer.key.get(), signer.cert.get(), "3016");
  Bytes idA = ReceiptRequestId(a.der);
  Bytes idB = ReceiptRequestId(b.der);
  EXPECT_EQ(idA.size(), 32u);
  EXPECT_NE(idA, idB);
}

INSTANTIATE_TEST_SUITE_P(Keys, SignedBallotTest,
                         ::testing::Values(KeyCase{"Rsa", &RsaSigner, "1.2.840.113549.1.1.1", true},
                                           KeyCase{"Ec", &EcSigner, "1.2.840.10045.4.3.2", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SignedBallot, KeyOfAnotherCertificateFailsAtAddingTheSigner) {
  ExpectRaise([] { SignContent("a=1", EcSigner().key.get(), RsaSigner().cert.get(), "3016"); }, 1014, 1426,
              {std::string("CMS_add1_signer")});
  ExpectRaise([] { SignContent("a=1", nullptr, RsaSigner().cert.get(), "3016"); }, 1014, 1426,
              {std::string("CMS_add1_signer")});
  ERR_clear_error();
}

}  // namespace
}  // namespace kovrax::test

namespace kovrax::test {
namespace {

int RefusingPrivateEncrypt(int, const unsigned char*, unsigned char*, RSA*, int) { return -1; }

// A key whose private operation is refused, as a token does when the PIN is cancelled.
TEST(SignedBallot, RefusedSignatureFailsAtFinal) {
  RSA_METHOD* meth = RSA_meth_dup(RSA_get_default_method());
  RSA_meth_set_priv_enc(meth, RefusingPrivateEncrypt);
  RSA* rsa = EVP_PKEY_get1_RSA(RsaSigner().key.get());
  ASSERT_NE(rsa, nullptr);
  RSA_set_method(rsa, meth);
  KeyPtr key(EVP_PKEY_new());
  EVP_PKEY_assign_RSA(key.get(), rsa);
  ExpectRaise([&] { SignContent("a=1", key.get(), RsaSigner().cert.get(), "3016"); }, 1015, 1442);
  key.reset();
  RSA_meth_free(meth);
  ERR_clear_error();
}

}  // namespace
}  // namespace kovrax::test
