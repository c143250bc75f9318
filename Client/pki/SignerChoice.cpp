#include "pki/SignerChoice.h"

#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/rsa.h>

#include <new>

#include "pki/IssuerList.h"
#include "pki/VerifyCert.h"
#include "pki/X509Util.h"
#include "platform/KeyStorage.h"
#include "platform/PlatformKeys.h"
#include "platform/TerminalCertChooser.h"

namespace kovrax::pki {

namespace {

constexpr const char* kFn = "TActiveXThread::LoadFromCAPI";

struct RsaDeleter { void operator()(RSA* p) const { RSA_free(p); } };
struct EcKeyDeleter { void operator()(EC_KEY* p) const { EC_KEY_free(p); } };

// The issuer's fingerprint text for the filter, or empty when the certificate is to be skipped.
std::string FingerprintFor(const CertContext& c, ICertStore& root, ICertStore& ca, bool melsaFallback,
                           const AuthoritySlot& melsa) {
  CertContextPtr issuer = root.FindIssuer(c);
  if (!issuer) issuer = ca.FindIssuer(c);
  if (issuer) {
    if (SimpleDisplayName(issuer->Der, false).empty()) return {};
    return HexLower(Sha1Thumbprint(issuer->Der));
  }
  // The ballot service's own authority need not be installed for its voters' certificates.
  if (!melsaFallback || melsa.Prefix.empty()) return {};
  if (SimpleDisplayName(c.Der, true) != melsa.Name) return {};
  return melsa.Prefix;
}

CertContextPtr Choose(PkiSite& site, ICertStore& candidates) {
  std::vector<CertContextPtr> all = candidates.Enumerate();
  std::vector<X509Ptr> parsed;
  std::vector<X509*> shown;
  for (const CertContextPtr& c : all) {
    parsed.emplace_back(GetX509(c->Der));
    shown.push_back(parsed.back().get());
  }
  int index = -1;
  if (site.Services.Chooser != nullptr) {
    index = site.Services.Chooser->Choose(shown);
  } else {
    TerminalCertChooser terminal;
    index = terminal.Choose(shown);
  }
  if (index < 0 || static_cast<std::size_t>(index) >= all.size()) KOVRA_RAISE(1013, 1961, kFn);
  return all[static_cast<std::size_t>(index)];
}

// Gives the key object the token's private operations; ctx goes with it on success.
void BuildRsa(EVP_PKEY* key, EVP_PKEY* pub, PlatformKeyContext* ctx) {
  const RSA* pubRsa = EVP_PKEY_get0_RSA(pub);
  if (pubRsa == nullptr) KOVRA_RAISE(1011, 1991, kFn);
  std::unique_ptr<RSA, RsaDeleter> rsa(RSA_new());
  if (!rsa) KOVRA_RAISE(1008, 1992, kFn);
  if (RsaPlatformMethod() == nullptr || RSA_set_method(rsa.get(), RsaPlatformMethod()) != 1)
    KOVRA_RAISE(1008, 1993, kFn);
  RSA_set_flags(rsa.get(), RSA_FLAG_EXT_PKEY);
  const BIGNUM* n = nullptr;
  const BIGNUM* e = nullptr;
  RSA_get0_key(pubRsa, &n, &e, nullptr);
  BIGNUM* nn = BN_dup(n);
  BIGNUM* ee = BN_dup(e);
  if (nn == nullptr || ee == nullptr || RSA_set0_key(rsa.get(), nn, ee, nullptr) != 1) {
    BN_free(nn);
    BN_free(ee);
    KOVRA_RAISE(1008, 1994, kFn);
  }
  if (RSA_set_ex_data(rsa.get(), 0, ctx) != 1) KOVRA_RAISE(1008, 1995, kFn);
  if (EVP_PKEY_assign_RSA(key, rsa.get()) != 1) KOVRA_RAISE(1008, 1996, kFn);
  rsa.release();
}

void BuildEc(EVP_PKEY* key, EVP_PKEY* pub, PlatformKeyContext* ctx) {
  const EC_KEY* pubEc = EVP_PKEY_get0_EC_KEY(pub);
  if (pubEc == nullptr) KOVRA_RAISE(1011, 2001, kFn);
  std::unique_ptr<EC_KEY, EcKeyDeleter> ec(EC_KEY_new());
  if (!ec) KOVRA_RAISE(1008, 2002, kFn);
  if (EcdsaPlatformMethod() == nullptr || EC_KEY_set_method(ec.get(), EcdsaPlatformMethod()) != 1)
    KOVRA_RAISE(1008, 2004, kFn);
  if (EC_KEY_set_group(ec.get(), EC_KEY_get0_group(pubEc)) != 1 ||
      EC_KEY_set_public_key(ec.get(), EC_KEY_get0_public_key(pubEc)) != 1)
    KOVRA_RAISE(1008, 2005, kFn);
  EC_KEY_set_enc_flags(ec.get(), EC_KEY_get_enc_flags(pubEc));
  EC_KEY_set_conv_form(ec.get(), EC_KEY_get_conv_form(pubEc));
  if (EC_KEY_set_ex_data(ec.get(), 0, ctx) != 1) KOVRA_RAISE(1008, 2006, kFn);
  if (EVP_PKEY_assign_EC_KEY(key, ec.get()) != 1) KOVRA_RAISE(1008, 2007, kFn);
  ec.release();
}

}  // namespace

CertContextPtr FindByHash(ICertStore& store, const std::string& hash) {
  if (hash.empty()) return nullptr;
  for (const CertContextPtr& c : store.Enumerate()) {
    X509Ptr cert(GetX509(c->Der));
    if (CertThumbprint(cert.get()) == hash) return c;
  }
  return nullptr;
}

bool LoadFromCAPI(PkiSite& site, EVP_PKEY*& key, X509*& cert, std::string* failure) {
  key = nullptr;
  cert = nullptr;
  std::vector<std::string> permitted;
  std::unique_ptr<ICertStore> my, root, ca, candidates;
  PlatformKeyContext* ctx = nullptr;
  try {
    ctx = new (std::nothrow) PlatformKeyContext();
    if (ctx == nullptr) KOVRA_RAISE(1008, 1915, kFn);

    const TSettings& s = site.Settings;
    my = OpenSystemStore(s, site.Services.Keys, "MY", StoreLocation::CurrentUser);
    if (!my) KOVRA_RAISE(1010, 1920, kFn);
    root = OpenSystemStore(s, site.Services.Keys, "Root", StoreLocation::CurrentUser);
    if (!root) KOVRA_RAISE(1010, 1922, kFn);
    ca = OpenSystemStore(s, site.Services.Keys, "CA", StoreLocation::CurrentUser);
    if (!ca) KOVRA_RAISE(1010, 1924, kFn);

    auto param = [&](const char* name, const std::string& def) {
      return site.GetParam ? site.GetParam(name, def) : def;
    };
    CertContextPtr chosen = FindByHash(*my, param("CertHash", s.CertHash));
    if (!chosen) {
      candidates = NewMemoryStore();
      if (!candidates) KOVRA_RAISE(1010, 1931, kFn);
      permitted = GetIssuerFPs(s.IssuerHashes, param("CA", ""), 'u');
      const AuthoritySlot& melsa = site.Authorities().Slots[kMelsaCaG2];
      bool& melsaFallback = site.RootFlags[kMelsaCaG2];
      melsaFallback = false;
      for (const std::string& p : permitted)
        if (!melsa.Prefix.empty() && EqualsNoCase(p, melsa.Prefix)) melsaFallback = true;

      int counted = 0;
      for (const CertContextPtr& c : my->Enumerate()) {
        if (permitted.empty()) {
          if (!candidates->AddAlways(c)) KOVRA_RAISE(1010, 1940, kFn);
          continue;
        }
        const std::string fp = FingerprintFor(*c, *root, *ca, melsaFallback, melsa);
        if (fp.empty()) continue;
        for (const std::string& p : permitted) {
          if (!StartsWithNoCase(fp, p)) continue;
          if (!candidates->AddAlways(c)) KOVRA_RAISE(1010, 1948, kFn);
          ++counted;
          break;
        }
      }
      if (counted == 1) {
        std::vector<CertContextPtr> one = candidates->Enumerate();
        if (one.empty()) KOVRA_RAISE(1013, 1955, kFn);
        chosen = one.front();
      } else {
        chosen = Choose(site, *candidates);
      }
    }

    ctx->Certificate = chosen;
    cert = GetX509(chosen->Der);
    if (!VerifyCert(site, cert, 'u')) KOVRA_RAISE(1043, 1970, kFn);

    ca.reset();
    root.reset();
    my.reset();

    ctx->KeySpec = AT_SIGNATURE;
    ctx->OwnsKey = false;
    std::unique_ptr<TokenKey> token;
    if (site.Services.Keys != nullptr) token = site.Services.Keys->AcquirePrivateKey(*chosen, site.Services.Pin);
    if (!token) KOVRA_RAISE(1012, 1978, kFn);
    ctx->AcquiredKey = token.release();
    ctx->KeyHandle = ctx->AcquiredKey;
    ctx->OwnsKey = true;
    ctx->KeySpec = CERT_NCRYPT_KEY_SPEC;

    EvpPkeyPtr pub(X509_get_pubkey(cert));
    if (!pub) KOVRA_RAISE(1011, 1983, kFn);
    key = EVP_PKEY_new();
    if (key == nullptr) KOVRA_RAISE(1008, 1985, kFn);
    switch (EVP_PKEY_id(pub.get())) {
      case EVP_PKEY_RSA:
        BuildRsa(key, pub.get(), ctx);
        break;
      case EVP_PKEY_EC:
        BuildEc(key, pub.get(), ctx);
        break;
      default:
        // No token method can sign for it: a success now would only fail at signing.
        KOVRA_RAISE(1012, 1990, kFn);
    }
    ctx = nullptr;  // the key owns it now
    candidates.reset();
    return true;
  } catch (const KovraException& e) {
    if (failure != nullptr) *failure = e.Message();
  } catch (const std::exception& e) {
    if (failure != nullptr) *failure = e.what();
  } catch (...) {
    if (failure != nullptr) failure->clear();
  }
  permitted.clear();
  ca.reset();
  root.reset();
  my.reset();
  candidates.reset();
  FreePlatformKeyContext(ctx);
  X509_free(cert);
  cert = nullptr;
  EVP_PKEY_free(key);
  key = nullptr;
  return false;
}

}  // namespace kovrax::pki

namespace kovrax {
bool TActiveXThread::LoadFromCAPI(EVP_PKEY*& key, X509*& cert) {
  pki::PkiSite site = pki::SiteOf(*this);
  return pki::LoadFromCAPI(site, key, cert);
}
}  // namespace kovrax
