// The TLS client towards the ballot server against a real TLS server on loopback with
// certificates from a fixture CA.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <sys/socket.h>
#include <unistd.h>

#include <optional>

#include "net/ServerConnection.h"
#include "net/TlsClient.h"
#include "platform/PlatformKeys.h"
#include "shell/KovraException.h"
#include "support/LoopbackAcceptor.h"
#include "support/TestPki.h"
#include "support/TlsServerDouble.h"

namespace kovrax {
namespace {

using namespace std::chrono_literals;
using test::TlsServerDouble;
using test::TlsServerOptions;

struct Failure {
  std::string message;
  std::string function;
  int line = 0;
};

std::string CallFailed(const std::string& call) { return FmtLoadStr(1014, {call}); }

// The fixture PKI: a root with an intermediate that issued the ballot server's certificate, and
// an unrelated root with a certificate for the same name.
struct Pki {
  test::Authority root = test::MakeRootCa("Test Server Root");
  test::Authority sub = test::MakeSubCa("Test Server CA", root);
  test::KeyPtr leafKey = test::MakeEcKey();
  test::CertPtr leaf;
  test::Authority otherRoot = test::MakeRootCa("Other Root");
  test::CertPtr otherLeaf;

  Pki() {
    test::CertSpec spec;
    spec.cn = "volitve.example";
    spec.dnsNames = {"volitve.example"};
    spec.ipAddresses = {"127.0.0.1"};
    spec.extKeyUsage = "serverAuth";
    leaf = test::IssueCert(spec, leafKey.get(), sub.cert.get(), sub.key.get());
    otherLeaf = test::IssueCert(spec, leafKey.get(), otherRoot.cert.get(), otherRoot.key.get());
  }
};

class TlsClientTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { pki_ = new Pki(); }
  static void TearDownTestSuite() {
    delete pki_;
    pki_ = nullptr;
  }
  static Pki& P() { return *pki_; }

  static TlsServerOptions ServerOptions(bool sendIntermediate = true) {
    TlsServerOptions o;
    o.Cert = P().leaf.get();
    o.Key = P().leafKey.get();
    if (sendIntermediate) o.Chain = {P().sub.cert.get()};
    return o;
  }

  // A trust store holding the fixture root only.
  static X509_STORE* RootStore() {
    X509_STORE* store = X509_STORE_new();
    X509_STORE_add_cert(store, P().root.cert.get());
    return store;
  }

  static SSL_CTX* Context(const TlsContextOptions& o) {
    return NewTlsClientContext(o, [] { return RootStore(); });
  }

  // A client connection as the worker makes one: socket, connection, session, close.
  struct Client {
    int fd = -1;
    SSL_CTX* ctx = nullptr;
    SSL* ssl = nullptr;
    X509* peer = nullptr;
    BIO* bio = nullptr;
    std::vector<std::string> texts;

    explicit Client(SSL_CTX* context) : ctx(context) {}
    ~Client() {
      Close();
      if (fd >= 0) close(fd);
    }
    void Close() {
      CloseTlsSession(ssl, ctx, peer, bio, [this](const std::string& t) { texts.push_back(t); });
    }
  };

  // The chain check of the server side: the fixture root trusted, what the server sent after
  // its own certificate usable to reach it.
  static std::function<bool(X509*)> ChainToFixtureRoot(SSL* const& ssl) {
    return [&ssl](X509* cert) {
      X509_STORE* store = RootStore();
      X509_STORE_CTX* ctx = X509_STORE_CTX_new();
      X509_STORE_CTX_init(ctx, store, cert, SSL_get_peer_cert_chain(ssl));
      const bool ok = X509_verify_cert(ctx) > 0;
      X509_STORE_CTX_free(ctx);
      X509_STORE_free(store);
      return ok;
    };
  }

  // Connects to the server and opens the session; the failure, if any.
  static std::optional<Failure> Open(Client& c, int port, const std::string& serverHost, bool verify = true,
                                     std::function<BIO*()> lineReader = {},
                                     std::chrono::milliseconds ioTimeout = 5s) {
    try {
      c.fd = socket(AF_INET, SOCK_STREAM, 0);
      ServerLink link;
      link.IoTimeout = ioTimeout;
      link.Discover = [](const TSettings&, const std::string&, const std::string&, std::string&) { return 0; };
      ConnectServerSocket(c.fd, "127.0.0.1:" + std::to_string(port), link);
      TlsSessionOptions o;
      o.Ctx = c.ctx;
      o.Socket = c.fd;
      o.ServerHost = serverHost;
      o.VerifyServer = verify;
      o.ChainTrusted = ChainToFixtureRoot(c.ssl);
      o.NewLineReader = std::move(lineReader);
      OpenTlsSession(o, c.ssl, c.peer, c.bio);
    } catch (const KovraException& e) {
      return Failure{e.Message(), e.FunctionName, e.Line};
    }
    return std::nullopt;
  }

  static Pki* pki_;
};

Pki* TlsClientTest::pki_ = nullptr;

// ---- context ----

TEST_F(TlsClientTest, ContextFollowsTheProtocolTableExactly) {
  struct Case {
    std::string protocol;
    bool made;
  };
  const std::vector<Case> cases = {
      {"TLSv12", true}, {"TLSv1", true},     {"SSLv23", true}, {"SSLv3", false},
      {"tlsv12", false}, {"TLSv1.2", false}, {"TLSv1_2", false}, {"", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.protocol);
    int storesMade = 0;
    X509_STORE* made = nullptr;
    try {
      SSL_CTX* ctx = NewTlsClientContext({c.protocol, false, ""}, [&] {
        ++storesMade;
        return made = RootStore();
      });
      EXPECT_TRUE(c.made);
      EXPECT_EQ(SSL_CTX_get_cert_store(ctx), made);
      SSL_CTX_free(ctx);
    } catch (const KovraException& e) {
      EXPECT_FALSE(c.made);
      EXPECT_EQ(e.Message(), CallFailed("SSL_CTX_new"));
      EXPECT_EQ(e.FunctionName, "TActiveXThread::Init_SSL");
      EXPECT_EQ(storesMade, 0);  // no trust store is built for a context that does not exist
    }
    ERR_clear_error();
  }
}

TEST_F(TlsClientTest, ProtocolDecidesTheVersionSpoken) {
  TlsServerOptions open = ServerOptions();
  open.MinVersion = TLS1_VERSION;
  open.CipherList = "DEFAULT:@SECLEVEL=0";
  TlsServerDouble server(open);
  TlsServerOptions only13 = ServerOptions();
  only13.MinVersion = TLS1_3_VERSION;
  TlsServerDouble server13(only13);

  struct Case {
    std::string protocol;
    const TlsServerDouble* server;
    int version;  // 0: the handshake fails
  };
  const std::vector<Case> cases = {
      {"TLSv12", &server, TLS1_2_VERSION},
      {"SSLv23", &server, TLS1_3_VERSION},
      {"TLSv12", &server13, 0},
      // TLS 1.0 is below what the library accepts at its security level.
      {"TLSv1", &server, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.protocol);
    Client client(Context({c.protocol, false, ""}));
    auto failure = Open(client, c.server->Port(), "volitve.example");
    if (c.version) {
      ASSERT_FALSE(failure) << failure->message;
      EXPECT_EQ(SSL_version(client.ssl), c.version);
    } else {
      ASSERT_TRUE(failure);
      EXPECT_EQ(failure->message, LoadStr(1021));
      EXPECT_EQ(failure->line, 1159);
    }
    ERR_clear_error();
  }
}

TEST_F(TlsClientTest, CipherParameterCountsOnlyWithTheCipherSetting) {
  TlsServerDouble server(ServerOptions());
  {
    SCOPED_TRACE("setting empty: the parameter is not consulted");
    Client client(Context({"TLSv12", false, "no-such-cipher"}));
    EXPECT_FALSE(Open(client, server.Port(), "volitve.example"));
  }
  {
    SCOPED_TRACE("setting set: the parameter decides the cipher");
    Client client(Context({"TLSv12", true, "ECDHE-ECDSA-AES128-GCM-SHA256"}));
    ASSERT_FALSE(Open(client, server.Port(), "volitve.example"));
    EXPECT_STREQ(SSL_get_cipher_name(client.ssl), "ECDHE-ECDSA-AES128-GCM-SHA256");
  }
  for (const std::string cipher : {"no-such-cipher", ""}) {
    SCOPED_TRACE("setting set, unusable parameter '" + cipher + "'");
    try {
      SSL_CTX_free(Context({"TLSv12", true, cipher}));
      ADD_FAILURE() << "context made";
    } catch (const KovraException& e) {
      EXPECT_EQ(e.Message(), CallFailed("SSL_CTX_set_cipher_list"));
      EXPECT_EQ(e.FunctionName, "TActiveXThread::Init_SSL");
    }
    ERR_clear_error();
  }
}

// ---- session ----

TEST_F(TlsClientTest, SessionSendsServerNameAndCarriesData) {
  TlsServerDouble server(ServerOptions(), [](SSL* ssl, const TlsServerDouble& s) {
    char buf[64];
    const int n = SSL_read(ssl, buf, sizeof buf);
    if (n > 0) SSL_write(ssl, buf, n);
    TlsServerDouble::AnswerClose(ssl, s);
  });
  Client client(Context({"TLSv12", false, ""}));
  auto failure = Open(client, server.Port(), "volitve.example", true, [] { return NewLineReaderBio(); });
  ASSERT_FALSE(failure) << failure->message;
  ASSERT_NE(client.peer, nullptr);
  EXPECT_EQ(X509_cmp(client.peer, P().leaf.get()), 0);

  ASSERT_EQ(BIO_write(client.bio, "ballot\n", 7), 7);
  ASSERT_EQ(BIO_flush(client.bio), 1);
  char line[32] = {};
  EXPECT_EQ(BIO_gets(client.bio, line, sizeof line - 1), 6);  // the line reader drops the line feed
  EXPECT_STREQ(line, "ballot");
  // The echo comes from the handler, which runs only after the server has taken the name.
  EXPECT_EQ(server.LastServerName(), "volitve.example");

  client.Close();
  EXPECT_TRUE(client.texts.empty());
  EXPECT_EQ(client.ssl, nullptr);
  EXPECT_EQ(client.ctx, nullptr);
  EXPECT_EQ(client.peer, nullptr);
  EXPECT_EQ(client.bio, nullptr);
}

TEST_F(TlsClientTest, ServerCertificateMustChainToAnAnchorAndNameTheServer) {
  TlsServerDouble withIntermediate(ServerOptions(true));
  TlsServerDouble withoutIntermediate(ServerOptions(false));
  TlsServerOptions otherOptions = ServerOptions(false);
  otherOptions.Cert = P().otherLeaf.get();
  TlsServerDouble untrusted(otherOptions);

  struct Case {
    const char* name;
    const TlsServerDouble* server;
    std::string host;
    bool verify;
    bool opens;
  };
  const std::vector<Case> cases = {
      {"trusted, named", &withIntermediate, "volitve.example", true, true},
      {"trusted, named by address", &withIntermediate, "127.0.0.1", true, true},
      {"trusted, another name", &withIntermediate, "drugi.example", true, false},
      {"trusted, a name under it", &withIntermediate, "x.volitve.example", true, false},
      {"intermediate not sent", &withoutIntermediate, "volitve.example", true, false},
      {"untrusted root", &untrusted, "volitve.example", true, false},
      {"another name, check off", &withIntermediate, "drugi.example", false, true},
      {"untrusted root, check off", &untrusted, "volitve.example", false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Client client(Context({"SSLv23", false, ""}));
    auto failure = Open(client, c.server->Port(), c.host, c.verify);
    if (c.opens) {
      EXPECT_FALSE(failure) << failure->message;
      EXPECT_NE(client.bio, nullptr);
    } else {
      ASSERT_TRUE(failure);
      EXPECT_EQ(failure->message, LoadStr(1051));
      EXPECT_EQ(failure->function, "TActiveXThread::Pravi_Kovra");
      EXPECT_EQ(failure->line, 1167);
      EXPECT_EQ(client.bio, nullptr);
      EXPECT_NE(client.peer, nullptr);  // left for the close to free
    }
    ERR_clear_error();
  }
}

TEST_F(TlsClientTest, VerifyFlagsBitOneSwitchesTheServerCheck) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"3", true}, {"1", true}, {"2", false}, {"0", false}, {"abc", true}, {"", true},
  };
  for (const auto& [flags, verify] : cases) EXPECT_EQ(VerifyServerCertificate(flags), verify) << flags;
}

TEST_F(TlsClientTest, AnonymousServerGivesNoServerCertificate) {
  TlsServerOptions anon;
  anon.MaxVersion = TLS1_2_VERSION;
  anon.CipherList = "aNULL:@SECLEVEL=0";
  TlsServerDouble server(anon);
  Client client(Context({"TLSv12", true, "aNULL:@SECLEVEL=0"}));
  auto failure = Open(client, server.Port(), "volitve.example");
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->message, LoadStr(1032));
  EXPECT_EQ(failure->line, 1163);
}

TEST_F(TlsClientTest, HandshakeWithAPeerThatIsNoTlsServerFails) {
  test::LoopbackAcceptor silent([](int fd) {
    char buf[512];
    while (recv(fd, buf, sizeof buf, 0) > 0) {
    }
  });
  test::LoopbackAcceptor closer([](int) {});
  test::LoopbackAcceptor babbler([](int fd) {
    char buf[512];
    if (recv(fd, buf, sizeof buf, 0) > 0) test::SendAll(fd, "HTTP/1.1 400 Bad Request\r\n\r\n");
  });
  for (const test::LoopbackAcceptor* peer : {&silent, &closer, &babbler}) {
    Client client(Context({"SSLv23", false, ""}));
    auto failure = Open(client, peer->Port(), "volitve.example", true, {}, 300ms);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->message, LoadStr(1021));
    client.Close();
    EXPECT_EQ(client.ssl, nullptr);
    ERR_clear_error();
  }
}

// ---- close ----

TEST_F(TlsClientTest, CloseReportsAPeerThatDoesNotAnswerItsCloseNotify) {
  TlsServerDouble answering(ServerOptions());
  TlsServerDouble silent(ServerOptions(), TlsServerDouble::NeverAnswerClose);
  {
    Client client(Context({"SSLv23", false, ""}));
    ASSERT_FALSE(Open(client, answering.Port(), "volitve.example"));
    client.Close();
    EXPECT_TRUE(client.texts.empty());
  }
  {
    Client client(Context({"SSLv23", false, ""}));
    ASSERT_FALSE(Open(client, silent.Port(), "volitve.example"));
    client.Close();
    ASSERT_EQ(client.texts.size(), 1u);
    EXPECT_EQ(client.texts[0], "R: TActiveXThread::Exit_SSLSSL ni bil pravilno končan");
    EXPECT_EQ(client.ssl, nullptr);
    EXPECT_EQ(client.peer, nullptr);
  }
  {
    Client nothing(nullptr);
    nothing.Close();
    EXPECT_TRUE(nothing.texts.empty());
  }
  ERR_clear_error();
}

}  // namespace
}  // namespace kovrax
