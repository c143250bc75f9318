#include "support/AgentHarness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

extern char** environ;

namespace kovrax::test {
namespace {

void Check(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error("e2e: " + what);
}

void PutInStore(const std::string& folder, X509* cert) {
  WriteFile(folder + "/" + Sha1Hex(cert) + ".der", ToDer(cert));
}

}  // namespace

AgentWorld::AgentWorld() : dir("kovrax-e2e") {
  voterCa = MakeRootCa("Test Volilni CA", "Test");
  voterKey = MakeRsaKey(2048);
  CertSpec voter;
  voter.cn = "Janez Novak";
  voter.o = "Test";
  voter.email = "janez.novak@example.org";
  voter.keyUsage = "critical,digitalSignature,nonRepudiation";
  voterCert = IssueCert(voter, voterKey.get(), voterCa.cert.get(), voterCa.key.get());
  token = std::make_unique<SoftHsmToken>("Volivec", "1234",
                                         std::vector<TokenObject>{MakeTokenObject("01", voterKey.get(), voterCert.get())});

  // The machine's root store holds both fixture authorities; the embedded ones stay out of play.
  PutInStore(dir / "machine/ROOT", voterCa.cert.get());
  PutInStore(dir / "machine/ROOT", ballot.serverCa.cert.get());
  WriteFile(dir / "bundle.pem", std::string());
  WriteFile(VoterCaPem(), ToPem(voterCa.cert.get()));
  WriteFile(ServerCaPem(), ToPem(ballot.serverCa.cert.get()));
}

std::map<std::string, std::string> AgentSettings(const AgentWorld& world, const std::string& userStoreDir,
                                                 const std::string& ballotHosts) {
  return {
      {"BallotHost", ballotHosts},
      {"Pkcs11Module", SoftHsmToken::ModulePath()},
      {"UserStoreDir", userStoreDir},
      {"MachineStoreDir", world.dir / "machine"},
      {"SystemTrustBundle", world.dir / "bundle.pem"},
      {"IssuerHashes", "u" + Sha1Hex(world.voterCa.cert.get()).substr(0, 8) + ",s" +
                           Sha1Hex(world.ballot.serverCa.cert.get()).substr(0, 8)},
      {"CertHash", Sha1Hex(world.voterCert.get(), true)},
  };
}

AgentProcess::AgentProcess(const AgentWorld& world, const std::string& binary, const std::string& ballotHosts,
                           const std::map<std::string, std::string>& settings) {
  static int serial = 0;
  dir_ = world.dir / ("agent" + std::to_string(++serial));
  logPath_ = dir_ + "/agent.log";
  port_ = FreePort();

  std::map<std::string, std::string> conf = AgentSettings(world, dir_ + "/user", ballotHosts);
  for (const auto& [name, value] : settings) conf[name] = value;
  std::string text;
  for (const auto& [name, value] : conf) text += name + " = " + value + "\n";
  WriteFile(dir_ + "/kovrax.conf", text);
  WriteFile(logPath_, std::string());

  std::vector<std::string> env{
      "PATH=/usr/bin:/bin",
      "HOME=" + dir_ + "/home",
      "XDG_CONFIG_HOME=" + dir_ + "/xdg-config",
      "XDG_DATA_HOME=" + dir_ + "/xdg-data",
      "KOVRAX_CONFIG=" + dir_ + "/kovrax.conf",
      "SOFTHSM2_CONF=" + world.token->ConfPath(),
      "KOVRAX_PKCS11_PIN=" + world.token->Pin(),
      "LC_ALL=C",
  };
  for (const char* keep : {"TZ", "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS", "TMPDIR"})
    if (const char* v = std::getenv(keep)) env.push_back(std::string(keep) + "=" + v);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  std::string program = binary, headless = "--headless", port = std::to_string(port_);
  char* argv[] = {program.data(), headless.data(), port.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, logPath_.c_str(), O_WRONLY | O_APPEND, 0);
  posix_spawn_file_actions_addopen(&actions, 2, logPath_.c_str(), O_WRONLY | O_APPEND, 0);
  // A new session: no controlling terminal, so nothing can ever prompt on one.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
  int rc = posix_spawn(&pid_, program.c_str(), &actions, &attr, argv, envp.data());
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  Check(rc == 0, "cannot start " + binary);

  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (Log().find("listening on 127.0.0.1:" + port) == std::string::npos) {
    if (!Running() || std::chrono::steady_clock::now() > until) {
      std::string log = Log();
      Stop();
      throw std::runtime_error("e2e: agent did not start listening:\n" + log);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

AgentProcess::~AgentProcess() { Stop(); }

bool AgentProcess::Running() const {
  if (pid_ <= 0 || status_ != -2) return false;
  siginfo_t info{};
  // Looks without reaping, so that Stop still collects the exit status.
  return waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
}

std::string AgentProcess::Log() const { return ReadFile(logPath_); }

long AgentProcess::PeakRssKiB() const {
  std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return 0;
}

int AgentProcess::Stop() {
  if (pid_ <= 0 || status_ != -2) return status_;
  kill(pid_, SIGTERM);
  int status = 0;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > until) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      status_ = -1;
      return status_;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return status_;
}

std::string Exchange(int port, const std::string& request, std::chrono::milliseconds timeout) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return {};
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  std::string reply;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    char buf[4096];
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      reply.append(buf, static_cast<size_t>(n));
    }
  }
  close(fd);
  return reply;
}

std::string QueryEncode(const std::string& text) {
  std::string out;
  char hex[4];
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    }
  }
  return out;
}

std::string QueryDecode(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out += ' ';
    } else if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
               std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string BallotPost(const std::map<std::string, std::string>& query, const std::string& body) {
  std::string target = "/";
  for (const auto& [name, value] : query) target += (target.size() == 1 ? "?" : "&") + name + "=" + QueryEncode(value);
  return "POST " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/x-www-form-urlencoded\r\n" +
         "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string Get(const std::string& path) { return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"; }

HttpReply ParseReply(const std::string& raw) {
  HttpReply r;
  size_t end = raw.find("\r\n\r\n");
  if (end == std::string::npos) return r;
  r.ok = true;
  r.body = raw.substr(end + 4);
  std::istringstream head(raw.substr(0, end));
  std::string line;
  std::getline(head, line);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  r.statusLine = line;
  while (std::getline(head, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t colon = line.find(": ");
    if (colon != std::string::npos) r.fields[line.substr(0, colon)] = line.substr(colon + 2);
  }
  return r;
}

std::map<std::string, std::string> QueryOf(const std::string& url) {
  std::map<std::string, std::string> out;
  size_t q = url.find('?');
  if (q == std::string::npos) return out;
  std::istringstream items(url.substr(q + 1));
  std::string item;
  while (std::getline(items, item, '&')) {
    size_t eq = item.find('=');
    out[item.substr(0, eq)] = eq == std::string::npos ? "" : QueryDecode(item.substr(eq + 1));
  }
  return out;
}

int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  Check(fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0, "free port");
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  close(fd);
  return ntohs(addr.sin_port);
}

}  // namespace kovrax::test
