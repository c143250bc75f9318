// The agent's own configuration names, which win over whatever the desktop says.
#include "platform/ProxySettings.h"
#include "platform/ProxySettingsInternal.h"

namespace kovrax {

using proxysettings::IsTrue;
using proxysettings::Trim;

std::optional<ProxyOptions> ProxyOptionsFromConfig(const TSettings& settings) {
  const std::string server = Trim(settings.ProxyServer);
  const std::string script = Trim(settings.ProxyAutoConfigUrl);
  const std::string detect = Trim(settings.ProxyAutoDetect);
  // Any of them set, even "ProxyAutoDetect = false" alone, means the operator decided: a
  // direct connection then, whatever the desktop is configured with.
  if (server.empty() && script.empty() && detect.empty()) return std::nullopt;
  ProxyOptions o;
  o.Source = "config";
  if (!server.empty()) {
    o.Flags |= PROXY_TYPE_PROXY;
    o.ProxyServer = server;
  }
  if (!script.empty()) {
    o.Flags |= PROXY_TYPE_AUTO_PROXY_URL;
    o.AutoConfigUrl = script;
  }
  if (IsTrue(detect)) o.Flags |= PROXY_TYPE_AUTO_DETECT;
  return o;
}

}  // namespace kovrax
