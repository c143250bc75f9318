#include "pki/TrustStore.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "pki/PkiWorld.h"
#include "pki/X509Util.h"
#include "shell/KovraException.h"
#include "shell/Messages.h"

namespace kovrax::pki {
namespace {

using test::Bytes;
using test::PkiWorld;
using test::SiteHarness;
using Set = std::vector<Bytes>;
constexpr auto kUser = StoreLocation::CurrentUser;
constexpr auto kMachine = StoreLocation::LocalMachine;

const PkiWorld& W() { return PkiWorld::Get(); }
Bytes SlotDer(std::size_t i) { return W().table.Slots[i].Der; }
Set Sorted(Set v) {
  std::sort(v.begin(), v.end());
  return v;
}
std::string Notice(std::size_t slot) { return InstallNotice(W().table.Slots[slot]); }
X509StorePtr Load(SiteHarness& h, char kind) { return X509StorePtr(LoadCerts(h.Site(), kind)); }

int RaisedBy(const std::function<void()>& f) {
  try {
    f();
  } catch (const KovraException& e) {
    for (int n : {1009, 1011, 1061}) if (e.Message() == LoadStr(n)) return n;
    return -1;
  }
  return 0;
}

// ---- CheckRoots ----

TEST(CheckRoots, AllHeldByTheMachineAddsNothing) {
  SiteHarness h;
  h.AddAllAuthorities(kMachine);
  CheckRoots(h.Site());
  EXPECT_TRUE(h.Contents("Root", kUser).empty());
  EXPECT_TRUE(h.Contents("CA", kUser).empty());
  EXPECT_TRUE(h.notice.texts.empty());
}

TEST(CheckRoots, NoneHeldInstallsEachIntoTheUsersStoreOnly) {
  SiteHarness h;
  CheckRoots(h.Site());
  EXPECT_EQ(Sorted(h.Contents("Root", kUser)),
            Sorted({SlotDer(kIsrgRootX1), SlotDer(kMelsaCaG2), SlotDer(kSiTrustRoot)}));
  EXPECT_EQ(Sorted(h.Contents("CA", kUser)), Sorted({SlotDer(kSiTrustEidPodpis), SlotDer(kSigenCaG2)}));
  EXPECT_TRUE(h.Contents("Root", kMachine).empty());
  EXPECT_TRUE(h.Contents("CA", kMachine).empty());
  EXPECT_TRUE(h.notice.texts.empty());
}

TEST(CheckRoots, HeldByTheUserAddsNothingMore) {
  SiteHarness h;
  h.AddAllAuthorities(kUser);
  CheckRoots(h.Site());
  EXPECT_EQ(h.Contents("Root", kUser).size(), 3u);
  EXPECT_EQ(h.Contents("CA", kUser).size(), 2u);
}

TEST(CheckRoots, OneDifferingByteCountsAsMissing) {
  SiteHarness h;
  Bytes altered = SlotDer(kIsrgRootX1);
  altered[altered.size() - 5] ^= 0x01;  // inside the signature: still a certificate
  h.AddBytes("Root", kUser, altered);
  for (std::size_t i : {kMelsaCaG2, kSiTrustRoot, kSiTrustEidPodpis, kSigenCaG2})
    h.Add(W().table.Slots[i].StoreName, kMachine, W().SlotCert(i));

  CheckRoots(h.Site());
  EXPECT_EQ(Sorted(h.Contents("Root", kUser)), Sorted({altered, SlotDer(kIsrgRootX1)}));
  EXPECT_TRUE(h.Contents("CA", kUser).empty());
}

TEST(CheckRoots, EmptySlotsAreNeverInstalled) {
  SiteHarness h;
  AuthorityTable partial = W().table;
  partial.Slots[kMelsaCaG2].Der.clear();
  partial.Slots[kSiTrustEidPodpis].Der.clear();
  h.services.Authorities = &partial;
  CheckRoots(h.Site());
  EXPECT_EQ(Sorted(h.Contents("Root", kUser)), Sorted({SlotDer(kIsrgRootX1), SlotDer(kSiTrustRoot)}));
  EXPECT_EQ(h.Contents("CA", kUser), Set{SlotDer(kSigenCaG2)});
}

TEST(CheckRoots, UnusableMachineStoresAreIgnored) {
  SiteHarness h;
  test::WriteFile(h.dir / "machine-file", std::string("not a folder"));
  h.settings.MachineStoreDir = h.dir / "machine-file";
  CheckRoots(h.Site());
  EXPECT_EQ(h.Contents("Root", kUser).size(), 3u);
  EXPECT_EQ(h.Contents("CA", kUser).size(), 2u);
}

// ---- LoadCerts ----

TEST(LoadCerts, AuthoritiesInTheStoresNeedNoNotice) {
  SiteHarness h;
  CheckRoots(h.Site());  // as at worker start
  for (char kind : {'u', 's'}) {
    X509StorePtr store = Load(h, kind);
    ASSERT_NE(store, nullptr);
  }
  EXPECT_TRUE(h.notice.texts.empty());
  EXPECT_TRUE(h.Contents("Root", kMachine).empty());
  EXPECT_TRUE(h.Contents("CA", kMachine).empty());
  X509StorePtr user = Load(h, 'u');
  EXPECT_EQ(test::StoreNames(user.get()),
            (std::vector<std::string>{"Test Signing CA", "Test User Root", "Test eID CA"}));
  X509StorePtr server = Load(h, 's');
  EXPECT_EQ(test::StoreNames(server.get()), (std::vector<std::string>{"Melsa CA G2", "Test Server Root"}));
}

TEST(LoadCerts, MissingAuthoritiesAreAddedNoticedAndInstalledForTheMachine) {
  SiteHarness h;
  X509StorePtr server = Load(h, 's');
  EXPECT_EQ(test::StoreNames(server.get()), (std::vector<std::string>{"Melsa CA G2", "Test Server Root"}));
  EXPECT_EQ(h.notice.texts, (std::vector<std::string>{Notice(kIsrgRootX1), Notice(kMelsaCaG2)}));
  EXPECT_EQ(h.notice.captions, (std::vector<std::string>{"Obvestilo", "Obvestilo"}));
  EXPECT_EQ(Sorted(h.Contents("Root", kMachine)), Sorted({SlotDer(kIsrgRootX1), SlotDer(kMelsaCaG2)}));

  h.notice.texts.clear();
  X509StorePtr user = Load(h, 'u');
  EXPECT_EQ(h.notice.texts,
            (std::vector<std::string>{Notice(kSiTrustRoot), Notice(kSiTrustEidPodpis), Notice(kSigenCaG2)}));
  EXPECT_EQ(h.Contents("Root", kMachine).size(), 3u);
  EXPECT_EQ(Sorted(h.Contents("CA", kMachine)), Sorted({SlotDer(kSiTrustEidPodpis), SlotDer(kSigenCaG2)}));
  EXPECT_TRUE(h.Contents("Root", kUser).empty());

  // Installed now: the next run is silent.
  h.notice.texts.clear();
  Load(h, 'u');
  Load(h, 's');
  EXPECT_TRUE(h.notice.texts.empty());
}

TEST(LoadCerts, TrustStoreWorksWhenTheMachineCannotBeWritten) {
  SiteHarness h;
  h.settings.MachineStoreDir = "/proc/self/kovrax-no-such-folder";  // empty, and no folder can be made there
  X509StorePtr server = Load(h, 's');
  EXPECT_EQ(test::StoreNames(server.get()), (std::vector<std::string>{"Melsa CA G2", "Test Server Root"}));
  EXPECT_EQ(h.notice.texts.size(), 2u);
  EXPECT_TRUE(h.Contents("Root", kMachine).empty());
}

TEST(LoadCerts, HeadlessNoticeGoesToTheLog) {
  SiteHarness h;
  h.services.Notice = nullptr;
  Load(h, 's');
  EXPECT_EQ(h.log, (std::vector<std::string>{"B: " + Notice(kIsrgRootX1), "B: " + Notice(kMelsaCaG2)}));
}

TEST(LoadCerts, RepeatedCertificateIsAbsorbed) {
  SiteHarness h;
  for (auto where : {kMachine, kUser}) {
    for (const char* name : {"Root", "AUTHROOT", "CA"}) h.Add(name, where, W().SlotCert(kSiTrustRoot));
  }
  X509StorePtr store;
  ASSERT_EQ(RaisedBy([&] { store = Load(h, 'u'); }), 0);
  const auto names = test::StoreNames(store.get());
  EXPECT_EQ(std::count(names.begin(), names.end(), "Test User Root"), 1);
  EXPECT_EQ(h.notice.texts, (std::vector<std::string>{Notice(kSiTrustEidPodpis), Notice(kSigenCaG2)}));
}

TEST(LoadCerts, CaParameterNarrowsToOneAuthority) {
  SiteHarness h;
  h.AddAllAuthorities(kUser);
  h.params["CA"] = W().Prefix(kSiTrustEidPodpis);
  X509StorePtr store = Load(h, 'u');
  EXPECT_EQ(test::StoreNames(store.get()), std::vector<std::string>{"Test eID CA"});
  EXPECT_TRUE(h.notice.texts.empty());
}

TEST(LoadCerts, ShortPrefixLoadsStoreCertificatesButNeverTheEmbeddedOne) {
  SiteHarness h;
  h.params["CA"] = W().Prefix(kSiTrustRoot).substr(0, 4);
  h.settings.IssuerHashes = "u" + h.params["CA"];
  X509StorePtr empty = Load(h, 'u');
  EXPECT_TRUE(test::StoreNames(empty.get()).empty());
  EXPECT_TRUE(h.notice.texts.empty());

  h.Add("Root", kMachine, W().SlotCert(kSiTrustRoot));
  X509StorePtr one = Load(h, 'u');
  EXPECT_EQ(test::StoreNames(one.get()), std::vector<std::string>{"Test User Root"});
}

TEST(LoadCerts, EmptyIssuerListTrustsEveryStoreCertificateAndNoEmbeddedOne) {
  SiteHarness h;
  h.settings.IssuerHashes.clear();
  h.Add("CA", kUser, W().serverSub.cert.get());
  X509StorePtr store = Load(h, 's');
  EXPECT_EQ(test::StoreNames(store.get()), std::vector<std::string>{"Test Server CA"});
  EXPECT_TRUE(h.notice.texts.empty());
}

TEST(LoadCerts, SystemBundleIsPartOfTheMachineRoot) {
  SiteHarness h;
  test::WriteFile(h.settings.SystemTrustBundle, test::ToPem(W().serverRoot.cert.get()));
  Load(h, 's');
  EXPECT_EQ(h.notice.texts, std::vector<std::string>{Notice(kMelsaCaG2)});
}

TEST(LoadCerts, ParameterWithoutPermittedIssuerRaises1061) {
  SiteHarness h;
  h.params["CA"] = "0123456789";
  EXPECT_EQ(RaisedBy([&] { Load(h, 'u'); }), 1061);
  // A server-only entry leaves the user side alone.
  h.params["CA"] = "s" + W().Prefix(kMelsaCaG2);
  EXPECT_EQ(RaisedBy([&] { Load(h, 'u'); }), 0);
}

TEST(LoadCerts, UnopenableUserStoreRaises1009) {
  SiteHarness h;
  test::WriteFile(h.dir / "user-file", std::string("x"));
  h.settings.UserStoreDir = h.dir / "user-file";
  EXPECT_EQ(RaisedBy([&] { Load(h, 'u'); }), 1009);
}

TEST(LoadCerts, FlagsTellWhatWasTakenFromTheProgram) {
  SiteHarness h;
  h.Add("Root", kUser, W().SlotCert(kSiTrustRoot));
  Load(h, 'u');
  EXPECT_EQ(h.flags, (std::array<bool, 5>{false, false, true, false, true}));
}

}  // namespace
}  // namespace kovrax::pki
