// A TLS server on 127.0.0.1 (ephemeral port) for tests: the certificate, key and chain it is
// given, a handler per connection on its own thread after a successful handshake. Every socket
// wait is bounded by the I/O time-out; Stop (or the destructor) ends everything.
#pragma once
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/LoopbackAcceptor.h"

namespace kovrax::test {

struct TlsServerOptions {
  X509* Cert = nullptr;       // not taken over; none only for anonymous cipher suites
  EVP_PKEY* Key = nullptr;    // not taken over
  std::vector<X509*> Chain;   // sent after Cert, in this order; not taken over
  int MinVersion = 0;         // e.g. TLS1_2_VERSION; 0: the library's default
  int MaxVersion = 0;
  std::string CipherList;     // TLS 1.2 and lower; empty: the library's default
  std::chrono::milliseconds IoTimeout = std::chrono::seconds(5);
};

class TlsServerDouble {
 public:
  // Runs after the handshake; the server frees the session and closes the socket afterwards.
  using Handler = std::function<void(SSL* ssl, const TlsServerDouble& server)>;

  explicit TlsServerDouble(const TlsServerOptions& options, Handler handler = AnswerClose);
  ~TlsServerDouble();
  TlsServerDouble(const TlsServerDouble&) = delete;
  TlsServerDouble& operator=(const TlsServerDouble&) = delete;

  int Port() const { return acceptor_->Port(); }
  std::string Address() const { return "127.0.0.1:" + std::to_string(Port()); }
  void Stop();
  bool Stopping() const { return acceptor_->Stopping(); }
  // Counted when the server's side of a handshake ends, which under TLS 1.3 can be after the
  // client's has returned: read these after an exchange with the handler, or wait for them.
  int Handshakes() const { return handshakes_.load(); }
  int FailedHandshakes() const { return failed_.load(); }
  // Server name indication of the last successful handshake; empty when none was sent.
  std::string LastServerName() const;

  // Reads (and drops) data until the peer's close notify, then answers it.
  static void AnswerClose(SSL* ssl, const TlsServerDouble& server);
  // Reads until the peer's close notify and never answers it; holds the connection open until
  // the server stops or the I/O time-out has passed once more.
  static void NeverAnswerClose(SSL* ssl, const TlsServerDouble& server);

 private:
  void Serve(int fd);

  Handler handler_;
  std::chrono::milliseconds ioTimeout_;
  SSL_CTX* ctx_ = nullptr;
  std::atomic<int> handshakes_{0};
  std::atomic<int> failed_{0};
  mutable std::mutex mutex_;
  std::string lastServerName_;
  std::unique_ptr<LoopbackAcceptor> acceptor_;
};

}  // namespace kovrax::test
