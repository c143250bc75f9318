#include "pki/TrustStore.h"

#include <openssl/err.h>

#include "pki/IssuerList.h"
#include "pki/X509Util.h"

namespace kovrax::pki {

const AuthorityTable& PkiSite::Authorities() const {
  return Services.Authorities != nullptr ? *Services.Authorities : DefaultAuthorities();
}

namespace {

constexpr const char* kLoadFromStore = "TActiveXThread::LoadFromStore";
constexpr const char* kLoadCerts = "TActiveXThread::LoadCerts";

// Clears the flag of every authority the store already holds, compared byte for byte.
void ClearHeld(ICertStore& store, const AuthorityTable& auth, std::array<bool, 5>& flags,
               std::initializer_list<std::size_t> slots) {
  for (const CertContextPtr& c : store.Enumerate()) {
    for (std::size_t i : slots) {
      if (flags[i] && c->Der == auth.Slots[i].Der) flags[i] = false;
    }
  }
}

// One half of the root check: the machine's and the user's store of one name, then the
// user's store receives what neither holds.
void CheckPair(PkiSite& site, const std::string& storeName, std::initializer_list<std::size_t> slots) {
  const AuthorityTable& auth = site.Authorities();
  for (std::size_t i : slots) site.RootFlags[i] = auth.Slots[i].Present();

  if (auto machine = OpenSystemStore(site.Settings, site.Services.Keys, storeName, StoreLocation::LocalMachine)) {
    ClearHeld(*machine, auth, site.RootFlags, slots);
  }
  auto user = OpenSystemStore(site.Settings, site.Services.Keys, storeName, StoreLocation::CurrentUser);
  if (!user) return;
  ClearHeld(*user, auth, site.RootFlags, slots);
  for (std::size_t i : slots) {
    if (!site.RootFlags[i]) continue;
    const std::vector<unsigned char>& der = auth.Slots[i].Der;
    const unsigned char* p = der.data();
    X509Ptr parsed(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    if (parsed) user->AddNew(der);
  }
}

}  // namespace

void CheckRoots(PkiSite& site) {
  try {
    CheckPair(site, "Root", {kIsrgRootX1, kMelsaCaG2, kSiTrustRoot});
    CheckPair(site, "CA", {kSiTrustEidPodpis, kSigenCaG2});
  } catch (...) {
    // A failing store must not keep the gateway from starting.
  }
  ERR_clear_error();
}

void LoadFromStore(PkiSite& site, X509_STORE* store, const std::vector<std::string>& permitted,
                   const std::string& storeName, StoreLocation location) {
  std::unique_ptr<ICertStore> sys = OpenSystemStore(site.Settings, site.Services.Keys, storeName, location);
  if (!sys) KOVRA_RAISE(1009, 2003, kLoadFromStore);
  const AuthorityTable& auth = site.Authorities();

  auto add = [&](X509* cert, const std::string& thumb) {
    for (std::size_t i = 0; i < kAuthorityCount; ++i) {
      const std::string& prefix = auth.Slots[i].Prefix;
      if (!prefix.empty() && StartsWithNoCase(thumb, prefix)) site.RootFlags[i] = false;
    }
    if (X509_STORE_add_cert(store, cert) == 0) {
      const unsigned long e = ERR_get_error();
      if (ERR_GET_LIB(e) != ERR_LIB_X509 || ERR_GET_REASON(e) != X509_R_CERT_ALREADY_IN_HASH_TABLE) {
        KOVRA_RAISE_CALL("X509_STORE_add_cert", 2031, kLoadFromStore);
      }
    }
  };

  for (const CertContextPtr& c : sys->Enumerate()) {
    const std::vector<unsigned char> sha1 = Sha1Thumbprint(c->Der);
    if (sha1.empty()) continue;
    const std::string thumb = HexLower(sha1);
    X509Ptr cert(GetX509(c->Der));
    if (permitted.empty()) {
      add(cert.get(), thumb);
      continue;
    }
    for (const std::string& entry : permitted) {
      if (StartsWithNoCase(thumb, entry)) add(cert.get(), thumb);
    }
  }
}

void InstallRoot(PkiSite& site, const std::vector<unsigned char>& der, const std::string& storeName) {
  try {
    if (auto machine = OpenSystemStore(site.Settings, site.Services.Keys, storeName, StoreLocation::LocalMachine)) {
      machine->AddNew(der);
    }
  } catch (...) {
    // Without the rights to the machine's stores nothing is installed; the trust store works anyway.
  }
}

X509_STORE* LoadCerts(PkiSite& site, char kind) {
  X509StorePtr store(X509_STORE_new());
  if (!store) KOVRA_RAISE_CALL("X509_STORE_new", 2046, kLoadCerts);
  site.RootFlags.fill(false);

  const std::vector<std::string> permitted =
      GetIssuerFPs(site.Settings.IssuerHashes, site.GetParam ? site.GetParam("CA", "") : std::string(), kind);
  const AuthorityTable& auth = site.Authorities();
  for (const std::string& entry : permitted) {
    for (std::size_t i = 0; i < kAuthorityCount; ++i) {
      if (EqualsNoCase(entry, auth.Slots[i].Prefix)) site.RootFlags[i] = true;
    }
  }

  LoadFromStore(site, store.get(), permitted, "ROOT", StoreLocation::LocalMachine);
  LoadFromStore(site, store.get(), permitted, "ROOT", StoreLocation::CurrentUser);
  LoadFromStore(site, store.get(), permitted, "AUTHROOT", StoreLocation::LocalMachine);
  LoadFromStore(site, store.get(), permitted, "AUTHROOT", StoreLocation::CurrentUser);
  LoadFromStore(site, store.get(), permitted, "CA", StoreLocation::LocalMachine);
  LoadFromStore(site, store.get(), permitted, "CA", StoreLocation::CurrentUser);

  for (std::size_t i : {kIsrgRootX1, kMelsaCaG2, kSiTrustRoot, kSiTrustEidPodpis, kSigenCaG2}) {
    const AuthoritySlot& slot = auth.Slots[i];
    if (!site.RootFlags[i] || !slot.Present()) continue;
    X509Ptr cert(GetX509(slot.Der));
    if (X509_STORE_add_cert(store.get(), cert.get()) == 0) ERR_clear_error();
    const std::string notice = InstallNotice(slot);
    if (site.Services.Notice != nullptr) {
      site.Services.Notice->Notice("Obvestilo", notice);
    } else if (site.PostText) {
      site.PostText("B: " + notice);
    }
    InstallRoot(site, slot.Der, slot.StoreName);
  }
  return store.release();
}

}  // namespace kovrax::pki
