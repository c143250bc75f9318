// Interim: only the manual proxy text of the configuration (ProxyServer); the desktop's settings
// and automatic configuration arrive with the full proxy discovery, which replaces this file.
#include <cstring>

#include "net/ProxyDiscovery.h"

namespace kovrax {
namespace {

constexpr size_t kMaxProxyText = 1023;

// The value of a "name=" entry: what follows its first occurrence, up to the next ';'.
bool Entry(const std::string& text, const char* name, std::string& value) {
  const size_t at = text.find(name);
  if (at == std::string::npos) return false;
  const size_t start = at + std::strlen(name);
  value = text.substr(start, text.find(';', start) - start);
  return true;
}

}  // namespace

int DiscoverProxy(const TSettings& settings, const std::string&, const std::string&, std::string& proxyText) {
  proxyText.clear();
  const std::string& text = settings.ProxyServer;
  if (text.empty()) return ProxyDirect;
  int kind = ProxyHttps;
  std::string out = text;
  if (text.find("gopher=") != std::string::npos || text.find("ftp=") != std::string::npos) kind = ProxyDirect;
  std::string value;
  // Later entries win: https= over http= over socks=.
  if (Entry(text, "socks=", value)) {
    kind = ProxySocks;
    out = value;
  }
  if (Entry(text, "http=", value)) {
    kind = ProxyHttps;
    out = value;
  }
  if (Entry(text, "https=", value)) {
    kind = ProxyHttps;
    out = value;
  }
  if (kind == ProxyDirect) return ProxyDirect;
  proxyText = out.substr(0, kMaxProxyText);
  return kind;
}

}  // namespace kovrax
