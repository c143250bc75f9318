// How to reach the ballot server: directly, through an HTTPS proxy or through a SOCKS proxy, as
// the user's proxy settings (or a proxy auto-configuration script) decide. Computed afresh for
// every connection; never raises.
#pragma once
#include <functional>
#include <string>

#include "platform/Download.h"
#include "platform/PacEngine.h"
#include "platform/ProxySettings.h"
#include "shell/Settings.h"

namespace kovrax {

enum ProxyKind : int { ProxyDirect = 0, ProxyHttps = 1, ProxySocks = 2 };

// url is "https://" + host. On ProxyHttps/ProxySocks, proxyText holds the proxy ("host:port",
// or the rest of a script's answer), at most 1023 bytes.
int DiscoverProxy(const TSettings& settings, const std::string& url, const std::string& host, std::string& proxyText);

// Longest proxy text kept (longer ones are cut) and longest script address used (longer ones
// are refused).
constexpr size_t kProxyTextMax = 1023;

// The manual proxy text rules: "https=" over "http=" over "socks=", "ftp="/"gopher=" direct, a
// text without entries one proxy for everything.
int ProxyFromManualText(const std::string& text, std::string& proxyText);

// A script's answer: "PROXY rest" is an HTTPS proxy, "SOCKS rest" a SOCKS proxy, anything else direct.
int ProxyFromScriptAnswer(const std::string& answer, std::string& proxyText);

// What automatic configuration runs on; replaceable so that it can be exercised on loopback.
struct DiscoveryServices {
  std::function<bool(std::string& url)> detectScriptUrl;  // WPAD; null: never finds one
  DownloadLimits download;
  PacLimits pac;
};
DiscoveryServices DefaultDiscoveryServices();

// Discovery on given options.
int DiscoverProxyWith(const ProxyOptions& options, const std::string& url, const std::string& host, std::string& proxyText,
                      const DiscoveryServices& services);

}  // namespace kovrax
