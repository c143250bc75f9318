#include "pki/VerifyCert.h"

#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include "pki/PkiWorld.h"
#include "pki/TrustStore.h"
#include "pki/X509Util.h"

namespace kovrax::pki {
namespace {

using test::PkiWorld;
using test::SiteHarness;
const PkiWorld& W() { return PkiWorld::Get(); }

struct SslCtxFree { void operator()(SSL_CTX* c) const { SSL_CTX_free(c); } };
struct SslFree { void operator()(SSL* s) const { SSL_free(s); } };

// A TLS session whose two ends talk over an in-memory pair; the client side is what the worker
// holds after connecting to the ballot server.
class Session {
 public:
  // The server presents leaf, then the extra certificates in order.
  Session(X509* leaf, EVP_PKEY* key, const std::vector<X509*>& extra) {
    sctx_.reset(SSL_CTX_new(TLS_server_method()));
    cctx_.reset(SSL_CTX_new(TLS_client_method()));
    SSL_CTX_use_certificate(sctx_.get(), leaf);
    SSL_CTX_use_PrivateKey(sctx_.get(), key);
    for (X509* c : extra) {
      X509_up_ref(c);
      SSL_CTX_add_extra_chain_cert(sctx_.get(), c);
    }
    SSL_CTX_set_verify(cctx_.get(), SSL_VERIFY_NONE, nullptr);
    server_.reset(SSL_new(sctx_.get()));
    client_.reset(SSL_new(cctx_.get()));
    BIO* a = nullptr;
    BIO* b = nullptr;
    BIO_new_bio_pair(&a, 0, &b, 0);
    SSL_set_bio(server_.get(), a, a);
    SSL_set_bio(client_.get(), b, b);
    SSL_set_accept_state(server_.get());
    SSL_set_connect_state(client_.get());
    for (int i = 0; i < 100 && !(SSL_is_init_finished(client_.get()) && SSL_is_init_finished(server_.get())); ++i) {
      SSL_do_handshake(client_.get());
      SSL_do_handshake(server_.get());
    }
  }
  SSL* Client() const { return client_.get(); }
  X509Ptr Peer() const { return X509Ptr(SSL_get1_peer_certificate(client_.get())); }

 private:
  std::unique_ptr<SSL_CTX, SslCtxFree> sctx_, cctx_;
  std::unique_ptr<SSL, SslFree> server_, client_;
};

TEST(VerifyCert, VoterCertificateIsValidForTheUserSideOnly) {
  SiteHarness h;
  CheckRoots(h.Site());
  EXPECT_TRUE(VerifyCert(h.Site(), W().voter.get(), 'u'));
  EXPECT_TRUE(VerifyCert(h.Site(), W().eidVoter.get(), 'u'));
  EXPECT_FALSE(VerifyCert(h.Site(), W().voter.get(), 's'));
}

TEST(VerifyCert, EmbeddedAuthoritiesSufficeWithEmptyStores) {
  SiteHarness h;
  EXPECT_TRUE(VerifyCert(h.Site(), W().voter.get(), 'u'));
}

TEST(VerifyCert, ExpiredVoterCertificateIsInvalid) {
  SiteHarness h;
  EXPECT_FALSE(VerifyCert(h.Site(), W().expiredVoter.get(), 'u'));
}

TEST(VerifyCert, MissingIntermediateIsInvalid) {
  SiteHarness h;
  h.params["CA"] = W().Prefix(kSiTrustRoot);  // the issuing CA is no longer permitted
  EXPECT_FALSE(VerifyCert(h.Site(), W().voter.get(), 'u'));
}

TEST(VerifyCert, ServerCertificateNeedsTheIntermediateItSends) {
  SiteHarness h;
  {
    Session withChain(W().server.get(), W().leafKey.get(), {W().serverSub.cert.get()});
    X509Ptr peer = withChain.Peer();
    ASSERT_NE(peer, nullptr);
    h.Site().Ssl = withChain.Client();
    EXPECT_TRUE(VerifyCert(h.Site(), peer.get(), 's'));
    EXPECT_FALSE(VerifyCert(h.Site(), peer.get(), 'u'));
  }
  {
    Session bare(W().server.get(), W().leafKey.get(), {});
    X509Ptr peer = bare.Peer();
    ASSERT_NE(peer, nullptr);
    h.Site().Ssl = bare.Client();
    EXPECT_FALSE(VerifyCert(h.Site(), peer.get(), 's'));
  }
  h.Site().Ssl = nullptr;
  EXPECT_FALSE(VerifyCert(h.Site(), W().server.get(), 's'));
}

// What the server sends is chain material, never an anchor: a server presenting its own root
// alongside its certificate stays untrusted.
TEST(VerifyCert, SelfSignedRootSentByTheServerIsNotTrusted) {
  SiteHarness h;
  test::Authority rogue;
  rogue.key = test::MakeEcKey();
  test::CertSpec r;
  r.cn = "Rogue Root";
  r.ca = true;
  rogue.cert = test::IssueCert(r, rogue.key.get());
  test::CertSpec s;
  s.cn = "localhost";
  test::CertPtr leaf = test::IssueCert(s, W().leafKey.get(), rogue.cert.get(), rogue.key.get());
  Session session(leaf.get(), W().leafKey.get(), {rogue.cert.get()});
  X509Ptr peer = session.Peer();
  ASSERT_NE(peer, nullptr);
  h.Site().Ssl = session.Client();
  EXPECT_FALSE(VerifyCert(h.Site(), peer.get(), 's'));
}

TEST(VerifyCert, NullCertificateIsInvalid) {
  SiteHarness h;
  EXPECT_FALSE(VerifyCert(h.Site(), nullptr, 'u'));
}

}  // namespace
}  // namespace kovrax::pki
