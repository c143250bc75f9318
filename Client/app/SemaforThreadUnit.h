// One copy per program path: the first copy holds a per-user abstract socket whose name is
// derived from the program path; a second copy connects to it (the signal) and ends.
// TSemaforThread is the first copy's watcher of that socket.
#pragma once
#include <sys/types.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace kovrax {

// The program file of this process, symbolic links resolved.
std::string ProgramPath();
// The instance name for a program path and a user: "kovrax.<uid>.<hash of the path>".
std::string SingleInstanceName(const std::string& programPath, uid_t uid);

class TSemaforThread {
 public:
  enum class Claim { First, Signalled, Failed };

  // Claims the name. First: *out holds the claim (start its watcher). Signalled: another copy
  // of this user holds it and has been told; end now. Failed: the socket could not be made.
  // When a process of another user holds the name, the start goes on without a claim.
  static Claim ClaimName(const std::string& name, std::unique_ptr<TSemaforThread>* out);

  ~TSemaforThread();
  TSemaforThread(const TSemaforThread&) = delete;
  TSemaforThread& operator=(const TSemaforThread&) = delete;

  // Starts the watcher: onSignal runs on the watcher thread for each second start of this user.
  bool Start(std::function<void()> onSignal);
  // Marks it terminated, wakes it and lets it end.
  void Terminate();

 private:
  TSemaforThread(int listenFd, int wakeFd);
  void Execute();

  int listenFd_;
  int wakeFd_;
  std::atomic<bool> terminated_{false};
  std::function<void()> onSignal_;
  std::thread thread_;
};

}  // namespace kovrax
