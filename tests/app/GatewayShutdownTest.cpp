// Closing the window with the real gateway behind it: in accept, with a silent browser, and
// with the worker waiting for the window's answer to its version question (a deadlock would
// leave Shutdown hanging).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "AppTestUtil.h"
#include "VersionInfo.h"

namespace kovrax {
namespace {

class RealWorker : public IWorker {
 public:
  RealWorker(TSettings s, TServices services) : thread(std::move(s), services) {}
  void Stop() override { thread.Stop(); }
  TActiveXThread thread;
};

int Connect(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  timeval tv{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return fd;
}

std::string ReadAll(int fd) {
  std::string out;
  char buf[4096];
  ssize_t n;
  while ((n = recv(fd, buf, sizeof buf, 0)) > 0) out.append(buf, static_cast<size_t>(n));
  return out;
}

class GatewayShutdown : public testing::Test {
 protected:
  void SetUp() override {
    TShellHooks hooks;
    hooks.StartWorker = [this](TSettings s, TServices services) -> std::unique_ptr<IWorker> {
      s.Port = "-43100";  // the first free of 64 ports from 43100
      auto w = std::make_unique<RealWorker>(std::move(s), services);
      worker = w.get();
      return w;
    };
    form = test::MakeForm(hooks);
    ASSERT_NE(worker, nullptr);
    port = worker->thread.WaitListening(std::chrono::seconds(20));
    ASSERT_GT(port, 0);
  }

  RealWorker* worker = nullptr;
  int port = -1;
  std::unique_ptr<TMainForm> form;
};

TEST_F(GatewayShutdown, WaitingInAccept_EndsAtOnce) {
  form->Shutdown();
  EXPECT_EQ(form->Worker(), nullptr);
}

TEST_F(GatewayShutdown, SilentBrowserConnected_Ends) {
  const int fd = Connect(port);
  ASSERT_GE(fd, 0);
  form->Shutdown();
  EXPECT_EQ(form->Worker(), nullptr);
  close(fd);
}

TEST_F(GatewayShutdown, WorkerWaitingForVersionAnswer_AnsweredThenEnds) {
  const int fd = Connect(port);
  ASSERT_GE(fd, 0);
  const std::string request = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  ASSERT_EQ(send(fd, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
  // The main thread does not run its loop, so the worker is left waiting for the window's
  // answer; the answer has to come from the shutdown's own wait.
  std::string reply;
  std::thread reader([&] { reply = ReadAll(fd); });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (form->Calls().Waiting() == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_EQ(form->Calls().Waiting(), 1u);
  form->Shutdown();
  reader.join();
  close(fd);
  EXPECT_EQ(form->Worker(), nullptr);
  EXPECT_EQ(form->Calls().Waiting(), 0u);
  // The stop cuts the browser's connection; whatever got through is an answer, not garbage.
  if (!reply.empty()) {
    EXPECT_EQ(reply.rfind("HTTP/1.", 0), 0u) << reply.substr(0, 200);
  }
}

}  // namespace
}  // namespace kovrax
