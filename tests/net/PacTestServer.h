// A tiny HTTP server on 127.0.0.1 that serves fixed replies by path, for proxy script tests.
// Each connection gets one reply and is closed; every wait is bounded.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

namespace kovrax::test {

class PacTestServer {
 public:
  struct Reply {
    int status = 200;
    std::string body;
  };

  PacTestServer() {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener_, 16) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      throw std::runtime_error("test server: cannot listen on 127.0.0.1");
    }
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }

  ~PacTestServer() {
    stop_ = true;
    thread_.join();
    close(listener_);
  }

  PacTestServer(const PacTestServer&) = delete;
  PacTestServer& operator=(const PacTestServer&) = delete;

  void Set(const std::string& path, int status, const std::string& body) {
    std::lock_guard<std::mutex> lock(mutex_);
    routes_[path] = Reply{status, body};
  }

  int Port() const { return port_; }
  std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
  int Requests() const { return requests_; }

 private:
  void Serve() {
    while (!stop_) {
      pollfd p{listener_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      Answer(client);
      close(client);
    }
  }

  void Answer(int client) {
    timeval limit{5, 0};
    setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    std::string request;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      pollfd p{client, POLLIN, 0};
      if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return;
      char buffer[4096];
      const ssize_t n = recv(client, buffer, sizeof buffer, 0);
      if (n <= 0) return;
      request.append(buffer, static_cast<size_t>(n));
    }
    ++requests_;
    const size_t start = request.find(' ') + 1;
    const std::string path = request.substr(start, request.find(' ', start) - start);
    Reply reply{404, "not found"};
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = routes_.find(path);
      if (it != routes_.end()) reply = it->second;
    }
    const std::string head = "HTTP/1.1 " + std::to_string(reply.status) + " X\r\nContent-Type: application/x-ns-proxy-autoconfig\r\n" +
                             "Content-Length: " + std::to_string(reply.body.size()) + "\r\nConnection: close\r\n\r\n";
    const std::string all = head + reply.body;
    size_t sent = 0;
    while (sent < all.size()) {
      const ssize_t n = send(client, all.data() + sent, all.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return;
      sent += static_cast<size_t>(n);
    }
  }

  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> requests_{0};
  std::mutex mutex_;
  std::map<std::string, Reply> routes_;
  std::thread thread_;
};

}  // namespace kovrax::test
