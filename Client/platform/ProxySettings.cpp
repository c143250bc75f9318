#include "platform/ProxySettings.h"

#include <cstdlib>
#include <vector>

#include "platform/ProxySettingsInternal.h"

namespace kovrax {
namespace proxysettings {

std::string Trim(const std::string& text) {
  size_t b = 0, e = text.size();
  while (b < e && static_cast<unsigned char>(text[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(text[e - 1]) <= ' ') --e;
  return text.substr(b, e - b);
}

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

bool IsTrue(const std::string& text) {
  const std::string v = Lower(Trim(text));
  return v == "true" || v == "yes" || v == "on" || v == "1";
}

std::string ManualProxyText(const std::string& https, const std::string& socks) {
  std::string text;
  if (!https.empty()) text = "https=" + https;
  if (!socks.empty()) text += (text.empty() ? "socks=" : ";socks=") + socks;
  return text;
}

}  // namespace proxysettings

using proxysettings::Lower;
using proxysettings::Trim;

namespace {

std::vector<std::string> SplitKeepEmpty(const std::string& text, char sep) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t pos = text.find(sep, start);
    parts.push_back(text.substr(start, pos == std::string::npos ? std::string::npos : pos - start));
    if (pos == std::string::npos) return parts;
    start = pos + 1;
  }
}

bool AllDigits(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// A host that can stand in the manual proxy text without breaking its "name=value;" syntax.
bool UsableHost(const std::string& host) {
  if (host.empty()) return false;
  for (char c : host) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u <= ' ' || u == 0x7f || c == ';' || c == '=' || c == '/' || c == '@') return false;
  }
  return true;
}

}  // namespace

EnvLookup ProcessEnvironment() {
  return [](const std::string& name) -> std::optional<std::string> {
    const char* v = std::getenv(name.c_str());
    if (!v) return std::nullopt;
    return std::string(v);
  };
}

std::string ProxyEntryHostPort(const std::string& entry, const std::string& acceptedSchemes) {
  std::string rest = Trim(entry);
  if (rest.empty()) return {};
  std::string scheme;
  const size_t sep = rest.find("://");
  if (sep != std::string::npos) {
    scheme = Lower(rest.substr(0, sep));
    rest = rest.substr(sep + 3);
  }
  bool accepted = false;
  for (const std::string& s : SplitKeepEmpty(acceptedSchemes, ',')) {
    if (Trim(s) == scheme) accepted = true;
  }
  if (!accepted) return {};

  // KDE writes "host port"; everything else "host:port", optionally with a path and user info.
  std::string host, port;
  const size_t space = rest.find(' ');
  if (space != std::string::npos) {
    host = rest.substr(0, space);
    port = Trim(rest.substr(space + 1));
  } else {
    host = rest;
  }
  const size_t slash = host.find('/');
  if (slash != std::string::npos) host.resize(slash);
  const size_t at = host.rfind('@');
  if (at != std::string::npos) host = host.substr(at + 1);
  if (space == std::string::npos) {
    const size_t colon = host.rfind(':');
    const size_t bracket = host.rfind(']');
    if (colon != std::string::npos && (bracket == std::string::npos || colon > bracket)) {
      port = host.substr(colon + 1);
      host.resize(colon);
    }
  }
  if (!UsableHost(host)) return {};
  if (port.empty()) return host;
  if (!AllDigits(port) || port.size() > 5) return {};
  const long number = std::strtol(port.c_str(), nullptr, 10);
  if (number < 1 || number > 65535) return {};
  return host + ":" + std::to_string(number);
}

ProxyOptions QueryProxyOptions(const TSettings& settings, const EnvLookup& env, const GnomeSource& gnome) {
  if (auto o = ProxyOptionsFromConfig(settings)) return *o;
  if (gnome) {
    if (auto o = gnome()) return *o;
  }
  if (auto o = ProxyOptionsFromKde(KdeConfigPath(env))) return *o;
  if (auto o = ProxyOptionsFromEnvironment(env)) return *o;
  return ProxyOptions{};
}

}  // namespace kovrax
