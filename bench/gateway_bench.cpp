// Loopback driver for the gateway: requests per second and latency percentiles for OPTIONS and
// GET /, one new connection per request, beside a minimal poll-based 204 responder in the same run.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "gateway/ActiveXThreadUnit.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kRunTime = std::chrono::milliseconds(1500);
constexpr int kMaxRequests = 6000;  // stays well inside the ephemeral port range
constexpr int kWarmup = 200;

class QuietSink : public kovrax::INotifySink {
 public:
  void Post(int, long long) override {}
  void PostText(std::string) override {}
  std::string VersionLine() override { return "KovraX V bench"; }
};

int ListenLoopback(int port) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(s, 5) != 0) {
    close(s);
    return -1;
  }
  return s;
}

// The baseline: one connection at a time, read the header, send 204, close.
class MinimalResponder {
 public:
  MinimalResponder() {
    std::mt19937 rng{std::random_device{}()};
    for (int i = 0; i < 50 && listen_ < 0; ++i) {
      port_ = std::uniform_int_distribution<int>(20000, 60000)(rng);
      listen_ = ListenLoopback(port_);
    }
    wake_ = eventfd(0, EFD_CLOEXEC);
    thread_ = std::thread([this] { Serve(); });
  }
  ~MinimalResponder() {
    uint64_t one = 1;
    ssize_t ignored = write(wake_, &one, sizeof one);
    (void)ignored;
    thread_.join();
    close(listen_);
    close(wake_);
  }
  int port() const { return listen_ >= 0 ? port_ : -1; }

 private:
  void Serve() {
    static const char kReply[] =
        "HTTP/1.1 204 No Content\r\nAllow: GET, POST\r\nConnection: close\r\n"
        "Access-Control-Allow-Origin: *\r\nAccess-Control-Allow-Headers: *\r\n\r\n";
    for (;;) {
      pollfd fds[2] = {{listen_, POLLIN, 0}, {wake_, POLLIN, 0}};
      if (poll(fds, 2, -1) < 0 || (fds[1].revents & POLLIN)) return;
      int c = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) continue;
      int on = 1;
      setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      std::string header;
      char buf[1024];
      while (header.find("\r\n\r\n") == std::string::npos) {
        pollfd p{c, POLLIN, 0};
        if (poll(&p, 1, 1000) <= 0) break;
        ssize_t n = recv(c, buf, sizeof buf, 0);
        if (n <= 0) break;
        header.append(buf, static_cast<size_t>(n));
      }
      ssize_t ignored = send(c, kReply, sizeof kReply - 1, MSG_NOSIGNAL);
      (void)ignored;
      shutdown(c, SHUT_RDWR);
      close(c);
    }
  }
  int port_ = 0;
  int listen_ = -1;
  int wake_ = -1;
  std::thread thread_;
};

// One request on a new connection; its latency in microseconds, or -1 on failure.
double OneRequest(int port, const std::string& request) {
  auto start = Clock::now();
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  int on = 1;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            send(s, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size());
  size_t total = 0;
  char buf[4096];
  while (ok) {
    pollfd p{s, POLLIN, 0};
    if (poll(&p, 1, 5000) <= 0) {
      ok = false;
      break;
    }
    ssize_t n = recv(s, buf, sizeof buf, 0);
    if (n < 0) ok = false;
    if (n <= 0) break;
    total += static_cast<size_t>(n);
  }
  close(s);
  if (!ok || total == 0) return -1;
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

struct Figures {
  double perSecond = 0, p50 = 0, p99 = 0, max = 0;
  int failures = 0;
};

// One series gathers latencies in short slices, interleaved with the other series, so that a
// busy machine weighs on all of them alike.
struct Series {
  int port;
  std::string request;
  std::vector<double> latencies;
  double seconds = 0;
  int failures = 0;

  void Slice(std::chrono::milliseconds length, int maxRequests) {
    auto start = Clock::now();
    while (Clock::now() - start < length && static_cast<int>(latencies.size()) + failures < maxRequests) {
      double us = OneRequest(port, request);
      if (us < 0)
        ++failures;
      else
        latencies.push_back(us);
    }
    seconds += std::chrono::duration<double>(Clock::now() - start).count();
  }

  Figures Result() {
    Figures f;
    f.failures = failures;
    if (latencies.empty()) return f;
    std::sort(latencies.begin(), latencies.end());
    f.perSecond = static_cast<double>(latencies.size()) / seconds;
    f.p50 = latencies[latencies.size() / 2];
    f.p99 = latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)];
    f.max = latencies.back();
    return f;
  }
};

void Print(const char* name, const Figures& f, const Figures& base) {
  std::printf("%-22s %7.0f req/s  p50 %6.1f us  p99 %7.1f us  max %8.1f us  failures %d  p99/base %.2f  rate base/this %.2f\n",
              name, f.perSecond, f.p50, f.p99, f.max, f.failures, base.p99 > 0 ? f.p99 / base.p99 : 0.0,
              f.perSecond > 0 ? base.perSecond / f.perSecond : 0.0);
}

}  // namespace

int main() {
  QuietSink sink;
  kovrax::TSettings settings = kovrax::TSettings::Defaults("-" + std::to_string(20000 + std::random_device{}() % 40000));
  kovrax::TServices services;
  services.Notify = &sink;
  auto gateway = std::make_unique<kovrax::TActiveXThread>(settings, services);
  int gatewayPort = gateway->WaitListening(std::chrono::seconds(10));
  MinimalResponder baseline;
  if (gatewayPort <= 0 || baseline.port() <= 0) {
    std::fprintf(stderr, "could not start the servers\n");
    return 1;
  }
  const std::string options = "OPTIONS / HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: https://ballot.test\r\n\r\n";
  const std::string status = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

  Series series[] = {{baseline.port(), options, {}}, {gatewayPort, options, {}}, {gatewayPort, status, {}}};
  for (Series& s : series)
    for (int i = 0; i < kWarmup; ++i) OneRequest(s.port, s.request);
  constexpr int kSlices = 15;
  for (int slice = 0; slice < kSlices; ++slice)
    for (Series& s : series) s.Slice(kRunTime / kSlices, kMaxRequests);
  Figures base = series[0].Result();
  std::printf("new connection per request, %lld ms per series in %d interleaved slices\n",
              static_cast<long long>(kRunTime.count()), kSlices);
  Print("minimal 204 responder", base, base);
  Print("gateway OPTIONS", series[1].Result(), base);
  Print("gateway GET /", series[2].Result(), base);
  gateway->Stop();
  return 0;
}
