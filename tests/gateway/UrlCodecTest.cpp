#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "gateway/ActiveXThreadUnit.h"
#include "gateway/GatewayText.h"
#include "gateway/GatewayTestKit.h"
#include "shell/Codepage.h"

namespace kovrax {
namespace {

// A worker whose gateway ended at once (no valid port): its methods can be called from the test.
std::unique_ptr<TActiveXThread> IdleWorker(const std::string& ballotHost = "ballot.test, localhost:8443") {
  TSettings s = TSettings::Defaults("not-a-port");
  s.BallotHost = ballotHost;
  auto w = std::make_unique<TActiveXThread>(std::move(s), TServices{});
  EXPECT_EQ(w->WaitListening(std::chrono::seconds(10)), -1);
  w->Stop();
  return w;
}

TEST(UrlCodec, URLDecodeDecodesPlusAndCompleteEscapesOnly) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"a%2Bb+c%zz", "a+b c%zz"},
      {"%41%4", "A%4"},
      {"%c4%8D", "\xC4\x8D"},
      {"100%", "100%"},
      {"a%00b", "a"},  // a decoded zero ends the text
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(TActiveXThread::URLDecode(c.in), c.out) << c.in;
}

TEST(UrlCodec, URLEncodeKeepsUnreservedAndEscapesEveryOtherByte) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"a b/\xC5\xBE", "a+b%2F%C5%BE"},
      {"-_.~AZaz09", "-_.~AZaz09"},
      {"&=?%+", "%26%3D%3F%25%2B"},
      {std::string("\x00\x7F\xFF", 3), "%00%7F%FF"},
  };
  for (const Case& c : cases) EXPECT_EQ(TActiveXThread::URLEncode(c.in), c.out) << c.in;
  EXPECT_EQ(TActiveXThread::URLDecode(TActiveXThread::URLEncode("x y&z=\xC4\x8D")), "x y&z=\xC4\x8D");
}

TEST(UrlCodec, IsAllowedUrlAcceptsOnlyHttpsToATableHost) {
  const std::string hosts = "ballot.test, localhost:8443";
  struct Case {
    std::string url;
    bool allowed;
  } cases[] = {
      {"https://ballot.test/x", true},
      {"https://ballot.test:443/x", true},
      {"HTTPS://BALLOT.TEST?x", true},
      {"https://ballot.test#f", true},
      {"https://ballot.test", true},
      {"https://localhost:8443/v", true},
      {"http://ballot.test/", false},
      {"https://ballot.test:8443/x", false},
      {"https://localhost/v", false},
      {"https://user@ballot.test/", false},
      {"https://ballot.test@evil.test/", false},
      {"https://evil.test/ballot.test", false},
      {"https://ballot.test.evil.test/", false},
      {"https://ballot.test/a\tb", false},
      {"https://ballot.test/a\nb", false},
      {"https://ballot.test/\x7F", false},
      {"https:///x", false},
      {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(http::IsAllowedUrlFor(c.url, hosts), c.allowed) << c.url;
  EXPECT_FALSE(http::IsAllowedUrlFor("https://ballot.test/", ""));
  EXPECT_FALSE(http::IsAllowedUrlFor("https://ballot.test/", " , ,"));
}

TEST(UrlCodec, IsValidTargetAcceptsEmptyPreparedRepliesAndAllowedUrls) {
  auto w = IdleWorker();
  EXPECT_TRUE(w->IsValidTarget(""));
  EXPECT_TRUE(w->IsValidTarget("HTTP/1.1 anything"));
  EXPECT_TRUE(w->IsValidTarget("http/1.1 200 OK\r\n\r\n"));
  EXPECT_TRUE(w->IsValidTarget("https://ballot.test/ok"));
  EXPECT_FALSE(w->IsValidTarget("HTTP/1.0 200 OK"));
  EXPECT_FALSE(w->IsValidTarget("https://other.test/ok"));
  EXPECT_TRUE(w->IsAllowedUrl("https://localhost:8443/"));
}

TEST(UrlCodec, URLReencodeFillsPlaceholdersAndReencodesValues) {
  auto w = IdleWorker();
  w->Settings.ErrorCode = "1101";
  w->Settings.ErrorText = "Napa\xC4\x8D" "en URL";
  w->Settings.ReceiptDocument = "doc 1";
  struct Case {
    std::string url;
    int flags;
    std::string out;
  } cases[] = {
      {"https://ballot.test/done?code=$(koda)&msg=$(Opis)&x=a%20b", 6,
       "https://ballot.test/done?code=1101&msg=Napa%C4%8Den+URL&x=a+b"},
      {"https://ballot.test/done", 1, "https://ballot.test/done"},
      {"https://ballot.test/ok?d=$(Dokument)&c=$(Koda)", 1, "https://ballot.test/ok?d=doc+1&c=%24%28Koda%29"},
      {"HTTP://ballot.test:8443/p?flag&a=1&", 0, "http://ballot.test:8443/p?flag&a=1&"},
      {"https://ballot.test/p?a=$(KODA)$(koda)", 2, "https://ballot.test/p?a=11011101"},
  };
  for (const Case& c : cases) EXPECT_EQ(w->URLReencode(c.url, c.flags), c.out) << c.url;
}

TEST(UrlCodec, URLReencodeRefusesOtherSchemesAndMissingPath) {
  auto w = IdleWorker();
  struct Case {
    std::string url;
    int line;
  } cases[] = {{"ftp://ballot.test/", 2824}, {"https://ballot.test?x=1", 2827}, {"https://ballot.test", 2827}};
  for (const Case& c : cases) {
    try {
      w->URLReencode(c.url, 6);
      ADD_FAILURE() << c.url;
    } catch (const KovraException& e) {
      EXPECT_EQ(e.Message(), LoadStr(1054)) << c.url;
      EXPECT_EQ(e.Line, c.line) << c.url;
      EXPECT_EQ(e.FunctionName, "TActiveXThread::URLReencode");
    }
  }
}

TEST(UrlCodec, ErrorCodeTextFollowsDetailedErrorCode) {
  KovraException e("/src/Client/gateway/HttpGet.cpp", 1054, 1049, "TActiveXThread::HTTP_Get");
  struct Case {
    std::string setting, code;
  } cases[] = {
      {"0", "1049"},
      {"not a number", "1049"},
      {"", "1049"},
      {"1", "HttpGet.cpp\\TActiveXThread::HTTP_Get@1049"},
      {"7", "HttpGet.cpp\\TActiveXThread::HTTP_Get@1049"},
  };
  for (const Case& c : cases) EXPECT_EQ(http::ErrorCodeText(e, c.setting), c.code) << c.setting;
  KovraException windowsPath("C:\\src\\ActiveXThreadUnit.cpp", 1054, 7, "F");
  EXPECT_EQ(http::ErrorCodeText(windowsPath, "1"), "ActiveXThreadUnit.cpp\\F@7");
}

TEST(Replies, FixedReplyTextsAreByteExact) {
  EXPECT_EQ(http::RedirectReply("https://ballot.test/x"), "HTTP/1.1 302\r\nLocation: https://ballot.test/x\r\n\r\n");
  EXPECT_EQ(http::RefusedTargetReply(),
            "HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain; charset=windows-1250\r\nConnection: close\r\n\r\n"
            "Napa\xE8" "en naslov za preusmeritev\r\n");
  EXPECT_EQ(http::DownloadHeader("HTTP/1.1", 2500),
            "HTTP/1.1 200 OK\r\nContent-Length: 2500\r\nContent-Type: application/octet-stream\r\n"
            "Connection: close\r\nAccess-Control-Allow-Origin: *\r\n\r\n");
  // A long version token cannot truncate the header.
  std::string longVersion(600, 'V');
  std::string header = http::StatusHeader(longVersion, 12);
  EXPECT_EQ(header.substr(0, 600), longVersion);
  EXPECT_EQ(header.substr(header.size() - 4), "\r\n\r\n");
}

TEST(Replies, StatusPageCarriesTheVersionLineOnItsOwnLine) {
  std::string page = http::StatusPage("KovraX V1.2 <b>");
  EXPECT_EQ(page.rfind("<!DOCTYPE html>\r\n<html lang=\"sl\">\r\n<head>\r\n", 0), 0u);
  EXPECT_NE(page.find("<h1>Kovra</h1>\r\n        KovraX V1.2 <b>\r\n    </div>\r\n"), std::string::npos);
  EXPECT_EQ(page.substr(page.size() - 18), "</body>\r\n</html>\r\n");
  for (size_t i = page.find('\n'); i != std::string::npos; i = page.find('\n', i + 1)) ASSERT_EQ(page[i - 1], '\r');
}

}  // namespace
}  // namespace kovrax
