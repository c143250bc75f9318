// The script engine: the helper functions scripts rely on, the helper operations beneath them,
// and scripts that fail in every way a script can.
#include <gtest/gtest.h>
#include <netdb.h>

#include <chrono>
#include <map>
#include <thread>

#include "platform/PacEngine.h"

namespace kovrax {
namespace {

// Friday 15 March 2024, 10:30:45 UTC.
constexpr long long kFriday = 1710498645000LL;

NameLookup MapLookup(std::map<std::string, std::string> names) {
  return [names = std::move(names)](const std::string& host, std::string& dotted) {
    auto it = names.find(host);
    if (it == names.end()) return EAI_NONAME;
    dotted = it->second;
    return 0;
  };
}

PacLimits TestLimits() {
  PacLimits limits;
  limits.lookup = MapLookup({{"intranet.corp.example", "10.1.2.3"}, {"www.corp.example", "192.168.7.9"}});
  limits.fixedTimeMs = kFriday;
  return limits;
}

std::string Script(const std::string& expression) {
  return "function FindProxyForURL(url, host) { return String(" + expression + "); }";
}

TEST(PacEnginePrelude, HelperFunctions_AnswerAsScriptsExpect) {
  struct Case {
    const char* expression;
    const char* want;
  };
  const Case cases[] = {
      {"url + '|' + host", "https://volitve.example|volitve.example"},
      {"isPlainHostName('www')", "true"},
      {"isPlainHostName('www.example')", "false"},
      {"dnsDomainIs('www.corp.example', '.corp.example')", "true"},
      {"dnsDomainIs('WWW.Corp.Example', '.corp.example')", "true"},
      {"dnsDomainIs('www.other.example', '.corp.example')", "false"},
      {"dnsDomainIs('example', '.corp.example')", "false"},
      {"localHostOrDomainIs('www.corp.example', 'www.corp.example')", "true"},
      {"localHostOrDomainIs('www', 'www.corp.example')", "true"},
      {"localHostOrDomainIs('www.other.example', 'www.corp.example')", "false"},
      {"localHostOrDomainIs('home', 'www.corp.example')", "false"},
      {"isResolvable('intranet.corp.example')", "true"},
      {"isResolvable('nowhere.corp.example')", "false"},
      {"isResolvable('10.0.0.1')", "true"},
      {"dnsResolve('intranet.corp.example')", "10.1.2.3"},
      {"dnsResolve('192.168.1.1')", "192.168.1.1"},
      {"dnsResolve('nowhere.corp.example')", "null"},
      {"myIpAddress()", "127.0.0.1"},
      {"isInNet('10.1.2.3', '10.0.0.0', '255.0.0.0')", "true"},
      {"isInNet('10.1.2.3', '10.0.0.0', '255.255.0.0')", "false"},
      {"isInNet('intranet.corp.example', '10.1.0.0', '255.255.0.0')", "true"},
      {"isInNet('www.corp.example', '10.0.0.0', '255.0.0.0')", "false"},
      {"isInNet('nowhere.corp.example', '0.0.0.0', '0.0.0.0')", "false"},
      {"isInNet('10.1.2.3', '10.1.2.3', 'not-a-mask')", "true"},
      {"isInNet('10.1.2.4', '10.1.2.3', 'not-a-mask')", "false"},
      {"isInNet('300.1.2.3', '10.0.0.0', '255.0.0.0')", "false"},
      {"dnsDomainLevels('www')", "0"},
      {"dnsDomainLevels('www.corp.example')", "2"},
      {"shExpMatch('http://www.corp.example/x', '*.corp.example/*')", "true"},
      {"shExpMatch('abc', 'a?c')", "true"},
      {"shExpMatch('abc', 'a?d')", "false"},
      {"shExpMatch('', '*')", "true"},
      {"shExpMatch('abc', '')", "false"},
      {"shExpMatch('a+b(c).d', 'a+b(c).d')", "true"},
      {"shExpMatch('aXbXc', 'a.b.c')", "false"},
      {"shExpMatch('aaa', '*a*a*a*')", "true"},
      {"shExpMatch('xyz', '*a*')", "false"},
      {"shExpMatch('\u017e.example', '?.example')", "true"},
      {"shExpMatch('a\u017eb', '*\u017eb')", "true"},
      {"shExpMatch('ab', 'a?' + '?')", "false"},
      {"weekdayRange('FRI', 'GMT')", "true"},
      {"weekdayRange('MON', 'THU', 'GMT')", "false"},
      {"weekdayRange('THU', 'SAT', 'GMT')", "true"},
      {"weekdayRange('FRI', 'MON', 'GMT')", "true"},
      {"weekdayRange('SAT', 'TUE', 'GMT')", "false"},
      {"weekdayRange('XYZ', 'GMT')", "false"},
      {"dateRange(15, 'GMT')", "true"},
      {"dateRange('MAR', 'GMT')", "true"},
      {"dateRange(2024, 'GMT')", "true"},
      {"dateRange(1, 14, 'GMT')", "false"},
      {"dateRange('FEB', 'APR', 'GMT')", "true"},
      {"dateRange('NOV', 'FEB', 'GMT')", "false"},
      {"dateRange('DEC', 'MAR', 'GMT')", "true"},
      {"dateRange(1, 'MAR', 31, 'MAR', 'GMT')", "true"},
      {"dateRange(16, 'MAR', 2024, 31, 'DEC', 2024, 'GMT')", "false"},
      {"dateRange(1, 'JAN', 2024, 15, 'MAR', 2024, 'GMT')", "true"},
      {"dateRange('JAN', 2024, 'JUN', 2024, 'GMT')", "true"},
      {"dateRange(2025, 2026, 'GMT')", "false"},
      {"dateRange(1, 2, 3, 'GMT')", "false"},
      {"dateRange(1, 'MAR', 'GMT')", "false"},
      {"timeRange(10, 'GMT')", "true"},
      {"timeRange(9, 17, 'GMT')", "true"},
      {"timeRange(11, 12, 'GMT')", "false"},
      {"timeRange(22, 11, 'GMT')", "true"},
      {"timeRange(9, 10, 'GMT')", "false"},
      {"timeRange(10, 30, 10, 31, 'GMT')", "true"},
      {"timeRange(10, 31, 11, 0, 'GMT')", "false"},
      {"timeRange(10, 30, 45, 10, 30, 45, 'GMT')", "true"},
      {"timeRange(10, 30, 46, 11, 0, 0, 'GMT')", "false"},
      {"timeRange(1, 2, 3, 'GMT')", "false"},
  };
  const PacLimits limits = TestLimits();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expression);
    std::string answer;
    ASSERT_TRUE(EvaluatePac(Script(c.expression), "https://volitve.example", "volitve.example", answer, limits));
    EXPECT_EQ(answer, c.want);
  }
}

TEST(PacEnginePrelude, MyIpAddress_ResolvesTheLocalHostName) {
  PacLimits limits = TestLimits();
  limits.lookup = [](const std::string&, std::string& dotted) {
    dotted = "10.9.8.7";
    return 0;
  };
  std::string answer;
  ASSERT_TRUE(EvaluatePac(Script("myIpAddress()"), "https://h.example", "h.example", answer, limits));
  EXPECT_EQ(answer, "10.9.8.7");
}

TEST(PacEngine, BrokenScripts_GiveNoAnswer) {
  struct Case {
    const char* name;
    std::string script;
  };
  const Case cases[] = {
      {"syntax error", "function FindProxyForURL(url, host) { return \"PROXY "},
      {"no FindProxyForURL", "var proxy = 'PROXY p.example:1';"},
      {"FindProxyForURL not a function", "var FindProxyForURL = 'PROXY p.example:1';"},
      {"throws", "function FindProxyForURL(url, host) { throw new Error('no'); }"},
      {"throws while loading", "throw 'early'; function FindProxyForURL(url, host) { return 'DIRECT'; }"},
      {"returns a number", "function FindProxyForURL(url, host) { return 42; }"},
      {"returns nothing", "function FindProxyForURL(url, host) { }"},
      {"returns an object", "function FindProxyForURL(url, host) { return { toString: function () { return 'PROXY p:1'; } }; }"},
      {"empty", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string answer = "left over";
    EXPECT_FALSE(EvaluatePac(c.script, "https://h.example", "h.example", answer, TestLimits()));
    EXPECT_EQ(answer, "");
  }
}

TEST(PacEngine, RunawayScripts_AreStoppedAtTheirLimits) {
  struct Case {
    const char* name;
    std::string script;
    NameLookup lookup;
  };
  const NameLookup hanging = [](const std::string&, std::string&) {
    std::this_thread::sleep_for(std::chrono::seconds(30));
    return EAI_AGAIN;
  };
  const Case cases[] = {
      {"endless loop", "function FindProxyForURL(url, host) { for (;;) {} }", nullptr},
      {"endless loop at load", "for (;;) {}", nullptr},
      {"memory without end", "function FindProxyForURL(u, h) { var k = []; for (;;) k.push(new Array(100000).join('x') + k.length); }", nullptr},
      {"name look-up that never answers", "function FindProxyForURL(u, h) { return dnsResolve('slow.corp.example'); }", hanging},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PacLimits limits = TestLimits();
    limits.timeoutMs = 400;
    limits.heapBytes = 8u << 20;
    if (c.lookup) limits.lookup = c.lookup;
    std::string answer;
    EXPECT_FALSE(EvaluatePac(c.script, "https://h.example", "h.example", answer, limits));
  }
}

TEST(PacEngine, LongAnswer_IsCutToTheAnswerLimit) {
  std::string answer;
  ASSERT_TRUE(EvaluatePac(Script("'PROXY ' + new Array(10000).join('p')"), "https://h.example", "h.example", answer, TestLimits()));
  EXPECT_EQ(answer.size(), kPacAnswerMax);
  EXPECT_EQ(answer.substr(0, 7), "PROXY p");
}

TEST(PacEngineHelpers, ResolveHostName_ReturnsTheResultCodes) {
  const NameLookup lookup = [](const std::string& host, std::string& dotted) {
    if (host == "name.example") {
      dotted = "10.0.0.7";
      return 0;
    }
    if (host == "memory.example") return EAI_MEMORY;
    if (host == "junk.example") {
      dotted = "not an address";
      return 0;
    }
    return EAI_NONAME;
  };
  struct Case {
    const char* host;
    size_t capacity;
    int rc;
    const char* text;
    size_t needed;
  };
  const Case cases[] = {
      {"10.0.0.1", 254, kPacOk, "10.0.0.1", 0},
      {"::1", 254, kPacOk, "::1", 0},
      {"10.0.0.1", 5, kPacInsufficientBuffer, "", 9},
      {"name.example", 254, kPacOk, "10.0.0.7", 0},
      {"name.example", 5, kPacNameNotResolved, "", 0},
      {"missing.example", 254, kPacNameNotResolved, "", 0},
      {"memory.example", 254, kPacOutOfMemory, "", 0},
      {"junk.example", 254, kPacNameNotResolved, "", 0},
      {"", 254, kPacNameNotResolved, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host);
    std::string text;
    size_t needed = 0;
    EXPECT_EQ(ResolveHostName(c.host, text, c.capacity, &needed, lookup), c.rc);
    EXPECT_EQ(text, c.text);
    EXPECT_EQ(needed, c.needed);
  }
}

TEST(PacEngineHelpers, IsInNet_MasksTheAddress) {
  struct Case {
    const char* address;
    const char* net;
    const char* mask;
    bool want;
  };
  const Case cases[] = {
      {"192.168.1.20", "192.168.1.0", "255.255.255.0", true},
      {"192.168.2.20", "192.168.1.0", "255.255.255.0", false},
      {"192.168.1.20", "192.168.1.20", "255.255.255.255", true},
      {"192.168.1.20", "0.0.0.0", "0.0.0.0", true},
      {"host.example", "0.0.0.0", "0.0.0.0", false},
      {"192.168.1.20", "net.example", "0.0.0.0", false},
      {"192.168.1.20", "192.168.1.20", "garbage", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.address) + " " + c.net + " " + c.mask);
    EXPECT_EQ(IsInNet(c.address, c.net, c.mask), c.want);
  }
}

TEST(PacEngineHelpers, BoundedLookupOfLocalhost_GivesTheLoopbackAddress) {
  std::string dotted;
  ASSERT_EQ(LookupIPv4Bounded("localhost", dotted, 5000), 0);
  EXPECT_EQ(dotted, "127.0.0.1");
}

}  // namespace
}  // namespace kovrax
