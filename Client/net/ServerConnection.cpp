#include "net/ServerConnection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "net/ProxyDiscovery.h"
#include "shell/KovraException.h"

namespace kovrax {
namespace {

constexpr const char* kFunc = "TActiveXThread::Connect_socket";
constexpr unsigned short kDefaultPort = 443;
constexpr size_t kReplyBufferSize = 256;

// Fixed raise sites of Connect_socket.
enum Site : int {
  kLineEmptyAddress = 1805,
  kLineBadPort = 1812,
  kLineTimeouts = 1820,
  kLineDirectRefused = 1826,
  kLineDirectConnect = 1828,
  kLineStopped = 1831,
  kLineProxyNoColon = 1840,
  kLineProxyBadPort = 1843,
  kLineProxyRefused = 1850,
  kLineProxyConnect = 1852,
  kLineConnectTooLong = 1858,
  kLineConnectSend = 1861,
  kLineConnectRecv = 1868,
  kLineConnectDenied = 1874,
  kLineSocksSend = 1890,
  kLineSocksRecv = 1894,
  kLineSocksDenied = 1897,
};

void SetIoTimeout(int sock, std::chrono::milliseconds timeout) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
  if (setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0 ||
      setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0)
    KOVRA_RAISE_CALL("setsockopt", kLineTimeouts, kFunc);
}

// Waits until sock is ready for events or the time-out passes (false). A stop of the worker
// ends the wait with 1003.
bool WaitFor(int sock, short events, std::chrono::milliseconds timeout, int wakeFd) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p[2] = {{sock, events, 0}, {wakeFd, POLLIN, 0}};
    const int r = poll(p, wakeFd >= 0 ? 2 : 1, static_cast<int>(left.count()));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return true;  // let the socket call itself report the fault
    if (r == 0) return false;
    if (wakeFd >= 0 && (p[1].revents & POLLIN)) KOVRA_RAISE(1003, kLineStopped, kFunc);
    return true;
  }
}

// connect() bounded by timeout; 0 on success, else the error number (ETIMEDOUT when it ran out).
int ConnectWithin(int sock, unsigned int address, unsigned short port, std::chrono::milliseconds timeout,
                  int wakeFd) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = address;
  sa.sin_port = htons(port);

  int flags = fcntl(sock, F_GETFL, 0);
  if (flags < 0 || fcntl(sock, F_SETFL, flags | O_NONBLOCK) != 0) return errno ? errno : EBADF;
  int err = 0;
  if (connect(sock, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    err = errno;
    if (err == EINPROGRESS) {
      err = ETIMEDOUT;
      bool ready = false;
      try {
        ready = WaitFor(sock, POLLOUT, timeout, wakeFd);
      } catch (...) {
        fcntl(sock, F_SETFL, flags);
        throw;
      }
      if (ready) {
        int soErr = 0;
        socklen_t len = sizeof soErr;
        if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &soErr, &len) != 0) soErr = errno;
        err = soErr;
      }
    }
  }
  fcntl(sock, F_SETFL, flags);
  return err;
}

// Errors that mean "nobody answers at that address" rather than a fault of ours.
bool RefusedOrUnreachable(int err) {
  return err == ECONNREFUSED || err == ENETUNREACH || err == EHOSTUNREACH || err == ETIMEDOUT;
}

// The proxy text: host before the first ':', then a decimal port that fits 16 bits.
void ParseProxy(const std::string& proxyText, std::string& host, unsigned short& port) {
  const size_t colon = proxyText.find(':');
  if (colon == std::string::npos) KOVRA_RAISE(1022, kLineProxyNoColon, kFunc);
  const char* p = proxyText.c_str() + colon + 1;
  if (*p < '0' || *p > '9') KOVRA_RAISE(1022, kLineProxyBadPort, kFunc);
  unsigned long value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + static_cast<unsigned long>(*p - '0');
    if (value > 0xFFFF) KOVRA_RAISE(1022, kLineProxyBadPort, kFunc);
  }
  host = proxyText.substr(0, colon);
  port = static_cast<unsigned short>(value);
}

void ConnectToProxy(int sock, const std::string& proxyText, const ServerLink& link) {
  std::string host;
  unsigned short port = 0;
  ParseProxy(proxyText, host, port);
  const int err = ConnectWithin(sock, ResolveIPv4(host), port, link.ConnectTimeout, link.WakeFd);
  if (err == 0) return;
  if (RefusedOrUnreachable(err)) KOVRA_RAISE(1002, kLineProxyRefused, kFunc);
  KOVRA_RAISE_CALL("connect", kLineProxyConnect, kFunc);
}

bool StartsWith(const char* text, const char* prefix) { return std::strncmp(text, prefix, std::strlen(prefix)) == 0; }

void OpenConnectTunnel(int sock, const std::string& host, unsigned short port, const ServerLink& link) {
  const std::string request =
      "CONNECT " + host + ":" + std::to_string(port) + " " + link.RequestVersion + "\r\n\r\n";
  // The request and the reply share one fixed buffer; what does not fit is refused up front.
  if (request.size() > kReplyBufferSize) KOVRA_RAISE(1006, kLineConnectTooLong, kFunc);
  const ssize_t sent = send(sock, request.data(), request.size(), MSG_NOSIGNAL);
  if (sent < static_cast<ssize_t>(request.size())) KOVRA_RAISE_CALL("send", kLineConnectSend, kFunc);

  char buf[kReplyBufferSize + 1] = {};
  size_t len = 0;
  bool granted = false;
  for (;;) {
    // A line that fills the whole buffer leaves no room to receive more.
    if (len >= kReplyBufferSize) KOVRA_RAISE_CALL("recv", kLineConnectRecv, kFunc);
    const ssize_t got = WaitFor(sock, POLLIN, link.IoTimeout, link.WakeFd)
                            ? recv(sock, buf + len, kReplyBufferSize - len, 0)
                            : -1;
    if (got <= 0) KOVRA_RAISE_CALL("recv", kLineConnectRecv, kFunc);
    len += static_cast<size_t>(got);
    buf[len] = '\0';
    while (char* lf = std::strchr(buf, '\n')) {
      if (buf[0] == '\n' || (buf[0] == '\r' && buf[1] == '\n')) {
        if (granted) return;
        KOVRA_RAISE(1040, kLineConnectDenied, kFunc);
      }
      if (StartsWith(buf, "HTTP/1.1 200 ") || StartsWith(buf, "HTTP/1.0 200 ")) granted = true;
      std::memmove(buf, lf + 1, std::strlen(lf + 1) + 1);
    }
    len = std::strlen(buf);
  }
}

void OpenSocks4(int sock, const std::string& host, unsigned short port, const ServerLink& link) {
  const unsigned int address = ResolveIPv4(host);  // network order already
  unsigned char request[9];
  request[0] = 4;
  request[1] = 1;
  request[2] = static_cast<unsigned char>(port >> 8);
  request[3] = static_cast<unsigned char>(port & 0xFF);
  std::memcpy(request + 4, &address, 4);
  request[8] = 0;
  if (send(sock, request, sizeof request, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof request))
    KOVRA_RAISE_CALL("send", kLineSocksSend, kFunc);
  // The reply is a fixed 8 bytes; TCP may hand it over in pieces, so wait for all of them.
  unsigned char reply[8];
  size_t got = 0;
  while (got < sizeof reply) {
    const ssize_t n = WaitFor(sock, POLLIN, link.IoTimeout, link.WakeFd) ? recv(sock, reply + got, sizeof reply - got, 0) : -1;
    if (n <= 0) KOVRA_RAISE_CALL("recv", kLineSocksRecv, kFunc);
    got += static_cast<size_t>(n);
  }
  // SOCKS 4 servers put 0 in the version byte of the reply; some echo 4.
  if ((reply[0] == 0 || reply[0] == 4) && reply[1] == 90) return;
  KOVRA_RAISE(1002, kLineSocksDenied, kFunc);
}

}  // namespace

unsigned int ResolveIPv4(const std::string& host) {
  in_addr_t a = inet_addr(host.c_str());
  if (a != INADDR_NONE) return a;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (host.empty() || getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || res == nullptr) return INADDR_NONE;
  for (addrinfo* ai = res; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_family == AF_INET && ai->ai_addr != nullptr) {
      a = reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr;
      break;
    }
  }
  freeaddrinfo(res);
  return a;
}

void ConnectServerSocket(int sock, const std::string& hostport, const ServerLink& link) {
  if (hostport.empty()) KOVRA_RAISE(1006, kLineEmptyAddress, kFunc);
  std::string host = hostport;
  unsigned short port = kDefaultPort;
  const size_t colon = hostport.find(':');
  if (colon != std::string::npos) {
    // Not a number reads as -1, whose low 16 bits are all ones like 65535 itself.
    const unsigned int value = static_cast<unsigned int>(TSettings::ToInt(hostport.substr(colon + 1), -1)) & 0xFFFFu;
    if (value == 0xFFFFu) KOVRA_RAISE(1006, kLineBadPort, kFunc);
    port = static_cast<unsigned short>(value);
    host = hostport.substr(0, colon);
  }

  std::string proxyText;
  static const TSettings kNoSettings{};
  const TSettings& settings = link.Settings ? *link.Settings : kNoSettings;
  const int kind = link.Discover ? link.Discover(settings, "https://" + host, host, proxyText)
                                 : DiscoverProxy(settings, "https://" + host, host, proxyText);

  SetIoTimeout(sock, link.IoTimeout);
  auto post = [&link](int number, const std::string& arg) {
    if (link.PostText) link.PostText("B: " + FmtLoadStr(number, {arg}));
  };

  switch (kind) {
    case ProxyHttps:
      post(2004, proxyText);
      ConnectToProxy(sock, proxyText, link);
      OpenConnectTunnel(sock, host, port, link);
      return;
    case ProxySocks:
      post(2005, proxyText);
      ConnectToProxy(sock, proxyText, link);
      OpenSocks4(sock, host, port, link);
      return;
    default: {
      const int err = ConnectWithin(sock, ResolveIPv4(host), port, link.ConnectTimeout, link.WakeFd);
      if (err == 0) return;
      if (RefusedOrUnreachable(err)) KOVRA_RAISE(1001, kLineDirectRefused, kFunc);
      KOVRA_RAISE_CALL("connect", kLineDirectConnect, kFunc);
    }
  }
}

}  // namespace kovrax
