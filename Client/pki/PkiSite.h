// What the certificate code needs of the worker that runs it: its settings and services, the
// current request's parameters, the log, the RootFlags scratch state and the TLS session. The
// worker builds one per call; tests build their own.
#pragma once
#include <openssl/ssl.h>

#include <array>
#include <functional>
#include <string>

#include "gateway/ActiveXThreadUnit.h"
#include "pki/TrustAnchors.h"

namespace kovrax::pki {

struct PkiSite {
  const TSettings& Settings;
  const TServices& Services;
  std::array<bool, 5>& RootFlags;
  // Request parameter by name, with a default.
  std::function<std::string(const std::string& name, const std::string& def)> GetParam;
  // A log line, UTF-8 with its colour prefix.
  std::function<void(const std::string& utf8)> PostText;
  SSL* Ssl = nullptr;  // the session whose peer chain VerifyCert may use; not owned

  // The authority table in force: the injected one, else the compiled-in one.
  const AuthorityTable& Authorities() const;
};

// The site of a worker: its own state and its request.
PkiSite SiteOf(TActiveXThread& worker);

}  // namespace kovrax::pki
