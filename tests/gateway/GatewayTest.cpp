// The gateway over real loopback connections.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "gateway/GatewayTestKit.h"
#include "shell/Messages.h"

namespace kovrax {
namespace {

using namespace kovrax::test;
using namespace std::chrono_literals;

std::string Form(const std::string& target, const std::string& body,
                 const std::string& type = "application/x-www-form-urlencoded") {
  return "POST " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: " + type +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// "$(Koda)" and "$(Opis)" as they appear inside an ErrUrl parameter of the request.
const std::string kErrUrlParam = "ErrUrl=https%3A%2F%2Fballot.test%2Ferr%3Fc%3D%24(Koda)%26m%3D%24(Opis)";

TEST(GatewayListener, OptionsGetsExactPreflightReply) {
  Gateway g;
  ASSERT_GT(g.port, 0);
  Received r = Exchange(g.port, "OPTIONS /anything HTTP/1.1\r\nOrigin: https://ballot.test\r\n\r\n");
  EXPECT_TRUE(r.closed);
  EXPECT_EQ(r.bytes, kOptionsReply);
}

TEST(GatewayListener, MethodsOtherThanGetClearFetchPathsAndOnlyOptionsIsAnswered) {
  struct Case {
    std::string requestLine;
    std::string reply;
  } cases[] = {
      {"OPTIONS / HTTP/1.1", kOptionsReply},
      {"get /r HTTP/1.1", ""},  // methods are case sensitive: this is not a GET
      {"PUT /r HTTP/1.1", ""},
  };
  for (const Case& c : cases) {
    Gateway g;
    ASSERT_GT(g.port, 0);
    g->Receipt = {'R', 'C', 'P'};
    g->ReceiptFetchPath = "/r";
    Received before = Exchange(g.port, "GET /R HTTP/1.1\r\n\r\n");
    EXPECT_EQ(before.bytes.substr(before.bytes.size() - 3), "RCP") << c.requestLine;

    Received r = Exchange(g.port, c.requestLine + "\r\n\r\n");
    EXPECT_TRUE(r.closed) << c.requestLine;
    EXPECT_EQ(r.bytes, c.reply) << c.requestLine;

    Received after = Exchange(g.port, "GET /r HTTP/1.1\r\n\r\n");
    EXPECT_EQ(after.bytes, LoadTextResource("Error404")) << c.requestLine;
  }
}

TEST(GatewayListener, SilentConnectionIsClosedWithoutBytesWhileNextIsServed) {
  Gateway g;
  ASSERT_GT(g.port, 0);
  Fd silent = Connect(g.port);
  ASSERT_GE(silent.get(), 0);
  Fd next = Connect(g.port);
  ASSERT_GE(next.get(), 0);
  ASSERT_TRUE(SendAll(next.get(), "OPTIONS / HTTP/1.1\r\n\r\n"));
  Received s = ReadUntilClosed(silent.get(), 10s);
  EXPECT_TRUE(s.closed);
  EXPECT_EQ(s.bytes, "");
  Received n = ReadUntilClosed(next.get(), 10s);
  EXPECT_EQ(n.bytes, kOptionsReply);
}

TEST(GatewayListener, DynamicPortSkipsPortsInUse) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    int base = RandomPortBase();
    Fd first = ListenOn(base), second = ListenOn(base + 1);
    if (first.get() < 0 || second.get() < 0) continue;
    Gateway g(TestSettings("-" + std::to_string(base)));
    if (g.port != base + 2) continue;  // base+2 was taken by someone else: try elsewhere
    EXPECT_EQ(g->Settings.Port, std::to_string(base + 2));
    EXPECT_EQ(Exchange(g.port, "OPTIONS / HTTP/1.1\r\n\r\n").bytes, kOptionsReply);
    return;
  }
  FAIL() << "no free run of three ports found";
}

TEST(GatewayListener, FixedPortInUseEndsWith1045) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    int port = RandomPortBase();
    Fd taken = ListenOn(port);
    if (taken.get() < 0) continue;
    Gateway g(TestSettings(std::to_string(port)));
    EXPECT_EQ(g.port, -1);
    ASSERT_TRUE(g.sink.WaitForText("R: " + FmtLoadStr(1045, {std::to_string(port)})));
    EXPECT_EQ(g.sink.Count(NotifyDone, 0), 1u);
    return;
  }
  FAIL() << "no port to take";
}

TEST(GatewayListener, RefusedPortsPostFailureThenEndWithTheirMessage) {
  struct Case {
    std::string port;
    int message;
  } cases[] = {{"0", 1046}, {"65536", 1024}, {"-65536", 1024}, {"80a", 1024}, {"", 1024}};
  for (const Case& c : cases) {
    TSettings s = TestSettings();
    s.Port = c.port;
    Gateway g(s);
    EXPECT_EQ(g.port, -1) << c.port;
    std::string expected = "R: " + LoadStr(c.message);
    ASSERT_TRUE(g.sink.WaitForText(expected)) << c.port;
    std::vector<RecordingSink::Event> events = g.sink.Events();
    ASSERT_GE(events.size(), 2u);
    // Code 2 with failure comes first, then the message.
    EXPECT_EQ(events[0].code, NotifyDone) << c.port;
    EXPECT_EQ(events[0].value, 0) << c.port;
    EXPECT_EQ(events.back().text, expected) << c.port;
  }
}

TEST(GatewayListener, StopWhileInAcceptEndsQuietly) {
  Gateway g;
  ASSERT_GT(g.port, 0);
  ASSERT_TRUE(g.sink.WaitFor([](const auto& events) { return !events.empty(); }));
  g->Stop();
  EXPECT_TRUE(g->Finished());
  EXPECT_TRUE(g.sink.Texts().empty());
  EXPECT_LT(Connect(g.port).get(), 0);
}

TEST(GatewayListener, StopWhileWaitingForAHeaderEndsQuietly) {
  Gateway g;
  ASSERT_GT(g.port, 0);
  Fd c = Connect(g.port);
  ASSERT_TRUE(SendAll(c.get(), "GET / HTTP/1.1\r\n"));
  ASSERT_TRUE(g.sink.WaitFor([](const auto& events) { return events.size() >= 3; }));  // accepted
  g->Stop();
  EXPECT_TRUE(g->Finished());
  EXPECT_TRUE(g.sink.Texts().empty());
  EXPECT_TRUE(ReadUntilClosed(c.get(), 5s).closed);
}

TEST(GatewayRequestLimits, OversizedHeaderIsDroppedAndGatewayGoesOn) {
  Gateway g;
  ASSERT_GT(g.port, 0);
  Fd c = Connect(g.port);
  std::string huge = "GET /" + std::string(70 * 1024, 'a');
  SendAll(c.get(), huge);  // may fail once the gateway has hung up
  Received r = ReadUntilClosed(c.get());
  EXPECT_TRUE(r.closed);
  EXPECT_EQ(r.bytes, "");
  EXPECT_TRUE(g.sink.WaitForText("R: " + LoadStr(1030)));
  EXPECT_EQ(Exchange(g.port, "OPTIONS / HTTP/1.1\r\n\r\n").bytes, kOptionsReply);
}

TEST(GatewayRequestLimits, StalledHeaderAndBodyAreDroppedAfterTheTimeout) {
  struct Case {
    std::string partial;
    int message;
  } cases[] = {
      {"GET / HTTP/1.1\r\nHost: a", 1030},
      {Form("/p", "0123456789").substr(0, Form("/p", "0123456789").size() - 4), 1031},
  };
  for (const Case& c : cases) {
    Gateway g(TestSettings(), 300);
    ASSERT_GT(g.port, 0);
    Fd conn = Connect(g.port);
    ASSERT_TRUE(SendAll(conn.get(), c.partial));
    Received r = ReadUntilClosed(conn.get(), 10s);
    EXPECT_TRUE(r.closed) << c.message;
    EXPECT_EQ(r.bytes, "") << c.message;
    EXPECT_TRUE(g.sink.WaitForText("R: " + LoadStr(c.message))) << c.message;
    EXPECT_EQ(Exchange(g.port, "OPTIONS / HTTP/1.1\r\n\r\n").bytes, kOptionsReply) << c.message;
  }
}

TEST(GatewayRequestLimits, ResetWhileReadingHeaderEndsOnlyThatConnection) {
  Gateway g;
  ASSERT_GT(g.port, 0);
  {
    Fd c = Connect(g.port);
    ASSERT_TRUE(SendAll(c.get(), "GET / HTTP/1.1\r\n"));
    ASSERT_TRUE(g.sink.WaitFor([](const auto& events) { return events.size() >= 3; }));
    linger reset{1, 0};
    setsockopt(c.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  }  // closed with a reset
  EXPECT_TRUE(g.sink.WaitForText("R: " + FmtLoadStr(1014, {std::string("RecvLine")})));
  EXPECT_EQ(Exchange(g.port, "OPTIONS / HTTP/1.1\r\n\r\n").bytes, kOptionsReply);
  EXPECT_FALSE(g->Finished());
}

TEST(GatewayPost, RefusedFormsAreClosedWithoutReply) {
  struct Case {
    std::string request;
    int message;
  } cases[] = {
      {Form("/p", "a=1", "application/x-www-form-urlencoded; charset=UTF-8"), 1048},
      {Form("/p", "a=1", "text/plain"), 1048},
      {"POST /p HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n\r\n", 1026},
      {"POST /p HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: -1\r\n\r\n", 1026},
      {"POST /p HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: 12abc\r\n\r\n", 1026},
      {"POST /p HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: 1048577\r\n\r\n",
       1026},
      {"POST /p HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: 99999999999999999\r\n\r\n",
       1026},
  };
  Gateway g;
  ASSERT_GT(g.port, 0);
  for (const Case& c : cases) {
    Received r = Exchange(g.port, c.request);
    EXPECT_TRUE(r.closed) << c.request;
    EXPECT_EQ(r.bytes, "") << c.request;
    EXPECT_TRUE(g.sink.WaitForText("R: " + LoadStr(c.message), 5s)) << c.request;
  }
  EXPECT_EQ(g.sink.Count(NotifyDone, 0), std::size(cases));
}

TEST(GatewayPost, ShortBodyGives1031AndNoReply) {
  Gateway g;
  ASSERT_GT(g.port, 0);
  Fd c = Connect(g.port);
  ASSERT_TRUE(SendAll(c.get(), "POST /p HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                               "Content-Length: 10\r\n\r\nabc"));
  shutdown(c.get(), SHUT_WR);
  Received r = ReadUntilClosed(c.get());
  EXPECT_TRUE(r.closed);
  EXPECT_EQ(r.bytes, "");
  EXPECT_TRUE(g.sink.WaitForText("R: " + LoadStr(1031)));
  EXPECT_EQ(g.sink.Count(NotifyDone, 0), 1u);
}

TEST(GatewayPost, HeaderAndBodyInManySegmentsReachTheSubmission) {
  Gateway g;
  ASSERT_GT(g.port, 0);
  std::string body(5000, 'x');
  std::string request = Form("/p?Server=https://ballot.test/v&" + kErrUrlParam, body, "Application/X-WWW-Form-Urlencoded");
  Fd c = Connect(g.port);
  // Pieces that end inside lines, between CR and LF, and across the header's end.
  for (size_t off = 0; off < request.size(); off += 97) {
    ASSERT_TRUE(SendAll(c.get(), request.substr(off, 97)));
    if (off < 400) std::this_thread::sleep_for(5ms);
  }
  Received r = ReadUntilClosed(c.get());
  // The whole body arrived: the submission ran and failed where the certificate is needed.
  EXPECT_EQ(r.bytes, "HTTP/1.1 302\r\nLocation: https://ballot.test/err?c=1104&m=" +
                         TActiveXThread::URLEncode(LoadStr(1028)) + "\r\n\r\n");
}

TEST(GatewayPost, SubmissionChecksItsTargetsBeforeAnythingElse) {
  struct Case {
    std::string query;
    int line;
  } cases[] = {
      {"Server=https://evil.test/v&" + kErrUrlParam, 1099},
      {"Server=http://ballot.test/v&" + kErrUrlParam, 1099},
      {"Server=https://ballot.test/v&OkURL=https://evil.test/&" + kErrUrlParam, 1101},
      {"Server=https://ballot.test/v&OkURL=https://ballot.test/ok&" + kErrUrlParam, 1104},
      {"Server=https://ballot.test:443/v&OkURL=HTTP/1.1%20200%20OK&" + kErrUrlParam, 1104},
  };
  Gateway g;
  ASSERT_GT(g.port, 0);
  for (const Case& c : cases) {
    Received r = Exchange(g.port, Form("/p?" + c.query, "a=1"));
    EXPECT_EQ(r.bytes.rfind("HTTP/1.1 302\r\nLocation: https://ballot.test/err?c=" + std::to_string(c.line) + "&m=", 0),
              0u)
        << c.query << "\n"
        << r.bytes;
  }
}

TEST(GatewayPost, RefusedErrUrlGetsThe400Reply) {
  Gateway g;
  ASSERT_GT(g.port, 0);
  Received r = Exchange(g.port, Form("/p?Server=https://evil.test/&ErrUrl=https://evil.test/e", "a=1"));
  EXPECT_EQ(r.bytes,
            "HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain; charset=windows-1250\r\nConnection: close\r\n\r\n"
            "Napa\xE8" "en naslov za preusmeritev\r\n");
}

TEST(GatewayGet, UnknownPathGets404AndLaterPostStillGets500) {
  Gateway g;
  ASSERT_GT(g.port, 0);
  const std::string error404 = LoadTextResource("Error404");
  EXPECT_EQ(Exchange(g.port, "GET /nothing HTTP/1.1\r\n\r\n").bytes, error404);
  EXPECT_EQ(g->LastErrUrl, error404);
  // A later failing GET gets the remembered reply; a failing POST without ErrUrl the 500 reply.
  EXPECT_EQ(Exchange(g.port, "GET /other HTTP/1.1\r\n\r\n").bytes, error404);
  EXPECT_EQ(Exchange(g.port, Form("/p?Server=https://ballot.test/v", "a=1")).bytes, LoadTextResource("Error500"));
  EXPECT_EQ(g->Settings.ErrorPage, LoadTextResource("Error500"));
}

TEST(GatewayGet, FailingGetRedirectsWithCodeAndTextFilled) {
  struct Case {
    std::string detailed;
    std::string code;
  } cases[] = {{"0", "1049"}, {"1", "HttpGet.cpp%5CTActiveXThread%3A%3AHTTP_Get%401049"}};
  for (const Case& c : cases) {
    TSettings s = TestSettings();
    s.DetailedErrorCode = c.detailed;
    Gateway g(s);
    ASSERT_GT(g.port, 0);
    Received r = Exchange(g.port, "GET /nothing?" + kErrUrlParam + " HTTP/1.1\r\n\r\n");
    EXPECT_EQ(r.bytes, "HTTP/1.1 302\r\nLocation: https://ballot.test/err?c=" + c.code + "&m=Napa%C4%8Den+URL\r\n\r\n");
    EXPECT_TRUE(g.sink.WaitForText("R: " + LoadStr(1054)));
    EXPECT_EQ(g->Settings.ErrorCode, "");  // used by the redirect, then cleared
  }
}

TEST(GatewayGet, FaviconGetsNothingAndSucceeds) {
  Gateway g;
  ASSERT_GT(g.port, 0);
  Received r = Exchange(g.port, "GET /FAVICON.ICO HTTP/1.1\r\n\r\n");
  EXPECT_TRUE(r.closed);
  EXPECT_EQ(r.bytes, "");
  EXPECT_TRUE(g.sink.WaitFor([](const auto& events) {
    for (const auto& e : events)
      if (e.code == NotifyDone && e.value == 1 && e.text.empty()) return true;
    return false;
  }));
  EXPECT_TRUE(g.sink.Texts().empty());
}

TEST(GatewayGet, ReceiptDownloadsInPiecesAndAgain) {
  Gateway g;
  ASSERT_GT(g.port, 0);
  std::vector<unsigned char> receipt(2500);
  for (size_t i = 0; i < receipt.size(); ++i) receipt[i] = static_cast<unsigned char>(i * 7);
  g->Receipt = receipt;
  g->ReceiptFetchPath = "/";
  g->Ballot = {1, 2, 3};
  g->BallotFetchPath = "/Glasovnica";
  std::string expected = "HTTP/1.0 200 OK\r\nContent-Length: 2500\r\nContent-Type: application/octet-stream\r\n"
                         "Connection: close\r\nAccess-Control-Allow-Origin: *\r\n\r\n" +
                         std::string(receipt.begin(), receipt.end());
  for (int i = 0; i < 2; ++i) EXPECT_EQ(Exchange(g.port, "GET / HTTP/1.0\r\n\r\n").bytes, expected);
  Received ballot = Exchange(g.port, "GET /glasovnica HTTP/1.1\r\n\r\n");
  EXPECT_EQ(ballot.bytes.substr(ballot.bytes.size() - 3), std::string("\1\2\3", 3));
  EXPECT_TRUE(g.sink.WaitForText("B: " + LoadStr(2009)));
}

TEST(GatewayGet, StatusPageEchoesVersionAndCarriesVersionLine) {
  Gateway g;
  ASSERT_GT(g.port, 0);
  Received r = Exchange(g.port, "GET /?x=1 HTTP/1.1\r\n\r\n");
  size_t split = r.bytes.find("\r\n\r\n");
  ASSERT_NE(split, std::string::npos);
  std::string page = r.bytes.substr(split + 4);
  EXPECT_EQ(r.bytes.substr(0, split + 4), "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(page.size()) +
                                              "\r\nContent-Type: text/html; charset=UTF-8\r\nConnection: close\r\n"
                                              "Access-Control-Allow-Origin: *\r\n\r\n");
  EXPECT_NE(page.find("\r\n        KovraX V9.9.9 test\r\n"), std::string::npos);
}

}  // namespace
}  // namespace kovrax
