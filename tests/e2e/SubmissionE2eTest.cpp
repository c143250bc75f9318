// One ballot through the running agent: browser POST, voter's key on a SoftHSM2 token, TLS to a
// ballot server on loopback (directly or through a proxy), receipt check, redirect, downloads.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include "support/AgentHarness.h"
#include "shell/Messages.h"
#include "support/BallotServerDouble.h"
#include "support/ConnectProxy.h"
#include "support/Socks4Proxy.h"
#include "support/TestPki.h"

namespace kovrax::test {
namespace {

const std::string kBody = "kandidat=3&ime=Janez+Novak&opomba=%C4%8Dez";
// A host name that the configuration allows but that does not fit the server name buffer.
const std::string kLongHost = std::string(250, 'v') + ".example";

class SubmissionE2eTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    world_ = new AgentWorld;
    server_ = new BallotServerDouble(world_->ballot);
    agent_ = new AgentProcess(*world_, KOVRAX_BINARY, BallotHosts());
  }
  static void TearDownTestSuite() {
    delete agent_;
    delete server_;
    delete world_;
  }

  static std::string BallotHosts() { return "localhost:" + std::to_string(server_->Port()) + "," + kLongHost; }
  static std::string Site() { return "https://localhost:" + std::to_string(server_->Port()); }

  static std::map<std::string, std::string> Query() {
    return {{"Server", Site() + "/glasuj"},
            {"OkURL", Site() + "/ok?doc=$(Dokument)"},
            {"ErrUrl", Site() + "/err?code=$(Koda)&msg=$(Opis)"},
            {"Povratnica", "/povratnica"},
            {"Glasovnica", "/glasovnica"}};
  }

  // The whole reply must be one redirect, nothing before or after it.
  static std::string RedirectTarget(const std::string& raw) {
    const std::string head = "HTTP/1.1 302\r\nLocation: ";
    EXPECT_EQ(raw.rfind(head, 0), 0u) << raw;
    EXPECT_EQ(raw.find("HTTP/1.1", 1), std::string::npos) << "second reply: " << raw;
    size_t end = raw.find("\r\n\r\n");
    EXPECT_EQ(end + 4, raw.size()) << raw;
    if (raw.rfind(head, 0) != 0 || end == std::string::npos) return {};
    return raw.substr(head.size(), end - head.size());
  }

  static void ExpectSucceeds(AgentProcess& agent, const std::string& document = "") {
    std::string target = RedirectTarget(Exchange(agent.Port(), BallotPost(Query(), kBody)));
    EXPECT_EQ(target, Site() + "/ok?doc=" + document) << agent.Log();
  }

  // The error redirect's code (its Line after "@") and text.
  static std::pair<std::string, std::string> ExpectFails(AgentProcess& agent,
                                                         const std::map<std::string, std::string>& query) {
    std::string target = RedirectTarget(Exchange(agent.Port(), BallotPost(query, kBody)));
    EXPECT_EQ(target.rfind(Site() + "/err?", 0), 0u) << target;
    auto values = QueryOf(target);
    std::string code = values["code"];
    return {code.substr(code.find('@') + 1), values["msg"]};
  }

  static AgentWorld* world_;
  static BallotServerDouble* server_;
  static AgentProcess* agent_;
};

AgentWorld* SubmissionE2eTest::world_ = nullptr;
BallotServerDouble* SubmissionE2eTest::server_ = nullptr;
AgentProcess* SubmissionE2eTest::agent_ = nullptr;

TEST_F(SubmissionE2eTest, DirectSubmissionRedirectsAndServesVerifiableReceiptAndBallot) {
  server_->SetMode(ServerMode::OkDocument);
  server_->SetChunked(false);
  const size_t before = server_->Requests().size();
  ExpectSucceeds(*agent_, "42");

  ASSERT_EQ(server_->Requests().size(), before + 1);
  const SeenRequest seen = server_->Requests().back();
  EXPECT_EQ(seen.problem, "");
  EXPECT_EQ(seen.host, "localhost");
  EXPECT_EQ(seen.profile, "3016");
  EXPECT_EQ(seen.signedContent,
            kBody + "&Kovra-Streznik=" + QueryEncode(Site() + "/glasuj") + "&Kovra-Profil=3016");

  // Both downloads, twice each, the same bytes.
  HttpReply receipt = ParseReply(Exchange(agent_->Port(), Get("/povratnica")));
  HttpReply ballot = ParseReply(Exchange(agent_->Port(), Get("/glasovnica")));
  EXPECT_EQ(receipt.statusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(ballot.statusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(receipt.fields["Content-Length"], std::to_string(receipt.body.size()));
  EXPECT_EQ(Bytes(ballot.body.begin(), ballot.body.end()), seen.body);
  EXPECT_EQ(ParseReply(Exchange(agent_->Port(), Get("/povratnica"))).body, receipt.body);

  TempDir dir;
  WriteFile(dir / "receipt.der", receipt.body);
  WriteFile(dir / "ballot.der", ballot.body);
  std::string out;
  EXPECT_EQ(RunCommand("openssl cms -verify -binary -inform DER -in " + (dir / "ballot.der") + " -CAfile " +
                           world_->VoterCaPem() + " -out " + (dir / "content.txt")),
            0);
  EXPECT_EQ(ReadFile(dir / "content.txt"), seen.signedContent);
  EXPECT_EQ(RunCommand("openssl cms -verify_receipt " + (dir / "receipt.der") + " -rctform DER -in " +
                           (dir / "ballot.der") + " -inform DER -CAfile " + world_->ServerCaPem(),
                       &out),
            0)
      << out;
}

TEST_F(SubmissionE2eTest, ChunkedReceiptIsAccepted) {
  server_->SetMode(ServerMode::Ok);
  server_->SetChunked(true);
  ExpectSucceeds(*agent_);
  server_->SetChunked(false);
}

TEST_F(SubmissionE2eTest, EachServerMisbehaviourGivesItsErrorAndTheNextSubmissionSucceeds) {
  struct Case {
    ServerMode mode;
    std::string line;
    std::string message;  // prefix of the text
  };
  const Case cases[] = {
      {ServerMode::Err, "1510", "Volitve so zaključene"},
      {ServerMode::WrongIdentifier, "1543", LoadStr(1019)},
      {ServerMode::ForeignSigner, "1543", LoadStr(1019)},
      {ServerMode::TimeOutsideWindow, "1573", "Napačen čas ("},
      {ServerMode::TruncatedBody, "1525", LoadStr(1020)},
      {ServerMode::NoStatus, "1511", LoadStr(1020)},
  };
  server_->SetChunked(false);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line + " " + c.message);
    server_->SetMode(c.mode);
    auto [line, message] = ExpectFails(*agent_, Query());
    EXPECT_EQ(line, c.line);
    EXPECT_EQ(message.rfind(c.message, 0), 0u) << message;
    // A failed submission leaves nothing to download.
    EXPECT_NE(ParseReply(Exchange(agent_->Port(), Get("/povratnica"))).statusLine, "HTTP/1.1 200 OK");

    server_->SetMode(ServerMode::Ok);
    ExpectSucceeds(*agent_);
  }
  EXPECT_TRUE(agent_->Running());
}

TEST_F(SubmissionE2eTest, PostInBetweenStopsServingTheFetchPaths) {
  server_->SetMode(ServerMode::Ok);
  ExpectSucceeds(*agent_);
  EXPECT_EQ(ParseReply(Exchange(agent_->Port(), Get("/glasovnica"))).statusLine, "HTTP/1.1 200 OK");

  auto query = Query();
  query["Server"] = "https://elsewhere.example/glasuj";
  ExpectFails(*agent_, query);
  for (const char* path : {"/povratnica", "/glasovnica"}) {
    HttpReply r = ParseReply(Exchange(agent_->Port(), Get(path)));
    EXPECT_NE(r.statusLine, "HTTP/1.1 200 OK") << path;
  }
}

TEST_F(SubmissionE2eTest, DriverRefusalsGiveTheirLine) {
  struct Case {
    std::string server;
    std::string line;
    int message;
  };
  const Case cases[] = {
      {"https://elsewhere.example/glasuj", "1099", 1055},
      {Site(), "1113", 1058},
      {"https://" + kLongHost + "/glasuj", "1114", 1058},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.server);
    auto query = Query();
    query["Server"] = c.server;
    auto [line, message] = ExpectFails(*agent_, query);
    EXPECT_EQ(line, c.line);
    EXPECT_EQ(message, LoadStr(c.message));
  }
  auto query = Query();
  query["OkURL"] = "https://elsewhere.example/ok";
  auto [line, message] = ExpectFails(*agent_, query);
  EXPECT_EQ(line, "1101");
  server_->SetMode(ServerMode::Ok);
  ExpectSucceeds(*agent_);
}

// Through a proxy: its own agent, whose configuration names the proxy; stopped cleanly after.
class ProxyE2eTest : public SubmissionE2eTest {
 protected:
  void RunThrough(const std::map<std::string, std::string>& settings) {
    server_->SetMode(ServerMode::Ok);
    server_->SetChunked(false);
    AgentProcess agent(*world_, KOVRAX_BINARY, BallotHosts(), settings);
    ExpectSucceeds(agent);
    EXPECT_EQ(agent.Stop(), 0) << agent.Log();
    EXPECT_EQ(agent.Log().find("Sanitizer"), std::string::npos) << agent.Log();
  }
};

TEST_F(ProxyE2eTest, ThroughHttpsConnectProxy) {
  ConnectProxy proxy;
  RunThrough({{"ProxyServer", "https=" + proxy.Address()}});
  ASSERT_EQ(proxy.Requests().size(), 1u);
  EXPECT_EQ(proxy.Requests()[0].rfind("CONNECT localhost:" + std::to_string(server_->Port()) + " HTTP/1.1\r\n", 0),
            0u)
      << proxy.Requests()[0];
}

TEST_F(ProxyE2eTest, ThroughSocks4Proxy) {
  Socks4Proxy proxy;
  RunThrough({{"ProxyServer", "socks=" + proxy.Address()}});
  ASSERT_EQ(proxy.Requests().size(), 1u);
  EXPECT_EQ(proxy.Requests()[0].port, server_->Port());
  EXPECT_EQ(proxy.Requests()[0].address, "127.0.0.1");
}

TEST_F(ProxyE2eTest, ThroughProxyNamedByPacScript) {
  ConnectProxy proxy;
  TempDir dir;
  WriteFile(dir / "proxy.pac", "function FindProxyForURL(url, host) {\n"
                               "  return host == \"localhost\" ? \"PROXY " + proxy.Address() + "\" : \"DIRECT\";\n}\n");
  RunThrough({{"ProxyAutoConfigUrl", "file://" + (dir / "proxy.pac")}});
  ASSERT_EQ(proxy.Requests().size(), 1u);
  EXPECT_EQ(proxy.Requests()[0].rfind("CONNECT localhost:", 0), 0u);
}

}  // namespace
}  // namespace kovrax::test
