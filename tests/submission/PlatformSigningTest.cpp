// Ballots signed by keys on a SoftHSM2 token through the platform methods, as the agent signs.
#include <gtest/gtest.h>
#include <openssl/cms.h>
#include <openssl/err.h>

#include "Der.h"
#include "SubmissionTestUtil.h"
#include "platform/KeyStorage.h"
#include "platform/PlatformKeys.h"
#include "submission/SignedBallot.h"
#include "support/SoftHsmToken.h"

namespace kovrax::test {
namespace {

constexpr const char* kPin = "2468";

// One token with the fixture signers' RSA and EC keys and certificates, made once per program.
struct Token {
  std::unique_ptr<SoftHsmToken> token;
  std::unique_ptr<KeyStorage> keys;

  CertContextPtr Find(X509* cert) const {
    Bytes der = ToDer(cert);
    for (const auto& c : keys->PersonalCertificates())
      if (c->Der == der) return c;
    ADD_FAILURE() << "certificate not on the token";
    return nullptr;
  }
};

Token& TheToken() {
  static std::unique_ptr<Token> t = [] {
    auto tok = std::make_unique<Token>();
    tok->token = std::make_unique<SoftHsmToken>(
        "Ballot", kPin,
        std::vector<TokenObject>{MakeTokenObject("01", RsaSigner().key.get(), RsaSigner().cert.get()),
                                 MakeTokenObject("02", EcSigner().key.get(), EcSigner().cert.get())});
    std::string error;
    tok->keys = KeyStorage::Load(SoftHsmToken::ModulePath(), &error);
    if (!tok->keys) throw std::runtime_error("KeyStorage::Load: " + error);
    return tok;
  }();
  return *t;
}

struct SignerKeyFree {
  void operator()(EVP_PKEY* k) const {
    EVP_PKEY* key = k;
    ReleaseSignerKey(key);
  }
};
using SignerKeyPtr = std::unique_ptr<EVP_PKEY, SignerKeyFree>;

class PlatformSigningTest : public ::testing::TestWithParam<const Signer& (*)()> {
 protected:
  static void SetUpTestSuite() { RegisterPlatformMethods(); }
};

TEST_P(PlatformSigningTest, TokenSignedBallotVerifiesWithTheTool) {
  const Signer& signer = GetParam()();
  ScriptedPinPrompt pin({std::string(kPin)});
  SignerKeyPtr key(MakePlatformSignerKey(*TheToken().keys, TheToken().Find(signer.cert.get()), &pin));
  ASSERT_NE(key, nullptr);

  const std::string content = "glas=D&Kovra-Streznik=https%3A%2F%2Fvolitve.example%2F&Kovra-Profil=3016";
  submission::SignedBallot b = submission::SignContent(content, key.get(), signer.cert.get(), "3016");
  EXPECT_EQ(pin.Calls(), 1);

  // The signature algorithm follows the key type, as for a software key.
  auto si = der::Read(b.der).Children().at(1).Children().at(0).Children().at(4).Children().at(0).Children();
  EXPECT_EQ(der::Oid(si.at(4).Children().at(0)),
            EVP_PKEY_base_id(key.get()) == EVP_PKEY_RSA ? "1.2.840.113549.1.1.1" : "1.2.840.10045.4.3.2");

  TempDir dir;
  WriteFile(dir / "ballot.der", b.der);
  WriteFile(dir / "ca.pem", ToPem(FixtureRoot().cert.get()));
  std::string out;
  ASSERT_EQ(RunCommand("openssl cms -verify -binary -inform DER -in " + dir / "ballot.der" + " -CAfile " +
                           dir / "ca.pem" + " -out " + dir / "plain.txt",
                       &out),
            0)
      << out;
  EXPECT_EQ(ReadFile(dir / "plain.txt"), content);

  // And the server's receipt for it passes the receipt check.
  KeyPtr serverKey = MakeEcKey();
  CertSpec spec;
  spec.cn = "Streznik";
  CertPtr serverCert = IssueCert(spec, serverKey.get(), FixtureRoot().cert.get(), FixtureRoot().key.get());
  CMS_SignerInfo* bsi = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(b.cms.get()), 0);
  submission::CmsPtr receipt(CMS_sign_receipt(bsi, serverCert.get(), serverKey.get(), nullptr, 0));
  ASSERT_NE(receipt, nullptr);
  X509_STORE* store = X509_STORE_new();
  X509_STORE_add_cert(store, FixtureRoot().cert.get());
  EXPECT_EQ(CMS_verify_receipt(receipt.get(), b.cms.get(), nullptr, store, 0), 1);
  X509_STORE_free(store);
}

TEST_P(PlatformSigningTest, CancelledPinFailsAsSigningFailure) {
  const Signer& signer = GetParam()();
  ScriptedPinPrompt pin({std::nullopt});
  SignerKeyPtr key(MakePlatformSignerKey(*TheToken().keys, TheToken().Find(signer.cert.get()), &pin));
  ASSERT_NE(key, nullptr);
  ExpectRaise([&] { submission::SignContent("a=1", key.get(), signer.cert.get(), "3016"); }, 1015, 1442);
  EXPECT_GE(pin.Calls(), 1);
  ERR_clear_error();
}

INSTANTIATE_TEST_SUITE_P(Keys, PlatformSigningTest, ::testing::Values(&RsaSigner, &EcSigner),
                         [](const auto& info) { return std::string(info.index == 0 ? "Rsa" : "Ec"); });

}  // namespace
}  // namespace kovrax::test
