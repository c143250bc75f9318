// The worker's own TLS steps (Init_SSL, OpenSession, Exit_SSL) with its real server-side trust
// store, against a TLS server on loopback whose certificate comes from a fixture server CA.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <optional>

#include "gateway/ActiveXThreadUnit.h"
#include "net/ServerConnection.h"
#include "pki/TrustAnchors.h"
#include "shell/KovraException.h"
#include "support/TestPki.h"
#include "support/TlsServerDouble.h"

namespace kovrax {
namespace {

using namespace std::chrono_literals;
using test::TlsServerDouble;
using test::TlsServerOptions;

class TextSink : public INotifySink {
 public:
  void Post(int, long long) override {}
  void PostText(std::string cp1250) override {
    std::lock_guard<std::mutex> lock(mutex_);
    texts_.push_back(std::move(cp1250));
  }
  std::string VersionLine() override { return "test"; }

 private:
  std::mutex mutex_;
  std::vector<std::string> texts_;
};

class QuietNotice : public INoticeBox {
 public:
  void Notice(const std::string&, const std::string&) override {}
};

// The server-side anchor of the fixture in the slot of the real one, an intermediate under it
// that issued the ballot server's certificate, and a foreign root with a certificate of the same name.
struct ServerPki {
  test::Authority root = test::MakeRootCa("Fixture Server Root");
  test::Authority sub = test::MakeSubCa("Fixture Server CA", root);
  test::Authority foreign = test::MakeRootCa("Foreign Root");
  test::KeyPtr key = test::MakeEcKey();
  test::CertPtr server;
  test::CertPtr foreignServer;
  AuthorityTable table = pki::EmptyAuthorities();

  ServerPki() {
    test::CertSpec spec;
    spec.cn = "volitve.example";
    spec.dnsNames = {"volitve.example"};
    spec.extKeyUsage = "serverAuth";
    server = test::IssueCert(spec, key.get(), sub.cert.get(), sub.key.get());
    foreignServer = test::IssueCert(spec, key.get(), foreign.cert.get(), foreign.key.get());
    AuthoritySlot& slot = table.Slots[pki::kIsrgRootX1];
    slot.Der = test::ToDer(root.cert.get());
    slot.Prefix = test::Sha1Hex(root.cert.get()).substr(0, 8);
  }
};

class TlsWorkerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { pki_ = new ServerPki(); }
  static void TearDownTestSuite() {
    delete pki_;
    pki_ = nullptr;
  }

  void SetUp() override {
    TSettings settings = TSettings::Defaults("-47200");
    settings.UserStoreDir = dir_ / "user";
    settings.MachineStoreDir = dir_ / "machine";
    settings.SystemTrustBundle = dir_ / "bundle.pem";  // absent: nothing from the system
    settings.IssuerHashes = "s" + pki_->table.Slots[pki::kIsrgRootX1].Prefix;
    settings.CertHash.clear();
    TServices services;
    services.Notify = &sink_;
    services.Notice = &notice_;
    services.Authorities = &pki_->table;
    worker_ = std::make_unique<TActiveXThread>(settings, services);
    // From here the worker idles in its accept loop; the test drives its submission fields.
    ASSERT_GT(worker_->WaitListening(5s), 0);
    // Init_SSL wants a signer; any certificate and key will do for the TLS part.
    X509_up_ref(pki_->server.get());
    worker_->SignerCert = pki_->server.get();
    EVP_PKEY_up_ref(pki_->key.get());
    worker_->SignerKey = pki_->key.get();
  }

  void TearDown() override {
    worker_->Exit_SSL();
    worker_.reset();
    ERR_clear_error();
  }

  static TlsServerOptions Server(X509* cert, bool sendIntermediate) {
    TlsServerOptions o;
    o.Cert = cert;
    o.Key = pki_->key.get();
    if (sendIntermediate) o.Chain = {pki_->sub.cert.get()};
    return o;
  }

  // Init_SSL, a direct connection and OpenSession as the driver runs them; the failure, if any.
  std::optional<std::string> Submit(int port, const std::string& serverHost) {
    TActiveXThread& w = *worker_;
    try {
      w.SslCtx = w.Init_SSL();
      w.ServerSocket = socket(AF_INET, SOCK_STREAM, 0);
      ServerLink link;
      link.Discover = [](const TSettings&, const std::string&, const std::string&, std::string&) { return 0; };
      ConnectServerSocket(w.ServerSocket, "127.0.0.1:" + std::to_string(port), link);
      w.ServerHost = serverHost;
      w.OpenSession();
    } catch (const KovraException& e) {
      return e.Message();
    }
    return std::nullopt;
  }

  test::TempDir dir_{"kovrax-net"};
  TextSink sink_;
  QuietNotice notice_;
  std::unique_ptr<TActiveXThread> worker_;
  static ServerPki* pki_;
};

ServerPki* TlsWorkerTest::pki_ = nullptr;

TEST_F(TlsWorkerTest, ServerCertificateIsJudgedByTheServerSideTrustStoreAndTheName) {
  TlsServerDouble full(Server(pki_->server.get(), true));
  TlsServerDouble bare(Server(pki_->server.get(), false));
  TlsServerDouble foreign(Server(pki_->foreignServer.get(), false));
  struct Case {
    const char* name;
    const TlsServerDouble* server;
    std::string host;
    std::string verifyFlags;
    bool opens;
  };
  const std::vector<Case> cases = {
      {"trusted chain", &full, "volitve.example", "3", true},
      {"intermediate not sent", &bare, "volitve.example", "3", false},
      {"foreign root", &foreign, "volitve.example", "1", false},
      {"another host name", &full, "drugi.example", "3", false},
      {"flags 2 skip the check", &foreign, "drugi.example", "2", true},
      {"flags not a number check", &foreign, "volitve.example", "abc", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    worker_->Settings.VerifyFlags = c.verifyFlags;
    auto failure = Submit(c.server->Port(), c.host);
    if (c.opens) {
      EXPECT_FALSE(failure) << *failure;
      ASSERT_NE(worker_->SslBio, nullptr);
      EXPECT_EQ(BIO_puts(worker_->SslBio, "x"), 1);
    } else {
      EXPECT_EQ(failure, LoadStr(1051));
    }
    worker_->Exit_SSL();
    EXPECT_EQ(worker_->Ssl, nullptr);
    EXPECT_EQ(worker_->SslCtx, nullptr);
    EXPECT_EQ(worker_->PeerCert, nullptr);
    EXPECT_EQ(worker_->SslBio, nullptr);
    close(worker_->ServerSocket);
    worker_->ServerSocket = kInvalidSocket;
    ERR_clear_error();
  }
}

TEST_F(TlsWorkerTest, InitSslNeedsAKnownProtocolARunningWorkerAndASigner) {
  worker_->Settings.Protocol = "SSLv3";
  try {
    worker_->Init_SSL();
    ADD_FAILURE() << "context made";
  } catch (const KovraException& e) {
    EXPECT_EQ(e.Message(), FmtLoadStr(1014, {std::string("SSL_CTX_new")}));
  }
  worker_->Settings.Protocol = "TLSv12";
  worker_->Stop();
  try {
    worker_->Init_SSL();
    ADD_FAILURE() << "context made";
  } catch (const KovraException& e) {
    EXPECT_EQ(e.Message(), LoadStr(1003));
  }
  X509_free(worker_->SignerCert);
  worker_->SignerCert = nullptr;
  try {
    worker_->Init_SSL();
    ADD_FAILURE() << "context made";
  } catch (const KovraException& e) {
    EXPECT_EQ(e.Message(), LoadStr(1005));
  }
}

}  // namespace
}  // namespace kovrax
