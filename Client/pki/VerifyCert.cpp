#include "pki/VerifyCert.h"

#include <openssl/ssl.h>

#include "pki/TrustStore.h"
#include "pki/X509Util.h"

namespace kovrax::pki {

namespace {
struct X509StackDeleter {
  void operator()(STACK_OF(X509)* s) const { sk_X509_free(s); }  // the certificates stay the session's
};
using X509StackPtr = std::unique_ptr<STACK_OF(X509), X509StackDeleter>;
}  // namespace

bool VerifyCert(PkiSite& site, X509* cert, char kind) {
  X509StorePtr store(LoadCerts(site, kind));
  if (cert == nullptr) return false;

  // What the peer sent goes in as untrusted material only: a server that adds a self-signed
  // certificate of its own choosing to its chain must not thereby make it an anchor.
  X509StackPtr untrusted;
  if (site.Ssl != nullptr) {
    STACK_OF(X509)* peer = SSL_get_peer_cert_chain(site.Ssl);
    const int n = peer != nullptr ? sk_X509_num(peer) : 0;
    if (n >= 2) {
      untrusted.reset(sk_X509_new_null());
      if (!untrusted) return false;
      for (int i = 1; i < n; ++i) {
        X509* c = sk_X509_value(peer, i);
        if (c != cert && !sk_X509_push(untrusted.get(), c)) return false;
      }
    }
  }

  X509StoreCtxPtr ctx(X509_STORE_CTX_new());
  if (!ctx) return false;
  if (X509_STORE_CTX_init(ctx.get(), store.get(), cert, untrusted.get()) != 1) return false;
  const bool ok = X509_verify_cert(ctx.get()) > 0;
  X509_STORE_CTX_cleanup(ctx.get());
  return ok;
}

}  // namespace kovrax::pki
