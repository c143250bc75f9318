#include "platform/TerminalCertChooser.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <future>

#include "support/TestPki.h"

namespace kovrax {
namespace {

using namespace std::chrono_literals;

// A pseudo-terminal standing in for the voter's: the chooser opens the slave side by its name,
// the test types on the master side.
class Pty {
 public:
  Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) name_ = ptsname(master_);
  }
  ~Pty() {
    if (master_ >= 0) close(master_);
  }
  const std::string& Name() const { return name_; }
  void Type(const std::string& text) { ASSERT_EQ(write(master_, text.data(), text.size()), (ssize_t)text.size()); }
  // Whatever the chooser wrote so far (bounded wait for the first bytes).
  std::string Screen() {
    std::string out;
    char buf[4096];
    pollfd p{master_, POLLIN, 0};
    while (poll(&p, 1, 200) > 0) {
      const ssize_t n = read(master_, buf, sizeof buf);
      if (n <= 0) break;
      out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
  }

 private:
  int master_ = -1;
  std::string name_;
};

struct Certs {
  test::KeyPtr key = test::MakeEcKey();
  test::CertPtr a, b;
  Certs() {
    test::CertSpec s;
    s.cn = "Prvi\x1b[2J";  // an escape sequence must not reach the terminal as such
    a = test::IssueCert(s, key.get());
    s.cn = "Drugi";
    b = test::IssueCert(s, key.get());
  }
  std::vector<X509*> Both() const { return {a.get(), b.get()}; }
};

struct Answer {
  const char* name;
  std::string typed;
  int expected;
};

class TerminalChooserAnswers : public ::testing::TestWithParam<Answer> {};

TEST_P(TerminalChooserAnswers, GivesTheIndexOrCancels) {
  Pty pty;
  ASSERT_FALSE(pty.Name().empty());
  Certs certs;
  TerminalCertChooser chooser(pty.Name(), 10s);
  auto result = std::async(std::launch::async, [&] { return chooser.Choose(certs.Both()); });
  pty.Type(GetParam().typed);
  ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(result.get(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TerminalChooserAnswers,
    ::testing::Values(Answer{"Second", "2\n", 1}, Answer{"FirstWithCr", "1\r\n", 0}, Answer{"EmptyCancels", "\n", -1},
                      Answer{"RetryAfterWrongNumber", "3\nx\n2\n", 1}, Answer{"ThreeWrongAnswersCancel", "0\n-1\n9\n", -1},
                      Answer{"EndOfInputCancels", "\x04", -1}, Answer{"HugeNumberRefused", "99999999999999999999\n\n", -1}),
    [](const ::testing::TestParamInfo<Answer>& info) { return std::string(info.param.name); });

TEST(TerminalCertChooser, ListsCandidatesWithoutControlCharacters) {
  Pty pty;
  Certs certs;
  TerminalCertChooser chooser(pty.Name(), 10s);
  auto result = std::async(std::launch::async, [&] { return chooser.Choose(certs.Both()); });
  std::string screen;
  for (int i = 0; i < 50 && screen.find("Številka") == std::string::npos; ++i) screen += pty.Screen();
  pty.Type("\n");
  ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
  EXPECT_NE(screen.find("1) Prvi?[2J"), std::string::npos) << screen;
  EXPECT_NE(screen.find("2) Drugi"), std::string::npos) << screen;
  EXPECT_NE(screen.find(test::Sha1Hex(certs.b.get(), true)), std::string::npos) << screen;
  EXPECT_EQ(screen.find('\x1b'), std::string::npos);
}

TEST(TerminalCertChooser, NoTerminalMeansNoChoice) {
  Certs certs;
  TerminalCertChooser chooser("/nonexistent/tty", 10s);
  EXPECT_EQ(chooser.Choose(certs.Both()), -1);
}

TEST(TerminalCertChooser, NothingToChooseReturnsAtOnce) {
  Pty pty;
  TerminalCertChooser chooser(pty.Name(), 10s);
  auto result = std::async(std::launch::async, [&] { return chooser.Choose({}); });
  ASSERT_EQ(result.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(result.get(), -1);
}

TEST(TerminalCertChooser, SilentVoterTimesOut) {
  Pty pty;
  Certs certs;
  TerminalCertChooser chooser(pty.Name(), 300ms);
  auto result = std::async(std::launch::async, [&] { return chooser.Choose(certs.Both()); });
  ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(result.get(), -1);
}

}  // namespace
}  // namespace kovrax
