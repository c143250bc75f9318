#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "gateway/HTTPHeaderUnit.h"
#include "shell/KovraException.h"

namespace kovrax {
namespace {

using Strings = std::vector<std::string>;

struct SocketPair {
  SocketPair() { socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fd); }
  ~SocketPair() {
    close(fd[0]);
    close(fd[1]);
  }
  void Write(const std::string& s) const { ASSERT_EQ(write(fd[1], s.data(), s.size()), static_cast<ssize_t>(s.size())); }
  std::string Remaining() const {
    shutdown(fd[1], SHUT_WR);
    std::string out;
    char buf[256];
    ssize_t n;
    while ((n = read(fd[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    return out;
  }
  int fd[2] = {-1, -1};
};

TEST(HeaderTokens, GetTokenSplitsOnRunsOfSpacesOnly) {
  struct Case {
    std::string line;
    int n;
    std::string token;
  } cases[] = {
      {"GET /x HTTP/1.1", 0, "GET"},
      {"GET /x HTTP/1.1", 1, "/x"},
      {"GET /x HTTP/1.1", 2, "HTTP/1.1"},
      {"GET /x HTTP/1.1", 3, ""},
      {"GET  /x   HTTP/1.1", 1, "/x"},
      {"  GET /x  ", 1, "/x"},
      {"GET\t/x HTTP/1.1", 0, "GET\t/x"},
      {"GET", 1, ""},
      {"", 0, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(THTTPHeader::GetToken(c.line, c.n), c.token) << c.line << " #" << c.n;
}

TEST(HeaderQuery, ParseQueryDecodesNamesAndValues) {
  struct Case {
    std::string query;
    Strings params;
  } cases[] = {
      {"A=1&b=%41+c", {"A", "1", "b", "A c"}},
      {"v=a+", {"v", "a "}},
      {"flag&x=1", {"flag", "", "x", "1"}},
      {"a=1&&b=2", {"a", "1", "", "", "b", "2"}},
      {"a=1&", {"a", "1"}},
      {" n = v ", {"n", "v"}},
      {"n=%20v%20", {"n", " v "}},
      {"%6Eame=x", {"name", "x"}},
      {"e=a=b", {"e", "a=b"}},
      {"", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(http::ParseQuery(c.query), c.params) << c.query;
}

TEST(HeaderQuery, DecodeQueryComponentHandlesShortAndBadEscapes) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"%41%42", "AB"},
      {"%4a", "J"},
      {"%4G", std::string(1, '\x04')},  // only the first is a digit: it alone is the value
      {"%4", std::string(1, '\x04')},
      {"%", "%"},
      {"%G1", "%G1"},  // no digit at all: the "%" stays
      {"a+b", "a b"},
      {"%2B", "+"},
  };
  for (const Case& c : cases) EXPECT_EQ(http::DecodeQueryComponent(c.in), c.out) << c.in;
}

TEST(HeaderReader, LineConsumeLengthTakesOnlyTheLoneLfAfterASplitCrLf) {
  struct Case {
    std::string soFar, peek;
    size_t take;
  } cases[] = {
      {"", "GET / HTTP/1.1\r\nHost: a\r\n", 16},
      {"GET / HTTP/1.1\r", "\n\r\nbody", 1},
      {"", "\r\nbody", 2},
      {"", "partial", 7},
      {"abc", "\nxyz\r\n", 6},  // a lone LF that does not follow CR ends nothing
      {"", "ends in cr\r", 11},
  };
  for (const Case& c : cases)
    EXPECT_EQ(http::LineConsumeLength(c.soFar, c.peek.data(), c.peek.size()), c.take) << c.soFar << "|" << c.peek;
}

TEST(HeaderReader, ParsesRequestLineFieldsAndParamsAndLeavesBody) {
  SocketPair sp;
  sp.Write("GET /x?A=1&b=%41+c HTTP/1.1\r\nContent-Length:12\r\nX-Empty:\r\n\r\nbody bytes");
  THTTPHeader h(sp.fd[0]);
  EXPECT_EQ(h.Method, "GET");
  EXPECT_EQ(h.Path, "/x");
  EXPECT_EQ(h.Version, "HTTP/1.1");
  EXPECT_EQ(h.Params, (Strings{"A", "1", "b", "A c"}));
  EXPECT_EQ(h.Lines.size(), 3u);
  EXPECT_EQ(h.GetField("content-length"), "12");
  EXPECT_EQ(h.GetField("X-Empty"), "");
  EXPECT_EQ(h.GetField("Missing"), "");
  EXPECT_EQ(h.GetParam("a", "def"), "1");
  EXPECT_EQ(h.GetParam("B", "def"), "A c");
  EXPECT_EQ(h.GetParam("c", "def"), "def");
  EXPECT_EQ(sp.Remaining(), "body bytes");
}

TEST(HeaderReader, HeaderSplitAcrossSegmentsIsReadWholeAndBodyStays) {
  SocketPair sp;
  // Segments end inside a line and between CR and LF; the reader must take the lone LF only.
  std::thread writer([&] {
    const char* parts[] = {"POST /p?q=1 HT", "TP/1.1\r", "\nContent-Type: a", "pplication/x\r", "\n\r", "\nBODY"};
    for (const char* p : parts) {
      sp.Write(p);
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
  });
  THTTPHeader h(sp.fd[0]);
  writer.join();
  EXPECT_EQ(h.Method, "POST");
  EXPECT_EQ(h.Path, "/p");
  EXPECT_EQ(h.Version, "HTTP/1.1");
  EXPECT_EQ(h.GetField("Content-Type"), "application/x");
  EXPECT_EQ(sp.Remaining(), "BODY");
}

TEST(HeaderReader, PeerClosingAfterRequestLineGivesThatLine) {
  SocketPair sp;
  sp.Write("GET /only HTTP/1.1\r\npartial");
  shutdown(sp.fd[1], SHUT_WR);
  THTTPHeader h(sp.fd[0]);
  EXPECT_EQ(h.Lines, (Strings{"GET /only HTTP/1.1"}));
  EXPECT_EQ(h.Path, "/only");
}

TEST(HeaderReader, EmptyFirstLineGivesEmptyMethod) {
  SocketPair sp;
  sp.Write("\r\nGET / HTTP/1.1\r\n\r\n");
  THTTPHeader h(sp.fd[0]);
  EXPECT_EQ(h.Method, "");
  EXPECT_TRUE(h.Lines.empty());
}

TEST(HeaderReader, HeaderOverTheCapIsRefusedWith1030) {
  SocketPair sp;
  std::thread writer([&] {
    std::string big = "GET /" + std::string(2000, 'a') + " HTTP/1.1\r\n";
    for (int i = 0; i < 40; ++i)
      if (send(sp.fd[1], big.data(), big.size(), MSG_NOSIGNAL) < 0) break;
  });
  try {
    THTTPHeader h(sp.fd[0], THeaderLimits{64 * 1024, 10000, -1});
    ADD_FAILURE() << "no failure";
  } catch (const KovraException& e) {
    EXPECT_EQ(e.Message(), LoadStr(1030));
    EXPECT_EQ(e.FunctionName, "THTTPHeader::THTTPHeader");
  }
  shutdown(sp.fd[0], SHUT_RDWR);
  writer.join();
}

TEST(HeaderReader, HeaderOfExactlyTheCapIsAccepted) {
  SocketPair sp;
  std::string line = "GET / HTTP/1.1\r\n";
  std::string header = line + "X: " + std::string(300, 'y') + "\r\n\r\n";
  sp.Write(header + "tail");
  THTTPHeader h(sp.fd[0], THeaderLimits{header.size(), 10000, -1});
  EXPECT_EQ(h.Method, "GET");
  EXPECT_EQ(sp.Remaining(), "tail");
}

TEST(HeaderReader, StalledHeaderTimesOutWith1030) {
  SocketPair sp;
  sp.Write("GET / HTTP/1.1\r\nHost: a");
  try {
    THTTPHeader h(sp.fd[0], THeaderLimits{64 * 1024, 200, -1});
    ADD_FAILURE() << "no failure";
  } catch (const KovraException& e) {
    EXPECT_EQ(e.Message(), LoadStr(1030));
  }
}

TEST(HeaderReader, ReceiveErrorRaises1014RecvLine) {
  SocketPair sp;
  sp.Write("GET / HTTP/1.1\r\n");
  int wake[2];
  ASSERT_EQ(pipe(wake), 0);
  ASSERT_EQ(write(wake[1], "x", 1), 1);  // the owner's wake-up ends the read like a failed receive
  try {
    THTTPHeader h(sp.fd[0], THeaderLimits{64 * 1024, 10000, wake[0]});
    ADD_FAILURE() << "no failure";
  } catch (const KovraException& e) {
    EXPECT_EQ(e.Message(), FmtLoadStr(1014, {std::string("RecvLine")}));
    EXPECT_EQ(e.Line, 39);
  }
  close(wake[0]);
  close(wake[1]);
}

}  // namespace
}  // namespace kovrax
