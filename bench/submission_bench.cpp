// One ballot submission through the headless agent (SoftHSM2 RSA key, TLS to the local ballot
// server double, receipt check, redirect) against a command-line pipeline doing the same work:
// openssl cms -sign with a receipt request, curl POST over TLS, openssl cms -verify_receipt.
// The agent's time runs from the POST's first byte to the 302, minus its mandated 1000 ms pause.
//
//   bench_submission_bench [ROUNDS]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "support/AgentHarness.h"
#include "support/BallotServerDouble.h"
#include "support/TestPki.h"

using namespace kovrax::test;
using Ms = std::chrono::duration<double, std::milli>;

namespace {

std::string AgentBinary() {
  std::error_code ec;
  auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return (self.parent_path().parent_path() / "Client" / "kovrax").string();
}

// The POST, and the time until the 302's header is complete (the connection closes later, after
// the TLS teardown towards the ballot server).
double TimeToRedirect(int port, const std::string& request, std::string& reply) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  reply.clear();
  double ms = -1;
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    auto start = std::chrono::steady_clock::now();
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
      char buf[4096];
      for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 60000) <= 0) break;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        reply.append(buf, static_cast<size_t>(n));
        if (ms < 0 && reply.find("\r\n\r\n") != std::string::npos)
          ms = Ms(std::chrono::steady_clock::now() - start).count();
      }
    }
  }
  if (fd >= 0) close(fd);
  return ms;
}

// CPU time (user + system) of a process so far, in ms.
double ProcessCpuMs(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream rest(stat.substr(close + 2));
  std::string field;
  double utime = 0, stime = 0;
  for (int i = 3; rest >> field; ++i) {
    if (i == 14) utime = std::stod(field);
    if (i == 15) {
      stime = std::stod(field);
      break;
    }
  }
  return (utime + stime) * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// CPU time of the children waited for so far (the pipeline's tools), in ms.
double ChildrenCpuMs() {
  rusage u{};
  getrusage(RUSAGE_CHILDREN, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

void Print(const char* what, const std::vector<double>& v) {
  double sum = 0;
  for (double x : v) sum += x;
  std::printf("%-34s median %8.2f ms   mean %8.2f ms   min %8.2f ms   (%zu rounds)\n", what, Median(v),
              v.empty() ? 0 : sum / v.size(), v.empty() ? 0 : *std::min_element(v.begin(), v.end()), v.size());
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
  AgentWorld world;
  BallotServerDouble server(world.ballot);
  const std::string site = "https://localhost:" + std::to_string(server.Port());
  AgentProcess agent(world, AgentBinary(), "localhost:" + std::to_string(server.Port()));

  const std::string body = "kandidat=3&ime=Janez+Novak";
  const std::string post = BallotPost({{"Server", site + "/glasuj"}, {"OkURL", site + "/ok"}, {"ErrUrl", site + "/err"}},
                                      body);
  std::vector<double> agentMs;
  double agentCpu = 0;
  for (int i = 0; i < rounds + 1; ++i) {
    const double cpuBefore = ProcessCpuMs(agent.Pid());
    std::string reply;
    double ms = TimeToRedirect(agent.Port(), post, reply) - 1000.0;
    if (reply.rfind("HTTP/1.1 302\r\nLocation: " + site + "/ok", 0) != 0) {
      std::fprintf(stderr, "agent submission failed:\n%s\n%s\n", reply.c_str(), agent.Log().c_str());
      return 1;
    }
    if (i > 0) {  // the first one also loads what stays cached
      agentMs.push_back(ms);
      agentCpu += ProcessCpuMs(agent.Pid()) - cpuBefore;
    }
  }
  const long rssKiB = agent.PeakRssKiB();

  // The same work with command-line tools: sign with a receipt request, POST, verify the receipt.
  TempDir dir("kovrax-bench");
  WriteFile(dir / "content.txt", body + "&Kovra-Streznik=x&Kovra-Profil=3016");
  WriteFile(dir / "voter.pem", ToPem(world.voterCert.get()));
  WriteFile(dir / "voter.key", KeyToPem(world.voterKey.get()));
  const std::string sign = "openssl cms -sign -binary -nodetach -md sha256 -nosmimecap -in " + (dir / "content.txt") +
                           " -signer " + (dir / "voter.pem") + " -inkey " + (dir / "voter.key") +
                           " -receipt_request_all -receipt_request_to 3016 -outform DER -out " + (dir / "ballot.der");
  const std::string send = "curl -sf --cacert " + world.ServerCaPem() +
                           " -H 'User-Agent:' -H 'Accept:' -H 'Content-Type:' -H 'Expect:' -H 'Kovra-Profil: 3016'"
                           " --data-binary @" + (dir / "ballot.der") + " -o " + (dir / "receipt.der") + " " + site +
                           "/glasuj";
  const std::string verify = "openssl cms -verify_receipt " + (dir / "receipt.der") + " -rctform DER -in " +
                             (dir / "ballot.der") + " -inform DER -CAfile " + world.ServerCaPem();
  std::vector<double> pipeMs;
  const double pipeCpuBefore = ChildrenCpuMs();
  for (int i = 0; i < rounds; ++i) {
    auto start = std::chrono::steady_clock::now();
    std::string out;
    for (const std::string& step : {sign, send, verify}) {
      if (RunCommand(step, &out) != 0) {
        std::fprintf(stderr, "pipeline step failed: %s\n%s\n", step.c_str(), out.c_str());
        return 1;
      }
    }
    pipeMs.push_back(Ms(std::chrono::steady_clock::now() - start).count());
  }
  for (const SeenRequest& r : server.Requests())
    if (!r.problem.empty()) std::fprintf(stderr, "server double: %s\n", r.problem.c_str());

  const double pipeCpu = ChildrenCpuMs() - pipeCpuBefore;
  double load[1] = {0};
  getloadavg(load, 1);
  std::printf("load average during the run: %.1f on %ld cores (wall times scale with it)\n", load[0],
              sysconf(_SC_NPROCESSORS_ONLN));
  Print("agent (POST to 302, minus 1000 ms)", agentMs);
  Print("command-line pipeline", pipeMs);
  std::printf("CPU per submission: agent %.1f ms, pipeline tools %.1f ms (ballot server double not counted)\n",
              agentCpu / rounds, pipeCpu / rounds);
  std::printf("speed-up (median): %.1fx   target >= 5x and agent < 50 ms\n", Median(pipeMs) / Median(agentMs));
  std::printf("agent peak resident memory: %.1f MiB   target < 15 MiB\n", rssKiB / 1024.0);
  return agent.Stop() == 0 ? 0 : 1;
}
