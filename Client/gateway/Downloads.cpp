// Downloads of the receipt and the signed ballot of the last submission.
#include <algorithm>
#include <vector>

#include "gateway/ActiveXThreadUnit.h"
#include "gateway/GatewayText.h"
#include "gateway/HTTPHeaderUnit.h"
#include "shell/Messages.h"

namespace kovrax {
namespace {

struct DownloadSites {
  const char* function;
  int nothing, header, piece, stopped;
};

constexpr size_t kPiece = 1024;

void SendDownload(TActiveXThread& t, const std::vector<unsigned char>& data, const DownloadSites& at) {
  if (data.empty()) KOVRA_RAISE(1035, at.nothing, at.function);
  std::string header = http::DownloadHeader(t.Header ? t.Header->Version : std::string(), data.size());
  t.ReplyPending = false;
  if (!t.SendToClient(header)) KOVRA_RAISE_CALL("send", at.header, at.function);
  for (size_t offset = 0; offset < data.size(); offset += kPiece) {
    size_t n = std::min(kPiece, data.size() - offset);
    std::string piece(reinterpret_cast<const char*>(data.data()) + offset, n);
    if (!t.SendToClient(piece)) KOVRA_RAISE_CALL("send", at.piece, at.function);
    if (t.Terminated) KOVRA_RAISE(1003, at.stopped, at.function);
  }
  t.PostText("B: " + LoadStr(2009));
}

}  // namespace

namespace http {

std::string DownloadHeader(const std::string& version, size_t length) {
  return version + " 200 OK\r\nContent-Length: " + std::to_string(length) +
         "\r\nContent-Type: application/octet-stream\r\nConnection: close\r\nAccess-Control-Allow-Origin: *\r\n\r\n";
}

}  // namespace http

void TActiveXThread::GetReceipt() {
  SendDownload(*this, Receipt, {"TActiveXThread::GetReceipt", 2617, 2624, 2631, 2633});
}

void TActiveXThread::GetBallot() {
  SendDownload(*this, Ballot, {"TActiveXThread::GetBallot", 2650, 2657, 2664, 2666});
}

}  // namespace kovrax
