// Redirects, prepared replies, the refusal of a target and the error reply of a failed request.
#include <sys/socket.h>

#include <cerrno>

#include "gateway/ActiveXThreadUnit.h"
#include "gateway/GatewayText.h"
#include "gateway/HTTPHeaderUnit.h"
#include "shell/Codepage.h"
#include "shell/Messages.h"

namespace kovrax {
namespace {

constexpr const char* kReencode = "TActiveXThread::URLReencode";

// One send on a socket; replies of this kind ignore the outcome.
void SendOn(int socket, const std::string& data) {
  if (socket < 0) return;
  ssize_t n;
  do n = send(socket, data.data(), data.size(), MSG_NOSIGNAL);
  while (n < 0 && errno == EINTR);
}

bool IsPreparedReply(const std::string& target) { return http::StartsWithNoCase(target, "HTTP/1.1 "); }

}  // namespace

namespace http {

std::string RefusedTargetReply() {
  return "HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain; charset=windows-1250\r\nConnection: close\r\n\r\n" +
         Utf8ToCp1250(LoadStr(1062)) + "\r\n";
}

std::string RedirectReply(const std::string& target) { return "HTTP/1.1 302\r\nLocation: " + target + "\r\n\r\n"; }

std::string ErrorCodeText(const KovraException& e, const std::string& detailedErrorCode) {
  if (TSettings::ToInt(detailedErrorCode, 0) == 0) return std::to_string(e.Line);
  size_t slash = e.FileName.find_last_of("/\\");
  std::string base = slash == std::string::npos ? e.FileName : e.FileName.substr(slash + 1);
  return base + "\\" + e.FunctionName + "@" + std::to_string(e.Line);
}

std::string ReplaceNoCase(const std::string& value, const std::string& placeholder, const std::string& text) {
  if (placeholder.empty()) return value;
  std::string out;
  size_t i = 0;
  while (i < value.size()) {
    if (value.size() - i >= placeholder.size() && EqualsNoCase(value.substr(i, placeholder.size()), placeholder)) {
      out += text;
      i += placeholder.size();
    } else {
      out += value[i++];
    }
  }
  return out;
}

}  // namespace http

std::string TActiveXThread::URLReencode(const std::string& url, int flags) {
  std::string scheme, rest;
  if (http::StartsWithNoCase(url, "http://")) {
    scheme = "http";
    rest = url.substr(7);
  } else if (http::StartsWithNoCase(url, "https://")) {
    scheme = "https";
    rest = url.substr(8);
  } else {
    KOVRA_RAISE(1054, 2824, kReencode);
  }
  size_t slash = rest.find('/');
  if (slash == std::string::npos) KOVRA_RAISE(1054, 2827, kReencode);
  std::string host = rest.substr(0, slash);
  std::string path = rest.substr(slash);
  size_t question = path.find('?');
  if (question == std::string::npos) return scheme + "://" + host + path;
  std::string query = path.substr(question + 1);
  path.resize(question);

  const struct {
    int bit;
    const char* placeholder;
    const std::string& text;
  } kSlots[] = {{1, "$(Dokument)", Settings.ReceiptDocument},
                {2, "$(Koda)", Settings.ErrorCode},
                {4, "$(Opis)", Settings.ErrorText}};
  std::string rebuilt;
  size_t pos = 0;
  for (;;) {
    size_t amp = query.find('&', pos);
    std::string item = query.substr(pos, amp == std::string::npos ? std::string::npos : amp - pos);
    size_t eq = item.find('=');
    // A bare name stays as it is, in its place.
    if (eq != std::string::npos) {
      std::string value = URLDecode(item.substr(eq + 1));
      for (const auto& slot : kSlots)
        if (flags & slot.bit) value = http::ReplaceNoCase(value, slot.placeholder, slot.text);
      item = item.substr(0, eq) + "=" + URLEncode(value);
    }
    if (pos > 0) rebuilt += '&';
    rebuilt += item;
    if (amp == std::string::npos) break;
    pos = amp + 1;
  }
  return scheme + "://" + host + path + "?" + rebuilt;
}

void TActiveXThread::Redirect(int socket, const std::string& target, int flags) {
  ReplyPending = false;
  if (IsPreparedReply(target)) {
    SendOn(socket, target);
    return;
  }
  if (IsAllowedUrl(target)) {
    std::string rebuilt;
    try {
      rebuilt = URLReencode(target, flags);
    } catch (const KovraException&) {
      // An allowed url without a path ("https://host?x") cannot be rebuilt: refuse it like any other.
      SendOn(socket, http::RefusedTargetReply());
      return;
    }
    SendOn(socket, http::RedirectReply(rebuilt));
    return;
  }
  SendOn(socket, http::RefusedTargetReply());
}

void TActiveXThread::SendError(const KovraException& e, const std::string& defaultTarget) {
  std::string target = GetParam("ErrUrl", defaultTarget);
  Settings.ErrorCode = http::ErrorCodeText(e, Settings.DetailedErrorCode);
  Settings.ErrorText = e.Message();
  if (IsPreparedReply(target)) {
    ReplyPending = false;
    SendOn(ClientSocket.load(), target);
    return;
  }
  Redirect(ClientSocket.load(), target, 6);
  Settings.ReceiptDocument.clear();
  Settings.ErrorCode.clear();
  Settings.ErrorText.clear();
}

}  // namespace kovrax
