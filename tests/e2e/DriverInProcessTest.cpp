// The submission driver in this process's own gateway worker: a failure that is not the
// program's own still ends in exactly one error reply, and the next ballot goes through.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <atomic>
#include <stdexcept>

#include "gateway/ActiveXThreadUnit.h"
#include "platform/KeyStorage.h"
#include "platform/PlatformKeys.h"
#include "shell/Messages.h"
#include "support/AgentHarness.h"
#include "support/BallotServerDouble.h"

namespace kovrax::test {
namespace {

// Fails once, the moment the worker reports that it is connecting to the ballot server.
class ThrowingSink : public INotifySink {
 public:
  std::atomic<bool> armed{false};
  void Post(int code, long long) override {
    if (code == NotifyConnecting && armed.exchange(false)) throw std::length_error("status window gone");
  }
  void PostText(std::string) override {}
  std::string VersionLine() override { return "KovraX test"; }
};

TEST(DriverInProcessTest, ForeignExceptionGivesOneErrorReplyWith1044AndNextBallotSucceeds) {
  signal(SIGPIPE, SIG_IGN);
  AgentWorld world;
  BallotServerDouble server(world.ballot);
  const std::string site = "https://localhost:" + std::to_string(server.Port());
  setenv("KOVRAX_PKCS11_PIN", world.token->Pin().c_str(), 1);
  world.token->Activate();

  TSettings settings = TSettings::Defaults(std::to_string(FreePort()));
  for (const auto& [name, value] :
       AgentSettings(world, world.dir / "user-inprocess", "localhost:" + std::to_string(server.Port())))
    ASSERT_TRUE(SetSetting(settings, name, value)) << name;
  RegisterPlatformMethods();
  std::string error;
  std::unique_ptr<KeyStorage> keys = KeyStorage::Load(settings.Pkcs11Module, &error);
  ASSERT_NE(keys, nullptr) << error;
  ThrowingSink sink;
  TServices services;
  services.Notify = &sink;
  services.Keys = keys.get();
  {
    TActiveXThread gateway(settings, services);
    const int port = gateway.WaitListening(std::chrono::seconds(10));
    ASSERT_GT(port, 0);
    const std::string post = BallotPost(
        {{"Server", site + "/glasuj"}, {"OkURL", site + "/ok"}, {"ErrUrl", site + "/err?code=$(Koda)&msg=$(Opis)"}},
        "glas=1");

    sink.armed = true;
    const std::string failed = Exchange(port, post);
    const std::string head = "HTTP/1.1 302\r\nLocation: " + site + "/err?";
    ASSERT_EQ(failed.rfind(head, 0), 0u) << failed;
    EXPECT_EQ(failed.find("HTTP/1.1", 1), std::string::npos) << failed;
    auto query = QueryOf(failed.substr(std::string("HTTP/1.1 302\r\nLocation: ").size(),
                                       failed.find("\r\n\r\n") - std::string("HTTP/1.1 302\r\nLocation: ").size()));
    EXPECT_EQ(query["msg"], FmtLoadStr(1044, {std::string("std::length_error")}));
    EXPECT_EQ(query["code"].substr(query["code"].find('@') + 1), "1179");
    EXPECT_EQ(server.Requests().size(), 0u);

    EXPECT_EQ(Exchange(port, post), "HTTP/1.1 302\r\nLocation: " + site + "/ok\r\n\r\n");
    EXPECT_EQ(server.Requests().size(), 1u);
    gateway.Stop();
  }
  keys.reset();
  ReleasePlatformMethods();
}

}  // namespace
}  // namespace kovrax::test
