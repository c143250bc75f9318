// One ballot submission on the worker: targets checked, signer chosen, TLS to the ballot server
// (directly or through a proxy), the exchange of Cmd_TxSIG, teardown. Any failure sends the one
// error reply the browser is still owed and releases everything the submission opened.
#include <cxxabi.h>
#include <openssl/err.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <typeinfo>

#include "gateway/ActiveXThreadUnit.h"
#include "platform/PlatformKeys.h"
#include "shell/Messages.h"
#include "submission/ReceiptCheck.h"
#include "submission/ReplyReader.h"

namespace kovrax {
namespace {

constexpr const char* kDriver = "TActiveXThread::Pravi_Kovra";
// A host part that would not fit ServerHost.
constexpr int kLineHostTooLong = 1114;
// A failure of another type than the program's own.
constexpr int kLineForeignFailure = 1179;

struct StoreFree {
  void operator()(X509_STORE* s) const { X509_STORE_free(s); }
};

std::string TypeName(const std::type_info& type) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> name(abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), std::free);
  return status == 0 && name ? std::string(name.get()) : std::string(type.name());
}

}  // namespace

void TActiveXThread::Pravi_Kovra(const std::string& /*path*/, const std::string& body) {
  ReplyPending = true;
  ERR_clear_error();

  // Whatever was opened is released on every way out; the browser gets its error reply first.
  auto fail = [this](const KovraException& e) {
    if (ReplyPending) {
      ReplyPending = false;
      try {
        SendError(e, Settings.ErrorPage);
      } catch (...) {
        // The reply could not be made; the release below must still happen.
      }
    }
    Exit_SSL();
    if (ServerSocket != kInvalidSocket) {
      shutdown(ServerSocket, SHUT_RDWR);
      close(ServerSocket);
      ServerSocket = kInvalidSocket;
    }
    ReleaseSignerKey(SignerKey);
  };

  try {
    if (!IsAllowedUrl(GetParam("Server", Settings.ServerUrl))) KOVRA_RAISE(1055, 1099, kDriver);
    if (!IsValidTarget(GetParam("OkURL", Settings.OkUrl)) || !IsValidTarget(GetParam("ErrUrl", Settings.ErrorPage)))
      KOVRA_RAISE(1056, 1101, kDriver);
    // The previous submission's certificate stays until here; the choice replaces it, so the
    // worker must let go of it first or every ballot would leave one behind.
    X509_free(SignerCert);
    SignerCert = nullptr;
    ReleaseSignerKey(SignerKey);
    if (!LoadFromCAPI(SignerKey, SignerCert)) KOVRA_RAISE(1028, 1104, kDriver);
    SslCtx = Init_SSL();

    std::string server = GetParam("Server", Settings.ServerUrl);
    if (strncasecmp(server.c_str(), "https://", 8) != 0) KOVRA_RAISE(1057, 1110, kDriver);
    server.erase(0, 8);
    const size_t slash = server.find('/');
    if (slash == std::string::npos) KOVRA_RAISE(1058, 1113, kDriver);
    const std::string serverPath = server.substr(slash);
    const std::string hostport = server.substr(0, slash);
    // The host name is sent as server name and "Host"; one that does not fit is refused, not cut.
    if (hostport.size() >= 256) KOVRA_RAISE(1058, kLineHostTooLong, kDriver);

    PostText("B: " + FmtLoadStr(2003, {hostport}));
    Notify(NotifyConnecting, 0);
    Notify(NotifyShow, 1);

    ServerSocket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (ServerSocket < 0) {
      ServerSocket = kInvalidSocket;
      KOVRA_RAISE_CALL("socket", 1125, kDriver);
    }
    const linger lingerOn{1, 3};
    if (setsockopt(ServerSocket, SOL_SOCKET, SO_LINGER, &lingerOn, sizeof lingerOn) != 0)
      KOVRA_RAISE_CALL("setsockopt", 1131, kDriver);
    // The request goes out in small TLS records, header first: without this every record after
    // the first waits for the server's delayed acknowledgement.
    const int noDelay = 1;
    setsockopt(ServerSocket, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    if (Terminated.load()) KOVRA_RAISE(1003, 1134, kDriver);
    Connect_socket(hostport);
    if (Terminated.load()) KOVRA_RAISE(1003, 1139, kDriver);
    Notify(NotifyConnected, 0);
    Notify(NotifyShow, 2);
    PostText("B: " + FmtLoadStr(2006, {hostport}));

    ServerHost = hostport.substr(0, hostport.find(':'));
    OpenSession();

    Cmd_TxSIG(serverPath, body);
    if (Terminated.load()) KOVRA_RAISE(1003, 1177, kDriver);

    Exit_SSL();
    shutdown(ServerSocket, SHUT_RDWR);
    close(ServerSocket);
    ServerSocket = kInvalidSocket;
    ReleaseSignerKey(SignerKey);
  } catch (const KovraException& e) {
    fail(e);
    throw;
  } catch (const std::exception& e) {
    // Not the program's own failure (a library's, out of memory): the same way out, so the
    // browser is not left waiting and nothing stays open until the next submission.
    KovraException own(__FILE__, FmtArgs{TypeName(typeid(e))}, MsgCriticalError, kLineForeignFailure, kDriver);
    fail(own);
    throw own;
  } catch (...) {
    KovraException own(__FILE__, FmtArgs{std::string("unknown")}, MsgCriticalError, kLineForeignFailure, kDriver);
    fail(own);
    throw own;
  }
}

void TActiveXThread::ReadServerReply(const std::string& /*path*/) {
  std::string serverStatus;
  submission::ReceiptCmsPtr receipt = submission::ReadReceipt(SslBio, serverStatus);
  PostText("B: " + LoadStr(2008));
  Settings.ReceiptDocument = submission::ReceiptDocumentOf(serverStatus);

  std::unique_ptr<X509_STORE, StoreFree> store(LoadCerts('s'));
  submission::VerifyReceipt(receipt.get(), BallotCms.get(), store.get(), TSettings::ToInt(Settings.VerifyFlags, 3),
                            Settings.ReceiptSignerUnit, Settings.ReceiptSignerOrganization);
  store.reset();
  submission::CheckReceiptTime(receipt.get(), BallotCms.get(), ReceiptNotBefore,
                               TSettings::ToInt(Settings.TimeTolerance, 30));

  Receipt = submission::EncodeReceipt(receipt.get());
  receipt.reset();
  BallotCms.reset();
  PostText("B: " + LoadStr(2009));

  ReplyPending = false;
  Redirect(ClientSocket, GetParam("OkURL", Settings.OkUrl), 1);
  Settings.ReceiptDocument.clear();
  ReceiptFetchPath = GetParam("Povratnica", Settings.ReceiptPath);
  BallotFetchPath = GetParam("Glasovnica", Settings.BallotPath);
  LastErrUrl = GetParam("ErrUrl", Settings.ErrorPage);
}

}  // namespace kovrax
