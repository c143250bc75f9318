#include "support/ConnectProxy.h"

#include <unistd.h>

#include <thread>

namespace kovrax::test {
namespace {

// Port of "CONNECT host:port VERSION"; 0 when the line is not such a request.
int RequestedPort(const std::string& header) {
  if (header.rfind("CONNECT ", 0) != 0) return 0;
  const size_t space = header.find(' ', 8);
  const size_t colon = header.rfind(':', space);
  if (space == std::string::npos || colon == std::string::npos || colon < 8) return 0;
  try {
    return std::stoi(header.substr(colon + 1, space - colon - 1));
  } catch (...) {
    return 0;
  }
}

}  // namespace

ConnectProxy::ConnectProxy(Reply reply, int forwardPort) : reply_(reply), forwardPort_(forwardPort) {
  acceptor_ = std::make_unique<LoopbackAcceptor>([this](int fd) { Serve(fd); });
}

ConnectProxy::~ConnectProxy() { Stop(); }

void ConnectProxy::Stop() { acceptor_->Stop(); }

std::vector<std::string> ConnectProxy::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

void ConnectProxy::Serve(int fd) {
  std::string header, rest;
  if (!RecvHeader(fd, header, &rest)) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(header);
  }
  auto pause = [] { std::this_thread::sleep_for(std::chrono::milliseconds(30)); };
  switch (reply_) {
    case Reply::AuthRequired:
      SendAll(fd, "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"test\"\r\n"
                  "Content-Length: 0\r\n\r\n");
      return;
    case Reply::GrantedWithoutSpace:
      SendAll(fd, "HTTP/1.1 200\r\n\r\n");
      return;
    case Reply::CloseBeforeEnd:
      SendAll(fd, "HTTP/1.1 200 Connection established\r\n");
      return;
    case Reply::OverlongLine:
      SendAll(fd, "HTTP/1.1 200 " + std::string(300, 'x') + "\r\n\r\n");
      return;
    case Reply::EndlessHeader:
      if (!SendAll(fd, "HTTP/1.1 200 Connection established\r\n")) return;
      while (!acceptor_->Stopping() && SendAll(fd, "X-Filler: 0123456789012345678901234567890123456789\r\n")) {
      }
      return;
    case Reply::Silent:
      while (!acceptor_->Stopping()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
      return;
    case Reply::Granted:
    case Reply::GrantedInPieces:
      break;
  }

  const int port = forwardPort_ ? forwardPort_ : RequestedPort(header);
  const int upstream = port > 0 ? ConnectLoopback(port) : -1;
  if (upstream < 0) {
    SendAll(fd, "HTTP/1.1 502 Bad Gateway\r\n\r\n");
    return;
  }
  bool ok;
  if (reply_ == Reply::Granted) {
    ok = SendAll(fd, "HTTP/1.1 200 Connection established\r\nProxy-Agent: test\r\n\r\n");
  } else {
    ok = SendAll(fd, "HTTP/1.1 20");
    pause();
    ok = ok && SendAll(fd, "0 Connection established\r\nProxy-Agent: ");
    pause();
    ok = ok && SendAll(fd, "test\r\n");
    pause();
    ok = ok && SendAll(fd, "\r\n");
  }
  if (ok && (rest.empty() || SendAll(upstream, rest))) Pump(fd, upstream, acceptor_->StopFlag());
  close(upstream);
}

}  // namespace kovrax::test
