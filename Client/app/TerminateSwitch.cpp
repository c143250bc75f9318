#include "TerminateSwitch.h"

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cctype>
#include <fstream>
#include <string>
#include <vector>

namespace kovrax {
namespace {

int PidfdOpen(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }
int PidfdSignal(int fd, int sig) { return static_cast<int>(syscall(SYS_pidfd_send_signal, fd, sig, nullptr, 0)); }

bool Ended(int pidfd) {
  pollfd p{pidfd, POLLIN, 0};
  return poll(&p, 1, 0) > 0;
}

std::string BaseName(std::string path) {
  const std::string deleted = " (deleted)";
  if (path.size() > deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
    path.resize(path.size() - deleted.size());
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The base name of the process's program file; its command name when the link is unreadable.
std::string ProgramName(const std::string& dir) {
  char buf[4096];
  const ssize_t n = readlink((dir + "/exe").c_str(), buf, sizeof buf - 1);
  if (n > 0) return BaseName(std::string(buf, static_cast<size_t>(n)));
  std::ifstream comm(dir + "/comm");
  std::string name;
  std::getline(comm, name);
  return name;
}

struct Target {
  pid_t pid;
  int pidfd;
};

// Waits until every target has ended or the time is up.
void WaitForEnd(const std::vector<Target>& targets, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    std::vector<pollfd> open;
    for (const auto& t : targets)
      if (!Ended(t.pidfd)) open.push_back({t.pidfd, POLLIN, 0});
    if (open.empty()) return;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    poll(open.data(), open.size(), static_cast<int>(std::min<long long>(left.count(), 100)));
  }
}

}  // namespace

int TerminateRunningCopies(std::chrono::milliseconds grace) {
  const uid_t uid = getuid();
  const pid_t self = getpid();
  std::vector<Target> targets;
  if (DIR* proc = opendir("/proc")) {
    while (dirent* e = readdir(proc)) {
      if (!std::isdigit(static_cast<unsigned char>(e->d_name[0]))) continue;
      const pid_t pid = static_cast<pid_t>(std::strtol(e->d_name, nullptr, 10));
      if (pid <= 0 || pid == self) continue;
      const std::string dir = std::string("/proc/") + e->d_name;
      struct stat st {};
      if (stat(dir.c_str(), &st) != 0 || st.st_uid != uid) continue;
      // Hold the process first, then look at it: a reused identifier cannot slip in between.
      const int pidfd = PidfdOpen(pid);
      if (pidfd < 0) continue;
      if (strcasecmp(ProgramName(dir).c_str(), "kovrax") != 0 || Ended(pidfd)) {
        close(pidfd);
        continue;
      }
      targets.push_back({pid, pidfd});
    }
    closedir(proc);
  }
  for (const auto& t : targets) PidfdSignal(t.pidfd, SIGTERM);
  WaitForEnd(targets, grace);
  bool killed = false;
  for (const auto& t : targets) {
    if (!Ended(t.pidfd)) {
      PidfdSignal(t.pidfd, SIGKILL);
      killed = true;
    }
  }
  if (killed) WaitForEnd(targets, std::chrono::milliseconds(2000));
  for (const auto& t : targets) close(t.pidfd);
  return static_cast<int>(targets.size());
}

}  // namespace kovrax
