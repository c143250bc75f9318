#include "gateway/HTTPHeaderUnit.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>

#include "shell/KovraException.h"

namespace kovrax {
namespace {

constexpr const char* kCtor = "THTTPHeader::THTTPHeader";
constexpr size_t kPeekSize = 128;

long long NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

namespace http {

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return s.substr(b, e - b);
}

size_t LineConsumeLength(const std::string& lineSoFar, const char* peek, size_t n) {
  if (n == 0) return 0;
  // The CR ended the previous peek: the LF alone finishes the line, nothing after it is taken.
  if (!lineSoFar.empty() && lineSoFar.back() == '\r' && peek[0] == '\n') return 1;
  for (size_t i = 0; i + 1 < n; ++i)
    if (peek[i] == '\r' && peek[i + 1] == '\n') return i + 2;
  return n;
}

std::string DecodeQueryComponent(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    char c = s[i];
    if (c == '+') {
      out += ' ';
      ++i;
    } else if (c == '%' && i + 1 < s.size() && HexValue(s[i + 1]) >= 0) {
      int v = HexValue(s[i + 1]);
      if (i + 2 < s.size() && HexValue(s[i + 2]) >= 0) v = v * 16 + HexValue(s[i + 2]);
      out += static_cast<char>(v);
      // The two characters after "%" go, even when only the first was a digit.
      i += (i + 2 < s.size()) ? 3 : 2;
    } else {
      // A "%" without a leading hexadecimal digit stays as it is.
      out += c;
      ++i;
    }
  }
  return out;
}

std::vector<std::string> ParseQuery(const std::string& query) {
  std::vector<std::string> params;
  std::string q = query;
  while (!q.empty()) {
    size_t amp = q.find('&');
    std::string pair = q.substr(0, amp);
    std::string name, value;
    size_t eq = pair.find('=');
    if (eq != std::string::npos) {
      name = Trim(pair.substr(0, eq));
      value = Trim(pair.substr(eq + 1));
    } else {
      name = pair;
    }
    value = DecodeQueryComponent(value);
    name = DecodeQueryComponent(name);
    params.push_back(std::move(name));
    params.push_back(std::move(value));
    q = amp == std::string::npos ? std::string() : q.substr(amp + 1);
  }
  return params;
}

bool EqualsNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (UpperAscii(a[i]) != UpperAscii(b[i])) return false;
  return true;
}

bool StartsWithNoCase(const std::string& s, const std::string& prefix) {
  return s.size() >= prefix.size() && EqualsNoCase(s.substr(0, prefix.size()), prefix);
}

}  // namespace http

THTTPHeader::THTTPHeader(int socket, const THeaderLimits& limits) : limits_(limits) {
  deadline_ = NowMs() + limits_.TimeoutMs;
  std::string line;
  for (;;) {
    int status = RecvLine(socket, line);
    if (status < 0) KOVRA_RAISE_CALL("RecvLine", 39, kCtor);
    if (status == 0) break;
    Lines.push_back(http::Trim(line));
  }
  if (Lines.empty()) return;
  Method = GetToken(Lines[0], 0);
  Path = GetToken(Lines[0], 1);
  Version = GetToken(Lines[0], 2);
  size_t q = Path.find('?');
  if (q != std::string::npos) {
    Params = http::ParseQuery(Path.substr(q + 1));
    Path.resize(q);
  }
}

int THTTPHeader::RecvLine(int socket, std::string& line) {
  line.clear();
  char buf[kPeekSize];
  for (;;) {
    // Wait for data within what is left of the header's time, or for the owner's wake-up.
    pollfd fds[2] = {{socket, POLLIN, 0}, {limits_.WakeFd, POLLIN, 0}};
    long long left = deadline_ - NowMs();
    if (left <= 0) KOVRA_RAISE(1030, 40, kCtor);
    int ready = poll(fds, limits_.WakeFd >= 0 ? 2 : 1, static_cast<int>(left));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (ready == 0) KOVRA_RAISE(1030, 40, kCtor);
    if (limits_.WakeFd >= 0 && (fds[1].revents & POLLIN)) return -1;

    ssize_t peeked = recv(socket, buf, sizeof buf, MSG_PEEK | MSG_DONTWAIT);
    if (peeked < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (peeked <= 0) return static_cast<int>(peeked);
    size_t take = http::LineConsumeLength(line, buf, static_cast<size_t>(peeked));
    if (consumed_ + take > limits_.MaxBytes) KOVRA_RAISE(1030, 41, kCtor);
    ssize_t got = recv(socket, buf, take, MSG_DONTWAIT);
    if (got <= 0) return static_cast<int>(got < 0 ? -1 : 0);
    consumed_ += static_cast<size_t>(got);
    line.append(buf, static_cast<size_t>(got));
    size_t end = line.find("\r\n");
    if (end != std::string::npos) {
      line.resize(end);
      return static_cast<int>(end);
    }
  }
}

std::string THTTPHeader::GetToken(const std::string& line, int n) {
  std::string s = http::Trim(line);
  for (int i = 0; i < n; ++i) {
    size_t sp = s.find(' ');
    if (sp == std::string::npos) return {};
    s = http::Trim(s.substr(sp));
  }
  size_t sp = s.find(' ');
  if (sp != std::string::npos) s = http::Trim(s.substr(0, sp));
  return s;
}

std::string THTTPHeader::GetField(const std::string& name) const {
  std::string key = name + ":";
  for (const std::string& line : Lines)
    if (http::StartsWithNoCase(line, key)) return http::Trim(line.substr(key.size()));
  return {};
}

std::string THTTPHeader::GetParam(const std::string& name, const std::string& def) const {
  for (size_t i = 0; i + 1 < Params.size(); i += 2)
    if (http::EqualsNoCase(Params[i], name)) return Params[i + 1];
  return def;
}

}  // namespace kovrax
