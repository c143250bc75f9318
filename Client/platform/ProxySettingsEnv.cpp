// The environment variables that command-line tools share: https_proxy for an HTTP proxy that
// tunnels, all_proxy when it names a SOCKS 4 proxy.
#include "platform/ProxySettings.h"
#include "platform/ProxySettingsInternal.h"

namespace kovrax {

namespace {

// The lower-case name wins, as with the tools that read these variables.
std::string Variable(const EnvLookup& env, const std::string& lower, const std::string& upper) {
  if (auto v = env(lower); v && !proxysettings::Trim(*v).empty()) return *v;
  if (auto v = env(upper); v && !proxysettings::Trim(*v).empty()) return *v;
  return {};
}

}  // namespace

std::optional<ProxyOptions> ProxyOptionsFromEnvironment(const EnvLookup& env) {
  // A proxy reached over TLS ("https://") or speaking SOCKS 5 cannot be used by the connection
  // code, which talks plain CONNECT and SOCKS 4; such values are passed over.
  const std::string https = ProxyEntryHostPort(Variable(env, "https_proxy", "HTTPS_PROXY"), "http,");
  const std::string socks = ProxyEntryHostPort(Variable(env, "all_proxy", "ALL_PROXY"), "socks4,socks");
  const std::string text = proxysettings::ManualProxyText(https, socks);
  if (text.empty()) return std::nullopt;
  ProxyOptions o;
  o.Source = "environment";
  o.Flags |= PROXY_TYPE_PROXY;
  o.ProxyServer = text;
  o.ProxyBypass = Variable(env, "no_proxy", "NO_PROXY");
  return o;
}

}  // namespace kovrax
