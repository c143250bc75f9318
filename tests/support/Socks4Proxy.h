// A SOCKS 4 proxy on 127.0.0.1 for tests. A granted request leads to 127.0.0.1 at the requested
// port (or at forwardPort when set), whatever address it names; the request stays visible.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/LoopbackAcceptor.h"

namespace kovrax::test {

class Socks4Proxy {
 public:
  enum class Reply {
    GrantedVersion0,  // 0, 90: what SOCKS 4 servers send
    GrantedVersion4,  // 4, 90
    GrantedVersion5,  // 5, 90: not a SOCKS 4 reply
    Refused,          // 0, 91
    ShortReply,       // 0, 90 and only 4 of the 8 bytes, then the connection closes
    Silent,           // reads the request and never answers
  };

  // The 9 or more bytes of a request: version, command, port, address, user id.
  struct Request {
    int version = 0;
    int command = 0;
    int port = 0;
    std::string address;  // dotted
    std::string userId;
  };

  explicit Socks4Proxy(Reply reply = Reply::GrantedVersion0, int forwardPort = 0);
  ~Socks4Proxy();
  Socks4Proxy(const Socks4Proxy&) = delete;
  Socks4Proxy& operator=(const Socks4Proxy&) = delete;

  int Port() const { return acceptor_->Port(); }
  std::string Address() const { return "127.0.0.1:" + std::to_string(Port()); }
  std::vector<Request> Requests() const;
  void Stop();

 private:
  void Serve(int fd);

  Reply reply_;
  int forwardPort_;
  mutable std::mutex mutex_;
  std::vector<Request> requests_;
  std::unique_ptr<LoopbackAcceptor> acceptor_;
};

}  // namespace kovrax::test
