#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <functional>

#include "pki/PkiWorld.h"
#include "pki/SignerChoice.h"
#include "pki/X509Util.h"
#include "platform/KeyStorage.h"
#include "platform/PlatformKeys.h"
#include "shell/Messages.h"
#include "support/SoftHsmToken.h"

namespace kovrax::pki {
namespace {

using test::PkiWorld;
using test::SiteHarness;
const PkiWorld& W() { return PkiWorld::Get(); }
constexpr const char* kPin = "4321";

std::string Cn(X509* c) {
  char buf[256] = {0};
  X509_NAME_get_text_by_NID(X509_get_subject_name(c), NID_commonName, buf, sizeof buf);
  return buf;
}

// The voter's token: every fixture end-entity certificate with its key.
class Token {
 public:
  static Token& Get() {
    static Token* t = new Token;
    return *t;
  }
  KeyStorage& Keys() { return *keys_; }

 private:
  Token() {
    const PkiWorld& w = W();
    token_ = std::make_unique<test::SoftHsmToken>(
        "Volivec", kPin,
        std::vector<test::TokenObject>{test::MakeTokenObject("01", w.leafKey.get(), w.voter.get()),
                                       test::MakeTokenObject("02", w.ecKey.get(), w.ecVoter.get()),
                                       test::MakeTokenObject("03", w.leafKey.get(), w.eidVoter.get()),
                                       test::MakeTokenObject("04", w.leafKey.get(), w.expiredVoter.get()),
                                       test::MakeTokenObject("05", w.leafKey.get(), w.melsaVoter.get())});
    std::string error;
    keys_ = KeyStorage::Load(test::SoftHsmToken::ModulePath(), &error);
    if (!keys_) throw std::runtime_error("key storage: " + error);
    RegisterPlatformMethods();
  }
  std::unique_ptr<test::SoftHsmToken> token_;
  std::unique_ptr<KeyStorage> keys_;
};

// The token's certificates, but no key can be had for any of them.
class KeylessStorage : public KeyStorage {
 public:
  explicit KeylessStorage(KeyStorage& real) : real_(real) {}
  std::vector<CertContextPtr> PersonalCertificates() override { return real_.PersonalCertificates(); }
  std::unique_ptr<TokenKey> AcquirePrivateKey(const CertContext&, IPinPrompt*) override { return nullptr; }

 private:
  KeyStorage& real_;
};

class ScriptedChooser : public ICertChooser {
 public:
  // Picks the candidate with this common name; -1 (cancel) when empty or absent, or a fixed index.
  std::string pick;
  int fixed = -2;
  int calls = 0;
  std::vector<std::string> shown;

  int Choose(const std::vector<X509*>& candidates) override {
    ++calls;
    shown.clear();
    for (X509* c : candidates) shown.push_back(Cn(c));
    std::sort(shown.begin(), shown.end());
    if (fixed != -2) return fixed;
    for (std::size_t i = 0; i < candidates.size(); ++i)
      if (Cn(candidates[i]) == pick) return static_cast<int>(i);
    return -1;
  }
};

struct Outcome {
  bool ok = false;
  EVP_PKEY* key = nullptr;
  X509* cert = nullptr;
  std::string failure;
  ~Outcome() {
    ReleaseSignerKey(key);
    X509_free(cert);
  }
};

// "CA" parameters that narrow the choice to one issuing authority and keep its root, without
// which the chosen certificate could not be verified.
std::string EidOnly() { return W().Prefix(kSiTrustRoot) + "," + W().Prefix(kSiTrustEidPodpis); }
std::string SigenOnly() { return W().Prefix(kSiTrustRoot) + "," + W().Prefix(kSigenCaG2); }

class LoadFromCAPITest : public ::testing::Test {
 protected:
  LoadFromCAPITest() : pin({std::string(kPin)}) {
    h.AddAllAuthorities(StoreLocation::CurrentUser);
    h.services.Keys = &Token::Get().Keys();
    h.services.Pin = &pin;
    h.services.Chooser = &chooser;
  }

  void Run(Outcome& o) {
    o.ok = LoadFromCAPI(h.Site(), o.key, o.cert, &o.failure);
    if (o.ok) {
      EXPECT_NE(o.key, nullptr);
      EXPECT_NE(o.cert, nullptr);
    } else {
      EXPECT_EQ(o.key, nullptr);
      EXPECT_EQ(o.cert, nullptr);
    }
  }
  void ExpectFailure(int number) {
    Outcome o;
    Run(o);
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.failure, LoadStr(number));
  }
  // The key signs with the token and the certificate's public key verifies it.
  static void ExpectSigns(EVP_PKEY* key, X509* cert) {
    const std::string data = "glasovnica";
    std::vector<unsigned char> sig(1024);
    size_t len = sig.size();
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    ASSERT_EQ(EVP_DigestSignInit(md, nullptr, EVP_sha256(), nullptr, key), 1);
    ASSERT_EQ(EVP_DigestSign(md, sig.data(), &len, reinterpret_cast<const unsigned char*>(data.data()), data.size()), 1);
    EVP_MD_CTX_free(md);
    EvpPkeyPtr pub(X509_get_pubkey(cert));
    md = EVP_MD_CTX_new();
    ASSERT_EQ(EVP_DigestVerifyInit(md, nullptr, EVP_sha256(), nullptr, pub.get()), 1);
    EXPECT_EQ(EVP_DigestVerify(md, sig.data(), len, reinterpret_cast<const unsigned char*>(data.data()), data.size()), 1);
    EVP_MD_CTX_free(md);
  }

  SiteHarness h;
  test::ScriptedPinPrompt pin;
  ScriptedChooser chooser;
};

TEST_F(LoadFromCAPITest, UppercaseThumbprintSelectsWithoutFilterOrChooser) {
  h.params["CertHash"] = test::Sha1Hex(W().voter.get(), true);  // the filter would leave four
  Outcome o;
  Run(o);
  ASSERT_TRUE(o.ok) << o.failure;
  EXPECT_EQ(X509_cmp(o.cert, W().voter.get()), 0);
  EXPECT_EQ(chooser.calls, 0);
  EXPECT_EQ(EVP_PKEY_get_base_id(o.key), EVP_PKEY_RSA);
  ExpectSigns(o.key, o.cert);
  EXPECT_EQ(pin.Calls(), 1);
}

TEST_F(LoadFromCAPITest, CertHashSettingIsTheDefaultAndEcKeysSign) {
  h.settings.CertHash = test::Sha1Hex(W().ecVoter.get(), true);
  Outcome o;
  Run(o);
  ASSERT_TRUE(o.ok) << o.failure;
  EXPECT_EQ(X509_cmp(o.cert, W().ecVoter.get()), 0);
  EXPECT_EQ(EVP_PKEY_get_base_id(o.key), EVP_PKEY_EC);
  ExpectSigns(o.key, o.cert);
}

TEST_F(LoadFromCAPITest, LowercaseThumbprintFallsBackToTheFilter) {
  h.params["CertHash"] = test::Sha1Hex(W().voter.get(), false);
  h.params["CA"] = EidOnly();
  Outcome o;
  Run(o);
  ASSERT_TRUE(o.ok) << o.failure;
  EXPECT_EQ(X509_cmp(o.cert, W().eidVoter.get()), 0);
  EXPECT_EQ(chooser.calls, 0);
}

TEST_F(LoadFromCAPITest, SeveralCandidatesGoToTheChooser) {
  h.params["CA"] = SigenOnly();
  chooser.pick = "Marko Horvat";
  Outcome o;
  Run(o);
  ASSERT_TRUE(o.ok) << o.failure;
  EXPECT_EQ(chooser.calls, 1);
  EXPECT_EQ(chooser.shown, (std::vector<std::string>{"Janez Novak", "Marko Horvat", "Stari Novak"}));
  EXPECT_EQ(X509_cmp(o.cert, W().ecVoter.get()), 0);
  ExpectSigns(o.key, o.cert);
}

TEST_F(LoadFromCAPITest, DefaultListOffersEveryUserIssuersCertificate) {
  chooser.pick = "Janez Novak";
  Outcome o;
  Run(o);
  ASSERT_TRUE(o.ok) << o.failure;
  EXPECT_EQ(chooser.shown, (std::vector<std::string>{"Eva Novak", "Janez Novak", "Marko Horvat", "Stari Novak"}));
}

TEST_F(LoadFromCAPITest, EmptyIssuerListOffersEverythingThroughTheChooser) {
  h.settings.IssuerHashes.clear();
  chooser.pick = "Eva Novak";
  Outcome o;
  Run(o);
  ASSERT_TRUE(o.ok) << o.failure;
  EXPECT_EQ(chooser.shown,
            (std::vector<std::string>{"Ana Kranjc", "Eva Novak", "Janez Novak", "Marko Horvat", "Stari Novak"}));
}

TEST_F(LoadFromCAPITest, CancelledChooserFailsWith1013) {
  h.params["CA"] = SigenOnly();
  ExpectFailure(1013);
  EXPECT_EQ(chooser.calls, 1);
}

TEST_F(LoadFromCAPITest, NoCandidateShowsAnEmptyChooser) {
  h.settings.IssuerHashes = "u" + W().Prefix(kSiTrustRoot);  // the voters' issuers are intermediates
  ExpectFailure(1013);
  EXPECT_EQ(chooser.calls, 1);
  EXPECT_TRUE(chooser.shown.empty());
}

TEST_F(LoadFromCAPITest, ChooserAnswerOutOfRangeFailsWith1013) {
  h.params["CA"] = SigenOnly();
  chooser.fixed = 3;
  ExpectFailure(1013);
}

TEST_F(LoadFromCAPITest, ExpiredCertificateFailsWith1043) {
  h.params["CA"] = SigenOnly();
  chooser.pick = "Stari Novak";
  ExpectFailure(1043);
}

TEST_F(LoadFromCAPITest, CertificateWithoutTokenKeyFailsWith1012) {
  KeylessStorage keyless(Token::Get().Keys());
  h.services.Keys = &keyless;
  h.params["CA"] = EidOnly();
  ExpectFailure(1012);
}

TEST_F(LoadFromCAPITest, NoKeyStorageFailsWith1010) {
  h.services.Keys = nullptr;
  ExpectFailure(1010);
}

// The parameter narrows the trust store as well: the issuing authority alone cannot anchor a chain.
TEST_F(LoadFromCAPITest, CaParameterWithoutTheRootFailsVerificationWith1043) {
  h.params["CA"] = W().Prefix(kSiTrustEidPodpis);
  ExpectFailure(1043);
}

TEST_F(LoadFromCAPITest, CaParameterPermittingNothingFailsWith1061) {
  h.params["CA"] = "00000000";
  ExpectFailure(1061);
  EXPECT_EQ(chooser.calls, 0);
}

// A voter of the ballot service's own authority counts without that authority in the stores, but
// only when the user list names it.
TEST_F(LoadFromCAPITest, MelsaVoterCountsOnlyWhenTheListNamesMelsa) {
  SiteHarness bare;
  bare.services.Keys = h.services.Keys;
  bare.services.Pin = h.services.Pin;
  bare.services.Chooser = h.services.Chooser;
  for (std::size_t i : {kSiTrustRoot, kSiTrustEidPodpis, kSigenCaG2})
    bare.Add(W().table.Slots[i].StoreName, StoreLocation::CurrentUser, W().SlotCert(i));

  chooser.pick = "Janez Novak";
  {
    Outcome o;
    o.ok = LoadFromCAPI(bare.Site(), o.key, o.cert, &o.failure);
    ASSERT_TRUE(o.ok) << o.failure;
    EXPECT_EQ(std::count(chooser.shown.begin(), chooser.shown.end(), "Ana Kranjc"), 0);
  }
  bare.settings.IssuerHashes += ",u" + W().Prefix(kMelsaCaG2);
  bare.params["CA"] = W().Prefix(kMelsaCaG2);
  chooser.calls = 0;
  Outcome o;
  o.ok = LoadFromCAPI(bare.Site(), o.key, o.cert, &o.failure);
  ASSERT_TRUE(o.ok) << o.failure;
  EXPECT_EQ(chooser.calls, 0);
  EXPECT_EQ(X509_cmp(o.cert, W().melsaVoter.get()), 0);
  EXPECT_EQ(bare.notice.texts, std::vector<std::string>{InstallNotice(W().table.Slots[kMelsaCaG2])});
}

}  // namespace
}  // namespace kovrax::pki
