// GET: the receipt and ballot downloads, the status page, the icon, and the error reply otherwise.
#include <openssl/err.h>

#include "gateway/ActiveXThreadUnit.h"
#include "gateway/HTTPHeaderUnit.h"
#include "shell/Messages.h"

namespace kovrax {

void TActiveXThread::HTTP_Get(const std::string& path) {
  ReplyPending = true;
  ERR_clear_error();
  Notify(NotifyRequest, 0);
  // The 404 reply answers an unknown path, but the 500 reply stays the default of later requests.
  std::string defaultTarget = Settings.ErrorPage;
  try {
    if (!ReceiptFetchPath.empty() && http::EqualsNoCase(path, ReceiptFetchPath)) {
      GetReceipt();
    } else if (!BallotFetchPath.empty() && http::EqualsNoCase(path, BallotFetchPath)) {
      GetBallot();
    } else if (path == "/") {
      GetStatus();
    } else {
      defaultTarget = LoadTextResource("Error404");
      if (!http::EqualsNoCase(path, "/favicon.ico")) KOVRA_RAISE(1054, 1049, "TActiveXThread::HTTP_Get");
    }
    Notify(NotifyDone, 1);
  } catch (const KovraException& e) {
    try {
      if (ReplyPending) {
        if (LastErrUrl.empty()) LastErrUrl = GetParam("ErrURL", defaultTarget);
        SendError(e, LastErrUrl);
      }
      PostText("R: " + e.Message());
    } catch (...) {
    }
    Notify(NotifyDone, 0);
  } catch (const std::exception& e) {
    try {
      PostText("R: " + FmtLoadStr(MsgCriticalError, {std::string(e.what())}));
    } catch (...) {
    }
    Notify(NotifyDone, 0);
  }
}

}  // namespace kovrax
