#include "net/TlsClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>
#include <poll.h>

#include <memory>

#include "shell/KovraException.h"
#include "shell/Settings.h"

namespace kovrax {
namespace {

constexpr const char* kInitFunc = "TActiveXThread::Init_SSL";
constexpr const char* kDriverFunc = "TActiveXThread::Pravi_Kovra";

enum InitSite : int {
  kLineContext = 1716,
  kLineCipher = 1727,
};

enum SessionSite : int {
  kLineSslNew = 1149,
  kLineSetFd = 1151,
  kLineHandshake = 1159,
  kLinePeerCert = 1163,
  kLineServerInvalid = 1167,
  kLineBio = 1171,
};

constexpr std::chrono::milliseconds kShutdownRetry{100};

struct SslCtxFree {
  void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};

// The fixed protocol table; a value outside it has no method. There is no SSL 3.0 client in
// this library, so "SSLv3" is outside it as well.
const SSL_METHOD* ClientMethod(const std::string& protocol) {
  if (protocol == "TLSv12") return TLSv1_2_client_method();
  if (protocol == "TLSv1") return TLSv1_client_method();
  if (protocol == "SSLv23") return TLS_client_method();
  return nullptr;
}

}  // namespace

SSL_CTX* NewTlsClientContext(const TlsContextOptions& options, const std::function<X509_STORE*()>& makeTrustStore) {
  const SSL_METHOD* method = ClientMethod(options.Protocol);
  std::unique_ptr<SSL_CTX, SslCtxFree> ctx(method ? SSL_CTX_new(method) : nullptr);
  if (!ctx) KOVRA_RAISE_CALL("SSL_CTX_new", kLineContext, kInitFunc);
  SSL_CTX_set_cert_store(ctx.get(), makeTrustStore());
  if (options.CipherSetting && SSL_CTX_set_cipher_list(ctx.get(), options.Cipher.c_str()) != 1)
    KOVRA_RAISE_CALL("SSL_CTX_set_cipher_list", kLineCipher, kInitFunc);
  return ctx.release();
}

bool VerifyServerCertificate(const std::string& verifyFlags) { return (TSettings::ToInt(verifyFlags, 3) & 1) != 0; }

bool CertificateNamesHost(X509* cert, const std::string& host) {
  if (cert == nullptr || host.empty()) return false;
  in6_addr probe;
  if (inet_pton(AF_INET, host.c_str(), &probe) == 1 || inet_pton(AF_INET6, host.c_str(), &probe) == 1)
    return X509_check_ip_asc(cert, host.c_str(), 0) == 1;
  return X509_check_host(cert, host.data(), host.size(), X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS, nullptr) == 1;
}

void OpenTlsSession(const TlsSessionOptions& options, SSL*& ssl, X509*& peerCert, BIO*& sslBio) {
  ssl = SSL_new(options.Ctx);
  if (ssl == nullptr) KOVRA_RAISE_CALL("SSL_new", kLineSslNew, kDriverFunc);
  if (SSL_set_fd(ssl, options.Socket) != 1) KOVRA_RAISE_CALL("SSL_set_fd", kLineSetFd, kDriverFunc);
  SSL_set_tlsext_host_name(ssl, options.ServerHost.c_str());
  if (SSL_connect(ssl) == -1) KOVRA_RAISE(1021, kLineHandshake, kDriverFunc);
  peerCert = SSL_get1_peer_certificate(ssl);
  if (peerCert == nullptr) KOVRA_RAISE(1032, kLinePeerCert, kDriverFunc);
  // A chain to a server-side anchor is not enough: any certificate publicly issued under such an
  // anchor would pass, so the certificate must also name the ballot server.
  if (options.VerifyServer &&
      (!options.ChainTrusted || !options.ChainTrusted(peerCert) || !CertificateNamesHost(peerCert, options.ServerHost)))
    KOVRA_RAISE(1051, kLineServerInvalid, kDriverFunc);

  BIO* tls = BIO_new(BIO_f_ssl());
  if (tls == nullptr) KOVRA_RAISE_CALL("BIO_new", kLineBio, kDriverFunc);
  BIO_set_ssl(tls, ssl, BIO_NOCLOSE);
  if (!options.NewLineReader) {
    sslBio = tls;
    return;
  }
  BIO* reader = options.NewLineReader();
  if (reader == nullptr) {
    BIO_free(tls);
    KOVRA_RAISE_CALL("BIO_new", kLineBio, kDriverFunc);
  }
  sslBio = BIO_push(reader, tls);
}

void CloseTlsSession(SSL*& ssl, SSL_CTX*& ctx, X509*& peerCert, BIO*& sslBio,
                     const std::function<void(const std::string&)>& postText, std::chrono::milliseconds wait) {
  // The stream holds the session without owning it; it goes first so that nothing refers to a
  // freed session.
  if (sslBio != nullptr) {
    BIO_free_all(sslBio);
    sslBio = nullptr;
  }
  if (ssl != nullptr) {
    // A blocking read for the peer's answer could wait as long as the socket's I/O time-out:
    // wait for it without blocking, at most `wait` in all.
    const int fd = SSL_get_fd(ssl);
    const int flags = fd >= 0 ? fcntl(fd, F_GETFL, 0) : -1;
    if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
      const int r = SSL_shutdown(ssl);
      if (r == 1) break;
      if (r < 0) {
        const int e = SSL_get_error(ssl, r);
        if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) break;
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{fd, POLLIN, 0};
      poll(&p, fd >= 0 ? 1 : 0, static_cast<int>(std::min(left, kShutdownRetry).count()));
    }
    if (flags >= 0) fcntl(fd, F_SETFL, flags);
    if ((SSL_get_shutdown(ssl) & (SSL_SENT_SHUTDOWN | SSL_RECEIVED_SHUTDOWN)) !=
            (SSL_SENT_SHUTDOWN | SSL_RECEIVED_SHUTDOWN) &&
        postText)
      postText("R: TActiveXThread::Exit_SSL" + LoadStr(1047));
    SSL_free(ssl);
  }
  ssl = nullptr;
  if (ctx != nullptr) {
    SSL_CTX_free(ctx);
    ctx = nullptr;
  }
  if (peerCert != nullptr) {
    X509_free(peerCert);
    peerCert = nullptr;
  }
}

}  // namespace kovrax
