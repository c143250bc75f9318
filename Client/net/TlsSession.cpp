// The worker's TLS session: context, opening on the connected server socket, and close.
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <memory>

#include "gateway/ActiveXThreadUnit.h"
#include "net/TlsClient.h"
#include "platform/PlatformKeys.h"

namespace kovrax {
namespace {

constexpr const char* kInitFunc = "TActiveXThread::Init_SSL";
constexpr int kLineNoSigner = 1708;
constexpr int kLineTerminated = 1731;

struct SslCtxFree {
  void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};

}  // namespace

SSL_CTX* TActiveXThread::Init_SSL() {
  ERR_clear_error();
  if (SignerCert == nullptr || SignerKey == nullptr) KOVRA_RAISE(1005, kLineNoSigner, kInitFunc);
  OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);

  TlsContextOptions options;
  options.Protocol = GetParam("Protocol", Settings.Protocol);
  options.CipherSetting = !Settings.Cipher.empty();
  // The setting is the parameter's default, like every other request parameter's.
  if (options.CipherSetting) options.Cipher = GetParam("Cipher", Settings.Cipher);
  std::unique_ptr<SSL_CTX, SslCtxFree> ctx(NewTlsClientContext(options, [this] { return LoadCerts('s'); }));
  if (Terminated.load()) KOVRA_RAISE(1003, kLineTerminated, kInitFunc);
  return ctx.release();
}

void TActiveXThread::OpenSession() {
  TlsSessionOptions options;
  options.Ctx = SslCtx;
  options.Socket = ServerSocket;
  options.ServerHost = ServerHost;
  options.VerifyServer = VerifyServerCertificate(Settings.VerifyFlags);
  options.ChainTrusted = [this](X509* cert) { return VerifyCert(cert, 's'); };
  options.NewLineReader = [] { return NewLineReaderBio(); };
  OpenTlsSession(options, Ssl, PeerCert, SslBio);
}

void TActiveXThread::Exit_SSL() {
  CloseTlsSession(Ssl, SslCtx, PeerCert, SslBio, [this](const std::string& text) { PostText(text); });
}

}  // namespace kovrax
