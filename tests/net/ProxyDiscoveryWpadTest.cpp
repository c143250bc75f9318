// Finding a script by DNS: the candidate names, the machine's domain, and the first name that resolves.
#include <gtest/gtest.h>

#include <set>

#include "platform/Wpad.h"

namespace kovrax {
namespace {

const std::string kFixtures = std::string(KOVRAX_TEST_FIXTURES) + "/proxy";

TEST(ProxyDiscoveryWpad, Domains_GiveCandidatesUpToTheLastTwoLabels) {
  struct Case {
    const char* domain;
    std::vector<std::string> urls;
  };
  const Case cases[] = {
      {"lab.corp.example", {"http://wpad.lab.corp.example/wpad.dat", "http://wpad.corp.example/wpad.dat"}},
      {"corp.example", {"http://wpad.corp.example/wpad.dat"}},
      {"Corp.Example.", {"http://wpad.corp.example/wpad.dat"}},
      {"example", {}},
      {"", {}},
      {"corp.example/evil", {}},
      {"corp..example", {}},
      {"-corp.example", {}},
      {"a.b.c.d.e.f.g.h.i.j.k", {"http://wpad.a.b.c.d.e.f.g.h.i.j.k/wpad.dat", "http://wpad.b.c.d.e.f.g.h.i.j.k/wpad.dat",
                                 "http://wpad.c.d.e.f.g.h.i.j.k/wpad.dat", "http://wpad.d.e.f.g.h.i.j.k/wpad.dat",
                                 "http://wpad.e.f.g.h.i.j.k/wpad.dat", "http://wpad.f.g.h.i.j.k/wpad.dat",
                                 "http://wpad.g.h.i.j.k/wpad.dat", "http://wpad.h.i.j.k/wpad.dat"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.domain);
    EXPECT_EQ(WpadCandidateUrls(c.domain), c.urls);
  }
}

TEST(ProxyDiscoveryWpad, LocalDomain_ComesFromTheHostNameOrResolvConf) {
  struct Case {
    const char* hostname;
    const char* resolvConf;
    const char* domain;
  };
  const Case cases[] = {
      {"pc7.lab.corp.example", "none.conf", "lab.corp.example"},
      {"pc7", "domain.conf", "corp.example"},
      {"pc7", "search.conf", "lab.corp.example"},
      {"pc7", "none.conf", ""},
      {"pc7", "missing.conf", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.hostname) + " " + c.resolvConf);
    EXPECT_EQ(LocalDnsDomain(c.hostname, kFixtures + "/resolv/" + c.resolvConf), c.domain);
  }
}

TEST(ProxyDiscoveryWpad, Detection_TakesTheMostSpecificNameThatResolves) {
  struct Case {
    std::set<std::string> existing;
    bool found;
    const char* url;
  };
  const Case cases[] = {
      {{"wpad.lab.corp.example", "wpad.corp.example"}, true, "http://wpad.lab.corp.example/wpad.dat"},
      {{"wpad.corp.example"}, true, "http://wpad.corp.example/wpad.dat"},
      {{"wpad.example"}, false, ""},
      {{}, false, ""},
  };
  for (const Case& c : cases) {
    std::vector<std::string> asked;
    std::string url;
    const bool found = DetectWpadUrl("lab.corp.example", [&](const std::string& name) {
      asked.push_back(name);
      return c.existing.count(name) > 0;
    }, url);
    EXPECT_EQ(found, c.found);
    EXPECT_EQ(url, c.url);
    EXPECT_LE(asked.size(), 2u);  // never the top-level "wpad.example"
  }
}

}  // namespace
}  // namespace kovrax
