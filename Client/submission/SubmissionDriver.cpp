// Interim submission driver: the request's targets are checked, then the submission stops where
// the voter's certificate would be needed, through the normal failure path.
#include <openssl/err.h>

#include "gateway/ActiveXThreadUnit.h"

namespace kovrax {

void TActiveXThread::Pravi_Kovra(const std::string& /*path*/, const std::string& /*body*/) {
  constexpr const char* kFn = "TActiveXThread::Pravi_Kovra";
  ReplyPending = true;
  ERR_clear_error();
  try {
    if (!IsAllowedUrl(GetParam("Server", Settings.ServerUrl))) KOVRA_RAISE(1055, 1099, kFn);
    if (!IsValidTarget(GetParam("OkURL", Settings.OkUrl)) || !IsValidTarget(GetParam("ErrUrl", Settings.ErrorPage)))
      KOVRA_RAISE(1056, 1101, kFn);
    KOVRA_RAISE(1028, 1104, kFn);
  } catch (const KovraException& e) {
    if (ReplyPending) SendError(e, Settings.ErrorPage);
    throw;
  }
}

}  // namespace kovrax
