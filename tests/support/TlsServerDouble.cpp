#include "support/TlsServerDouble.h"

#include <openssl/err.h>

#include <stdexcept>
#include <thread>

namespace kovrax::test {

TlsServerDouble::TlsServerDouble(const TlsServerOptions& options, Handler handler)
    : handler_(std::move(handler)), ioTimeout_(options.IoTimeout) {
  ctx_ = SSL_CTX_new(TLS_server_method());
  if (ctx_ == nullptr) throw std::runtime_error("TLS server: SSL_CTX_new");
  bool ok = true;
  if (options.Cert != nullptr)
    ok = SSL_CTX_use_certificate(ctx_, options.Cert) == 1 && SSL_CTX_use_PrivateKey(ctx_, options.Key) == 1;
  for (X509* c : options.Chain) ok = ok && SSL_CTX_add1_chain_cert(ctx_, c) == 1;
  if (options.MinVersion) ok = ok && SSL_CTX_set_min_proto_version(ctx_, options.MinVersion) == 1;
  if (options.MaxVersion) ok = ok && SSL_CTX_set_max_proto_version(ctx_, options.MaxVersion) == 1;
  if (!options.CipherList.empty()) ok = ok && SSL_CTX_set_cipher_list(ctx_, options.CipherList.c_str()) == 1;
  // Send exactly the chain given: never complete it from a store.
  SSL_CTX_set_mode(ctx_, SSL_MODE_NO_AUTO_CHAIN);
  if (!ok) {
    SSL_CTX_free(ctx_);
    throw std::runtime_error("TLS server: configuration");
  }
  acceptor_ = std::make_unique<LoopbackAcceptor>([this](int fd) { Serve(fd); }, 16, ioTimeout_);
}

TlsServerDouble::~TlsServerDouble() {
  Stop();
  SSL_CTX_free(ctx_);
}

void TlsServerDouble::Stop() { acceptor_->Stop(); }

std::string TlsServerDouble::LastServerName() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastServerName_;
}

void TlsServerDouble::Serve(int fd) {
  SSL* ssl = SSL_new(ctx_);
  if (ssl == nullptr) return;
  SSL_set_fd(ssl, fd);
  if (SSL_accept(ssl) == 1) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
      lastServerName_ = name ? name : "";
    }
    handshakes_.fetch_add(1);
    if (handler_) handler_(ssl, *this);
  } else {
    failed_.fetch_add(1);
  }
  SSL_free(ssl);
  ERR_clear_error();
}

namespace {

// True once the peer's close notify arrived; false on error, end of stream or time-out.
bool ReadUntilClose(SSL* ssl) {
  char buf[4096];
  for (;;) {
    const int n = SSL_read(ssl, buf, sizeof buf);
    if (n > 0) continue;
    return SSL_get_error(ssl, n) == SSL_ERROR_ZERO_RETURN;
  }
}

}  // namespace

void TlsServerDouble::AnswerClose(SSL* ssl, const TlsServerDouble&) {
  if (ReadUntilClose(ssl)) SSL_shutdown(ssl);
}

void TlsServerDouble::NeverAnswerClose(SSL* ssl, const TlsServerDouble& server) {
  ReadUntilClose(ssl);
  const auto until = std::chrono::steady_clock::now() + server.ioTimeout_;
  while (!server.Stopping() && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

}  // namespace kovrax::test
