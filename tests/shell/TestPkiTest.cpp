#include <gtest/gtest.h>
#include <openssl/x509_vfy.h>

#include "support/TestPki.h"

namespace kovrax::test {
namespace {

// The fixture PKI itself must produce chains OpenSSL accepts, or every test built on it lies.
TEST(TestPki, ChainVerifiesAndDerRoundTrips) {
  Authority root = MakeRootCa("Fixture Root");
  Authority sub = MakeSubCa("Fixture Sub", root);
  KeyPtr key = MakeEcKey();
  CertSpec spec;
  spec.cn = "Voter";
  CertPtr leaf = IssueCert(spec, key.get(), sub.cert.get(), sub.key.get());

  X509_STORE* store = X509_STORE_new();
  X509_STORE_add_cert(store, root.cert.get());
  STACK_OF(X509)* chain = sk_X509_new_null();
  sk_X509_push(chain, sub.cert.get());
  X509_STORE_CTX* ctx = X509_STORE_CTX_new();
  X509_STORE_CTX_init(ctx, store, leaf.get(), chain);
  EXPECT_EQ(X509_verify_cert(ctx), 1) << X509_verify_cert_error_string(X509_STORE_CTX_get_error(ctx));
  X509_STORE_CTX_free(ctx);
  sk_X509_free(chain);
  X509_STORE_free(store);

  CertPtr back = FromDer(ToDer(leaf.get()));
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(Sha1Hex(back.get()), Sha1Hex(leaf.get()));
  EXPECT_EQ(Sha1Hex(leaf.get()).size(), 40u);
}

}  // namespace
}  // namespace kovrax::test
