#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <p11-kit/pkcs11.h>
#include <dlfcn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include "TokenWorld.h"
#include "platform/CertStore.h"
#include "platform/KeyStorage.h"

namespace kovrax {
namespace {

using test::Bytes;
using test::TokenWorld;
using test::World;

class PinEnv {
 public:
  explicit PinEnv(const char* pin) {
    if (pin) setenv("KOVRAX_PKCS11_PIN", pin, 1);
    else unsetenv("KOVRAX_PKCS11_PIN");
  }
  ~PinEnv() { unsetenv("KOVRAX_PKCS11_PIN"); }
};

// Verifies a raw signature from TokenKey::Sign with the certificate's public key.
bool VerifiesWithCert(X509* cert, const Bytes& digest, const Bytes& sig) {
  EVP_PKEY* pub = X509_get0_pubkey(cert);
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(EVP_PKEY_CTX_new(pub, nullptr), EVP_PKEY_CTX_free);
  if (!ctx || EVP_PKEY_verify_init(ctx.get()) != 1) return false;
  if (EVP_PKEY_get_base_id(pub) == EVP_PKEY_RSA) {
    EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING);
    EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha256());
    return EVP_PKEY_verify(ctx.get(), sig.data(), sig.size(), digest.data(), digest.size()) == 1;
  }
  // r||s to DER for OpenSSL.
  ECDSA_SIG* es = ECDSA_SIG_new();
  size_t half = sig.size() / 2;
  ECDSA_SIG_set0(es, BN_bin2bn(sig.data(), static_cast<int>(half), nullptr),
                 BN_bin2bn(sig.data() + half, static_cast<int>(half), nullptr));
  unsigned char* der = nullptr;
  int len = i2d_ECDSA_SIG(es, &der);
  ECDSA_SIG_free(es);
  bool ok = EVP_PKEY_verify(ctx.get(), der, static_cast<size_t>(len), digest.data(), digest.size()) == 1;
  OPENSSL_free(der);
  return ok;
}

Bytes Sha256(const std::string& text) {
  Bytes d(32);
  unsigned int len = 0;
  EVP_Digest(text.data(), text.size(), d.data(), &len, EVP_sha256(), nullptr);
  return d;
}

// DigestInfo for SHA-256, as OpenSSL builds it before private-encrypt.
Bytes DigestInfo(const Bytes& digest) {
  Bytes info = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00,
                0x04, 0x20};
  info.insert(info.end(), digest.begin(), digest.end());
  return info;
}

// Whether the token is logged in for the process, seen from a session of our own.
bool TokenLoggedIn(const std::string& label) {
  void* h = dlopen(test::SoftHsmToken::ModulePath(), RTLD_NOW | RTLD_NOLOAD);
  if (!h) return false;
  CK_FUNCTION_LIST_PTR f = nullptr;
  reinterpret_cast<CK_C_GetFunctionList>(dlsym(h, "C_GetFunctionList"))(&f);
  bool in = false;
  CK_SLOT_ID slots[16];
  CK_ULONG n = 16;
  f->C_GetSlotList(CK_TRUE, slots, &n);
  for (CK_ULONG i = 0; i < n; ++i) {
    CK_TOKEN_INFO ti;
    f->C_GetTokenInfo(slots[i], &ti);
    std::string l(reinterpret_cast<char*>(ti.label), sizeof ti.label);
    if (l.substr(0, label.size()) != label || l.find_first_not_of(' ', label.size()) != std::string::npos) continue;
    CK_SESSION_HANDLE s;
    f->C_OpenSession(slots[i], CKF_SERIAL_SESSION, nullptr, nullptr, &s);
    CK_SESSION_INFO si;
    f->C_GetSessionInfo(s, &si);
    in = si.state != CKS_RO_PUBLIC_SESSION;
    f->C_CloseSession(s);
  }
  dlclose(h);
  return in;
}

TEST(KeyStorage, LoadOfMissingOrForeignModuleFailsWithReason) {
  for (const char* module : {"/nonexistent/pkcs11.so", "libz.so.1", ""}) {
    std::string error;
    EXPECT_EQ(KeyStorage::Load(module, &error), nullptr) << module;
    EXPECT_FALSE(error.empty()) << module;
  }
}

TEST(KeyStorage, PersonalCertificatesListKeyedCertificatesOnceInStableOrder) {
  TokenWorld& w = World();
  auto first = w.keys->PersonalCertificates();
  // "Gone" is deleted by another test of this program.
  first.erase(std::remove_if(first.begin(), first.end(), [](const auto& c) { return c->TokenLabel == "Gone"; }),
              first.end());
  ASSERT_EQ(first.size(), 3u);
  // Sorted by token label: the RSA certificate sits on both tokens and is listed once, from "Spare".
  EXPECT_EQ(first[0]->TokenLabel, "Spare");
  EXPECT_EQ(first[1]->TokenLabel, "Spare");
  EXPECT_EQ(first[2]->TokenLabel, "Voter");
  std::vector<Bytes> ders;
  for (const auto& c : first) ders.push_back(c->Der);
  EXPECT_EQ(std::count(ders.begin(), ders.end(), test::ToDer(w.rsaCert.get())), 1);
  EXPECT_EQ(std::count(ders.begin(), ders.end(), test::ToDer(w.ca.cert.get())), 0);  // no key with it
  EXPECT_EQ(std::count(ders.begin(), ders.end(), test::ToDer(w.ecCert.get())), 1);
  EXPECT_EQ(std::count(ders.begin(), ders.end(), test::ToDer(w.spareCert.get())), 1);
  for (const auto& c : first) {
    EXPECT_FALSE(c->TokenId.empty());
    EXPECT_FALSE(c->KeyId.empty());
  }

  auto again = w.keys->PersonalCertificates();
  again.erase(std::remove_if(again.begin(), again.end(), [](const auto& c) { return c->TokenLabel == "Gone"; }),
              again.end());
  ASSERT_EQ(again.size(), first.size());
  for (size_t i = 0; i < first.size(); ++i) {
    EXPECT_EQ(again[i]->Der, first[i]->Der);
    EXPECT_EQ(again[i]->TokenId, first[i]->TokenId);
  }

  // The personal store is the same list.
  TSettings settings = TSettings::Defaults();
  auto my = OpenSystemStore(settings, w.keys.get(), "my", StoreLocation::CurrentUser);
  ASSERT_NE(my, nullptr);
  EXPECT_EQ(my->Enumerate().size(), w.keys->PersonalCertificates().size());
  EXPECT_EQ(my->AddNew(test::ToDer(w.ca.cert.get())), AddResult::Failed);
  EXPECT_EQ(w.keys->OpenSessionCount(), 0);
}

TEST(KeyStorage, AcquireFailsForCertificatesWithoutKeyOrToken) {
  TokenWorld& w = World();
  CertContextPtr ec = w.Find(w.ecCert.get());
  ASSERT_NE(ec, nullptr);

  CertContext noKey = *ec;
  noKey.Der = test::ToDer(w.ca.cert.get());
  noKey.KeyId = {0x03};
  CertContext otherToken = *ec;
  otherToken.TokenId += "-gone";
  CertContext offToken = *ec;
  offToken.TokenId.clear();
  for (const CertContext* c : {&noKey, &otherToken, &offToken}) EXPECT_EQ(w.keys->AcquirePrivateKey(*c, nullptr), nullptr);
  EXPECT_EQ(w.keys->OpenSessionCount(), 0);
}

TEST(KeyStorage, SignaturesVerifyWithTheCertificateKey) {
  TokenWorld& w = World();
  test::ScriptedPinPrompt pin({std::string(TokenWorld::kSparePin)});
  {
    std::vector<std::unique_ptr<TokenKey>> held;  // both alive: the second rides on the first login
    for (X509* cert : {w.rsaCert.get(), w.spareCert.get()}) {
      CertContextPtr ctx = w.Find(cert);
      ASSERT_EQ(ctx->TokenLabel, "Spare");
      auto key = w.keys->AcquirePrivateKey(*ctx, &pin);
      ASSERT_NE(key, nullptr);
      bool rsa = key->Type() == TokenKeyType::Rsa;
      for (const char* text : {"ballot", "another ballot"}) {
        Bytes digest = Sha256(text);
        Bytes sig;
        ASSERT_TRUE(key->Sign(rsa ? DigestInfo(digest).data() : digest.data(), rsa ? 51 : 32, sig));
        EXPECT_EQ(sig.size(), rsa ? 256u : 64u);
        EXPECT_TRUE(VerifiesWithCert(cert, digest, sig)) << text;
      }
      held.push_back(std::move(key));
    }
    EXPECT_EQ(pin.Calls(), 1);
    EXPECT_EQ(pin.LastToken(), "Spare");
    EXPECT_TRUE(TokenLoggedIn("Spare"));
  }
  EXPECT_EQ(w.keys->OpenSessionCount(), 0);
  EXPECT_FALSE(TokenLoggedIn("Spare"));  // the last session closed logs the token out
}

TEST(KeyStorage, WrongOrCancelledPinFailsTheSignatureAfterBoundedAttempts) {
  TokenWorld& w = World();
  CertContextPtr spare = w.Find(w.spareCert.get());
  Bytes digest = Sha256("x");
  struct Case {
    const char* name;
    std::vector<std::optional<std::string>> answers;
    bool signs;
    int calls;
  };
  const std::vector<Case> cases = {
      {"always wrong", {std::string("0000")}, false, 3},
      {"cancelled", {std::nullopt}, false, 1},
      {"wrong then cancelled", {std::string("0000"), std::nullopt}, false, 2},
      {"wrong then right", {std::string("0000"), std::string(TokenWorld::kSparePin)}, true, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::ScriptedPinPrompt pin(c.answers);
    auto key = w.keys->AcquirePrivateKey(*spare, &pin);
    ASSERT_NE(key, nullptr);
    Bytes sig;
    EXPECT_EQ(key->Sign(digest.data(), digest.size(), sig), c.signs);
    EXPECT_EQ(sig.empty(), !c.signs);
    EXPECT_EQ(pin.Calls(), c.calls);
    EXPECT_FALSE(pin.Retries().front());
    if (pin.Calls() > 1) {
      EXPECT_TRUE(pin.Retries()[1]);
    }
    EXPECT_EQ(pin.LastCertName(), "Spare Holder");
  }
  EXPECT_EQ(w.keys->OpenSessionCount(), 0);
  EXPECT_EQ(ERR_peek_error(), 0u);
}

TEST(KeyStorage, HeadlessPinComesFromTheEnvironmentAndIsTriedOnce) {
  TokenWorld& w = World();
  CertContextPtr ec = w.Find(w.ecCert.get());
  Bytes digest = Sha256("y");
  for (auto [pin, signs] : {std::pair{"9999", false}, std::pair{TokenWorld::kPin, true}}) {
    PinEnv env(pin);
    auto key = w.keys->AcquirePrivateKey(*ec, nullptr);
    ASSERT_NE(key, nullptr);
    Bytes sig;
    EXPECT_EQ(key->Sign(digest.data(), digest.size(), sig), signs) << pin;
  }
}

// Without a prompt, an environment PIN or a terminal, signing fails at once. The child leaves
// its controlling terminal so that the test cannot wait for one.
TEST(KeyStorage, HeadlessWithoutTerminalFailsWithoutWaiting) {
  TokenWorld& w = World();
  CertContextPtr ec = w.Find(w.ecCert.get());
  PinEnv env(nullptr);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    setsid();
    alarm(20);
    auto key = w.keys->AcquirePrivateKey(*ec, nullptr);
    Bytes digest = Sha256("z"), sig;
    _exit(key && !key->Sign(digest.data(), digest.size(), sig) && sig.empty() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(KeyStorage, KeyOfATokenThatWentAwayFailsToSign) {
  TokenWorld& w = World();
  CertContextPtr gone = w.Find(w.goneCert.get());
  ASSERT_NE(gone, nullptr);
  test::ScriptedPinPrompt pin({std::string(TokenWorld::kPin)});
  auto tokenKey = w.keys->AcquirePrivateKey(*gone, &pin);
  ASSERT_NE(tokenKey, nullptr);
  w.token->DeleteToken("Gone");
  Bytes digest = Sha256("gone"), sig;
  EXPECT_FALSE(tokenKey->Sign(digest.data(), digest.size(), sig));
  EXPECT_TRUE(sig.empty());
  EXPECT_EQ(w.keys->AcquirePrivateKey(*gone, &pin), nullptr);
  tokenKey.reset();
  EXPECT_EQ(w.keys->OpenSessionCount(), 0);
}

}  // namespace
}  // namespace kovrax
