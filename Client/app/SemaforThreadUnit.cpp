#include "SemaforThreadUnit.h"

#include <openssl/evp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <vector>

namespace kovrax {
namespace {

constexpr int kConnectAttempts = 40;  // a first copy between bind and listen, or just ending

socklen_t AbstractAddress(const std::string& name, sockaddr_un& addr) {
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  const size_t len = std::min(name.size(), sizeof(addr.sun_path) - 1);
  std::memcpy(addr.sun_path + 1, name.data(), len);  // leading NUL: abstract namespace
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + len);
}

bool PeerIsUs(int fd) {
  ucred cred{};
  socklen_t len = sizeof cred;
  return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && cred.uid == getuid();
}

}  // namespace

std::string ProgramPath() {
  std::vector<char> buf(4096);
  const ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  return n > 0 ? std::string(buf.data(), static_cast<size_t>(n)) : std::string();
}

std::string SingleInstanceName(const std::string& programPath, uid_t uid) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int mdLen = 0;
  EVP_Digest(programPath.data(), programPath.size(), md, &mdLen, EVP_sha256(), nullptr);
  static const char* hex = "0123456789abcdef";
  std::string name = "kovrax." + std::to_string(uid) + ".";
  for (unsigned int i = 0; i < 16 && i < mdLen; ++i) {
    name += hex[md[i] >> 4];
    name += hex[md[i] & 15];
  }
  return name;
}

TSemaforThread::TSemaforThread(int listenFd, int wakeFd) : listenFd_(listenFd), wakeFd_(wakeFd) {}

TSemaforThread::~TSemaforThread() {
  Terminate();
  if (listenFd_ >= 0) close(listenFd_);
  if (wakeFd_ >= 0) close(wakeFd_);
}

TSemaforThread::Claim TSemaforThread::ClaimName(const std::string& name, std::unique_ptr<TSemaforThread>* out) {
  sockaddr_un addr;
  const socklen_t addrLen = AbstractAddress(name, addr);
  for (int attempt = 0; attempt < kConnectAttempts; ++attempt) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return Claim::Failed;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), addrLen) == 0) {
      if (listen(fd, 8) != 0) {
        close(fd);
        return Claim::Failed;
      }
      const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
      if (wake < 0) {
        close(fd);
        return Claim::Failed;
      }
      out->reset(new TSemaforThread(fd, wake));
      return Claim::First;
    }
    if (errno != EADDRINUSE) {
      close(fd);
      return Claim::Failed;
    }
    // Held: tell the holder, if it is ours.
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), addrLen) == 0) {
      if (!PeerIsUs(fd)) {
        // Somebody else sits on our name; refusing to start would let them lock us out.
        close(fd);
        out->reset();
        return Claim::First;
      }
      const char signal = 1;
      ssize_t rc;
      do rc = send(fd, &signal, 1, MSG_NOSIGNAL);
      while (rc < 0 && errno == EINTR);
      close(fd);
      return Claim::Signalled;
    }
    close(fd);
    usleep(50 * 1000);
  }
  return Claim::Failed;
}

bool TSemaforThread::Start(std::function<void()> onSignal) {
  onSignal_ = std::move(onSignal);
  try {
    thread_ = std::thread([this] { Execute(); });
  } catch (...) {
    return false;
  }
  return true;
}

void TSemaforThread::Terminate() {
  terminated_ = true;
  if (wakeFd_ >= 0) {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t rc = write(wakeFd_, &one, sizeof one);
  }
  if (thread_.joinable()) thread_.join();
}

void TSemaforThread::Execute() {
  while (!terminated_) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    const int rc = poll(fds, 2, -1);
    if (rc < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (terminated_) return;
    if (!(fds[0].revents & POLLIN)) continue;
    const int client = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    const bool ours = PeerIsUs(client);
    close(client);
    if (ours && !terminated_ && onSignal_) onSignal_();
  }
}

}  // namespace kovrax
