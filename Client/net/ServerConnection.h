// The TCP connection to the ballot server: directly, through an HTTP CONNECT tunnel or through a
// SOCKS 4 proxy, as proxy discovery decides. TActiveXThread::Connect_socket is this with the
// worker's own settings, request and status channel.
#pragma once
#include <chrono>
#include <functional>
#include <string>

#include "shell/Settings.h"

namespace kovrax {

// A dead server or proxy must not hold the gateway for ever: connecting may take this long, and
// afterwards every single send or receive on the server socket (the TLS exchange with the ballot
// server included) gives up after the I/O time-out.
constexpr std::chrono::milliseconds kServerConnectTimeout{30000};
constexpr std::chrono::milliseconds kServerIoTimeout{30000};

// Same contract as DiscoverProxy.
using ProxyDiscoveryFn =
    std::function<int(const TSettings& settings, const std::string& url, const std::string& host, std::string& proxyText)>;

// What connecting needs from the worker.
struct ServerLink {
  const TSettings* Settings = nullptr;               // for proxy discovery; null means defaults
  std::string RequestVersion = "HTTP/1.1";           // the browser request's version, repeated in CONNECT
  std::function<void(const std::string&)> PostText;  // status texts (UTF-8, prefix included)
  ProxyDiscoveryFn Discover;                         // empty: DiscoverProxy
  std::chrono::milliseconds ConnectTimeout = kServerConnectTimeout;
  std::chrono::milliseconds IoTimeout = kServerIoTimeout;
  int WakeFd = -1;  // readable once the worker is being stopped: the waits here end with 1003
};

// Connects socket (an IPv4 stream socket, not yet connected) to hostport ("host" or "host:port",
// port 443 by default). On return the socket carries a clean byte stream to the server, with the
// I/O time-out set on it. Raises KovraException naming "TActiveXThread::Connect_socket"; the
// socket is then left open in whatever state it reached.
void ConnectServerSocket(int socket, const std::string& hostport, const ServerLink& link);

// IPv4 address of a host: dotted text first, else the first IPv4 address the resolver gives;
// INADDR_NONE (255.255.255.255) when neither works. Network byte order.
unsigned int ResolveIPv4(const std::string& host);

}  // namespace kovrax
