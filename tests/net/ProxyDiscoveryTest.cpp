// Proxy discovery: the manual proxy text rules, the script answer rules, and whole discoveries
// against proxy scripts served on loopback.
#include <gtest/gtest.h>
#include <netdb.h>

#include <cstdlib>
#include <filesystem>

#include "net/PacTestServer.h"
#include "net/ProxyDiscovery.h"
#include "support/TestPki.h"

namespace kovrax {
namespace {

const std::string kFixtures = std::string(KOVRAX_TEST_FIXTURES) + "/proxy";
const std::string kUrl = "https://volitve.example";
const std::string kHost = "volitve.example";

TEST(ProxyDiscoveryManual, ProxyTexts_FollowThePrecedenceRules) {
  struct Case {
    std::string text;
    int kind;
    std::string proxy;
  };
  const Case cases[] = {
      {"http=h1.example:80;https=h2.example:443", ProxyHttps, "h2.example:443"},
      {"https=h2.example:443;http=h1.example:80", ProxyHttps, "h2.example:443"},
      {"socks=s.example:1080", ProxySocks, "s.example:1080"},
      {"socks=s.example:1080;https=h.example:3128", ProxyHttps, "h.example:3128"},
      {"http=h.example:80;socks=s.example:1080", ProxyHttps, "h.example:80"},
      {"ftp=f.example:21", ProxyDirect, ""},
      {"gopher=g.example:70", ProxyDirect, ""},
      {"ftp=f.example:21;socks=s.example:1080", ProxySocks, "s.example:1080"},
      {"h.example:3128", ProxyHttps, "h.example:3128"},
      {"https=h.example:3128", ProxyHttps, "h.example:3128"},
      {std::string(2000, 'x'), ProxyHttps, std::string(1023, 'x')},
      {"https=" + std::string(2000, 'x'), ProxyHttps, std::string(1017, 'x')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 60));
    std::string proxy = "left over";
    EXPECT_EQ(ProxyFromManualText(c.text, proxy), c.kind);
    EXPECT_EQ(proxy, c.proxy);
  }
}

TEST(ProxyDiscoveryAnswer, ScriptAnswers_GiveKindAndRest) {
  struct Case {
    std::string answer;
    int kind;
    std::string proxy;
  };
  const Case cases[] = {
      {"PROXY p1.example:3128; PROXY p2.example:8080", ProxyHttps, "p1.example:3128; PROXY p2.example:8080"},
      {"SOCKS s.example:1080", ProxySocks, "s.example:1080"},
      {"DIRECT", ProxyDirect, ""},
      {"SOCKS5 s.example:1080", ProxyDirect, ""},
      {"proxy p.example:1", ProxyDirect, ""},
      {" PROXY p.example:1", ProxyDirect, ""},
      {"", ProxyDirect, ""},
      {std::string("PROXY p.example:1\0SOCKS x", 25), ProxyHttps, "p.example:1"},
      {"PROXY " + std::string(2000, 'p'), ProxyHttps, std::string(1023, 'p')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer.substr(0, 60));
    std::string proxy = "left over";
    EXPECT_EQ(ProxyFromScriptAnswer(c.answer, proxy), c.kind);
    EXPECT_EQ(proxy, c.proxy);
  }
}

class ProxyDiscoveryScript : public ::testing::Test {
 protected:
  test::PacTestServer server;

  void Serve(const std::string& path, const std::string& fixture) {
    server.Set(path, 200, test::ReadFile(kFixtures + "/pac/" + fixture));
  }
  static DiscoveryServices Services() {
    DiscoveryServices s;
    s.pac.timeoutMs = 1000;
    s.pac.heapBytes = 8u << 20;
    s.pac.lookup = [](const std::string&, std::string&) { return EAI_NONAME; };
    s.download.totalTimeoutMs = 5000;
    return s;
  }
  static ProxyOptions Options(unsigned flags, const std::string& scriptUrl = {}, const std::string& manual = {}) {
    ProxyOptions o;
    o.Flags = PROXY_TYPE_DIRECT | flags;
    o.AutoConfigUrl = scriptUrl;
    o.ProxyServer = manual;
    return o;
  }
};

TEST_F(ProxyDiscoveryScript, ServedScripts_DecideTheWay) {
  struct Case {
    const char* fixture;
    int kind;
    const char* proxy;
  };
  const Case cases[] = {
      {"list.pac", ProxyHttps, "p1.corp.example:3128; PROXY p2.corp.example:8080"},
      {"socks.pac", ProxySocks, "socks.corp.example:1080"},
      {"direct.pac", ProxyDirect, ""},
      {"socks5.pac", ProxyDirect, ""},
      {"throws.pac", ProxyDirect, ""},
      {"loop.pac", ProxyDirect, ""},
      {"nonsense.pac", ProxyDirect, ""},
      {"syntax.pac", ProxyDirect, ""},
      {"no-function.pac", ProxyDirect, ""},
      {"memory.pac", ProxyDirect, ""},
      {nullptr, ProxyDirect, ""},  // 404
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fixture ? c.fixture : "404");
    const std::string path = c.fixture ? std::string("/") + c.fixture : "/missing.pac";
    if (c.fixture) Serve(path, c.fixture);
    std::string proxy = "left over";
    EXPECT_EQ(DiscoverProxyWith(Options(PROXY_TYPE_AUTO_PROXY_URL, server.Url(path)), kUrl, kHost, proxy, Services()), c.kind);
    EXPECT_EQ(proxy, c.proxy);
  }
}

TEST_F(ProxyDiscoveryScript, FailingScriptWithManualProxy_GivesDirect) {
  Serve("/throws.pac", "throws.pac");
  std::string proxy;
  EXPECT_EQ(DiscoverProxyWith(Options(PROXY_TYPE_PROXY | PROXY_TYPE_AUTO_PROXY_URL, server.Url("/throws.pac"), "h.example:3128"),
                              kUrl, kHost, proxy, Services()),
            ProxyDirect);
  EXPECT_EQ(proxy, "");
}

TEST_F(ProxyDiscoveryScript, DetectionFindsNothing_GivesDirectWithoutDownloading) {
  for (const char* manual : {"", "h.example:3128"}) {
    SCOPED_TRACE(manual);
    DiscoveryServices services = Services();
    int asked = 0;
    services.detectScriptUrl = [&](std::string&) {
      ++asked;
      return false;
    };
    std::string proxy;
    const unsigned flags = PROXY_TYPE_AUTO_DETECT | (*manual ? PROXY_TYPE_PROXY : 0);
    EXPECT_EQ(DiscoverProxyWith(Options(flags, "", manual), kUrl, kHost, proxy, services), ProxyDirect);
    EXPECT_EQ(asked, 1);
  }
  EXPECT_EQ(server.Requests(), 0);
}

TEST_F(ProxyDiscoveryScript, DetectedWpadAddress_IsDownloadedAndEvaluated) {
  Serve("/wpad.dat", "socks.pac");
  DiscoveryServices services = Services();
  services.detectScriptUrl = [](std::string& url) {
    url = "http://wpad.corp.example/wpad.dat";
    return true;
  };
  services.download.connectTo = {"wpad.corp.example:80:127.0.0.1:" + std::to_string(server.Port())};
  std::string proxy;
  EXPECT_EQ(DiscoverProxyWith(Options(PROXY_TYPE_AUTO_DETECT), kUrl, kHost, proxy, services), ProxySocks);
  EXPECT_EQ(proxy, "socks.corp.example:1080");
}

TEST_F(ProxyDiscoveryScript, DetectionFailsWithScriptAddress_UsesTheAddress) {
  Serve("/list.pac", "list.pac");
  DiscoveryServices services = Services();
  services.detectScriptUrl = [](std::string&) { return false; };
  std::string proxy;
  EXPECT_EQ(DiscoverProxyWith(Options(PROXY_TYPE_AUTO_DETECT | PROXY_TYPE_AUTO_PROXY_URL, server.Url("/list.pac")), kUrl, kHost,
                              proxy, services),
            ProxyHttps);
}

TEST_F(ProxyDiscoveryScript, OverlongScriptAddress_IsRefusedNotCut) {
  Serve("/list.pac", "list.pac");
  // Cut to 1023 bytes, this address would still reach the server.
  const std::string url = server.Url("/list.pac");
  const std::string overlong = url + "?" + std::string(1023 - url.size(), 'x') + "tail";
  std::string proxy;
  EXPECT_EQ(DiscoverProxyWith(Options(PROXY_TYPE_AUTO_PROXY_URL, overlong), kUrl, kHost, proxy, Services()), ProxyDirect);
  EXPECT_EQ(server.Requests(), 0);
}

TEST_F(ProxyDiscoveryScript, ManualOnly_NeitherDetectsNorDownloads) {
  DiscoveryServices services = Services();
  services.detectScriptUrl = [](std::string&) -> bool { ADD_FAILURE() << "detection ran"; return false; };
  std::string proxy;
  EXPECT_EQ(DiscoverProxyWith(Options(PROXY_TYPE_PROXY, server.Url("/list.pac"), "socks=s.example:1080"), kUrl, kHost, proxy,
                              services),
            ProxySocks);
  EXPECT_EQ(proxy, "s.example:1080");
  EXPECT_EQ(server.Requests(), 0);
}

// The agent's entry point, with settings from the configuration names so that the desktop of
// the machine running the tests plays no part.
TEST_F(ProxyDiscoveryScript, ConfiguredSettings_DecideThroughTheEntryPoint) {
  Serve("/list.pac", "list.pac");
  struct Case {
    const char* name;
    std::string server, script, detect;
    int kind;
    std::string proxy;
  };
  const Case cases[] = {
      {"script", "", server.Url("/list.pac"), "", ProxyHttps, "p1.corp.example:3128; PROXY p2.corp.example:8080"},
      {"script missing", "", server.Url("/none.pac"), "", ProxyDirect, ""},
      {"manual", "https=h.example:3128;socks=s.example:1080", "", "", ProxyHttps, "h.example:3128"},
      {"forced direct", "", "", "false", ProxyDirect, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TSettings s;
    s.ProxyServer = c.server;
    s.ProxyAutoConfigUrl = c.script;
    s.ProxyAutoDetect = c.detect;
    std::string proxy = "left over";
    EXPECT_EQ(DiscoverProxy(s, kUrl, kHost, proxy), c.kind);
    EXPECT_EQ(proxy, c.proxy);
  }
}

TEST_F(ProxyDiscoveryScript, Download_LeavesNoTemporaryFile) {
  test::TempDir tmp("kovrax-pac-tmp");
  const char* old = std::getenv("TMPDIR");
  const std::string saved = old ? old : "";
  setenv("TMPDIR", tmp.Path().c_str(), 1);
  Serve("/list.pac", "list.pac");
  Serve("/throws.pac", "throws.pac");
  std::string proxy;
  EXPECT_EQ(DiscoverProxyWith(Options(PROXY_TYPE_AUTO_PROXY_URL, server.Url("/list.pac")), kUrl, kHost, proxy, Services()), ProxyHttps);
  DiscoverProxyWith(Options(PROXY_TYPE_AUTO_PROXY_URL, server.Url("/throws.pac")), kUrl, kHost, proxy, Services());
  DiscoverProxyWith(Options(PROXY_TYPE_AUTO_PROXY_URL, server.Url("/none.pac")), kUrl, kHost, proxy, Services());
  if (old) {
    setenv("TMPDIR", saved.c_str(), 1);
  } else {
    unsetenv("TMPDIR");
  }
  EXPECT_TRUE(std::filesystem::is_empty(tmp.Path()));
}

}  // namespace
}  // namespace kovrax
