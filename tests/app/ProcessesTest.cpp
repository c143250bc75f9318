// Whole copies of the program: one copy per program path, and "--terminate".
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "SemaforThreadUnit.h"
#include "support/TestPki.h"

extern char** environ;

namespace kovrax {
namespace {

using Clock = std::chrono::steady_clock;

// The window on Qt's offscreen platform; DISPLAY only tells the program that a desktop is there.
std::vector<std::string> GuiEnvironment(const std::string& home) {
  std::vector<std::string> env = {"QT_QPA_PLATFORM=offscreen", "DISPLAY=:kovrax-test", "HOME=" + home,
                                  "XDG_CONFIG_HOME=" + home + "/config", "XDG_RUNTIME_DIR=" + home,
                                  "XDG_DATA_HOME=" + home + "/data"};
  for (char** e = environ; *e; ++e) {
    const std::string v = *e;
    if (v.rfind("PATH=", 0) == 0 || v.rfind("ASAN_OPTIONS=", 0) == 0 || v.rfind("UBSAN_OPTIONS=", 0) == 0 ||
        v.rfind("LD_LIBRARY_PATH=", 0) == 0)
      env.push_back(v);
  }
  return env;
}

pid_t Spawn(const std::vector<std::string>& args, const std::vector<std::string>& env) {
  std::vector<char*> argv, envp;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  pid_t pid = -1;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  if (posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&fa);
  return pid;
}

// The exit status when the process ends within the limit, -1 when it does not.
int WaitExit(pid_t pid, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  int status = 0;
  while (Clock::now() < deadline) {
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (r < 0) return -2;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return -1;
}

bool Running(pid_t pid) { return waitpid(pid, nullptr, WNOHANG) == 0; }

std::string RealPath(const std::string& p) {
  char* r = realpath(p.c_str(), nullptr);
  std::string s = r ? r : p;
  free(r);
  return s;
}

// True once a copy started from programPath holds its single-instance name.
bool HoldsName(const std::string& programPath, std::chrono::milliseconds limit) {
  const std::string name = "@" + SingleInstanceName(RealPath(programPath), getuid());
  const auto deadline = Clock::now() + limit;
  while (Clock::now() < deadline) {
    std::ifstream f("/proc/net/unix");
    std::stringstream ss;
    ss << f.rdbuf();
    if (ss.str().find(name) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

std::string CopyProgram(const test::TempDir& dir, const std::string& sub, const std::string& name) {
  const std::string folder = dir / sub;
  const std::string target = folder + "/" + name;
  EXPECT_EQ(test::RunCommand("mkdir -p '" + folder + "' && cp '" KOVRAX_BINARY "' '" + target + "'"), 0);
  return target;
}

class Processes : public testing::Test {
 protected:
  void TearDown() override {
    for (pid_t p : started)
      if (Running(p)) {
        kill(p, SIGKILL);
        WaitExit(p, std::chrono::seconds(10));
      }
  }
  pid_t Start(const std::string& program, const std::string& port) {
    const pid_t p = Spawn({program, port}, GuiEnvironment(dir.Path()));
    if (p > 0) started.push_back(p);
    return p;
  }
  test::TempDir dir{"kovrax-app-proc"};
  std::vector<pid_t> started;
};

TEST_F(Processes, SecondStartSamePath_SignalsAndExitsZeroOtherPathRunsToo) {
  const std::string a = CopyProgram(dir, "a", "kovrax");
  const std::string b = CopyProgram(dir, "b", "kovrax");
  const pid_t first = Start(a, "-43300");
  ASSERT_GT(first, 0);
  ASSERT_TRUE(HoldsName(a, std::chrono::seconds(30)));

  const pid_t second = Start(a, "-43300");
  ASSERT_GT(second, 0);
  EXPECT_EQ(WaitExit(second, std::chrono::seconds(30)), 0);
  EXPECT_TRUE(Running(first));

  const pid_t other = Start(b, "-43400");
  ASSERT_GT(other, 0);
  EXPECT_TRUE(HoldsName(b, std::chrono::seconds(30)));
  EXPECT_TRUE(Running(other));
  EXPECT_TRUE(Running(first));

  // Both end in order on SIGTERM.
  kill(first, SIGTERM);
  kill(other, SIGTERM);
  EXPECT_EQ(WaitExit(first, std::chrono::seconds(30)), 0);
  EXPECT_EQ(WaitExit(other, std::chrono::seconds(30)), 0);
}

// "--terminate" ends every copy of this user, so it runs in a PID namespace of its own when
// the machine allows one: other copies of the program on this machine stay untouched.
TEST_F(Processes, TerminateSwitch_EndsTwoCopiesCleanlyButNotItself) {
  const std::string a = CopyProgram(dir, "a", "kovrax");
  const std::string b = CopyProgram(dir, "b", "KovraX");
  const std::string t = CopyProgram(dir, "t", "kovrax");
  std::string env;
  for (const auto& e : GuiEnvironment(dir.Path())) env += "'" + e + "' ";
  const std::string nameA = SingleInstanceName(RealPath(a), getuid());
  const std::string nameB = SingleInstanceName(RealPath(b), getuid());
  const std::string script = dir / "terminate.sh";
  test::WriteFile(script,
                  "ready() { grep -q \"@$1\" /proc/net/unix; }\n"
                  "env -i " + env + "'" + a + "' -43500 >/dev/null 2>&1 & pa=$!\n"
                  "env -i " + env + "'" + b + "' -43600 >/dev/null 2>&1 & pb=$!\n"
                  "i=0; until ready " + nameA + " && ready " + nameB + "; do\n"
                  "  i=$((i+1)); [ $i -gt 600 ] && { kill -9 $pa $pb; echo notready; exit 1; }; sleep 0.05\n"
                  "done\n"
                  "'" + t + "' --TERMINATE; t=$?\n"
                  "wait $pa; ea=$?; wait $pb; eb=$?\n"
                  "echo \"result $t $ea $eb\"\n");
  const bool isolated = test::RunCommand("unshare --pid --fork --mount-proc true >/dev/null 2>&1") == 0;
  const std::string run = std::string("timeout 120 ") + (isolated ? "unshare --pid --fork --mount-proc " : "") +
                          "sh '" + script + "'";
  std::string output;
  test::RunCommand(run, &output);
  // The switch itself ends with 0, and both copies end by their own clean shutdown (0), not a kill.
  EXPECT_NE(output.find("result 0 0 0"), std::string::npos) << output;
}

}  // namespace
}  // namespace kovrax
