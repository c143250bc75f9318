// Script downloads: only a complete successful reply within the limits counts.
#include <gtest/gtest.h>

#include "net/PacTestServer.h"
#include "platform/Download.h"
#include "support/TestPki.h"

namespace kovrax {
namespace {

TEST(ProxyDiscoveryDownload, Replies_AreAcceptedOnlyWhenWhole) {
  test::PacTestServer server;
  server.Set("/ok.pac", 200, "function FindProxyForURL(u, h) { return 'DIRECT'; }");
  server.Set("/big.pac", 200, std::string(5000, 'x'));
  server.Set("/error.pac", 500, "oops");
  server.Set("/empty.pac", 200, "");
  test::TempDir dir("kovrax-download");
  test::WriteFile(dir / "local.pac", std::string("function FindProxyForURL(u, h) { return 'PROXY l:1'; }"));
  struct Case {
    std::string url;
    bool ok;
    std::string body;
  };
  const Case cases[] = {
      {server.Url("/ok.pac"), true, "function FindProxyForURL(u, h) { return 'DIRECT'; }"},
      {server.Url("/empty.pac"), true, ""},
      {server.Url("/big.pac"), false, ""},
      {server.Url("/error.pac"), false, ""},
      {server.Url("/missing.pac"), false, ""},
      {"file://" + dir.Path() + "/local.pac", true, "function FindProxyForURL(u, h) { return 'PROXY l:1'; }"},
      {"ftp://127.0.0.1:1/x.pac", false, ""},
      {"not a url", false, ""},
      {"", false, ""},
  };
  DownloadLimits limits;
  limits.maxBytes = 1000;
  limits.totalTimeoutMs = 5000;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    std::string body = "left over";
    EXPECT_EQ(DownloadText(c.url, body, limits), c.ok);
    if (c.ok) {
      EXPECT_EQ(body, c.body);
    }
  }
}

TEST(ProxyDiscoveryDownload, ClosedPort_FailsWithinTheLimit) {
  int port = 0;
  {
    test::PacTestServer gone;
    port = gone.Port();
  }
  std::string body;
  DownloadLimits limits;
  limits.connectTimeoutMs = 2000;
  limits.totalTimeoutMs = 3000;
  EXPECT_FALSE(DownloadText("http://127.0.0.1:" + std::to_string(port) + "/p.pac", body, limits));
}

}  // namespace
}  // namespace kovrax
