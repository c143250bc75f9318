// Per-connection cost of proxy discovery through a corporate-sized proxy script (200 rules),
// beside the cost of a direct decision. Everything runs on loopback; name look-ups inside the
// script are answered by a fixed table so that the figures do not depend on the network.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "net/PacTestServer.h"
#include "net/ProxyDiscovery.h"

using namespace kovrax;

namespace {

// A script of the usual shape: plain names and intranet domains direct, private networks
// direct, some partner sites through a SOCKS gateway, the rest through two proxies.
std::string CorporateScript(int rules) {
  std::string s =
      "function FindProxyForURL(url, host) {\n"
      "  host = host.toLowerCase();\n"
      "  if (isPlainHostName(host) || localHostOrDomainIs(host, 'intranet')) return 'DIRECT';\n"
      "  var ip = dnsResolve(host);\n";
  for (int i = 0; i < rules; ++i) {
    switch (i % 5) {
      case 0: s += "  if (dnsDomainIs(host, '.unit" + std::to_string(i) + ".corp.example')) return 'DIRECT';\n"; break;
      case 1: s += "  if (shExpMatch(url, 'https://*.partner" + std::to_string(i) + ".example/*')) return 'SOCKS gw.corp.example:1080';\n"; break;
      case 2: s += "  if (ip && isInNet(ip, '10." + std::to_string(i) + ".0.0', '255.255.0.0')) return 'DIRECT';\n"; break;
      case 3: s += "  if (shExpMatch(host, 'app" + std::to_string(i) + "-*.corp.example')) return 'PROXY app.corp.example:8080';\n"; break;
      default: s += "  if (host == 'svc" + std::to_string(i) + ".corp.example' || dnsDomainLevels(host) > 6) return 'DIRECT';\n"; break;
    }
  }
  s += "  if (weekdayRange('SAT', 'SUN') && timeRange(0, 6)) return 'PROXY night.corp.example:3128';\n"
       "  return 'PROXY proxy1.corp.example:3128; PROXY proxy2.corp.example:3128';\n}\n";
  return s;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double Least(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

std::vector<double> Time(int runs, const std::function<void()>& step) {
  std::vector<double> ms;
  for (int i = 0; i < runs; ++i) {
    const auto start = std::chrono::steady_clock::now();
    step();
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  return ms;
}

// Processor time of this process and its reaped children, in ms: unlike the wall clock it does
// not grow when other programs share the machine.
double CpuMs() {
  double ms = 0;
  for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
    rusage u{};
    getrusage(who, &u);
    ms += (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
  }
  return ms;
}

}  // namespace

int main() {
  const int runs = 100;
  const std::string url = "https://volitve.example", host = "volitve.example";
  const std::string script = CorporateScript(200);
  test::PacTestServer server;
  server.Set("/proxy.pac", 200, script);

  DiscoveryServices services;
  services.pac.lookup = [](const std::string&, std::string& dotted) {
    dotted = "192.0.2.10";
    return 0;
  };
  ProxyOptions pac;
  pac.Flags |= PROXY_TYPE_AUTO_PROXY_URL;
  pac.AutoConfigUrl = server.Url("/proxy.pac");

  std::string proxy;
  if (DiscoverProxyWith(pac, url, host, proxy, services) != ProxyHttps) {
    std::fprintf(stderr, "the script did not answer as expected\n");
    return 1;
  }

  // A direct decision as a machine without any proxy settings makes it: configuration, GNOME,
  // KDE and the environment are all asked. The desktop's settings are kept in memory here.
  setenv("GSETTINGS_BACKEND", "memory", 1);
  unsetenv("https_proxy");
  unsetenv("HTTPS_PROXY");
  unsetenv("all_proxy");
  unsetenv("ALL_PROXY");
  const TSettings direct;
  const auto directMs = Time(runs, [&] { DiscoverProxy(direct, url, host, proxy); });
  const double cpuBefore = CpuMs();
  const auto fullMs = Time(runs, [&] { DiscoverProxyWith(pac, url, host, proxy, services); });
  const double cpuPerRun = (CpuMs() - cpuBefore) / runs;
  const auto downloadMs = Time(runs, [&] {
    std::string text;
    DownloadText(pac.AutoConfigUrl, text);
  });
  const auto evaluateMs = Time(runs, [&] {
    std::string answer;
    EvaluatePac(script, url, host, answer, services.pac);
  });

  // The minimum is the cost on an idle machine; the median shows what a busy one adds.
  std::printf("proxy script: %zu bytes, 200 rules, %d runs            median      least\n", script.size(), runs);
  std::printf("  direct decision                           %8.3f ms %8.3f ms\n", Median(directMs), Least(directMs));
  std::printf("  discovery through script                  %8.3f ms %8.3f ms\n", Median(fullMs), Least(fullMs));
  std::printf("    download                                %8.3f ms %8.3f ms\n", Median(downloadMs), Least(downloadMs));
  std::printf("    evaluation (child process)              %8.3f ms %8.3f ms\n", Median(evaluateMs), Least(evaluateMs));
  std::printf("  added per connection                      %8.3f ms %8.3f ms (target under 10 ms)\n",
              Median(fullMs) - Median(directMs), Least(fullMs) - Least(directMs));
  std::printf("  processor time per discovery (agent, server and script child) %.3f ms\n", cpuPerRun);
  return 0;
}
