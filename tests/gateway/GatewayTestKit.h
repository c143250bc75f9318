// Loopback helpers for the gateway tests: a recording notification sink, a gateway on a free
// dynamic port, and a small blocking client with bounded waits.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "gateway/ActiveXThreadUnit.h"
#include "shell/Codepage.h"
#include "shell/Messages.h"

namespace kovrax::test {

// Every notification in the order of posting; texts back in UTF-8.
class RecordingSink : public INotifySink {
 public:
  struct Event {
    int code;
    long long value;
    std::string text;  // for code 3 with a text
  };

  void Post(int code, long long value) override { Add({code, value, {}}); }
  void PostText(std::string cp1250) override { Add({NotifyText, 1, Cp1250ToUtf8(cp1250)}); }
  std::string VersionLine() override { return "KovraX V9.9.9 test"; }

  std::vector<Event> Events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  std::vector<std::string> Texts() const {
    std::vector<std::string> texts;
    for (const Event& e : Events())
      if (!e.text.empty()) texts.push_back(e.text);
    return texts;
  }
  bool HasText(const std::string& text) const {
    for (const std::string& t : Texts())
      if (t == text) return true;
    return false;
  }
  // Waits (bounded) until the predicate holds over the events.
  bool WaitFor(const std::function<bool(const std::vector<Event>&)>& pred,
               std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return pred(events_); });
  }
  bool WaitForText(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
    return WaitFor(
        [&](const std::vector<Event>& events) {
          for (const Event& e : events)
            if (e.text == text) return true;
          return false;
        },
        timeout);
  }
  size_t Count(int code, long long value) const {
    size_t n = 0;
    for (const Event& e : Events())
      if (e.code == code && e.value == value && e.text.empty()) ++n;
    return n;
  }

 private:
  void Add(Event e) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      events_.push_back(std::move(e));
    }
    cv_.notify_all();
  }
  mutable std::mutex mutex_;
  mutable std::condition_variable cv_;
  std::vector<Event> events_;
};

// A random base for dynamic ports, so that test programs running side by side rarely meet.
inline int RandomPortBase() {
  static std::mt19937 rng{std::random_device{}()};
  return std::uniform_int_distribution<int>(20000, 60000)(rng);
}

inline TSettings TestSettings(const std::string& port = "") {
  TSettings s = TSettings::Defaults(port.empty() ? "-" + std::to_string(RandomPortBase()) : port);
  s.BallotHost = "ballot.test, localhost:8443";
  s.DetailedErrorCode = "0";
  return s;
}

// A gateway of its own, with a recording sink.
struct Gateway {
  explicit Gateway(TSettings settings = TestSettings(), int readTimeoutMs = 10000) {
    TServices services;
    services.Notify = &sink;
    worker = std::make_unique<TActiveXThread>(std::move(settings), services);
    worker->ReadTimeoutMs = readTimeoutMs;
    port = worker->WaitListening(std::chrono::seconds(10));
  }
  ~Gateway() { worker->Stop(); }
  TActiveXThread* operator->() { return worker.get(); }

  RecordingSink sink;
  std::unique_ptr<TActiveXThread> worker;
  int port = -1;
};

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) {
      if (fd_ >= 0) close(fd_);
      fd_ = std::exchange(o.fd_, -1);
    }
    return *this;
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

inline Fd Connect(int port) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(s);
    return Fd();
  }
  return Fd(s);
}

inline bool SendAll(int fd, const std::string& data) {
  size_t sent = 0;
  while (sent < data.size()) {
    ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

struct Received {
  std::string bytes;
  bool closed = false;  // the peer closed (orderly or by reset) within the time
};

// Reads until the peer closes, or until the time is up.
inline Received ReadUntilClosed(int fd, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  Received r;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  char buf[4096];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return r;
    pollfd p{fd, POLLIN, 0};
    int ready = poll(&p, 1, static_cast<int>(left.count()));
    if (ready <= 0) return r;
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) {
      r.closed = true;
      return r;
    }
    r.bytes.append(buf, static_cast<size_t>(n));
  }
}

// One request on a new connection; everything the gateway sends back.
inline Received Exchange(int port, const std::string& request) {
  Fd c = Connect(port);
  if (c.get() < 0) return {};
  SendAll(c.get(), request);
  return ReadUntilClosed(c.get());
}

// A listening socket on 127.0.0.1:port, or -1 when the port is taken.
inline Fd ListenOn(int port) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(s, 1) != 0) {
    close(s);
    return Fd();
  }
  return Fd(s);
}

inline const std::string kOptionsReply =
    "HTTP/1.1 204 No Content\r\nAllow: GET, POST\r\nConnection: close\r\n"
    "Access-Control-Allow-Origin: *\r\nAccess-Control-Allow-Headers: *\r\n\r\n";

}  // namespace kovrax::test
