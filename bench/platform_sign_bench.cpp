// Signing through the platform key methods against a direct C_Sign on the same SoftHSM2 key.
#include <dlfcn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <p11-kit/pkcs11.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "platform/KeyStorage.h"
#include "platform/PlatformKeys.h"
#include "support/SoftHsmToken.h"

using namespace kovrax;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kPin = "1234";

class FixedPin : public IPinPrompt {
 public:
  std::optional<std::string> AskPin(const std::string&, const std::string&, bool) override { return std::string(kPin); }
};

// A session of the bench's own on the token, logged in, with the private key of a CKA_ID.
struct Direct {
  CK_FUNCTION_LIST_PTR f = nullptr;
  CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
  CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
  CK_MECHANISM_TYPE mechanism = 0;
  std::vector<unsigned char> sig = std::vector<unsigned char>(512);

  bool Open(const std::string& label, unsigned char id, CK_MECHANISM_TYPE mech) {
    void* h = dlopen(test::SoftHsmToken::ModulePath(), RTLD_NOW | RTLD_NOLOAD);
    if (!h) return false;
    auto get = reinterpret_cast<CK_C_GetFunctionList>(dlsym(h, "C_GetFunctionList"));
    if (!get || get(&f) != CKR_OK) return false;
    mechanism = mech;
    CK_SLOT_ID slots[8];
    CK_ULONG n = 8;
    f->C_GetSlotList(CK_TRUE, slots, &n);
    for (CK_ULONG i = 0; i < n; ++i) {
      CK_TOKEN_INFO ti;
      f->C_GetTokenInfo(slots[i], &ti);
      std::string l(reinterpret_cast<char*>(ti.label), sizeof ti.label);
      if (l.compare(0, label.size(), label) != 0) continue;
      f->C_OpenSession(slots[i], CKF_SERIAL_SESSION, nullptr, nullptr, &session);
      CK_RV rv = f->C_Login(session, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(kPin)), 4);
      if (rv != CKR_OK && rv != CKR_USER_ALREADY_LOGGED_IN) return false;
      CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
      CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_ID, &id, 1}};
      f->C_FindObjectsInit(session, tmpl, 2);
      CK_ULONG found = 0;
      f->C_FindObjects(session, &key, 1, &found);
      f->C_FindObjectsFinal(session);
      return found == 1;
    }
    return false;
  }
  bool Sign(const std::vector<unsigned char>& in) {
    CK_MECHANISM mech{mechanism, nullptr, 0};
    CK_ULONG len = sig.size();
    return f->C_SignInit(session, &mech, key) == CKR_OK &&
           f->C_Sign(session, const_cast<unsigned char*>(in.data()), in.size(), sig.data(), &len) == CKR_OK;
  }
  ~Direct() {
    if (session != CK_INVALID_HANDLE) f->C_CloseSession(session);
  }
};

// The method objects as OpenSSL's RSA and ECDSA layers call them.
bool SignThroughMethods(EVP_PKEY* key, const std::vector<unsigned char>& digest) {
  unsigned char sig[512];
  if (EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA) {
    unsigned int len = 0;
    return RSA_sign(NID_sha256, digest.data(), static_cast<unsigned>(digest.size()), sig, &len,
                    const_cast<RSA*>(EVP_PKEY_get0_RSA(key))) == 1;
  }
  ECDSA_SIG* s = ECDSA_do_sign(digest.data(), static_cast<int>(digest.size()), const_cast<EC_KEY*>(EVP_PKEY_get0_EC_KEY(key)));
  ECDSA_SIG_free(s);
  return s != nullptr;
}

// The whole EVP path a CMS signature takes (context, legacy dispatch, DER of the signature).
bool SignThroughEvp(EVP_PKEY* key, const std::vector<unsigned char>& digest) {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
  unsigned char sig[512];
  size_t len = sizeof sig;
  bool ok = ctx && EVP_PKEY_sign_init(ctx) == 1 && EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256()) == 1 &&
            EVP_PKEY_sign(ctx, sig, &len, digest.data(), digest.size()) == 1;
  EVP_PKEY_CTX_free(ctx);
  return ok;
}

double MedianMicros(std::vector<double>& v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Alternates the two ways so that both see the same machine load.
void Compare(const char* name, int rounds, const std::function<bool()>& wrapped, const std::function<bool()>& direct) {
  std::vector<double> w, d;
  for (int i = 0; i < rounds; ++i) {
    for (int k = 0; k < 2; ++k) {
      bool viaMethods = (i + k) % 2 == 0;
      auto t0 = Clock::now();
      bool ok = viaMethods ? wrapped() : direct();
      double us = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
      if (!ok) {
        std::fprintf(stderr, "%s: %s signature failed\n", name, viaMethods ? "method" : "direct");
        std::exit(1);
      }
      (viaMethods ? w : d).push_back(us);
    }
  }
  double mw = MedianMicros(w), md = MedianMicros(d);
  std::printf("%-10s  through the methods %9.1f us   direct C_Sign %9.1f us   overhead %+6.2f %%\n", name, mw, md,
              100.0 * (mw - md) / md);
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 1 ? std::max(10, std::atoi(argv[1])) : 300;
  auto rsaKey = test::MakeRsaKey(2048);
  auto ecKey = test::MakeEcKey();
  test::CertSpec spec;
  spec.cn = "Bench RSA";
  auto rsaCert = test::IssueCert(spec, rsaKey.get());
  spec.cn = "Bench EC";
  auto ecCert = test::IssueCert(spec, ecKey.get());
  test::SoftHsmToken token("Bench", kPin,
                           {test::MakeTokenObject("01", rsaKey.get(), rsaCert.get()),
                            test::MakeTokenObject("02", ecKey.get(), ecCert.get())});

  RegisterPlatformMethods();
  std::string error;
  auto keys = KeyStorage::Load(test::SoftHsmToken::ModulePath(), &error);
  if (!keys) {
    std::fprintf(stderr, "KeyStorage::Load: %s\n", error.c_str());
    return 1;
  }
  FixedPin pin;
  EVP_PKEY* rsaSigner = nullptr;
  EVP_PKEY* ecSigner = nullptr;
  for (const auto& c : keys->PersonalCertificates()) {
    EVP_PKEY* k = test::MakePlatformSignerKey(*keys, c, &pin);
    (c->Der == test::ToDer(rsaCert.get()) ? rsaSigner : ecSigner) = k;
  }
  Direct rsaDirect, ecDirect;
  if (!rsaSigner || !ecSigner || !rsaDirect.Open("Bench", 0x01, CKM_RSA_PKCS) ||
      !ecDirect.Open("Bench", 0x02, CKM_ECDSA)) {
    std::fprintf(stderr, "bench set-up failed\n");
    return 1;
  }

  std::vector<unsigned char> digest(32, 0x5c);
  static const unsigned char kSha256Prefix[19] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                                  0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
  std::vector<unsigned char> digestInfo(51);
  std::copy(kSha256Prefix, kSha256Prefix + 19, digestInfo.begin());
  std::copy(digest.begin(), digest.end(), digestInfo.begin() + 19);
  // Warm-up: the first signature logs in.
  SignThroughEvp(rsaSigner, digest);
  SignThroughEvp(ecSigner, digest);

  std::printf("median of %d signatures each, SoftHSM2 (target: under 5 %% overhead)\n", rounds);
  Compare("RSA-2048", rounds, [&] { return SignThroughMethods(rsaSigner, digest); },
          [&] { return rsaDirect.Sign(digestInfo); });
  Compare("P-256", rounds, [&] { return SignThroughMethods(ecSigner, digest); }, [&] { return ecDirect.Sign(digest); });
  std::printf("with OpenSSL's EVP layer on top (for reference):\n");
  Compare("RSA-2048", rounds, [&] { return SignThroughEvp(rsaSigner, digest); },
          [&] { return rsaDirect.Sign(digestInfo); });
  Compare("P-256", rounds, [&] { return SignThroughEvp(ecSigner, digest); }, [&] { return ecDirect.Sign(digest); });

  ReleaseSignerKey(rsaSigner);
  ReleaseSignerKey(ecSigner);
  ReleasePlatformMethods();
  return 0;
}
