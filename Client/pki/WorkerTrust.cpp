// The worker's certificate methods: each runs the pki code over the worker's own state.
#include "gateway/ActiveXThreadUnit.h"
#include "pki/IssuerList.h"
#include "pki/PkiSite.h"
#include "pki/TrustStore.h"
#include "pki/VerifyCert.h"
#include "pki/X509Util.h"

namespace kovrax {

namespace pki {
PkiSite SiteOf(TActiveXThread& t) {
  return pki::PkiSite{t.Settings, t.Services, t.RootFlags,
                      [&t](const std::string& name, const std::string& def) { return t.GetParam(name, def); },
                      [&t](const std::string& text) { t.PostText(text); }, t.Ssl};
}
}  // namespace pki

using pki::SiteOf;

bool TActiveXThread::VerifyCert(X509* cert, char kind) {
  pki::PkiSite site = SiteOf(*this);
  return pki::VerifyCert(site, cert, kind);
}

X509_STORE* TActiveXThread::LoadCerts(char kind) {
  pki::PkiSite site = SiteOf(*this);
  return pki::LoadCerts(site, kind);
}

void TActiveXThread::CheckRoots() {
  pki::PkiSite site = SiteOf(*this);
  pki::CheckRoots(site);
}

void TActiveXThread::LoadFromStore(X509_STORE* store, const std::vector<std::string>& permitted,
                                   const std::string& storeName, StoreLocation location) {
  pki::PkiSite site = SiteOf(*this);
  pki::LoadFromStore(site, store, permitted, storeName, location);
}

void TActiveXThread::InstallRoot(const std::vector<unsigned char>& der, const std::string& storeName) {
  pki::PkiSite site = SiteOf(*this);
  pki::InstallRoot(site, der, storeName);
}

std::vector<std::string> TActiveXThread::GetIssuerFPs(const std::string& builtIn, const std::string& param,
                                                      char kind) {
  return pki::GetIssuerFPs(builtIn, param, kind);
}

X509* TActiveXThread::GetX509(const unsigned char* der, std::size_t len) { return pki::GetX509(der, len); }

std::string TActiveXThread::CertThumbprint(X509* cert) { return pki::CertThumbprint(cert); }

}  // namespace kovrax
