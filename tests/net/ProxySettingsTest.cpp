// The configuration, KDE and environment sources of proxy settings, and the order they are asked in.
#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include "platform/ProxySettings.h"
#include "support/TestPki.h"

namespace kovrax {
namespace {

const std::string kFixtures = std::string(KOVRAX_TEST_FIXTURES) + "/proxy";

struct Expected {
  bool present;
  unsigned flags;
  std::string server;
  std::string scriptUrl;
};

void ExpectOptions(const std::optional<ProxyOptions>& got, const Expected& want) {
  ASSERT_EQ(got.has_value(), want.present);
  if (!want.present) return;
  EXPECT_EQ(got->Flags, want.flags);
  EXPECT_EQ(got->ProxyServer, want.server);
  EXPECT_EQ(got->AutoConfigUrl, want.scriptUrl);
}

EnvLookup MapEnvironment(std::map<std::string, std::string> vars) {
  return [vars = std::move(vars)](const std::string& name) -> std::optional<std::string> {
    auto it = vars.find(name);
    if (it == vars.end()) return std::nullopt;
    return it->second;
  };
}

// "NAME=value" lines of a fixture file.
EnvLookup EnvironmentFromFile(const std::string& path) {
  std::map<std::string, std::string> vars;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos) vars[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return MapEnvironment(vars);
}

constexpr unsigned D = PROXY_TYPE_DIRECT;
constexpr unsigned P = PROXY_TYPE_PROXY;
constexpr unsigned U = PROXY_TYPE_AUTO_PROXY_URL;
constexpr unsigned A = PROXY_TYPE_AUTO_DETECT;

TEST(ProxySettingsConfig, ConfigurationNames_MapOntoFlagsAndTexts) {
  struct Case {
    const char* name;
    std::string server, script, detect;
    Expected want;
  };
  const Case cases[] = {
      {"nothing set", "", "", "", {false, 0, "", ""}},
      {"whitespace only", "  ", "\t", " ", {false, 0, "", ""}},
      {"manual entries", "https=h.example:3128;socks=s.example:1080", "", "", {true, D | P, "https=h.example:3128;socks=s.example:1080", ""}},
      {"bare proxy trimmed", " h.example:3128 ", "", "", {true, D | P, "h.example:3128", ""}},
      {"script address", "", "http://cfg.example/proxy.pac", "", {true, D | U, "", "http://cfg.example/proxy.pac"}},
      {"detect true", "", "", "true", {true, D | A, "", ""}},
      {"detect TRUE", "", "", "TRUE", {true, D | A, "", ""}},
      {"detect 1", "", "", "1", {true, D | A, "", ""}},
      {"detect false forces direct", "", "", "false", {true, D, "", ""}},
      {"everything", "h.example:1", "http://cfg.example/p.pac", "yes", {true, D | P | U | A, "h.example:1", "http://cfg.example/p.pac"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TSettings s;
    s.ProxyServer = c.server;
    s.ProxyAutoConfigUrl = c.script;
    s.ProxyAutoDetect = c.detect;
    ExpectOptions(ProxyOptionsFromConfig(s), c.want);
  }
}

TEST(ProxySettingsKde, KioslavercFixtures_GiveTheirOptions) {
  struct Case {
    const char* file;
    Expected want;
  };
  const Case cases[] = {
      {"manual-kde-form", {true, D | P, "https=proxy.corp.example:3128;socks=socks.corp.example:1080", ""}},
      {"manual-host-port", {true, D | P, "https=proxy.corp.example:8080", ""}},
      {"manual-socks-only", {true, D | P, "socks=socks.corp.example:1080", ""}},
      {"manual-unusable-schemes", {false, 0, "", ""}},
      {"pac", {true, D | U, "", "http://config.corp.example/proxy.pac"}},
      {"pac-empty", {false, 0, "", ""}},
      {"wpad", {true, D | A, "", ""}},
      {"none", {false, 0, "", ""}},
      {"environment-mode", {false, 0, "", ""}},
      {"groups-and-markers", {true, D | P, "https=proxy.corp.example:3128", ""}},
      {"type-not-number", {false, 0, "", ""}},
      {"missing", {false, 0, "", ""}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    ExpectOptions(ProxyOptionsFromKde(kFixtures + "/kde/" + c.file + ".kioslaverc"), c.want);
  }
}

TEST(ProxySettingsKde, ManualSettings_KeepTheBypassListForCompleteness) {
  auto o = ProxyOptionsFromKde(kFixtures + "/kde/manual-kde-form.kioslaverc");
  ASSERT_TRUE(o);
  EXPECT_EQ(o->ProxyBypass, "localhost,.corp.example");
  EXPECT_EQ(o->Source, "kde");
}

TEST(ProxySettingsKde, ConfigPath_FollowsXdgConfigHomeThenHome) {
  EXPECT_EQ(KdeConfigPath(MapEnvironment({{"XDG_CONFIG_HOME", "/x/cfg"}, {"HOME", "/home/u"}})), "/x/cfg/kioslaverc");
  EXPECT_EQ(KdeConfigPath(MapEnvironment({{"XDG_CONFIG_HOME", "relative"}, {"HOME", "/home/u"}})), "/home/u/.config/kioslaverc");
  EXPECT_EQ(KdeConfigPath(MapEnvironment({{"HOME", "/home/u"}})), "/home/u/.config/kioslaverc");
}

TEST(ProxySettingsEnvironment, VariableFixtures_GiveTheirOptions) {
  struct Case {
    const char* file;
    Expected want;
  };
  const Case cases[] = {
      {"https-lower", {true, D | P, "https=proxy.corp.example:3128", ""}},
      {"https-upper", {true, D | P, "https=proxy.corp.example:8080", ""}},
      {"lower-wins", {true, D | P, "https=lower.corp.example:3128", ""}},
      {"all-socks4", {true, D | P, "socks=socks.corp.example:1080", ""}},
      {"all-socks-upper", {true, D | P, "socks=socks.corp.example:1081", ""}},
      {"all-socks5", {false, 0, "", ""}},
      {"all-http", {false, 0, "", ""}},
      {"both", {true, D | P, "https=proxy.corp.example:3128;socks=socks.corp.example:1080", ""}},
      {"https-over-tls", {false, 0, "", ""}},
      {"userinfo", {true, D | P, "https=proxy.corp.example:3128", ""}},
      {"empty", {false, 0, "", ""}},
      {"bad-port", {false, 0, "", ""}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    ExpectOptions(ProxyOptionsFromEnvironment(EnvironmentFromFile(kFixtures + "/env/" + c.file + ".env")), c.want);
  }
}

TEST(ProxySettingsEntry, EntryForms_BecomeHostColonPort) {
  struct Case {
    const char* entry;
    const char* schemes;
    const char* want;
  };
  const Case cases[] = {
      {"http://proxy.example 3128", "http,", "proxy.example:3128"},
      {"proxy.example:3128", "http,", "proxy.example:3128"},
      {"http://proxy.example:3128/", "http,", "proxy.example:3128"},
      {"HTTP://proxy.example:3128", "http,", "proxy.example:3128"},
      {"http://u:p@proxy.example:3128", "http,", "proxy.example:3128"},
      {"proxy.example", "http,", "proxy.example"},
      {"10.0.0.1:8080", "http,", "10.0.0.1:8080"},
      {"https://proxy.example:443", "http,", ""},
      {"proxy.example:3128", "socks4,socks", ""},
      {"socks://s.example 1080", "socks,socks4,", "s.example:1080"},
      {"proxy.example:0", "http,", ""},
      {"proxy.example:65536", "http,", ""},
      {"proxy.example:80a", "http,", ""},
      {"http:// 3128", "http,", ""},
      {"evil;socks=x.example:1", "http,", ""},
      {"", "http,", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.entry);
    EXPECT_EQ(ProxyEntryHostPort(c.entry, c.schemes), c.want);
  }
}

class ProxySettingsOrder : public ::testing::Test {
 protected:
  test::TempDir dir{"kovrax-proxy-order"};
  int gnomeCalls = 0;

  GnomeSource Gnome(std::optional<ProxyOptions> answer) {
    return [this, answer] {
      ++gnomeCalls;
      return answer;
    };
  }
  void PutKde(const std::string& fixture) {
    test::WriteFile(dir / "kioslaverc", test::ReadFile(kFixtures + "/kde/" + fixture + ".kioslaverc"));
  }
  EnvLookup Env(const std::string& httpsProxy = {}) {
    std::map<std::string, std::string> vars{{"XDG_CONFIG_HOME", dir.Path()}, {"HOME", dir.Path()}};
    if (!httpsProxy.empty()) vars["https_proxy"] = httpsProxy;
    return MapEnvironment(vars);
  }
  static ProxyOptions GnomeManual() {
    ProxyOptions o;
    o.Source = "gnome";
    o.Flags |= PROXY_TYPE_PROXY;
    o.ProxyServer = "https=gnome.example:1";
    return o;
  }
};

TEST_F(ProxySettingsOrder, ConfigurationSet_WinsWithoutAskingTheDesktop) {
  TSettings s;
  s.ProxyAutoDetect = "false";
  PutKde("manual-host-port");
  const ProxyOptions o = QueryProxyOptions(s, Env("http://env.example:1"), Gnome(GnomeManual()));
  EXPECT_EQ(o.Source, "config");
  EXPECT_EQ(o.Flags, D);
  EXPECT_EQ(gnomeCalls, 0);
}

TEST_F(ProxySettingsOrder, EachSource_IsAskedOnlyWhenTheEarlierHaveNothing) {
  PutKde("manual-host-port");
  EXPECT_EQ(QueryProxyOptions(TSettings{}, Env("http://env.example:1"), Gnome(GnomeManual())).Source, "gnome");
  EXPECT_EQ(QueryProxyOptions(TSettings{}, Env("http://env.example:1"), Gnome(std::nullopt)).Source, "kde");
  PutKde("none");
  const ProxyOptions env = QueryProxyOptions(TSettings{}, Env("http://env.example:1"), Gnome(std::nullopt));
  EXPECT_EQ(env.Source, "environment");
  EXPECT_EQ(env.ProxyServer, "https=env.example:1");
  const ProxyOptions none = QueryProxyOptions(TSettings{}, Env(), Gnome(std::nullopt));
  EXPECT_EQ(none.Source, "");
  EXPECT_EQ(none.Flags, D);
}

}  // namespace
}  // namespace kovrax
