// An HTTP CONNECT proxy on 127.0.0.1 for tests. Whatever host a request names, a granted tunnel
// leads to 127.0.0.1 (at the requested port, or at forwardPort when set), so names like the
// ballot host work without DNS; the requested host stays visible in Requests().
#pragma once
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/LoopbackAcceptor.h"

namespace kovrax::test {

class ConnectProxy {
 public:
  enum class Reply {
    Granted,               // "HTTP/1.1 200 Connection established", a header line, the empty line
    GrantedInPieces,       // the same, split across several writes (status line cut in two)
    AuthRequired,          // "HTTP/1.1 407 Proxy Authentication Required"
    GrantedWithoutSpace,   // "HTTP/1.1 200" right before the line end
    CloseBeforeEnd,        // the status line, then the connection closes before the empty line
    OverlongLine,          // a status line longer than 256 bytes
    EndlessHeader,         // the 200 status line, then header lines without end
    Silent,                // reads the request and never answers
  };

  explicit ConnectProxy(Reply reply = Reply::Granted, int forwardPort = 0);
  ~ConnectProxy();
  ConnectProxy(const ConnectProxy&) = delete;
  ConnectProxy& operator=(const ConnectProxy&) = delete;

  int Port() const { return acceptor_->Port(); }
  std::string Address() const { return "127.0.0.1:" + std::to_string(Port()); }
  // The request headers received, up to and including the empty line, in order of arrival.
  std::vector<std::string> Requests() const;
  void Stop();

 private:
  void Serve(int fd);

  Reply reply_;
  int forwardPort_;
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;
  std::unique_ptr<LoopbackAcceptor> acceptor_;
};

}  // namespace kovrax::test
