// Connecting to the ballot server directly, through an HTTP CONNECT tunnel and through SOCKS 4,
// against real servers and proxies on loopback.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <optional>

#include "gateway/ActiveXThreadUnit.h"
#include "net/ServerConnection.h"
#include "shell/KovraException.h"
#include "support/ConnectProxy.h"
#include "support/LoopbackAcceptor.h"
#include "support/Socks4Proxy.h"

namespace kovrax {
namespace {

using namespace std::chrono_literals;
using test::ConnectProxy;
using test::Socks4Proxy;

// A server that echoes what it gets, standing in for the ballot server's TCP side.
class EchoServer {
 public:
  EchoServer()
      : acceptor_([](int fd) {
          char buf[256];
          for (;;) {
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0 || !test::SendAll(fd, buf, static_cast<size_t>(n))) return;
          }
        }) {}
  int Port() const { return acceptor_.Port(); }
  int Accepted() const { return acceptor_.Accepted(); }

 private:
  test::LoopbackAcceptor acceptor_;
};

struct Outcome {
  std::optional<std::string> error;  // message of the KovraException, none on success
  std::string function;
  bool echoed = false;  // a round trip through the connection worked
  std::vector<std::string> texts;
};

std::string Msg(int number) { return LoadStr(number); }
std::string CallFailed(const std::string& call) { return FmtLoadStr(1014, {call}); }

ServerLink Link(TSettings* settings = nullptr) {
  ServerLink link;
  link.Settings = settings;
  link.ConnectTimeout = 1500ms;
  link.IoTimeout = 1500ms;
  return link;
}

ServerLink DirectLink() {
  ServerLink link = Link();
  link.Discover = [](const TSettings&, const std::string&, const std::string&, std::string& text) {
    text.clear();
    return 0;
  };
  return link;
}

ServerLink ProxyLink(int kind, const std::string& proxy) {
  ServerLink link = Link();
  link.Discover = [kind, proxy](const TSettings&, const std::string&, const std::string&, std::string& text) {
    text = proxy;
    return kind;
  };
  return link;
}

Outcome Connect(const std::string& hostport, ServerLink link) {
  Outcome out;
  link.PostText = [&out](const std::string& t) { out.texts.push_back(t); };
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  EXPECT_GE(fd, 0);
  try {
    ConnectServerSocket(fd, hostport, link);
    char back[5] = {};
    out.echoed = test::SendAll(fd, "ping\n") && test::RecvExact(fd, back, sizeof back) &&
                 std::string(back, sizeof back) == "ping\n";
  } catch (const KovraException& e) {
    out.error = e.Message();
    out.function = e.FunctionName;
  }
  close(fd);
  return out;
}

void ExpectFailure(const Outcome& out, const std::string& message) {
  ASSERT_TRUE(out.error.has_value()) << "connected, expected: " << message;
  EXPECT_EQ(*out.error, message);
  EXPECT_EQ(out.function, "TActiveXThread::Connect_socket");
}

// ---- address of the server ----

struct AddressCase {
  const char* name;
  std::string suffix;  // after "127.0.0.1"
  bool ok;
};

TEST(ConnectSocket, ServerAddressIsParsedForHostAndPort) {
  EchoServer echo;
  const int port = echo.Port();
  const std::vector<AddressCase> cases = {
      {"explicit port", ":" + std::to_string(port), true},
      {"port beyond 16 bits keeps its low bits", ":" + std::to_string(port + 65536), true},
      {"colon and nothing", ":", false},
      {"letters", ":abc", false},
      {"digits then letters", ":" + std::to_string(port) + "x", false},
      {"65535", ":65535", false},
      {"minus one", ":-1", false},
  };
  for (const AddressCase& c : cases) {
    SCOPED_TRACE(c.name);
    Outcome out = Connect("127.0.0.1" + c.suffix, DirectLink());
    if (c.ok) {
      EXPECT_FALSE(out.error.has_value()) << *out.error;
      EXPECT_TRUE(out.echoed);
    } else {
      ExpectFailure(out, Msg(1006));
    }
  }
  ExpectFailure(Connect("", DirectLink()), Msg(1006));
}

TEST(ConnectSocket, AddressWithoutPortGoesToPort443) {
  EchoServer echo;
  Socks4Proxy socks(Socks4Proxy::Reply::GrantedVersion0, echo.Port());
  Outcome out = Connect("127.0.0.1", ProxyLink(2, socks.Address()));
  EXPECT_TRUE(out.echoed);
  ASSERT_EQ(socks.Requests().size(), 1u);
  EXPECT_EQ(socks.Requests()[0].port, 443);
}

// ---- direct ----

TEST(ConnectSocket, DirectToClosedPortIsRefused) {
  ExpectFailure(Connect("127.0.0.1:" + std::to_string(test::UnusedLoopbackPort()), DirectLink()), Msg(1001));
}

TEST(ConnectSocket, DirectToUnresolvableNameFailsAsUnreachable) {
  ExpectFailure(Connect("no-such-host.invalid:8443", DirectLink()), Msg(1001));
}

TEST(ConnectSocket, DirectToServerThatNeverAnswersTimesOut) {
  test::SilentListener dead;
  ASSERT_TRUE(dead.FillQueue());
  ServerLink link = DirectLink();
  link.ConnectTimeout = 300ms;
  ExpectFailure(Connect("127.0.0.1:" + std::to_string(dead.Port()), link), Msg(1001));
}

TEST(ConnectSocket, DirectPostsNoProxyText) {
  EchoServer echo;
  Outcome out = Connect("localhost:" + std::to_string(echo.Port()), DirectLink());
  EXPECT_TRUE(out.echoed);
  EXPECT_TRUE(out.texts.empty());
}

// ---- HTTP CONNECT ----

TEST(ConnectSocket, ConnectTunnelCarriesTheBrowserVersionAndTheStream) {
  EchoServer echo;
  ConnectProxy proxy(ConnectProxy::Reply::Granted, echo.Port());
  ServerLink link = ProxyLink(1, proxy.Address());
  link.RequestVersion = "HTTP/1.0";
  Outcome out = Connect("volitve.example", link);
  EXPECT_FALSE(out.error.has_value()) << *out.error;
  EXPECT_TRUE(out.echoed);
  ASSERT_EQ(proxy.Requests().size(), 1u);
  EXPECT_EQ(proxy.Requests()[0], "CONNECT volitve.example:443 HTTP/1.0\r\n\r\n");
  ASSERT_EQ(out.texts.size(), 1u);
  EXPECT_EQ(out.texts[0], "B: " + FmtLoadStr(2004, {proxy.Address()}));
}

struct ProxyReplyCase {
  const char* name;
  ConnectProxy::Reply reply;
  std::optional<std::string> error;  // none: the tunnel opens
};

TEST(ConnectSocket, ConnectTunnelOpensOnlyOnA200StatusLine) {
  EchoServer echo;
  const std::vector<ProxyReplyCase> cases = {
      {"200 in one piece", ConnectProxy::Reply::Granted, std::nullopt},
      {"200 in several pieces", ConnectProxy::Reply::GrantedInPieces, std::nullopt},
      {"407", ConnectProxy::Reply::AuthRequired, Msg(1040)},
      {"200 without the space", ConnectProxy::Reply::GrantedWithoutSpace, Msg(1040)},
      {"closed before the empty line", ConnectProxy::Reply::CloseBeforeEnd, CallFailed("recv")},
      {"line longer than the buffer", ConnectProxy::Reply::OverlongLine, CallFailed("recv")},
      {"never answers", ConnectProxy::Reply::Silent, CallFailed("recv")},
  };
  for (const ProxyReplyCase& c : cases) {
    SCOPED_TRACE(c.name);
    ConnectProxy proxy(c.reply, echo.Port());
    ServerLink link = ProxyLink(1, proxy.Address());
    link.IoTimeout = 300ms;
    Outcome out = Connect("volitve.example:8443", link);
    if (c.error) {
      ExpectFailure(out, *c.error);
    } else {
      EXPECT_FALSE(out.error.has_value()) << *out.error;
      EXPECT_TRUE(out.echoed);
    }
    ASSERT_EQ(proxy.Requests().size(), 1u);
    EXPECT_EQ(proxy.Requests()[0], "CONNECT volitve.example:8443 HTTP/1.1\r\n\r\n");
  }
}

TEST(ConnectSocket, HostTooLongForTheConnectRequestIsRefused) {
  EchoServer echo;
  ConnectProxy proxy(ConnectProxy::Reply::Granted, echo.Port());
  ExpectFailure(Connect(std::string(240, 'a') + ".example", ProxyLink(1, proxy.Address())), Msg(1006));
  EXPECT_TRUE(proxy.Requests().empty());
}

// ---- proxy address and reachability (both kinds) ----

struct ProxyAddressCase {
  const char* name;
  int kind;
  std::string proxyText;
  std::string error;
};

TEST(ConnectSocket, UnusableProxyIsReported) {
  const std::string closed = "127.0.0.1:" + std::to_string(test::UnusedLoopbackPort());
  test::SilentListener dead;
  ASSERT_TRUE(dead.FillQueue());
  const std::string deadAddress = "127.0.0.1:" + std::to_string(dead.Port());
  const std::vector<ProxyAddressCase> cases = {
      {"https proxy without port", 1, "proxy.example", Msg(1022)},
      {"socks proxy with letters for port", 2, "127.0.0.1:socks", Msg(1022)},
      {"port beyond 16 bits", 1, "127.0.0.1:70000", Msg(1022)},
      {"https proxy refuses", 1, closed, Msg(1002)},
      {"socks proxy refuses", 2, closed, Msg(1002)},
      {"https proxy never answers the connection", 1, deadAddress, Msg(1002)},
      {"socks proxy never answers the connection", 2, deadAddress, Msg(1002)},
  };
  for (const ProxyAddressCase& c : cases) {
    SCOPED_TRACE(c.name);
    ServerLink link = ProxyLink(c.kind, c.proxyText);
    link.ConnectTimeout = 300ms;
    Outcome out = Connect("volitve.example", link);
    ExpectFailure(out, c.error);
    ASSERT_EQ(out.texts.size(), 1u);
    EXPECT_EQ(out.texts[0], "B: " + FmtLoadStr(c.kind == 1 ? 2004 : 2005, {c.proxyText}));
  }
}

TEST(ConnectSocket, ProxyTextFromAScriptUsesItsFirstHostAndPort) {
  EchoServer echo;
  ConnectProxy proxy(ConnectProxy::Reply::Granted, echo.Port());
  Outcome out = Connect("volitve.example", ProxyLink(1, proxy.Address() + "; PROXY other.example:8080"));
  EXPECT_TRUE(out.echoed);
}

// ---- SOCKS 4 ----

struct SocksCase {
  const char* name;
  Socks4Proxy::Reply reply;
  std::optional<std::string> error;
};

TEST(ConnectSocket, Socks4GrantsOnResult90WithVersionByte0Or4) {
  EchoServer echo;
  const std::vector<SocksCase> cases = {
      {"version byte 0", Socks4Proxy::Reply::GrantedVersion0, std::nullopt},
      {"version byte 4", Socks4Proxy::Reply::GrantedVersion4, std::nullopt},
      {"version byte 5", Socks4Proxy::Reply::GrantedVersion5, Msg(1002)},
      {"refused", Socks4Proxy::Reply::Refused, Msg(1002)},
      {"short reply", Socks4Proxy::Reply::ShortReply, CallFailed("recv")},
      {"never answers", Socks4Proxy::Reply::Silent, CallFailed("recv")},
  };
  for (const SocksCase& c : cases) {
    SCOPED_TRACE(c.name);
    Socks4Proxy socks(c.reply);
    ServerLink link = ProxyLink(2, socks.Address());
    link.IoTimeout = 300ms;
    Outcome out = Connect("localhost:" + std::to_string(echo.Port()), link);
    if (c.error) {
      ExpectFailure(out, *c.error);
    } else {
      EXPECT_FALSE(out.error.has_value()) << *out.error;
      EXPECT_TRUE(out.echoed);
      ASSERT_EQ(out.texts.size(), 1u);
      EXPECT_EQ(out.texts[0], "B: " + FmtLoadStr(2005, {socks.Address()}));
    }
    ASSERT_EQ(socks.Requests().size(), 1u);
    const Socks4Proxy::Request r = socks.Requests()[0];
    EXPECT_EQ(r.version, 4);
    EXPECT_EQ(r.command, 1);
    EXPECT_EQ(r.port, echo.Port());
    EXPECT_EQ(r.address, "127.0.0.1");  // resolved here, not by the proxy
    EXPECT_EQ(r.userId, "");
  }
}

TEST(ConnectSocket, Socks4SendsUnresolvableNameAsAllOnes) {
  EchoServer echo;
  Socks4Proxy socks(Socks4Proxy::Reply::GrantedVersion0, echo.Port());
  Outcome out = Connect("no-such-host.invalid", ProxyLink(2, socks.Address()));
  EXPECT_TRUE(out.echoed);
  ASSERT_EQ(socks.Requests().size(), 1u);
  EXPECT_EQ(socks.Requests()[0].address, "255.255.255.255");
}

// ---- the worker's stop ----

TEST(ConnectSocket, StopOfTheWorkerEndsEveryWait) {
  test::SilentListener dead;
  ASSERT_TRUE(dead.FillQueue());
  ConnectProxy silentHttps(ConnectProxy::Reply::Silent);
  Socks4Proxy silentSocks(Socks4Proxy::Reply::Silent);
  const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  ASSERT_GE(wake, 0);
  const uint64_t one = 1;
  ASSERT_EQ(write(wake, &one, sizeof one), static_cast<ssize_t>(sizeof one));
  struct Case {
    const char* name;
    ServerLink link;
  };
  const std::vector<Case> cases = {
      {"direct connection", DirectLink()},
      {"proxy connection", ProxyLink(1, "127.0.0.1:" + std::to_string(dead.Port()))},
      {"CONNECT reply", ProxyLink(1, silentHttps.Address())},
      {"SOCKS reply", ProxyLink(2, silentSocks.Address())},
  };
  for (Case c : cases) {
    SCOPED_TRACE(c.name);
    c.link.ConnectTimeout = 20s;  // the stop, not a time-out, must end these
    c.link.IoTimeout = 20s;
    c.link.WakeFd = wake;
    ExpectFailure(Connect("127.0.0.1:" + std::to_string(dead.Port()), c.link), Msg(1003));
  }
  close(wake);
}

// ---- the way chosen by the configured proxy text ----

TEST(ConnectSocket, ConfiguredProxyTextChoosesTheWay) {
  EchoServer echo;
  ConnectProxy https(ConnectProxy::Reply::Granted, echo.Port());
  Socks4Proxy socks(Socks4Proxy::Reply::GrantedVersion0, echo.Port());
  struct Case {
    std::string proxyServer;
    int viaHttps, viaSocks;
  };
  const std::vector<Case> cases = {
      {"https=" + https.Address() + ";socks=" + socks.Address(), 1, 0},
      {"socks=" + socks.Address(), 0, 1},
      {https.Address(), 1, 0},
  };
  int seenHttps = 0, seenSocks = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.proxyServer);
    TSettings settings = TSettings::Defaults();
    settings.ProxyServer = c.proxyServer;
    Outcome out = Connect("volitve.example", Link(&settings));
    EXPECT_TRUE(out.echoed);
    seenHttps += c.viaHttps;
    seenSocks += c.viaSocks;
    EXPECT_EQ(static_cast<int>(https.Requests().size()), seenHttps);
    EXPECT_EQ(static_cast<int>(socks.Requests().size()), seenSocks);
  }
}

// ---- the worker's own connection ----

class RecordingSink : public INotifySink {
 public:
  void Post(int, long long) override {}
  void PostText(std::string cp1250) override {
    std::lock_guard<std::mutex> lock(mutex_);
    texts_.push_back(std::move(cp1250));
  }
  std::string VersionLine() override { return "test"; }
  std::vector<std::string> Texts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return texts_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> texts_;
};

TEST(ConnectSocket, WorkerConnectsItsServerSocketTheConfiguredWay) {
  EchoServer echo;
  ConnectProxy proxy(ConnectProxy::Reply::Granted, echo.Port());
  RecordingSink sink;
  TSettings settings = TSettings::Defaults("-47000");
  settings.ProxyServer = "https=" + proxy.Address();
  TServices services;
  services.Notify = &sink;
  TActiveXThread worker(settings, services);
  ASSERT_GT(worker.WaitListening(5s), 0);  // idle in its accept loop from here on

  worker.ServerSocket = socket(AF_INET, SOCK_STREAM, 0);
  worker.Connect_socket("volitve.example:8443");
  char back[5] = {};
  EXPECT_TRUE(test::SendAll(worker.ServerSocket, "ping\n") && test::RecvExact(worker.ServerSocket, back, 5));
  ASSERT_EQ(proxy.Requests().size(), 1u);
  EXPECT_EQ(proxy.Requests()[0], "CONNECT volitve.example:8443 HTTP/1.1\r\n\r\n");
  EXPECT_EQ(sink.Texts(), std::vector<std::string>{"B: Uporabljam HTTPS proxy " + proxy.Address() + " ..."});
  close(worker.ServerSocket);

  // Once the worker is told to stop, a connection that hangs ends at once.
  test::SilentListener dead;
  ASSERT_TRUE(dead.FillQueue());
  worker.Settings.ProxyServer = "https=127.0.0.1:" + std::to_string(dead.Port());
  worker.Stop();
  worker.ServerSocket = socket(AF_INET, SOCK_STREAM, 0);
  try {
    worker.Connect_socket("volitve.example");
    ADD_FAILURE() << "connected";
  } catch (const KovraException& e) {
    EXPECT_EQ(e.Message(), Msg(1003));
  }
}

}  // namespace
}  // namespace kovrax
