// The gateway worker's life: start, listener, serving loop, stop and the notifications it posts.
#include "gateway/ActiveXThreadUnit.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

#include "gateway/HTTPHeaderUnit.h"
#include "shell/Codepage.h"
#include "shell/Messages.h"

namespace kovrax {
namespace {

constexpr const char* kExecute = "TActiveXThread::Execute";
constexpr int kBacklog = 5;
constexpr int kDynamicPorts = 64;
constexpr int kFirstDataMs = 1000;
constexpr const char* kOptionsReply =
    "HTTP/1.1 204 No Content\r\nAllow: GET, POST\r\nConnection: close\r\n"
    "Access-Control-Allow-Origin: *\r\nAccess-Control-Allow-Headers: *\r\n\r\n";

// Plain decimal with an optional sign; anything else is not a port.
bool ParsePort(const std::string& text, long& port) {
  size_t i = (!text.empty() && (text[0] == '-' || text[0] == '+')) ? 1 : 0;
  if (i == text.size() || text.size() - i > 9) return false;
  long v = 0;
  for (size_t k = i; k < text.size(); ++k) {
    if (text[k] < '0' || text[k] > '9') return false;
    v = v * 10 + (text[k] - '0');
  }
  port = text[0] == '-' ? -v : v;
  return true;
}

// Errors of accept that belong to the one connection that was being set up, not to the listener.
bool IsTransientAcceptError(int err) {
  switch (err) {
    case EINTR: case EAGAIN: case ECONNABORTED: case EPROTO: case ENETDOWN: case ENOPROTOOPT:
    case EHOSTDOWN: case ENONET: case EHOSTUNREACH: case EOPNOTSUPP: case ENETUNREACH: case EPERM:
      return true;
    default:
      return false;
  }
}

int BindLoopback(int socket, long port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  return bind(socket, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 ? 0 : errno;
}

}  // namespace

TActiveXThread::TActiveXThread(TSettings settings, TServices services)
    : Settings(std::move(settings)), Services(services) {
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
  try {
    thread_ = std::thread(&TActiveXThread::Run, this);
  } catch (...) {
    close(wakeFd_);
    wakeFd_ = -1;
    throw;
  }
}

TActiveXThread::~TActiveXThread() {
  Stop();
  if (SignerKey) {
    EVP_PKEY_free(SignerKey);
    SignerKey = nullptr;
  }
  X509_free(SignerCert);
  SignerCert = nullptr;
  Receipt.clear();
  Ballot.clear();
  int listenSocket = ListenSocket.exchange(kInvalidSocket);
  if (listenSocket >= 0) close(listenSocket);
  CloseClient();
  if (ServerSocket >= 0) {
    shutdown(ServerSocket, SHUT_RDWR);
    close(ServerSocket);
    ServerSocket = kInvalidSocket;
  }
  // Left only when a submission was cut short. The stream never owns Ssl, so it goes first.
  BIO_free_all(SslBio);
  SslBio = nullptr;
  SSL_CTX_free(SslCtx);
  SslCtx = nullptr;
  SSL_free(Ssl);
  Ssl = nullptr;
  X509_free(PeerCert);
  PeerCert = nullptr;
  Header.reset();
  if (wakeFd_ >= 0) close(wakeFd_);
}

void TActiveXThread::Stop() {
  Terminated = true;
  if (wakeFd_ >= 0) {
    uint64_t one = 1;
    ssize_t ignored = write(wakeFd_, &one, sizeof one);
    (void)ignored;
  }
  {
    // A send to a browser that does not read is woken by the shutdown; the worker closes the socket.
    std::lock_guard<std::mutex> lock(socketMutex_);
    int client = ClientSocket.load();
    if (client >= 0) shutdown(client, SHUT_RDWR);
  }
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

int TActiveXThread::WaitListening(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(listenMutex_);
  listenCv_.wait_for(lock, timeout, [this] { return boundPort_ != 0 || finished_.load(); });
  return (boundPort_ > 0 && !finished_.load()) ? boundPort_ : -1;
}

void TActiveXThread::Run() {
  try {
    Execute();
  } catch (...) {
    // Execute reports its own failures; nothing may leave the thread.
  }
  {
    std::lock_guard<std::mutex> lock(listenMutex_);
    if (boundPort_ == 0) boundPort_ = -1;
    finished_ = true;
  }
  listenCv_.notify_all();
}

void TActiveXThread::CloseClient() {
  int client;
  {
    std::lock_guard<std::mutex> lock(socketMutex_);
    client = ClientSocket.exchange(kInvalidSocket);
  }
  if (client >= 0) {
    shutdown(client, SHUT_RDWR);
    close(client);
  }
}

bool TActiveXThread::SendToClient(const std::string& data) {
  int client = ClientSocket.load();
  if (client < 0) return false;
  ssize_t n;
  do n = send(client, data.data(), data.size(), MSG_NOSIGNAL);
  while (n < 0 && errno == EINTR);
  return n >= 0 && static_cast<size_t>(n) == data.size();
}

int TActiveXThread::BindListener() {
  long p = 0;
  if (!ParsePort(Settings.Port, p) || p < -65535 || p > 65535) {
    Notify(NotifyDone, 0);
    KOVRA_RAISE(1024, 815, kExecute);
  }
  if (p >= 1) {
    int err = BindLoopback(ListenSocket, p);
    if (err == 0) return static_cast<int>(p);
    Notify(NotifyDone, 0);
    if (err == EADDRINUSE) KOVRA_RAISE_ARGS(1045, 825, kExecute, {Settings.Port});
    PostText("R: bind 127.0.0.1:" + std::to_string(p) + ": " + std::system_category().message(err));
    KOVRA_RAISE_CALL("bind", 826, kExecute);
  }
  int found = 0;
  // Port 0 would let the system pick any port, and ports past 65535 do not exist: neither is a candidate.
  for (long candidate = -p; candidate < -p + kDynamicPorts && candidate >= 1 && candidate <= 65535; ++candidate) {
    int err = BindLoopback(ListenSocket, candidate);
    if (err == 0) {
      found = static_cast<int>(candidate);
      break;
    }
    if (err == EADDRINUSE) continue;
    Notify(NotifyDone, 0);
    PostText("R: bind 127.0.0.1:" + std::to_string(candidate) + ": " + std::system_category().message(err));
    KOVRA_RAISE_CALL("bind", 839, kExecute);
  }
  if (found <= 0) {
    Notify(NotifyDone, 0);
    KOVRA_RAISE(1046, 847, kExecute);
  }
  return found;
}

void TActiveXThread::Execute() {
  try {
    try {
      CheckRoots();
      ERR_clear_error();
      // Non-blocking so that a connection reset between poll and accept cannot block the loop.
      int listenSocket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      if (listenSocket < 0) KOVRA_RAISE_CALL("socket", 793, kExecute);
      ListenSocket = listenSocket;
      linger lingerOn{1, 3};
      if (setsockopt(listenSocket, SOL_SOCKET, SO_LINGER, &lingerOn, sizeof lingerOn) != 0)
        KOVRA_RAISE_CALL("setsockopt", 799, kExecute);
      // Without it a restart within a minute of serving fails on the connections still in TIME_WAIT;
      // on Linux it never lets two listeners share a port.
      int on = 1;
      setsockopt(listenSocket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
      int port = BindListener();
      Settings.Port = std::to_string(port);
      // Listening before the owner hears of the port, so that a connection made then is not refused.
      if (listen(ListenSocket, kBacklog) != 0) KOVRA_RAISE_CALL("listen", 862, kExecute);
      {
        std::lock_guard<std::mutex> lock(listenMutex_);
        boundPort_ = port;
      }
      listenCv_.notify_all();

      while (!Terminated) {
        Notify(NotifyText, 0);
        if (listen(ListenSocket, kBacklog) != 0) {
          if (Terminated) break;
          KOVRA_RAISE_CALL("listen", 862, kExecute);
        }
        pollfd fds[2] = {{ListenSocket, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        int ready = poll(fds, 2, -1);
        if (Terminated) break;
        if (ready < 0) {
          if (errno == EINTR) continue;
          KOVRA_RAISE_CALL("accept", 880, kExecute);
        }
        int client = accept4(ListenSocket, nullptr, nullptr, SOCK_CLOEXEC);
        int acceptError = errno;
        if (client >= 0) {
          std::lock_guard<std::mutex> lock(socketMutex_);
          ClientSocket = client;
        }
        Notify(NotifyText, 0);
        Notify(NotifyShow, 5);
        if (Terminated) break;
        if (client < 0) {
          if (IsTransientAcceptError(acceptError)) continue;
          KOVRA_RAISE_CALL("accept", 880, kExecute);
        }
        ServeConnection();
      }
      CloseClient();
      int l = ListenSocket.exchange(kInvalidSocket);
      if (l >= 0) close(l);
    } catch (const KovraException& e) {
      PostSslErrors();
      PostText("R: " + e.Message());
      int l = ListenSocket.exchange(kInvalidSocket);
      if (l >= 0) close(l);
      CloseClient();
    }
  } catch (const std::exception& e) {
    try {
      PostText("R: " + FmtLoadStr(MsgCriticalError, {std::string(e.what())}));
    } catch (...) {
    }
  }
}

void TActiveXThread::ServeConnection() {
  int client = ClientSocket.load();
  int on = 1;
  setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  // A browser that stops reading must not hold the gateway either.
  int timeoutMs = ReadTimeoutMs.load();
  timeval sendTimeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);

  pollfd fds[2] = {{client, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
  int ready;
  do ready = poll(fds, 2, kFirstDataMs);
  while (ready < 0 && errno == EINTR);
  if (Terminated) return;
  if (ready < 0) KOVRA_RAISE_CALL("select", 893, kExecute);
  if (ready == 0 || fds[0].revents == 0) {
    CloseClient();
    return;
  }

  // A request that cannot be read ends its own connection, never the gateway.
  try {
    Header = std::make_unique<THTTPHeader>(client, THeaderLimits{kMaxHeaderBytes, timeoutMs, wakeFd_});
  } catch (const KovraException& e) {
    Header.reset();
    if (Terminated) return;
    PostText("R: " + e.Message());
    CloseClient();
    return;
  } catch (const std::bad_alloc&) {
    KOVRA_RAISE(1030, 898, kExecute);
  }

  const std::string method = Header->Method;
  if (method == "GET") {
    HTTP_Get(Header->Path);
  } else {
    BallotFetchPath.clear();
    ReceiptFetchPath.clear();
    if (method == "OPTIONS")
      SendToClient(kOptionsReply);
    else if (method == "POST")
      HTTP_Post(Header->Path);
  }
  Notify(NotifyShow, 4);
  Header.reset();
  CloseClient();
}

void TActiveXThread::Notify(int code, long long value) {
  if (Services.Notify) Services.Notify->Post(code, value);
}

void TActiveXThread::PostText(const std::string& utf8) {
  if (!Services.Notify) return;
  std::string text = Utf8ToCp1250(utf8);
  if (text.empty()) return;
  Services.Notify->PostText(std::move(text));
}

void TActiveXThread::PostSslErrors() {
  const int thread = static_cast<int>(gettid());
  const char* file = nullptr;
  const char* func = nullptr;
  const char* data = nullptr;
  int line = 0, flags = 0;
  unsigned long code;
  while ((code = ERR_get_error_all(&file, &line, &func, &data, &flags)) != 0) {
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    PostText("R: " + std::to_string(thread) + ":" + text);
  }
}

std::string TActiveXThread::GetParam(const std::string& name, const std::string& def) const {
  return Header ? Header->GetParam(name, def) : def;
}

}  // namespace kovrax
