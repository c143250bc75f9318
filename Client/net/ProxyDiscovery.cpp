#include "net/ProxyDiscovery.h"

#include <cstring>

#include "platform/Wpad.h"

namespace kovrax {

namespace {

constexpr int kWpadLookupMs = 2000;

std::string Cut(const std::string& text) { return text.size() > kProxyTextMax ? text.substr(0, kProxyTextMax) : text; }

// What follows the first "name", up to the next ";".
std::string Entry(const std::string& text, const char* name) {
  const size_t start = text.find(name) + std::strlen(name);
  const size_t end = text.find(';', start);
  return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

bool Contains(const std::string& text, const char* what) { return text.find(what) != std::string::npos; }

}  // namespace

int ProxyFromManualText(const std::string& text, std::string& proxyText) {
  const std::string manual = Cut(text);
  int kind = ProxyHttps;
  proxyText = manual;
  // Each later rule overrides the earlier ones.
  if (Contains(manual, "gopher=") || Contains(manual, "ftp=")) {
    kind = ProxyDirect;
    proxyText.clear();
  }
  if (Contains(manual, "socks=")) {
    kind = ProxySocks;
    proxyText = Entry(manual, "socks=");
  }
  if (Contains(manual, "http=")) {
    kind = ProxyHttps;
    proxyText = Entry(manual, "http=");
  }
  if (Contains(manual, "https=")) {
    kind = ProxyHttps;
    proxyText = Entry(manual, "https=");
  }
  return kind;
}

int ProxyFromScriptAnswer(const std::string& answer, std::string& proxyText) {
  proxyText.clear();
  // The answer is a text: whatever follows a NUL is not part of it.
  const std::string text = answer.substr(0, answer.find('\0'));
  int kind = ProxyDirect;
  if (text.rfind("PROXY ", 0) == 0) kind = ProxyHttps;
  if (text.rfind("SOCKS ", 0) == 0) kind = ProxySocks;
  if (kind != ProxyDirect) proxyText = Cut(text.substr(6));
  return kind;
}

DiscoveryServices DefaultDiscoveryServices() {
  DiscoveryServices services;
  services.detectScriptUrl = [](std::string& url) {
    // DHCP offers no script address to an unprivileged Linux program; DNS is all there is.
    return DetectWpadUrl(LocalDnsDomain(), [](const std::string& name) {
      std::string address;
      return LookupIPv4Bounded(name, address, kWpadLookupMs) == 0;
    }, url);
  };
  return services;
}

int DiscoverProxyWith(const ProxyOptions& options, const std::string& url, const std::string& host, std::string& proxyText,
                      const DiscoveryServices& services) {
  proxyText.clear();
  // A cut address would fetch some other script: an overlong one is refused instead.
  std::string scriptUrl;
  if ((options.Flags & PROXY_TYPE_AUTO_PROXY_URL) && options.AutoConfigUrl.size() <= kProxyTextMax) {
    scriptUrl = options.AutoConfigUrl;
  }
  int kind = ProxyDirect;
  std::string manual;
  if (options.Flags & PROXY_TYPE_PROXY) kind = ProxyFromManualText(options.ProxyServer, manual);
  if (!(options.Flags & (PROXY_TYPE_AUTO_DETECT | PROXY_TYPE_AUTO_PROXY_URL))) {
    proxyText = manual;
    return kind;
  }

  // From here on only a script can name a proxy: a failure anywhere is a direct connection,
  // even when a manual proxy is set as well.
  if (options.Flags & PROXY_TYPE_AUTO_DETECT) {
    std::string detected;
    if (services.detectScriptUrl && services.detectScriptUrl(detected) && detected.size() <= kProxyTextMax) {
      scriptUrl = detected;
    }
  }
  if (scriptUrl.empty()) return ProxyDirect;
  std::string script;
  if (!DownloadText(scriptUrl, script, services.download)) return ProxyDirect;
  std::string answer;
  if (!EvaluatePac(script, url, host, answer, services.pac)) return ProxyDirect;
  return ProxyFromScriptAnswer(answer, proxyText);
}

int DiscoverProxy(const TSettings& settings, const std::string& url, const std::string& host, std::string& proxyText) {
  try {
    const ProxyOptions options =
        QueryProxyOptions(settings, ProcessEnvironment(), [] { return ProxyOptionsFromGnome(); });
    return DiscoverProxyWith(options, url, host, proxyText, DefaultDiscoveryServices());
  } catch (...) {
    proxyText.clear();
    return ProxyDirect;
  }
}

}  // namespace kovrax
