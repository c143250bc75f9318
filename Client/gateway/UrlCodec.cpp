// The URL checks and the percent codec shared by the replies and the submission.
#include "gateway/ActiveXThreadUnit.h"
#include "gateway/GatewayText.h"
#include "gateway/HTTPHeaderUnit.h"

namespace kovrax {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
         c == '.' || c == '~';
}

// The default port says nothing: "host:443" and "host" are the same server.
std::string WithoutDefaultPort(std::string host) {
  if (host.size() >= 4 && http::EqualsNoCase(host.substr(host.size() - 4), ":443")) host.resize(host.size() - 4);
  return host;
}

}  // namespace

namespace http {

bool IsAllowedUrlFor(const std::string& url, const std::string& allowedHosts) {
  if (!StartsWithNoCase(url, "https://")) return false;
  for (unsigned char c : url)
    if (c < 0x20 || c == 0x7F) return false;
  size_t end = url.find_first_of("/?#", 8);
  std::string host = url.substr(8, end == std::string::npos ? std::string::npos : end - 8);
  if (host.find('@') != std::string::npos) return false;
  host = WithoutDefaultPort(host);
  if (host.empty()) return false;
  size_t pos = 0;
  while (pos <= allowedHosts.size()) {
    size_t comma = allowedHosts.find(',', pos);
    std::string entry = WithoutDefaultPort(
        Trim(allowedHosts.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos)));
    if (!entry.empty() && EqualsNoCase(entry, host)) return true;
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  return false;
}

}  // namespace http

bool TActiveXThread::IsAllowedUrl(const std::string& url) const {
  return http::IsAllowedUrlFor(url, Settings.BallotHost);
}

bool TActiveXThread::IsValidTarget(const std::string& text) const {
  return text.empty() || http::StartsWithNoCase(text, "HTTP/1.1 ") || IsAllowedUrl(text);
}

std::string TActiveXThread::URLDecode(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%' && i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 && HexDigit(text[i + 2]) >= 0) {
      out += static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2]));
      i += 2;
    } else {
      out += c;
    }
  }
  // The result is a C text: a decoded zero byte ends it.
  size_t zero = out.find('\0');
  if (zero != std::string::npos) out.resize(zero);
  return out;
}

std::string TActiveXThread::URLEncode(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() * 3);
  for (unsigned char c : text) {
    if (IsUnreserved(c)) {
      out += static_cast<char>(c);
    } else if (c == ' ') {
      out += '+';
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

}  // namespace kovrax
