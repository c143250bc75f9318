#include "pki/PkiWorld.h"

#include <gtest/gtest.h>
#include <openssl/x509_vfy.h>

#include <algorithm>

namespace kovrax::test {

namespace {
CertPtr Leaf(const std::string& cn, EVP_PKEY* key, const Authority& ca, long notBefore, long notAfter) {
  CertSpec spec;
  spec.cn = cn;
  spec.o = "Test";
  spec.notBeforeOffset = notBefore;
  spec.notAfterOffset = notAfter;
  spec.keyUsage = "digitalSignature,nonRepudiation";
  return IssueCert(spec, key, ca.cert.get(), ca.key.get());
}
// P-256 authorities: RSA key generation would dominate the suite's time.
Authority EcAuthority(const std::string& cn, const std::string& o, const Authority* parent) {
  Authority a;
  a.key = MakeEcKey();
  CertSpec spec;
  spec.cn = cn;
  spec.o = o;
  spec.ca = true;
  spec.notAfterOffset = 10L * 365 * 24 * 3600;
  a.cert = parent ? IssueCert(spec, a.key.get(), parent->cert.get(), parent->key.get()) : IssueCert(spec, a.key.get());
  return a;
}
}  // namespace

X509* PkiWorld::SlotCert(std::size_t slot) const {
  switch (slot) {
    case pki::kIsrgRootX1: return serverRoot.cert.get();
    case pki::kMelsaCaG2: return melsa.cert.get();
    case pki::kSiTrustEidPodpis: return eid.cert.get();
    case pki::kSiTrustRoot: return userRoot.cert.get();
    default: return sigen.cert.get();
  }
}

const PkiWorld& PkiWorld::Get() {
  static const PkiWorld* world = [] {
    auto* w = new PkiWorld;
    w->serverRoot = EcAuthority("Test Server Root", "Test", nullptr);
    w->melsa = EcAuthority("Melsa CA G2", "Melsa", nullptr);
    w->userRoot = EcAuthority("Test User Root", "Test", nullptr);
    w->eid = EcAuthority("Test eID CA", "Test", &w->userRoot);
    w->sigen = EcAuthority("Test Signing CA", "Test", &w->userRoot);
    w->serverSub = EcAuthority("Test Server CA", "Test", &w->serverRoot);
    w->leafKey = MakeRsaKey(2048);
    w->voter = Leaf("Janez Novak", w->leafKey.get(), w->sigen, -3600, 365L * 24 * 3600);
    w->expiredVoter = Leaf("Stari Novak", w->leafKey.get(), w->sigen, -3L * 24 * 3600, -24L * 3600);
    w->eidVoter = Leaf("Eva Novak", w->leafKey.get(), w->eid, -3600, 365L * 24 * 3600);
    w->ecKey = MakeEcKey();
    w->ecVoter = Leaf("Marko Horvat", w->ecKey.get(), w->sigen, -3600, 365L * 24 * 3600);
    w->melsaVoter = Leaf("Ana Kranjc", w->leafKey.get(), w->melsa, -3600, 365L * 24 * 3600);
    CertSpec s;
    s.cn = "localhost";
    s.dnsNames = {"localhost"};
    s.extKeyUsage = "serverAuth";
    w->server = IssueCert(s, w->leafKey.get(), w->serverSub.cert.get(), w->serverSub.key.get());

    w->table = pki::EmptyAuthorities();
    for (std::size_t i = 0; i < pki::kAuthorityCount; ++i) {
      w->table.Slots[i].Der = ToDer(w->SlotCert(i));
      w->table.Slots[i].Prefix = Sha1Hex(w->SlotCert(i)).substr(0, 8);
    }
    w->issuerHashes = "u" + w->Prefix(3) + ",u" + w->Prefix(2) + ",u" + w->Prefix(4) + ",s" + w->Prefix(1) +
                      ",s" + w->Prefix(0);
    return w;
  }();
  return *world;
}

SiteHarness::SiteHarness()
    : dir("kovrax-pki"),
      settings(TSettings::Defaults()),
      site_{settings, services, flags,
            [this](const std::string& name, const std::string& def) {
              auto it = params.find(name);
              return it == params.end() ? def : it->second;
            },
            [this](const std::string& text) { log.push_back(text); }, nullptr} {
  settings.UserStoreDir = dir / "user";
  settings.MachineStoreDir = dir / "machine";
  settings.SystemTrustBundle = dir / "bundle.pem";  // absent: an empty bundle
  settings.IssuerHashes = PkiWorld::Get().issuerHashes;
  settings.CertHash.clear();
  services.Authorities = &PkiWorld::Get().table;
  services.Notice = &notice;
}

std::vector<Bytes> SiteHarness::Contents(const std::string& store, StoreLocation where) {
  std::vector<Bytes> out;
  auto s = OpenSystemStore(settings, nullptr, store, where);
  EXPECT_NE(s, nullptr) << store;
  if (!s) return out;
  for (const auto& c : s->Enumerate()) out.push_back(c->Der);
  return out;
}

void SiteHarness::AddBytes(const std::string& store, StoreLocation where, const Bytes& der) {
  auto s = OpenSystemStore(settings, nullptr, store, where);
  ASSERT_NE(s, nullptr) << store;
  ASSERT_EQ(s->AddNew(der), AddResult::Added) << store;
}

void SiteHarness::Add(const std::string& store, StoreLocation where, X509* cert) { AddBytes(store, where, ToDer(cert)); }

void SiteHarness::AddAllAuthorities(StoreLocation where) {
  const PkiWorld& w = PkiWorld::Get();
  for (std::size_t i = 0; i < pki::kAuthorityCount; ++i) Add(w.table.Slots[i].StoreName, where, w.SlotCert(i));
}

std::vector<std::string> StoreNames(X509_STORE* store) {
  std::vector<std::string> names;
  STACK_OF(X509_OBJECT)* objs = X509_STORE_get0_objects(store);
  for (int i = 0; i < sk_X509_OBJECT_num(objs); ++i) {
    X509* c = X509_OBJECT_get0_X509(sk_X509_OBJECT_value(objs, i));
    if (c == nullptr) continue;
    char buf[256] = {0};
    X509_NAME_get_text_by_NID(X509_get_subject_name(c), NID_commonName, buf, sizeof buf);
    names.emplace_back(buf);
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace kovrax::test
