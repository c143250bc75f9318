#include "TokenWorld.h"

#include <gtest/gtest.h>

namespace kovrax::test {

TokenWorld& World() {
  // Destroyed at exit: the module is finalised and the token folder removed.
  static std::unique_ptr<TokenWorld> world = [] {
    auto w = std::make_unique<TokenWorld>();
    // An EC authority: one RSA key generation less for every test process.
    w->ca.key = MakeEcKey();
    CertSpec caSpec;
    caSpec.cn = "Token Test CA";
    caSpec.ca = true;
    w->ca.cert = IssueCert(caSpec, w->ca.key.get());
    w->rsaKey = MakeRsaKey(2048);
    w->ecKey = MakeEcKey();
    w->spareKey = MakeEcKey();
    w->goneKey = MakeEcKey();
    CertSpec spec;
    spec.cn = "Janez Novak";
    spec.keyUsage = "digitalSignature,nonRepudiation";
    w->rsaCert = IssueCert(spec, w->rsaKey.get(), w->ca.cert.get(), w->ca.key.get());
    spec.cn = "Janez Novak EC";
    w->ecCert = IssueCert(spec, w->ecKey.get(), w->ca.cert.get(), w->ca.key.get());
    spec.cn = "Spare Holder";
    w->spareCert = IssueCert(spec, w->spareKey.get(), w->ca.cert.get(), w->ca.key.get());
    spec.cn = "Gone Holder";
    w->goneCert = IssueCert(spec, w->goneKey.get(), w->ca.cert.get(), w->ca.key.get());
    w->token = std::make_unique<SoftHsmToken>(
        "Voter", TokenWorld::kPin,
        std::vector<TokenObject>{MakeTokenObject("01", w->rsaKey.get(), w->rsaCert.get(), "signing RSA"),
                                 MakeTokenObject("02", w->ecKey.get(), w->ecCert.get(), "signing EC"),
                                 MakeTokenObject("03", nullptr, w->ca.cert.get(), "authority")});
    w->token->AddToken("Spare", TokenWorld::kSparePin,
                       {MakeTokenObject("01", w->spareKey.get(), w->spareCert.get()),
                        MakeTokenObject("02", w->rsaKey.get(), w->rsaCert.get())});
    w->token->AddToken("Gone", TokenWorld::kPin, {MakeTokenObject("01", w->goneKey.get(), w->goneCert.get())});
    std::string error;
    w->keys = KeyStorage::Load(SoftHsmToken::ModulePath(), &error);
    if (!w->keys) throw std::runtime_error("KeyStorage::Load: " + error);
    return w;
  }();
  return *world;
}

CertContextPtr TokenWorld::Find(X509* cert) const {
  Bytes der = ToDer(cert);
  for (const auto& c : keys->PersonalCertificates())
    if (c->Der == der) return c;
  ADD_FAILURE() << "certificate not in MY";
  return nullptr;
}

}  // namespace kovrax::test
