// How to reach the ballot server: directly, through an HTTPS proxy or through a SOCKS proxy, as
// the user's proxy settings (or a proxy auto-configuration script) decide. Computed afresh for
// every connection; never raises.
#pragma once
#include <string>

#include "shell/Settings.h"

namespace kovrax {

enum ProxyKind : int { ProxyDirect = 0, ProxyHttps = 1, ProxySocks = 2 };

// url is "https://" + host. On ProxyHttps/ProxySocks, proxyText holds the proxy ("host:port",
// or the rest of a script's answer), at most 1023 bytes.
int DiscoverProxy(const TSettings& settings, const std::string& url, const std::string& host, std::string& proxyText);

}  // namespace kovrax
