// POST: the form is checked and its body read exactly, then handed to the submission.
#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>

#include "gateway/ActiveXThreadUnit.h"
#include "gateway/HTTPHeaderUnit.h"
#include "shell/Messages.h"

namespace kovrax {
namespace {

constexpr const char* kHttpPost = "TActiveXThread::HTTP_Post";

std::string LowerAscii(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

// Plain decimal digits only; -1 for anything else (sign, spaces inside, other forms, too long).
long long ParseLength(const std::string& text) {
  if (text.empty() || text.size() > 18) return -1;
  long long v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return -1;
    v = v * 10 + (c - '0');
  }
  return v;
}

long long NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

void TActiveXThread::HTTP_Post(const std::string& path) {
  ERR_clear_error();
  Notify(NotifyRequest, 0);
  bool succeeded = false;
  try {
    if (!Header || LowerAscii(Header->GetField("Content-Type")) != "application/x-www-form-urlencoded")
      KOVRA_RAISE(1048, 973, kHttpPost);
    long long length = ParseLength(Header->GetField("Content-Length"));
    // Refused before anything is allocated: a ballot form is far smaller.
    if (length < 0 || length > kMaxBodyBytes) KOVRA_RAISE(1026, 977, kHttpPost);
    std::string body;
    try {
      body.resize(static_cast<size_t>(length));
    } catch (const std::bad_alloc&) {
      KOVRA_RAISE(1008, 980, kHttpPost);
    }
    const int client = ClientSocket.load();
    const long long deadline = NowMs() + ReadTimeoutMs.load();
    size_t received = 0;
    while (received < body.size()) {
      pollfd fds[2] = {{client, POLLIN, 0}, {WakeFd(), POLLIN, 0}};
      long long left = deadline - NowMs();
      int ready = left > 0 ? poll(fds, 2, static_cast<int>(left)) : 0;
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0 || (fds[1].revents & POLLIN)) KOVRA_RAISE(1031, 987, kHttpPost);
      ssize_t n = recv(client, body.data() + received, body.size() - received, MSG_DONTWAIT);
      if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
      if (n <= 0) KOVRA_RAISE(1031, 987, kHttpPost);
      received += static_cast<size_t>(n);
    }
    Pravi_Kovra(path, body);
    succeeded = true;
  } catch (const KovraException& e) {
    try {
      PostSslErrors();
      PostText("R: " + e.Message());
    } catch (...) {
    }
  } catch (const std::exception& e) {
    try {
      PostText("R: " + FmtLoadStr(MsgCriticalError, {std::string(e.what())}));
    } catch (...) {
    }
  }
  Notify(NotifyDone, succeeded ? 1 : 0);
}

}  // namespace kovrax
