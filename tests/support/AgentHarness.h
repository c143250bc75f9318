// What an end-to-end run needs: the fixture PKI of voter and ballot service, a SoftHSM2 token
// with the voter's RSA key, certificate stores in a temporary folder, the headless agent as a
// child process, and a browser that speaks HTTP to it.
#pragma once
#include <sys/types.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>

#include "support/BallotServerDouble.h"
#include "support/SoftHsmToken.h"
#include "support/TestPki.h"

namespace kovrax::test {

// Voter side and server side, token and stores; made once per test program.
class AgentWorld {
 public:
  AgentWorld();
  TempDir dir;
  BallotPki ballot;
  Authority voterCa;
  KeyPtr voterKey;
  CertPtr voterCert;
  std::unique_ptr<SoftHsmToken> token;

  std::string VoterCaPem() const { return dir / "voter-ca.pem"; }
  std::string ServerCaPem() const { return dir / "server-ca.pem"; }
};

// The configuration an agent needs in this world: ballot hosts, token module, stores (the
// user's in userStoreDir), issuer list with the fixture authorities, the voter's certificate.
std::map<std::string, std::string> AgentSettings(const AgentWorld& world, const std::string& userStoreDir,
                                                 const std::string& ballotHosts);

// The headless agent with its own configuration file, stores,
// token and a clean environment. Stopped with SIGTERM when the object goes.
class AgentProcess {
 public:
  // settings: extra "Name = value" lines on top of those the world needs.
  // binary: the agent program, run as "binary --headless PORT".
  AgentProcess(const AgentWorld& world, const std::string& binary, const std::string& ballotHosts,
               const std::map<std::string, std::string>& settings = {});
  ~AgentProcess();
  AgentProcess(const AgentProcess&) = delete;
  AgentProcess& operator=(const AgentProcess&) = delete;

  int Port() const { return port_; }
  pid_t Pid() const { return pid_; }
  bool Running() const;
  // Everything the agent printed so far.
  std::string Log() const;
  // Peak resident memory in KiB (VmHWM), 0 when unknown.
  long PeakRssKiB() const;
  // SIGTERM, bounded wait (then SIGKILL); the exit status, or -1 when it had to be killed.
  int Stop();

 private:
  std::string dir_;
  std::string logPath_;
  pid_t pid_ = -1;
  int port_ = 0;
  int status_ = -2;
};

// One HTTP exchange with the agent: the request bytes, then everything until the agent closes
// (bounded by timeout). Empty on a connection failure.
std::string Exchange(int port, const std::string& request,
                     std::chrono::milliseconds timeout = std::chrono::milliseconds(60000));

// Form encoding of a query value (every byte but letters, digits and "-_.~" as %XX).
std::string QueryEncode(const std::string& text);
// "+" as space and %XX as the byte.
std::string QueryDecode(const std::string& text);

// The browser's POST of a ballot form to the agent.
std::string BallotPost(const std::map<std::string, std::string>& query, const std::string& body);
// A GET of a path.
std::string Get(const std::string& path);

// A reply split up: status line, header fields (names as sent), body.
struct HttpReply {
  std::string statusLine;
  std::map<std::string, std::string> fields;
  std::string body;
  bool ok = false;  // the header ended with an empty line
};
HttpReply ParseReply(const std::string& raw);

// The query values of a URL, decoded.
std::map<std::string, std::string> QueryOf(const std::string& url);

// A free TCP port on 127.0.0.1 at this moment.
int FreePort();

}  // namespace kovrax::test
