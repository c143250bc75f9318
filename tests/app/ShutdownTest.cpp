// Shutdown with a worker that still needs the main thread.
#include <gtest/gtest.h>

#include "AppTestUtil.h"
#include "VersionInfo.h"

namespace kovrax {
namespace {

TEST(Shutdown, WorkerAsksVersionWhileStopping_AnsweredAndEnds) {
  std::string answered;
  int chosen = 0;
  TShellHooks hooks;
  bool released = false;
  hooks.InitCrypto = [] {};
  hooks.ReleaseCrypto = [&] { released = true; };
  hooks.StartWorker = [&](TSettings, TServices services) -> std::unique_ptr<IWorker> {
    return std::make_unique<test::ScriptedWorker>([&answered, &chosen, services] {
      // The worker is told to end while it needs the window: one synchronous question and one dialog.
      answered = services.Notify->VersionLine();
      chosen = services.Chooser->Choose({});
    });
  };
  auto form = test::MakeForm(hooks);
  ASSERT_NE(form->Worker(), nullptr);
  form->Shutdown();  // would deadlock if the main thread only waited
  EXPECT_EQ(form->Worker(), nullptr);
  EXPECT_EQ(answered, VersionLineForWorker());
  EXPECT_EQ(chosen, -1);
  EXPECT_TRUE(released);
  EXPECT_EQ(form->Log(), nullptr);
  EXPECT_EQ(form->HintThread(), nullptr);
}

TEST(Shutdown, VersionLine_AnsweredWhileWindowHidden) {
  auto form = test::MakeForm();
  form->hide();
  std::string line;
  std::thread worker([&] { line = form->Sink().VersionLine(); });
  ASSERT_TRUE(test::PumpUntil([&] { return !line.empty(); }));
  worker.join();
  EXPECT_EQ(line, "KovraX V" KOVRAX_VERSION " \xC2\xA9 Melsa, d.o.o.");
  EXPECT_LE(line.size(), 255u);
}

}  // namespace
}  // namespace kovrax
