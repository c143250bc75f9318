// A TCP listener on 127.0.0.1 (ephemeral port) that runs a handler for each accepted connection
// on a thread of its own, and small socket helpers shared by the test servers and proxies.
// Every wait is bounded; Stop (or the destructor) ends the accept loop, wakes the handlers by
// shutting their sockets down and joins every thread.
#pragma once
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace kovrax::test {

class LoopbackAcceptor {
 public:
  // The handler gets the connected socket with send/receive time-outs of ioTimeout set; the
  // acceptor closes it when the handler returns.
  using Handler = std::function<void(int fd)>;
  explicit LoopbackAcceptor(Handler handler, int backlog = 16,
                            std::chrono::milliseconds ioTimeout = std::chrono::seconds(10));
  ~LoopbackAcceptor();
  LoopbackAcceptor(const LoopbackAcceptor&) = delete;
  LoopbackAcceptor& operator=(const LoopbackAcceptor&) = delete;

  int Port() const { return port_; }
  void Stop();
  bool Stopping() const { return stop_.load(); }
  const std::atomic<bool>& StopFlag() const { return stop_; }
  int Accepted() const { return accepted_.load(); }
  // Waits up to timeout until at least n connections were accepted.
  bool WaitAccepted(int n, std::chrono::milliseconds timeout) const;

 private:
  void AcceptLoop();

  Handler handler_;
  std::chrono::milliseconds ioTimeout_;
  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::mutex mutex_;
  std::set<int> open_;
  std::vector<std::thread> workers_;
  std::thread acceptThread_;
};

// A listening socket on 127.0.0.1 that never accepts; with backlog 0 its queue fills after one
// connection, and later connection attempts get no answer at all (a dead host, on loopback).
class SilentListener {
 public:
  SilentListener();
  ~SilentListener();
  SilentListener(const SilentListener&) = delete;
  SilentListener& operator=(const SilentListener&) = delete;
  int Port() const { return port_; }
  // Fills the accept queue so that the next connect gets no answer; false if that cannot be done.
  bool FillQueue(std::chrono::milliseconds timeout = std::chrono::seconds(2));

 private:
  int fd_ = -1;
  int port_ = 0;
  std::vector<int> fillers_;
};

// A port on 127.0.0.1 where nothing listens (bound once and released).
int UnusedLoopbackPort();
// Connects to 127.0.0.1:port; the socket, or -1 after timeout or refusal.
int ConnectLoopback(int port, std::chrono::milliseconds timeout = std::chrono::seconds(5));
void SetSocketTimeouts(int fd, std::chrono::milliseconds timeout);
bool SendAll(int fd, const void* data, size_t size);
bool SendAll(int fd, const std::string& text);
// Reads exactly size bytes (false on end of stream, error or time-out).
bool RecvExact(int fd, void* data, size_t size);
// Reads up to and including the first "\r\n\r\n" (at most maxBytes); bytes after it go to *rest.
bool RecvHeader(int fd, std::string& header, std::string* rest, size_t maxBytes = 8192);
// Copies bytes both ways until either side ends, stop is set, or nothing moves for idle.
void Pump(int a, int b, const std::atomic<bool>& stop, std::chrono::milliseconds idle = std::chrono::seconds(10));
// Ignores SIGPIPE in the whole process: a peer that went away must be an error, not the end.
void IgnoreSigpipe();

}  // namespace kovrax::test
