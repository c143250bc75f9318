// Single instance within one process: claims, signals and names.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "SemaforThreadUnit.h"

namespace kovrax {
namespace {

std::string UniqueName(const char* what) {
  return SingleInstanceName(std::string("/test/") + what + "/" + std::to_string(getpid()), getuid());
}

TEST(Semafor, SecondClaim_SignalsFirst) {
  const std::string name = UniqueName("a");
  std::unique_ptr<TSemaforThread> first;
  ASSERT_EQ(TSemaforThread::ClaimName(name, &first), TSemaforThread::Claim::First);
  ASSERT_NE(first, nullptr);
  std::atomic<int> signals{0};
  ASSERT_TRUE(first->Start([&] { ++signals; }));

  std::unique_ptr<TSemaforThread> second;
  EXPECT_EQ(TSemaforThread::ClaimName(name, &second), TSemaforThread::Claim::Signalled);
  EXPECT_EQ(second, nullptr);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (signals == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(signals, 1);
  first.reset();  // stops the watcher

  // The name is free again once its holder has gone.
  EXPECT_EQ(TSemaforThread::ClaimName(name, &second), TSemaforThread::Claim::First);
}

TEST(Semafor, OtherPath_OwnClaim) {
  std::unique_ptr<TSemaforThread> a, b;
  ASSERT_EQ(TSemaforThread::ClaimName(UniqueName("x"), &a), TSemaforThread::Claim::First);
  EXPECT_EQ(TSemaforThread::ClaimName(UniqueName("y"), &b), TSemaforThread::Claim::First);
}

TEST(Semafor, Name_DependsOnPathAndUserOnly) {
  EXPECT_EQ(SingleInstanceName("/opt/kovrax/kovrax", 1000), SingleInstanceName("/opt/kovrax/kovrax", 1000));
  EXPECT_NE(SingleInstanceName("/opt/kovrax/kovrax", 1000), SingleInstanceName("/opt/kovrax/kovrax", 1001));
  EXPECT_NE(SingleInstanceName("/opt/kovrax/kovrax", 1000), SingleInstanceName("/opt/kovrax2/kovrax", 1000));
  const std::string longPath = "/" + std::string(1000, 'p');
  EXPECT_LT(SingleInstanceName(longPath, 1000).size(), 100u);  // fits an abstract socket name
}

}  // namespace
}  // namespace kovrax
