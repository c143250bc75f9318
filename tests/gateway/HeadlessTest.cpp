// The command line and the real program in headless mode.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "gateway/GatewayTestKit.h"
#include "shell/Headless.h"
#include "support/TestPki.h"

namespace kovrax {
namespace {

using namespace std::chrono_literals;

TEST(CommandLine, NumbersArePortsAndOptionsAreKnown) {
  struct Case {
    std::vector<std::string> args;
    bool headless, help, version;
    std::string port;
    bool error;
  } cases[] = {
      {{}, false, false, false, "", false},
      {{"8080"}, false, false, false, "8080", false},
      {{"-8000"}, false, false, false, "-8000", false},
      {{"--headless", "-8000"}, true, false, false, "-8000", false},
      {{"-8000", "--headless"}, true, false, false, "-8000", false},
      {{"--help"}, false, true, false, "", false},
      {{"--version"}, false, false, true, "", false},
      {{"--", "--odd"}, false, false, false, "--odd", false},
      {{"abc"}, false, false, false, "abc", false},  // not a number: the gateway refuses it with 1024
      {{"--bogus"}, false, false, false, "", true},
      {{"-x"}, false, false, false, "", true},
      {{"81", "82"}, false, false, false, "81", true},
  };
  for (const Case& c : cases) {
    CommandLine cl = ParseCommandLine(c.args);
    std::string label = c.args.empty() ? "(none)" : c.args[0];
    EXPECT_EQ(cl.headless, c.headless) << label;
    EXPECT_EQ(cl.help, c.help) << label;
    EXPECT_EQ(cl.version, c.version) << label;
    EXPECT_EQ(cl.port, c.port) << label;
    EXPECT_EQ(!cl.error.empty(), c.error) << label;
  }
}

TEST(Program, HelpAndVersionExitZeroAndUnknownOptionDoesNot) {
  const std::string binary = KOVRAX_BINARY;
  std::string out;
  EXPECT_EQ(test::RunCommand(binary + " --version", &out), 0);
  EXPECT_NE(out.find(KOVRAX_VERSION), std::string::npos);
  EXPECT_EQ(test::RunCommand(binary + " --help", &out), 0);
  EXPECT_NE(out.find("--headless"), std::string::npos);
  EXPECT_EQ(test::RunCommand(binary + " --bogus", &out), 2);
}

// The program with its stderr on a pipe, and an empty configuration of its own.
class HeadlessProgram {
 public:
  HeadlessProgram(const std::vector<std::string>& args, const std::string& configHome) {
    std::vector<std::string> argStore{KOVRAX_BINARY};
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<std::string> envStore{"XDG_CONFIG_HOME=" + configHome, "HOME=" + configHome, "PATH=/usr/bin:/bin"};
    std::vector<char*> argv, envp;
    for (std::string& a : argStore) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (std::string& e : envStore) envp.push_back(e.data());
    envp.push_back(nullptr);
    int fds[2];
    if (pipe(fds) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(fds[1], STDERR_FILENO);
      close(fds[0]);
      close(fds[1]);
      execve(argv[0], argv.data(), envp.data());
      _exit(127);
    }
    close(fds[1]);
    err_ = fds[0];
  }
  ~HeadlessProgram() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (err_ >= 0) close(err_);
  }

  // Reads stderr until a line that starts with prefix; the line, or empty after the time.
  std::string WaitForLine(const std::string& prefix, std::chrono::milliseconds timeout = 10s) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      size_t nl;
      while ((nl = buffer_.find('\n')) != std::string::npos) {
        std::string line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        lines_.push_back(line);
        if (line.rfind(prefix, 0) == 0) return line;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return {};
      pollfd p{err_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return {};
      char buf[1024];
      ssize_t n = read(err_, buf, sizeof buf);
      if (n <= 0) return {};
      buffer_.append(buf, static_cast<size_t>(n));
    }
  }

  // The exit status, or -1 when the program did not end within the time.
  int WaitExit(std::chrono::milliseconds timeout = 10s) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        reaped_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(20ms);
    }
    return -1;
  }

  pid_t pid() const { return pid_; }
  const std::vector<std::string>& lines() const { return lines_; }

 private:
  pid_t pid_ = -1;
  int err_ = -1;
  bool reaped_ = false;
  std::string buffer_;
  std::vector<std::string> lines_;
};

TEST(Program, HeadlessServesUntilSigtermAndExitsZero) {
  test::TempDir home;
  HeadlessProgram program({"--headless", "-" + std::to_string(test::RandomPortBase())}, home.Path());
  ASSERT_GT(program.pid(), 0);
  std::string listening = program.WaitForLine("kovrax: listening on 127.0.0.1:");
  ASSERT_FALSE(listening.empty());
  int port = std::stoi(listening.substr(listening.rfind(':') + 1));

  EXPECT_EQ(test::Exchange(port, "OPTIONS / HTTP/1.1\r\n\r\n").bytes, test::kOptionsReply);
  test::Received status = test::Exchange(port, "GET / HTTP/1.1\r\n\r\n");
  EXPECT_NE(status.bytes.find(ProgramVersionLine()), std::string::npos);
  // Status texts arrive as UTF-8 lines with their prefix.
  EXPECT_EQ(program.WaitForLine("B: "), "B: Podatki uspe\xC5\xA1no prene\xC5\xA1" "eni");

  ASSERT_EQ(kill(program.pid(), SIGTERM), 0);
  EXPECT_EQ(program.WaitExit(), 0);
}

TEST(Program, HeadlessWithRefusedPortExitsNonZero) {
  test::TempDir home;
  HeadlessProgram program({"--headless", "65536"}, home.Path());
  ASSERT_GT(program.pid(), 0);
  EXPECT_EQ(program.WaitForLine("R: "), "R: Napa\xC4\x8D" "en port");
  int status = program.WaitExit();
  EXPECT_NE(status, 0);
  EXPECT_NE(status, -1);
}

}  // namespace
}  // namespace kovrax
