// Start-up time to "listening" and resident memory of the program with its window (Qt offscreen
// platform) beside the headless mode, in the same run: after start and after 100 requests.
// Usage: bench_gui_start_bench [path/to/kovrax] [runs]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::string DefaultBinary() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  std::string self = n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
  return self.substr(0, self.rfind('/')) + "/../Client/kovrax";
}

int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

bool Listening(pid_t pid, int port) {
  char hex[8];
  std::snprintf(hex, sizeof hex, "%04X", port);
  std::ifstream f("/proc/" + std::to_string(pid) + "/net/tcp");
  std::string line;
  const std::string want = std::string("0100007F:") + hex + " 00000000:0000 0A";
  while (std::getline(f, line))
    if (line.find(want) != std::string::npos) return true;
  return false;
}

long RssKiB(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return -1;
}

bool Get(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval tv{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  const std::string req = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  ok = ok && send(fd, req.data(), req.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(req.size());
  char buf[4096];
  size_t total = 0;
  ssize_t n;
  while (ok && (n = recv(fd, buf, sizeof buf, 0)) > 0) total += static_cast<size_t>(n);
  close(fd);
  return ok && total > 0;
}

struct Result {
  double startMs = -1;
  long rssStart = -1;
  long rssAfter = -1;
  int okRequests = 0;
};

Result RunOnce(const std::string& bin, bool gui, bool withRequests, const std::string& home) {
  Result r;
  const int port = FreePort();
  std::vector<std::string> args = {bin};
  if (!gui) args.push_back("--headless");
  args.push_back(std::to_string(port));
  std::vector<std::string> env = {"HOME=" + home, "XDG_CONFIG_HOME=" + home + "/config",
                                  "XDG_RUNTIME_DIR=" + home, "XDG_DATA_HOME=" + home + "/data",
                                  "PATH=/usr/bin:/bin"};
  if (gui) {
    env.push_back("DISPLAY=:kovrax-bench");
    env.push_back("QT_QPA_PLATFORM=offscreen");
  }
  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const auto t0 = Clock::now();
  if (posix_spawn(&pid, bin.c_str(), &fa, nullptr, argv.data(), envp.data()) != 0) return r;
  posix_spawn_file_actions_destroy(&fa);
  const auto deadline = t0 + std::chrono::seconds(20);
  while (!Listening(pid, port) && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::microseconds(200));
  if (Listening(pid, port)) r.startMs = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
  if (withRequests && r.startMs >= 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    r.rssStart = RssKiB(pid);
    for (int i = 0; i < 100; ++i) r.okRequests += Get(port) ? 1 : 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    r.rssAfter = RssKiB(pid);
  }
  kill(pid, SIGTERM);
  int status = 0;
  const auto end = Clock::now() + std::chrono::seconds(10);
  while (waitpid(pid, &status, WNOHANG) == 0 && Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (waitpid(pid, &status, WNOHANG) == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  return r;
}

double Median(std::vector<double> v) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const std::string bin = argc > 1 ? argv[1] : DefaultBinary();
  const int runs = argc > 2 ? std::atoi(argv[2]) : 7;
  char tmpl[] = "/tmp/kovrax-bench-XXXXXX";
  const char* home = mkdtemp(tmpl);
  if (!home || access(bin.c_str(), X_OK) != 0) {
    std::fprintf(stderr, "no program at %s\n", bin.c_str());
    return 1;
  }
  std::printf("program: %s, %d start-ups per mode (median), then 100 GET / requests\n", bin.c_str(), runs);
  std::printf("%-10s %14s %14s %16s %12s\n", "mode", "start (ms)", "RSS start", "RSS after 100", "requests");
  for (bool gui : {true, false}) {
    std::vector<double> starts;
    for (int i = 0; i < runs; ++i) {
      const Result r = RunOnce(bin, gui, false, home);
      if (r.startMs >= 0) starts.push_back(r.startMs);
    }
    const Result m = RunOnce(bin, gui, true, home);
    std::printf("%-10s %14.1f %10ld KiB %12ld KiB %9d/100\n", gui ? "window" : "headless", Median(starts), m.rssStart,
                m.rssAfter, m.okRequests);
  }
  std::printf("targets: window start under 300 ms, under 60 MiB, no growth across the 100 requests\n");
  std::string cmd = std::string("rm -rf '") + home + "'";
  return std::system(cmd.c_str()) == 0 ? 0 : 0;
}
