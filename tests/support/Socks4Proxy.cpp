#include "support/Socks4Proxy.h"

#include <sys/socket.h>
#include <unistd.h>

#include <thread>

namespace kovrax::test {

Socks4Proxy::Socks4Proxy(Reply reply, int forwardPort) : reply_(reply), forwardPort_(forwardPort) {
  acceptor_ = std::make_unique<LoopbackAcceptor>([this](int fd) { Serve(fd); });
}

Socks4Proxy::~Socks4Proxy() { Stop(); }

void Socks4Proxy::Stop() { acceptor_->Stop(); }

std::vector<Socks4Proxy::Request> Socks4Proxy::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

void Socks4Proxy::Serve(int fd) {
  unsigned char head[8];
  if (!RecvExact(fd, head, sizeof head)) return;
  Request req;
  req.version = head[0];
  req.command = head[1];
  req.port = (head[2] << 8) | head[3];
  req.address = std::to_string(head[4]) + "." + std::to_string(head[5]) + "." + std::to_string(head[6]) + "." +
                std::to_string(head[7]);
  for (int i = 0; i < 256; ++i) {  // the user id up to its NUL
    char c;
    if (!RecvExact(fd, &c, 1)) return;
    if (c == '\0') break;
    req.userId += c;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(req);
  }

  unsigned char reply[8] = {0, 90, head[2], head[3], head[4], head[5], head[6], head[7]};
  switch (reply_) {
    case Reply::Refused:
      reply[1] = 91;
      SendAll(fd, reply, sizeof reply);
      return;
    case Reply::ShortReply:
      SendAll(fd, reply, 4);
      return;
    case Reply::Silent:
      while (!acceptor_->Stopping()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
      return;
    case Reply::GrantedVersion4:
      reply[0] = 4;
      break;
    case Reply::GrantedVersion5:
      reply[0] = 5;
      break;
    case Reply::GrantedVersion0:
      break;
  }
  const int upstream = ConnectLoopback(forwardPort_ ? forwardPort_ : req.port);
  if (upstream < 0) {
    reply[1] = 91;
    SendAll(fd, reply, sizeof reply);
    return;
  }
  if (SendAll(fd, reply, sizeof reply)) Pump(fd, upstream, acceptor_->StopFlag());
  close(upstream);
}

}  // namespace kovrax::test
