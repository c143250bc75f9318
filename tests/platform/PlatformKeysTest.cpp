#include <gtest/gtest.h>
#include <openssl/cms.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <functional>

#include "TokenWorld.h"
#include "platform/PlatformKeys.h"

namespace kovrax {
namespace {

using test::Bytes;
using test::TokenWorld;
using test::World;

struct PkeyFree { void operator()(EVP_PKEY* k) const { ReleaseSignerKey(k); } };
using SignerKey = std::unique_ptr<EVP_PKEY, PkeyFree>;

// A token key whose answers the test decides; it reports its own end.
class FakeKey : public TokenKey {
 public:
  using SignFn = std::function<bool(const unsigned char*, size_t, std::vector<unsigned char>&)>;
  FakeKey(TokenKeyType type, SignFn sign, bool* destroyed = nullptr)
      : type_(type), sign_(std::move(sign)), destroyed_(destroyed) {}
  ~FakeKey() override {
    if (destroyed_) *destroyed_ = true;
  }
  TokenKeyType Type() const override { return type_; }
  bool Sign(const unsigned char* in, size_t len, std::vector<unsigned char>& out) override {
    ++calls;
    lastInput.assign(in, in + len);
    return sign_(in, len, out);
  }
  int calls = 0;
  Bytes lastInput;

 private:
  TokenKeyType type_;
  SignFn sign_;
  bool* destroyed_;
};

// Passes to a real token key and remembers what OpenSSL handed over.
class Recorder : public TokenKey {
 public:
  explicit Recorder(std::unique_ptr<TokenKey> inner) : inner_(std::move(inner)) {}
  TokenKeyType Type() const override { return inner_->Type(); }
  bool Sign(const unsigned char* in, size_t len, std::vector<unsigned char>& out) override {
    inputLengths.push_back(len);
    return inner_->Sign(in, len, out);
  }
  std::vector<size_t> inputLengths;

 private:
  std::unique_ptr<TokenKey> inner_;
};

CertContextPtr ContextOf(X509* cert) { return std::make_shared<CertContext>(CertContext{test::ToDer(cert), {}, {}, {}}); }

Bytes SignMessage(EVP_PKEY* key, const std::string& message) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> md(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  size_t len = 0;
  if (EVP_DigestSignInit(md.get(), nullptr, EVP_sha256(), nullptr, key) != 1 ||
      EVP_DigestSign(md.get(), nullptr, &len, reinterpret_cast<const unsigned char*>(message.data()), message.size()) != 1)
    return {};
  Bytes sig(len);
  if (EVP_DigestSign(md.get(), sig.data(), &len, reinterpret_cast<const unsigned char*>(message.data()),
                     message.size()) != 1)
    return {};
  sig.resize(len);
  return sig;
}

bool VerifyMessage(X509* cert, const std::string& message, const Bytes& sig) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> md(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  return EVP_DigestVerifyInit(md.get(), nullptr, EVP_sha256(), nullptr, X509_get0_pubkey(cert)) == 1 &&
         EVP_DigestVerify(md.get(), sig.data(), sig.size(), reinterpret_cast<const unsigned char*>(message.data()),
                          message.size()) == 1;
}

std::string ErrorTexts() {
  std::string all;
  char buf[256];
  while (unsigned long e = ERR_get_error()) {
    ERR_error_string_n(e, buf, sizeof buf);
    all += buf;
    all += "\n";
  }
  return all;
}

class PlatformKeysTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { RegisterPlatformMethods(); }
  void SetUp() override { ERR_clear_error(); }
};

TEST_F(PlatformKeysTest, RegistrationMakesNamedCopiesOfTheDefaultsOnce) {
  const RSA_METHOD* rsa = RsaPlatformMethod();
  const EC_KEY_METHOD* ec = EcdsaPlatformMethod();
  ASSERT_NE(rsa, nullptr);
  ASSERT_NE(ec, nullptr);
  EXPECT_STREQ(RSA_meth_get0_name(rsa), "MS RSA CAPI");
  EXPECT_EQ(RSA_meth_get_priv_enc(rsa), &PlatformRsaPrivateEncrypt);
  EXPECT_EQ(RSA_meth_get_pub_dec(rsa), RSA_meth_get_pub_dec(RSA_get_default_method()));
  int (*sign)(int, const unsigned char*, int, unsigned char*, unsigned int*, const BIGNUM*, const BIGNUM*, EC_KEY*);
  int (*setup)(EC_KEY*, BN_CTX*, BIGNUM**, BIGNUM**);
  ECDSA_SIG* (*sig)(const unsigned char*, int, const BIGNUM*, const BIGNUM*, EC_KEY*);
  EC_KEY_METHOD_get_sign(ec, &sign, &setup, &sig);
  EXPECT_NE(sign, nullptr);
  EXPECT_NE(setup, nullptr);
  EXPECT_EQ(sig, &PlatformEcdsaSign);
  RegisterPlatformMethods();
  EXPECT_EQ(RsaPlatformMethod(), rsa);

  ReleasePlatformMethods();
  EXPECT_EQ(RsaPlatformMethod(), nullptr);
  EXPECT_EQ(EcdsaPlatformMethod(), nullptr);
  RegisterPlatformMethods();
  EXPECT_NE(RsaPlatformMethod(), nullptr);
}

TEST_F(PlatformKeysTest, RsaSignatureOnTokenIsModulusLengthAndVerifies) {
  TokenWorld& w = World();
  test::WorldPin pin;
  CertContextPtr cert = w.Find(w.rsaCert.get());
  auto recorder = std::make_unique<Recorder>(w.keys->AcquirePrivateKey(*cert, &pin));
  Recorder* seen = recorder.get();
  SignerKey key(test::MakePlatformSignerKey(cert, std::move(recorder)));
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(EVP_PKEY_get0_provider(key.get()), nullptr);  // OpenSSL's legacy path, where the methods act

  for (const std::string& message : {std::string("ballot"), std::string(1000, 'x')}) {
    Bytes sig = SignMessage(key.get(), message);
    ASSERT_EQ(sig.size(), static_cast<size_t>(RSA_size(EVP_PKEY_get0_RSA(key.get()))));
    EXPECT_EQ(sig.size(), 256u);
    EXPECT_TRUE(VerifyMessage(w.rsaCert.get(), message, sig));
  }
  EXPECT_EQ(seen->inputLengths, (std::vector<size_t>{51, 51}));  // the SHA-256 DigestInfo
}

TEST_F(PlatformKeysTest, EcSignaturesOnTokenVerifyIncludingShortNumbers) {
  TokenWorld& w = World();
  test::WorldPin pin;
  SignerKey key(test::MakePlatformSignerKey(*w.keys, w.Find(w.ecCert.get()), &pin));
  ASSERT_NE(key, nullptr);
  // One r or s in 128 is a byte short; a few hundred signatures meet some.
  int shortOnes = 0;
  for (int i = 0; i < 300; ++i) {
    std::string message = "ballot " + std::to_string(i);
    Bytes sig = SignMessage(key.get(), message);
    ASSERT_FALSE(sig.empty()) << i;
    ASSERT_TRUE(VerifyMessage(w.ecCert.get(), message, sig)) << i;
    const unsigned char* p = sig.data();
    ECDSA_SIG* parsed = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(sig.size()));
    ASSERT_NE(parsed, nullptr);
    if (BN_num_bytes(ECDSA_SIG_get0_r(parsed)) < 32 || BN_num_bytes(ECDSA_SIG_get0_s(parsed)) < 32) ++shortOnes;
    ECDSA_SIG_free(parsed);
  }
  RecordProperty("short_r_or_s", shortOnes);
}

TEST_F(PlatformKeysTest, EcdsaSignSplitsTheTokenAnswerIntoEqualHalves) {
  auto ecKey = test::MakeEcKey();
  auto cert = test::IssueCert(test::CertSpec{}, ecKey.get());
  Bytes r(32, 0), s(32, 0);
  r[2] = 0x01;  // two leading zero bytes
  r[31] = 0x7f;
  s[0] = 0x00;
  s[1] = 0xff;
  s[31] = 0x01;
  struct Case {
    const char* name;
    Bytes answer;
    bool ok;
  };
  Bytes rs = r;
  rs.insert(rs.end(), s.begin(), s.end());
  Bytes odd = rs;
  odd.pop_back();
  const std::vector<Case> cases = {{"leading zeros", rs, true}, {"odd length", odd, false}, {"empty", {}, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ERR_clear_error();
    auto fake = std::make_unique<FakeKey>(TokenKeyType::Ec, [&](const unsigned char*, size_t, Bytes& out) {
      out = c.answer;
      return true;
    });
    FakeKey* seen = fake.get();
    SignerKey key(test::MakePlatformSignerKey(ContextOf(cert.get()), std::move(fake)));
    ASSERT_NE(key, nullptr);
    Bytes digest(32, 0xab);
    ECDSA_SIG* sig = ECDSA_do_sign(digest.data(), 32, const_cast<EC_KEY*>(EVP_PKEY_get0_EC_KEY(key.get())));
    EXPECT_EQ(seen->lastInput, digest);
    if (!c.ok) {
      EXPECT_EQ(sig, nullptr);
      EXPECT_EQ(ERR_GET_LIB(ERR_peek_error()), ERR_LIB_EC);
      continue;
    }
    ASSERT_NE(sig, nullptr);
    BIGNUM* er = BN_bin2bn(r.data(), 32, nullptr);
    BIGNUM* es = BN_bin2bn(s.data(), 32, nullptr);
    EXPECT_EQ(BN_cmp(ECDSA_SIG_get0_r(sig), er), 0);
    EXPECT_EQ(BN_cmp(ECDSA_SIG_get0_s(sig), es), 0);
    EXPECT_EQ(BN_num_bytes(ECDSA_SIG_get0_r(sig)), 30);
    BN_free(er);
    BN_free(es);
    ECDSA_SIG_free(sig);
  }
}

TEST_F(PlatformKeysTest, RsaPrivateEncryptRefusesEveryPaddingButPkcs1) {
  auto rsaKey = test::MakeRsaKey(1024);
  auto cert = test::IssueCert(test::CertSpec{}, rsaKey.get());
  auto fake = std::make_unique<FakeKey>(TokenKeyType::Rsa, [](const unsigned char*, size_t, Bytes& out) {
    out.assign(128, 1);
    return true;
  });
  FakeKey* seen = fake.get();
  SignerKey key(test::MakePlatformSignerKey(ContextOf(cert.get()), std::move(fake)));
  RSA* rsa = const_cast<RSA*>(EVP_PKEY_get0_RSA(key.get()));
  Bytes in(128, 0x5a), out(128);
  for (int padding : {RSA_NO_PADDING, RSA_PKCS1_OAEP_PADDING, RSA_PKCS1_PSS_PADDING, 99}) {
    SCOPED_TRACE(padding);
    ERR_clear_error();
    EXPECT_LE(RSA_private_encrypt(20, in.data(), out.data(), rsa, padding), 0);
    EXPECT_NE(ErrorTexts().find("rsa operations not supported"), std::string::npos);
  }
  EXPECT_EQ(seen->calls, 0);
  EXPECT_EQ(RSA_private_encrypt(20, in.data(), out.data(), rsa, RSA_PKCS1_PADDING), 128);
  EXPECT_EQ(seen->calls, 1);
}

TEST_F(PlatformKeysTest, CallbacksReportTokenFailuresThroughTheErrorQueue) {
  auto rsaKey = test::MakeRsaKey(1024);
  auto rsaCert = test::IssueCert(test::CertSpec{}, rsaKey.get());
  auto ecKey = test::MakeEcKey();
  auto ecCert = test::IssueCert(test::CertSpec{}, ecKey.get());
  struct Case {
    const char* name;
    X509* cert;
    TokenKeyType type;
    FakeKey::SignFn sign;
    int lib;
  };
  const std::vector<Case> cases = {
      {"rsa refused", rsaCert.get(), TokenKeyType::Rsa, [](auto, auto, Bytes&) { return false; }, ERR_LIB_RSA},
      {"rsa one byte short", rsaCert.get(), TokenKeyType::Rsa,
       [](auto, auto, Bytes& out) { return out.assign(127, 1), true; }, ERR_LIB_RSA},
      {"rsa throws", rsaCert.get(), TokenKeyType::Rsa,
       [](auto, auto, Bytes&) -> bool { throw std::runtime_error("boom"); }, ERR_LIB_RSA},
      {"ec refused", ecCert.get(), TokenKeyType::Ec, [](auto, auto, Bytes&) { return false; }, ERR_LIB_EC},
      {"ec throws", ecCert.get(), TokenKeyType::Ec, [](auto, auto, Bytes&) -> bool { throw std::bad_alloc(); },
       ERR_LIB_EC},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ERR_clear_error();
    SignerKey key(test::MakePlatformSignerKey(ContextOf(c.cert), std::make_unique<FakeKey>(c.type, c.sign)));
    ASSERT_NE(key, nullptr);
    EXPECT_TRUE(SignMessage(key.get(), "ballot").empty());
    bool found = false;
    while (unsigned long e = ERR_get_error()) found = found || ERR_GET_LIB(e) == c.lib;
    EXPECT_TRUE(found);
  }
  // A key object of these methods without its context fails the same way.
  RSA* bare = RSA_new();
  RSA_set_method(bare, RsaPlatformMethod());
  RSA_set0_key(bare, BN_dup(RSA_get0_n(EVP_PKEY_get0_RSA(rsaKey.get()))), BN_dup(RSA_get0_e(EVP_PKEY_get0_RSA(rsaKey.get()))),
               nullptr);
  Bytes in(20, 1), out(128);
  EXPECT_LE(RSA_private_encrypt(20, in.data(), out.data(), bare, RSA_PKCS1_PADDING), 0);
  EXPECT_NE(ErrorTexts().find("rsa operations not supported"), std::string::npos);
  RSA_free(bare);
}

TEST_F(PlatformKeysTest, CmsSignedDataWithTokenKeysVerifies) {
  TokenWorld& w = World();
  test::TempDir dir;
  test::WriteFile(dir / "ca.pem", test::ToPem(w.ca.cert.get()));
  const std::string content = "glasovnica=1&kandidat=7";
  test::WriteFile(dir / "content.bin", content);
  for (auto [cert, digestInput] : {std::pair{w.rsaCert.get(), size_t{51}}, std::pair{w.ecCert.get(), size_t{32}}}) {
    SCOPED_TRACE(digestInput);
    test::WorldPin pin;
    CertContextPtr ctx = w.Find(cert);
    auto recorder = std::make_unique<Recorder>(w.keys->AcquirePrivateKey(*ctx, &pin));
    Recorder* seen = recorder.get();
    SignerKey key(test::MakePlatformSignerKey(ctx, std::move(recorder)));
    ASSERT_NE(key, nullptr);

    BIO* in = BIO_new_mem_buf(content.data(), static_cast<int>(content.size()));
    CMS_ContentInfo* cms = CMS_sign(nullptr, nullptr, nullptr, nullptr, CMS_BINARY | CMS_PARTIAL);
    ASSERT_NE(cms, nullptr);
    ASSERT_NE(CMS_add1_signer(cms, cert, key.get(), EVP_sha256(), CMS_BINARY), nullptr);
    ASSERT_EQ(CMS_final(cms, in, nullptr, CMS_BINARY), 1) << ErrorTexts();
    BIO_free(in);
    unsigned char* der = nullptr;
    int len = i2d_CMS_ContentInfo(cms, &der);
    CMS_ContentInfo_free(cms);
    ASSERT_GT(len, 0);
    test::WriteFile(dir / "signed.der", Bytes(der, der + len));
    OPENSSL_free(der);
    EXPECT_EQ(seen->inputLengths, std::vector<size_t>{digestInput});

    std::string output;
    EXPECT_EQ(test::RunCommand("openssl cms -verify -inform DER -in " + (dir / "signed.der") + " -CAfile " +
                                   (dir / "ca.pem") + " -binary -out " + (dir / "out.bin"),
                               &output),
              0)
        << output;
    EXPECT_EQ(test::ReadFile(dir / "out.bin"), content);
  }
}

TEST_F(PlatformKeysTest, ReleaseFreesContextCertificateAndOwnedKeyOnly) {
  auto ecKey = test::MakeEcKey();
  auto cert = test::IssueCert(test::CertSpec{}, ecKey.get());
  for (bool owns : {true, false}) {
    SCOPED_TRACE(owns);
    bool destroyed = false;
    CertContextPtr ctx = ContextOf(cert.get());
    std::weak_ptr<const CertContext> watch = ctx;
    auto fake = std::make_unique<FakeKey>(TokenKeyType::Ec, [](auto, auto, Bytes&) { return false; }, &destroyed);
    FakeKey* raw = fake.get();
    EVP_PKEY* key = test::MakePlatformSignerKey(ctx, std::move(fake), owns);
    ctx.reset();
    ASSERT_NE(key, nullptr);
    EXPECT_FALSE(watch.expired());
    ReleaseSignerKey(key);
    EXPECT_EQ(key, nullptr);
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(destroyed, owns);
    if (!owns) delete raw;
  }
  EVP_PKEY* none = nullptr;
  ReleaseSignerKey(none);
  FreePlatformKeyContext(nullptr);
}

TEST_F(PlatformKeysTest, ReleasedTokenKeyLeavesNoSessionAndNoLogin) {
  TokenWorld& w = World();
  for (X509* cert : {w.rsaCert.get(), w.ecCert.get()}) {
    test::WorldPin pin;
    EVP_PKEY* key = test::MakePlatformSignerKey(*w.keys, w.Find(cert), &pin);
    ASSERT_NE(key, nullptr);
    EXPECT_FALSE(SignMessage(key, "ballot").empty());
    EXPECT_GT(w.keys->OpenSessionCount(), 0);
    ReleaseSignerKey(key);
    EXPECT_EQ(w.keys->OpenSessionCount(), 0);
  }
}

TEST_F(PlatformKeysTest, CancelledPinFailsTheSignatureCleanly) {
  TokenWorld& w = World();
  for (auto [cert, lib] : {std::pair{w.rsaCert.get(), ERR_LIB_RSA}, std::pair{w.ecCert.get(), ERR_LIB_EC}}) {
    ERR_clear_error();
    test::ScriptedPinPrompt cancel({std::nullopt});
    SignerKey key(test::MakePlatformSignerKey(*w.keys, w.Find(cert), &cancel));
    ASSERT_NE(key, nullptr);
    EXPECT_TRUE(SignMessage(key.get(), "ballot").empty());
    EXPECT_EQ(cancel.Calls(), 1);
    bool found = false;
    while (unsigned long e = ERR_get_error()) found = found || ERR_GET_LIB(e) == lib;
    EXPECT_TRUE(found);
  }
  EXPECT_EQ(w.keys->OpenSessionCount(), 0);
}

}  // namespace
}  // namespace kovrax
