// KDE's proxy settings: the "[Proxy Settings]" group of kioslaverc.
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>

#include "platform/ProxySettings.h"
#include "platform/ProxySettingsInternal.h"

namespace kovrax {

using proxysettings::Trim;

namespace {

constexpr int kManual = 1;
constexpr int kScript = 2;
constexpr int kDetect = 3;

std::map<std::string, std::string> ReadGroup(std::istream& in, const std::string& wanted) {
  std::map<std::string, std::string> values;
  bool inGroup = false;
  std::string line;
  while (std::getline(in, line)) {
    line = Trim(line);
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line[0] == '[') {
      inGroup = line == "[" + wanted + "]";
      continue;
    }
    if (!inGroup) continue;
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = Trim(line.substr(0, eq));
    // Drop KConfig's markers such as "[$e]" or a locale after the name.
    const size_t mark = key.find('[');
    if (mark != std::string::npos) key = Trim(key.substr(0, mark));
    values[key] = Trim(line.substr(eq + 1));
  }
  return values;
}

std::string Value(const std::map<std::string, std::string>& values, const std::string& key) {
  auto it = values.find(key);
  return it == values.end() ? std::string() : it->second;
}

}  // namespace

std::string KdeConfigPath(const EnvLookup& env) {
  if (auto xdg = env("XDG_CONFIG_HOME"); xdg && !xdg->empty() && (*xdg)[0] == '/') return *xdg + "/kioslaverc";
  std::string home;
  if (auto h = env("HOME"); h && !h->empty()) {
    home = *h;
  } else {
    struct passwd pw{};
    struct passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(getuid(), &pw, buffer, sizeof buffer, &found) == 0 && found && found->pw_dir) home = found->pw_dir;
  }
  if (home.empty()) return {};
  return home + "/.config/kioslaverc";
}

std::optional<ProxyOptions> ProxyOptionsFromKde(const std::string& kioslavercPath) {
  if (kioslavercPath.empty()) return std::nullopt;
  std::ifstream in(kioslavercPath);
  if (!in) return std::nullopt;
  const auto values = ReadGroup(in, "Proxy Settings");
  const std::string type = Value(values, "ProxyType");
  char* end = nullptr;
  const long kind = std::strtol(type.c_str(), &end, 10);
  if (type.empty() || *end != '\0') return std::nullopt;

  ProxyOptions o;
  o.Source = "kde";
  o.ProxyBypass = Value(values, "NoProxyFor");
  switch (kind) {
    case kManual: {
      const std::string https = ProxyEntryHostPort(Value(values, "httpsProxy"), "http,");
      const std::string socks = ProxyEntryHostPort(Value(values, "socksProxy"), "socks,socks4,");
      o.ProxyServer = proxysettings::ManualProxyText(https, socks);
      if (o.ProxyServer.empty()) return std::nullopt;
      o.Flags |= PROXY_TYPE_PROXY;
      return o;
    }
    case kScript:
      o.AutoConfigUrl = Value(values, "Proxy Config Script");
      if (o.AutoConfigUrl.empty()) return std::nullopt;
      o.Flags |= PROXY_TYPE_AUTO_PROXY_URL;
      return o;
    case kDetect:
      o.Flags |= PROXY_TYPE_AUTO_DETECT;
      return o;
    default:
      // 0 is no proxy; 4 defers to the environment, which is the next source anyway.
      return std::nullopt;
  }
}

}  // namespace kovrax
