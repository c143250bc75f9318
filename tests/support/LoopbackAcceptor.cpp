#include "support/LoopbackAcceptor.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>

namespace kovrax::test {
namespace {

constexpr int kPollSliceMs = 50;

sockaddr_in Loopback(int port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(static_cast<unsigned short>(port));
  return sa;
}

int ListenLoopback(int backlog, int* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("test server: socket");
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa = Loopback(0);
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, backlog) != 0) {
    close(fd);
    throw std::runtime_error("test server: bind/listen");
  }
  socklen_t len = sizeof sa;
  getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  *port = ntohs(sa.sin_port);
  return fd;
}

}  // namespace

LoopbackAcceptor::LoopbackAcceptor(Handler handler, int backlog, std::chrono::milliseconds ioTimeout)
    : handler_(std::move(handler)), ioTimeout_(ioTimeout) {
  IgnoreSigpipe();
  listenFd_ = ListenLoopback(backlog, &port_);
  acceptThread_ = std::thread([this] { AcceptLoop(); });
}

LoopbackAcceptor::~LoopbackAcceptor() { Stop(); }

void LoopbackAcceptor::Stop() {
  if (stop_.exchange(true)) {
    if (acceptThread_.joinable()) acceptThread_.join();
    return;
  }
  if (acceptThread_.joinable()) acceptThread_.join();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int fd : open_) shutdown(fd, SHUT_RDWR);
  }
  for (std::thread& t : workers_) t.join();
  workers_.clear();
  close(listenFd_);
  listenFd_ = -1;
}

bool LoopbackAcceptor::WaitAccepted(int n, std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (accepted_.load() < n) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

void LoopbackAcceptor::AcceptLoop() {
  while (!stop_.load()) {
    pollfd p{listenFd_, POLLIN, 0};
    if (poll(&p, 1, kPollSliceMs) <= 0) continue;
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    SetSocketTimeouts(fd, ioTimeout_);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      open_.insert(fd);
    }
    accepted_.fetch_add(1);
    workers_.emplace_back([this, fd] {
      try {
        if (handler_) handler_(fd);
      } catch (...) {
        // A failing handler ends its own connection only.
      }
      {
        std::lock_guard<std::mutex> lock(mutex_);
        open_.erase(fd);
      }
      close(fd);
    });
  }
}

SilentListener::SilentListener() {
  IgnoreSigpipe();
  fd_ = ListenLoopback(0, &port_);
}

SilentListener::~SilentListener() {
  for (int fd : fillers_) close(fd);
  close(fd_);
}

bool SilentListener::FillQueue(std::chrono::milliseconds timeout) {
  // Connect until an attempt stays unanswered: the queue is then full.
  for (int i = 0; i < 8; ++i) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return false;
    sockaddr_in sa = Loopback(port_);
    if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) {
      fillers_.push_back(fd);
      continue;
    }
    if (errno != EINPROGRESS) {
      close(fd);
      return false;
    }
    pollfd p{fd, POLLOUT, 0};
    const int r = poll(&p, 1, static_cast<int>(std::min<long long>(timeout.count(), 300)));
    fillers_.push_back(fd);
    if (r == 0) return true;
  }
  return false;
}

int UnusedLoopbackPort() {
  int port = 0;
  int fd = ListenLoopback(1, &port);
  close(fd);
  return port;
}

int ConnectLoopback(int port, std::chrono::milliseconds timeout) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  sockaddr_in sa = Loopback(port);
  int rc = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  if (rc != 0 && errno == EINPROGRESS) {
    pollfd p{fd, POLLOUT, 0};
    int err = 0;
    socklen_t len = sizeof err;
    if (poll(&p, 1, static_cast<int>(timeout.count())) == 1 &&
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0)
      rc = 0;
  }
  if (rc != 0) {
    close(fd);
    return -1;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL, 0) & ~O_NONBLOCK);
  SetSocketTimeouts(fd, std::chrono::seconds(10));
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

void SetSocketTimeouts(int fd, std::chrono::milliseconds timeout) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

bool SendAll(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = send(fd, p, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool SendAll(int fd, const std::string& text) { return SendAll(fd, text.data(), text.size()); }

bool RecvExact(int fd, void* data, size_t size) {
  char* p = static_cast<char*>(data);
  while (size > 0) {
    ssize_t n = recv(fd, p, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool RecvHeader(int fd, std::string& header, std::string* rest, size_t maxBytes) {
  header.clear();
  char buf[1024];
  while (header.size() < maxBytes) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    header.append(buf, static_cast<size_t>(n));
    const size_t end = header.find("\r\n\r\n");
    if (end != std::string::npos) {
      if (rest) *rest = header.substr(end + 4);
      header.resize(end + 4);
      return true;
    }
  }
  return false;
}

void Pump(int a, int b, const std::atomic<bool>& stop, std::chrono::milliseconds idle) {
  auto last = std::chrono::steady_clock::now();
  char buf[16384];
  bool open[2] = {true, true};  // direction a->b, b->a still carries bytes
  while (!stop.load() && (open[0] || open[1])) {
    pollfd p[2] = {{open[0] ? a : -1, POLLIN, 0}, {open[1] ? b : -1, POLLIN, 0}};
    int r = poll(p, 2, kPollSliceMs);
    if (r < 0 && errno != EINTR) return;
    if (r <= 0) {
      if (std::chrono::steady_clock::now() - last > idle) return;
      continue;
    }
    for (int i = 0; i < 2; ++i) {
      if (!open[i] || !(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const int from = i == 0 ? a : b;
      const int to = i == 0 ? b : a;
      ssize_t n = recv(from, buf, sizeof buf, 0);
      if (n <= 0) {
        // Pass the end on and keep the other direction going.
        shutdown(to, SHUT_WR);
        open[i] = false;
        continue;
      }
      if (!SendAll(to, buf, static_cast<size_t>(n))) return;
      last = std::chrono::steady_clock::now();
    }
  }
}

void IgnoreSigpipe() { std::signal(SIGPIPE, SIG_IGN); }

}  // namespace kovrax::test
