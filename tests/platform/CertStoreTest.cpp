#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>

#include "platform/CertStore.h"
#include "support/TestPki.h"

namespace kovrax {
namespace {

namespace fs = std::filesystem;
using test::Bytes;

// The folder's files and their bytes: what "nothing touched" compares.
std::map<std::string, std::string> Snapshot(const std::string& folder) {
  std::map<std::string, std::string> out;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec)) out[e.path().filename()] = test::ReadFile(e.path());
  return out;
}

test::CertSpec Spec(std::string cn, std::string o = {}, std::string ou = {}, std::string email = {}) {
  test::CertSpec spec;
  spec.cn = std::move(cn);
  spec.o = std::move(o);
  spec.ou = std::move(ou);
  spec.email = std::move(email);
  return spec;
}

std::string Hex(const Bytes& b) {
  std::string s;
  char buf[3];
  for (unsigned char c : b) {
    std::snprintf(buf, sizeof buf, "%02x", c);
    s += buf;
  }
  return s;
}

class DirectoryStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    settings_ = TSettings::Defaults();
    settings_.UserStoreDir = dir_ / "user";
    settings_.MachineStoreDir = dir_ / "machine";
    settings_.SystemTrustBundle = dir_ / "bundle.pem";
  }
  std::unique_ptr<ICertStore> Open(const std::string& name, StoreLocation loc = StoreLocation::CurrentUser) {
    std::string error;
    auto store = OpenSystemStore(settings_, nullptr, name, loc, &error);
    EXPECT_NE(store, nullptr) << error;
    return store;
  }
  static Bytes MakeCert(const std::string& cn) {
    auto key = test::MakeEcKey();
    return test::ToDer(test::IssueCert(Spec(cn), key.get()).get());
  }
  static std::vector<Bytes> Ders(ICertStore& store) {
    std::vector<Bytes> out;
    for (const auto& c : store.Enumerate()) out.push_back(c->Der);
    return out;
  }

  test::TempDir dir_;
  TSettings settings_;
};

TEST_F(DirectoryStoreTest, AddNewTwiceKeepsOneFileNamedBySha1) {
  Bytes der = MakeCert("Once");
  auto store = Open("CA");
  EXPECT_EQ(store->AddNew(der), AddResult::Added);
  EXPECT_EQ(store->AddNew(der), AddResult::Exists);
  EXPECT_EQ(Open("ca")->AddNew(der), AddResult::Exists);

  auto files = Snapshot(dir_ / "user/CA");
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files.begin()->first, Hex(Sha1Thumbprint(der)) + ".der");
  EXPECT_EQ(files.begin()->second, std::string(der.begin(), der.end()));
  EXPECT_EQ(Ders(*store), std::vector<Bytes>{der});
}

TEST_F(DirectoryStoreTest, CertificateDifferingInOneByteIsAnotherCertificate) {
  Bytes der = MakeCert("Twin");
  Bytes twin = der;
  twin.back() ^= 0x01;  // inside the signature: still a well-formed certificate
  auto store = Open("Root");
  ASSERT_EQ(store->AddNew(der), AddResult::Added);
  EXPECT_EQ(store->AddNew(twin), AddResult::Added);
  auto listed = Ders(*store);
  EXPECT_EQ(listed.size(), 2u);
  EXPECT_NE(std::find(listed.begin(), listed.end(), twin), listed.end());
  EXPECT_EQ(Snapshot(dir_ / "user/ROOT").size(), 2u);
}

TEST_F(DirectoryStoreTest, NotACertificateIsNotAdded) {
  auto store = Open("CA");
  Bytes der = MakeCert("Trailing");
  Bytes trailing = der;
  trailing.push_back(0);
  for (const Bytes& bad : {Bytes{}, Bytes{0x30, 0x03, 0x02, 0x01, 0x01}, trailing})
    EXPECT_EQ(store->AddNew(bad), AddResult::Failed);
  EXPECT_TRUE(Snapshot(dir_ / "user/CA").empty());
}

// Root may write anywhere, so besides permissions the cases use a path through a file and a
// file size limit that makes every write fail.
TEST_F(DirectoryStoreTest, UnwritableLocationFailsWithoutTouchingTheStore) {
  Bytes present = MakeCert("Present");
  Bytes fresh = MakeCert("Fresh");
  struct Case {
    const char* name;
    bool needsNonRoot;
    std::function<std::function<void()>(const std::string& folder)> arrange;  // returns the undo
  };
  const std::vector<Case> cases = {
      {"read-only folder", true,
       [](const std::string& folder) {
         chmod(folder.c_str(), 0555);
         return [folder] { chmod(folder.c_str(), 0755); };
       }},
      {"file size limit", false,
       [](const std::string&) {
         rlimit old{};
         getrlimit(RLIMIT_FSIZE, &old);
         rlimit zero = old;
         zero.rlim_cur = 0;
         setrlimit(RLIMIT_FSIZE, &zero);
         auto oldHandler = signal(SIGXFSZ, SIG_IGN);
         return std::function<void()>([old, oldHandler] {
           setrlimit(RLIMIT_FSIZE, &old);
           signal(SIGXFSZ, oldHandler);
         });
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.needsNonRoot && geteuid() == 0) continue;
    test::TempDir d;
    settings_.UserStoreDir = d.Path();
    ASSERT_EQ(Open("Root")->AddNew(present), AddResult::Added);
    auto before = Snapshot(d / "ROOT");
    auto store = Open("Root");
    auto undo = c.arrange(d / "ROOT");
    AddResult r = store->AddNew(fresh);
    undo();
    EXPECT_EQ(r, AddResult::Failed);
    EXPECT_EQ(Snapshot(d / "ROOT"), before);
    EXPECT_EQ(Ders(*store), std::vector<Bytes>{present});
  }

  // A folder path that runs through a file cannot be created, nor read.
  test::WriteFile(dir_ / "plain", std::string("x"));
  settings_.UserStoreDir = dir_ / "plain/stores";
  std::string error;
  EXPECT_EQ(OpenSystemStore(settings_, nullptr, "CA", StoreLocation::CurrentUser, &error), nullptr);
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(test::ReadFile(dir_ / "plain"), "x");
}

TEST_F(DirectoryStoreTest, MachineRootListsTheBundleFirstAndNeverWritesIt) {
  auto a = test::MakeEcKey(), b = test::MakeEcKey();
  auto bundleA = test::IssueCert(Spec("Bundle A"), a.get());
  auto bundleB = test::IssueCert(Spec("Bundle B"), b.get());
  std::string bundleText = "# system bundle\n" + test::ToPem(bundleA.get()) + test::ToPem(bundleB.get());
  test::WriteFile(settings_.SystemTrustBundle, bundleText);

  Bytes own = MakeCert("Own");
  auto root = Open("ROOT", StoreLocation::LocalMachine);
  ASSERT_EQ(root->AddNew(own), AddResult::Added);
  EXPECT_EQ(root->AddNew(test::ToDer(bundleB.get())), AddResult::Exists);
  EXPECT_EQ(Ders(*root), (std::vector<Bytes>{test::ToDer(bundleA.get()), test::ToDer(bundleB.get()), own}));
  EXPECT_EQ(test::ReadFile(settings_.SystemTrustBundle), bundleText);
  EXPECT_EQ(Snapshot(dir_ / "machine/ROOT").size(), 1u);

  // Only the machine's ROOT carries the bundle.
  EXPECT_TRUE(Ders(*Open("Root", StoreLocation::CurrentUser)).empty());
  EXPECT_TRUE(Ders(*Open("AUTHROOT", StoreLocation::LocalMachine)).empty());
}

TEST_F(DirectoryStoreTest, StoreNamesAreCaseInsensitiveAndUnknownNamesFail) {
  Bytes der = MakeCert("Named");
  struct Case {
    const char* written;
    const char* read;
    const char* folder;
  };
  for (const Case& c : {Case{"Root", "ROOT", "ROOT"}, Case{"root", "Root", "ROOT"}, Case{"ca", "CA", "CA"},
                        Case{"AuthRoot", "AUTHROOT", "AUTHROOT"}}) {
    SCOPED_TRACE(c.written);
    test::TempDir d;
    settings_.UserStoreDir = d.Path();
    ASSERT_NE(Open(c.written)->AddNew(der), AddResult::Failed);
    EXPECT_EQ(Ders(*Open(c.read)), std::vector<Bytes>{der});
    EXPECT_TRUE(fs::is_directory(d / c.folder));
    EXPECT_EQ(StoreFolder(settings_, c.written, StoreLocation::CurrentUser), d / c.folder);
  }
  for (auto [name, loc] : {std::pair{"Trust", StoreLocation::CurrentUser}, std::pair{"MY", StoreLocation::CurrentUser},
                           std::pair{"my", StoreLocation::LocalMachine}, std::pair{"", StoreLocation::LocalMachine}}) {
    std::string error;
    EXPECT_EQ(OpenSystemStore(settings_, nullptr, name, loc, &error), nullptr) << name;
    EXPECT_FALSE(error.empty()) << name;
  }
}

TEST_F(DirectoryStoreTest, EnumerationOrderIsStableAndSkipsForeignFiles) {
  std::vector<Bytes> certs;
  for (int i = 0; i < 6; ++i) certs.push_back(MakeCert("Cert " + std::to_string(i)));
  auto store = Open("CA");
  for (const auto& der : certs) ASSERT_EQ(store->AddNew(der), AddResult::Added);
  test::WriteFile(dir_ / "user/CA/readme.txt", std::string("not a certificate"));

  auto first = Ders(*store);
  ASSERT_EQ(first.size(), certs.size());
  EXPECT_EQ(Ders(*Open("CA")), first);
  auto bySha1 = certs;
  std::sort(bySha1.begin(), bySha1.end(),
            [](const Bytes& x, const Bytes& y) { return Hex(Sha1Thumbprint(x)) < Hex(Sha1Thumbprint(y)); });
  EXPECT_EQ(first, bySha1);

  // The same bytes under a second name (sorting last) are listed once, where they were.
  fs::copy_file(dir_ / ("user/CA/" + Hex(Sha1Thumbprint(certs[0])) + ".der"), dir_ / "user/CA/zz-copy.der");
  EXPECT_EQ(Ders(*store), first);
}

TEST_F(DirectoryStoreTest, MissingFolderIsAnEmptyStore) {
  auto store = Open("AUTHROOT", StoreLocation::LocalMachine);
  EXPECT_TRUE(store->Enumerate().empty());
  EXPECT_FALSE(fs::exists(dir_ / "machine"));
  EXPECT_FALSE(store->AddAlways(std::make_shared<CertContext>()));
}

TEST(CertStore, FindIssuerMatchesTheIssuerNameInEveryKindOfStore) {
  test::Authority root = test::MakeRootCa("Issuer Root");
  test::Authority other = test::MakeRootCa("Other Root");
  auto key = test::MakeEcKey();
  auto leaf = test::IssueCert(Spec("Leaf"), key.get(), root.cert.get(), root.key.get());
  CertContext leafCtx{test::ToDer(leaf.get()), {}, {}, {}};

  test::TempDir dir;
  TSettings settings = TSettings::Defaults();
  settings.UserStoreDir = dir.Path();
  auto dirStore = OpenSystemStore(settings, nullptr, "Root", StoreLocation::CurrentUser);
  auto memStore = NewMemoryStore();
  for (ICertStore* store : {dirStore.get(), memStore.get()}) {
    EXPECT_EQ(store->FindIssuer(leafCtx), nullptr);
    ASSERT_EQ(store->AddNew(test::ToDer(other.cert.get())), AddResult::Added);
    ASSERT_EQ(store->AddNew(test::ToDer(root.cert.get())), AddResult::Added);
    auto found = store->FindIssuer(leafCtx);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->Der, test::ToDer(root.cert.get()));
    EXPECT_EQ(store->FindIssuer(CertContext{{1, 2, 3}, {}, {}, {}}), nullptr);
  }
}

TEST(CertStore, MemoryStoreAddsAlwaysOrOnlyWhenAbsent) {
  auto key = test::MakeEcKey();
  Bytes der = test::ToDer(test::IssueCert(Spec("Mem"), key.get()).get());
  auto store = NewMemoryStore();
  EXPECT_EQ(store->AddNew(der), AddResult::Added);
  EXPECT_EQ(store->AddNew(der), AddResult::Exists);
  auto ctx = std::make_shared<CertContext>(CertContext{der, "token", "label", {1}});
  EXPECT_TRUE(store->AddAlways(ctx));
  auto all = store->Enumerate();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[1], ctx);  // the context itself, with its token binding
}

TEST(CertStore, SimpleDisplayNameTakesCnThenOuThenOThenEmail) {
  struct Case {
    test::CertSpec spec;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {Spec("Janez Novak", "Org", "Unit", "j@example.si"), "Janez Novak"},
      {Spec("", "Org", "Unit", "j@example.si"), "Unit"},
      {Spec("", "Org", "", "j@example.si"), "Org"},
      {Spec("", "", "", "j@example.si"), "j@example.si"},
      {Spec("Čebelar Žiga"), "Čebelar Žiga"},
      {Spec(""), ""},
  };
  auto key = test::MakeEcKey();
  test::Authority ca = test::MakeRootCa("Display CA", "Display Org");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    auto cert = test::IssueCert(c.spec, key.get(), ca.cert.get(), ca.key.get());
    EXPECT_EQ(SimpleDisplayName(test::ToDer(cert.get()), false), c.expected);
    EXPECT_EQ(SimpleDisplayName(test::ToDer(cert.get()), true), "Display CA");
  }
  EXPECT_EQ(SimpleDisplayName({0x30, 0x00}, false), "");
}

TEST(CertStore, Sha1ThumbprintIsTheDigestOfTheDerBytes) {
  auto key = test::MakeEcKey();
  auto cert = test::IssueCert(Spec("Thumb"), key.get());
  EXPECT_EQ(Hex(Sha1Thumbprint(test::ToDer(cert.get()))), test::Sha1Hex(cert.get()));
  EXPECT_EQ(Hex(Sha1Thumbprint({})), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
}

}  // namespace
}  // namespace kovrax
