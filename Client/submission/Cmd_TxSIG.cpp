// One ballot to the server: sign the posted form, send it, then hand over to the reply reader.
#include <openssl/err.h>

#include <chrono>
#include <thread>

#include "gateway/ActiveXThreadUnit.h"
#include "shell/Messages.h"
#include "submission/ServerRequest.h"
#include "submission/SignedBallot.h"

namespace kovrax {

void TActiveXThread::Cmd_TxSIG(const std::string& path, const std::string& body) {
  constexpr const char* kFunc = "TActiveXThread::Cmd_TxSIG";
  try {
    ERR_clear_error();
    // The body is always present here (an empty form is an empty text), so the "no data"
    // failure of a missing body cannot arise.
    if (submission::HasReservedField(body)) KOVRA_RAISE(1059, 1405, kFunc);

    const std::string server = GetParam("Server", Settings.ServerUrl);
    const std::string profile = GetParam("Profil", submission::kDefaultProfile);
    // The profile goes into a header line of the request: a CR or LF would forge headers.
    if (!submission::IsUsableProfile(profile)) KOVRA_RAISE(1050, 1407, kFunc);

    submission::SignedBallot ballot =
        submission::SignContent(submission::BuildSignedContent(body, server, profile), SignerKey, SignerCert, profile);
    Ballot = std::move(ballot.der);
    BallotCms.reset(ballot.cms.release());
    Notify(NotifySendStart, static_cast<long long>(Ballot.size()));

    ReceiptNotBefore =
        std::chrono::system_clock::now() - std::chrono::seconds(TSettings::ToInt(Settings.TimeTolerance, 30));
    // Keeps the server's receipt time clear of the ballot's own second.
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));

    const std::string header = submission::BuildRequestHeader(path, ServerHost, submission::HostResolves(ServerHost),
                                                              Ballot.size(), profile);
    // A failed header write shows up in the body's first piece.
    BIO_write(SslBio, header.data(), static_cast<int>(header.size()));
    PostText("B: " + LoadStr(2002));
    submission::SendInPieces(
        SslBio, Ballot, [this](long long sent) { Notify(NotifySendProgress, sent); },
        [this] { return Terminated.load(); });
    Notify(NotifySendEnd, 0);
    PostText("B: " + LoadStr(2007));

    ReadServerReply(path);
    BallotCms.reset();
  } catch (...) {
    // A failed submission leaves nothing to download, whatever the failure was.
    Notify(NotifySendEnd, 0);
    std::vector<unsigned char>().swap(Receipt);
    std::vector<unsigned char>().swap(Ballot);
    BallotCms.reset();
    Settings.ReceiptDocument.clear();
    throw;
  }
}

}  // namespace kovrax
