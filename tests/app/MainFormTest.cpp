// The status window: notifications, sliding, the countdowns, the tray menu and the hint.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QScreen>
#include <QSignalSpy>

#include "AppTestUtil.h"
#include "VersionInfo.h"
#include "shell/Codepage.h"
#include "shell/Messages.h"

namespace kovrax {
namespace {

using test::MakeForm;
using test::Pump;

class MainForm : public testing::Test {
 protected:
  void SetUp() override { form = MakeForm(); }
  void TearDown() override { form.reset(); }
  void Notify(int code, long long value) {
    form->Sink().Post(code, value);
    Pump();
  }
  void Text(const std::string& utf8) {
    form->Sink().PostText(Utf8ToCp1250(utf8));
    Pump();
  }
  QString Clip() const { return form->Animation()->FileName(); }
  void SlideToEnd() {
    for (int i = 0; i < 100 && form->MainTimer().isActive(); ++i) form->MainTimerTimer();
  }

  std::unique_ptr<TMainForm> form;
};

TEST_F(MainForm, Start_ShowsVersionLineFirstInGreen) {
  ASSERT_NE(form->Log(), nullptr);
  ASSERT_GE(form->Log()->Lines().size(), 1u);
  const std::string& first = form->Log()->Lines()[0];
  EXPECT_EQ(TMessageLog::ColourOf(first), ColourGreen);
  EXPECT_EQ(TMessageLog::TextOf(first), Utf8ToCp1250(VersionLineForLog()));
  EXPECT_EQ(Clip(), kClipListening);
  EXPECT_TRUE(form->Animation()->Active());
  EXPECT_EQ(form->TimerMark(), 1);
  EXPECT_TRUE(form->StatusTimer().isActive());
}

TEST_F(MainForm, Start_SitsInBottomRightOfWorkArea) {
  const QRect wa = form->screen()->availableGeometry();
  const QRect g = form->geometry();
  EXPECT_EQ(g.width(), TMainForm::kWidth);
  EXPECT_EQ(g.height(), TMainForm::kHeight);
  EXPECT_EQ(g.x() + g.width(), wa.x() + wa.width() - 2);
  EXPECT_EQ(g.y() + g.height(), wa.y() + wa.height() - 2);
}

struct CodeCase {
  const char* name;
  int code;
  long long value;
  const char* clip;         // animation afterwards
  int timerRunning;         // -1: as before
};

class MainFormCodes : public MainForm, public testing::WithParamInterface<CodeCase> {};

TEST_P(MainFormCodes, Notification_SetsAnimationAndStatusTimer) {
  const CodeCase& c = GetParam();
  Notify(NotifyConnected, 0);  // a known state that none of the cases has
  const bool before = form->StatusTimer().isActive();
  Notify(c.code, c.value);
  EXPECT_EQ(Clip(), c.clip);
  EXPECT_EQ(form->StatusTimer().isActive(), c.timerRunning < 0 ? before : c.timerRunning == 1);
  if (c.code == NotifyDone) {
    EXPECT_EQ(form->TimerMark(), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, MainFormCodes,
    testing::Values(CodeCase{"Request_Listening_TimerStopped", 1, 0, kClipListening, 0},
                    CodeCase{"DoneSuccess_Ok_TimerRunning", 2, 1, kClipOk, 1},
                    CodeCase{"DoneAnyNonZero_Ok", 2, 256, kClipOk, 1},
                    CodeCase{"DoneFailure_Error_TimerRunning", 2, 0, kClipError, 1},
                    CodeCase{"Connecting", 4, 0, kClipConnecting, -1},
                    CodeCase{"Connected", 5, 0, kClipConnected, -1},
                    CodeCase{"SendStart_NoChange", 6, 1000, kClipConnected, -1},
                    CodeCase{"SendProgress_NoChange", 7, 500, kClipConnected, -1},
                    CodeCase{"SendEnd_NoChange", 8, 0, kClipConnected, -1},
                    CodeCase{"CodeZero_Ignored", 0, 0, kClipConnected, -1},
                    CodeCase{"CodeEleven_Ignored", 11, 0, kClipConnected, -1}),
    [](const testing::TestParamInfo<CodeCase>& info) { return std::string(info.param.name); });

TEST_F(MainForm, ShowCode_LowByteDecides) {
  struct {
    long long value;
    bool pinned;
    int mark;
  } cases[] = {{1, true, 1}, {256, false, -1}, {0x101, true, 1}, {0, false, -1}};
  for (const auto& c : cases) {
    Notify(NotifyShow, c.value);
    EXPECT_EQ(form->Pinned(), c.pinned) << c.value;
    EXPECT_EQ(form->MainMark(), c.mark) << c.value;
    EXPECT_EQ(form->HideMark(), 5) << c.value;
  }
  // 256 hides for good: the slide runs to the end.
  Notify(NotifyShow, 256);
  SlideToEnd();
  EXPECT_FALSE(form->isVisible());
}

TEST_F(MainForm, WaitingNotification_ShortensStatusTimerAndAddsWaitingLine) {
  EXPECT_EQ(form->StatusTimer().interval(), 5000);
  Notify(NotifyText, 0);
  EXPECT_EQ(form->StatusTimer().interval(), 3000);
  EXPECT_EQ(TMessageLog::TextOf(form->Log()->Lines().back()), Utf8ToCp1250(LoadStr(MsgWaiting)));
}

TEST_F(MainForm, StatusTexts_PrefixChoosesColourForeignDropped) {
  Text("R: " + LoadStr(1024));
  const auto& lines = form->Log()->Lines();
  EXPECT_EQ(TMessageLog::ColourOf(lines.back()), ColourRed);
  EXPECT_EQ(TMessageLog::TextOf(lines.back()), Utf8ToCp1250(LoadStr(1024)));
  const auto count = lines.size();
  const std::string hint = form->HintText();
  Text("X: something");
  Text("R:");
  EXPECT_EQ(form->Log()->Lines().size(), count);
  EXPECT_EQ(form->HintText(), hint);
  Text("B: ");  // prefix only: the waiting line, in black
  EXPECT_EQ(TMessageLog::ColourOf(form->Log()->Lines().back()), ColourBlack);
  EXPECT_EQ(TMessageLog::TextOf(form->Log()->Lines().back()), Utf8ToCp1250(LoadStr(MsgWaiting)));
}

TEST_F(MainForm, PostedNotifications_HandledInOrder) {
  for (int i = 0; i < 50; ++i) form->Sink().PostText(Utf8ToCp1250("B: n" + std::to_string(i)));
  form->Sink().Post(NotifyDone, 0);
  form->Sink().Post(NotifyConnecting, 0);
  Pump();
  const auto& lines = form->Log()->Lines();
  ASSERT_EQ(lines.size(), TMessageLog::kMaxLines);
  for (size_t i = 1; i < lines.size(); ++i) EXPECT_EQ(TMessageLog::TextOf(lines[i]), "n" + std::to_string(i + 19));
  EXPECT_EQ(Clip(), kClipConnecting);
}

TEST_F(MainForm, Slide_OutThenIn_HeightsStepByThreeAtFixedBottom) {
  const int bottom = form->geometry().y() + form->geometry().height();
  form->SlideOut();
  std::vector<int> heights;
  while (form->MainTimer().isActive() && heights.size() < 100) {
    form->MainTimerTimer();
    if (form->isVisible()) heights.push_back(form->height());
    EXPECT_EQ(form->geometry().y() + form->geometry().height(), bottom);
  }
  std::vector<int> expected;
  for (int h = 57; h >= 3; h -= 3) expected.push_back(h);
  EXPECT_EQ(heights, expected);
  EXPECT_FALSE(form->isVisible());
  EXPECT_EQ(form->MainMark(), 0);

  // Back in from the small height it was left at.
  form->SlideIn();
  EXPECT_TRUE(form->isVisible());
  EXPECT_EQ(form->height(), 3);
  heights.clear();
  while (form->MainTimer().isActive() && heights.size() < 100) {
    form->MainTimerTimer();
    heights.push_back(form->height());
    EXPECT_EQ(form->geometry().y() + form->geometry().height(), bottom);
  }
  expected.clear();
  for (int h = 6; h <= 60; h += 3) expected.push_back(h);
  expected.push_back(60);  // the step that finds it full
  EXPECT_EQ(heights, expected);
  EXPECT_TRUE(form->HideTimer().isActive());
  EXPECT_EQ(form->HideMark(), 5);
}

TEST_F(MainForm, HideCountdown_UnpinnedSlidesOutOnSixthTickPinnedStays) {
  form->ShowOrHide(true);
  SlideToEnd();
  for (int i = 0; i < 20; ++i) form->HideTimerTimer();
  EXPECT_NE(form->MainMark(), -1);  // pinned: the countdown does nothing

  form->ShowOrHide(false);  // unpin, slide out ...
  form->SlideIn();          // ... and bring it back as the tray does
  SlideToEnd();
  for (int i = 0; i < 5; ++i) {
    form->HideTimerTimer();
    EXPECT_NE(form->MainMark(), -1) << i;
  }
  form->HideTimerTimer();
  EXPECT_EQ(form->MainMark(), -1);
  EXPECT_FALSE(form->HideTimer().isActive());
}

TEST_F(MainForm, StatusTimer_FirstExpirySlidesOutLaterOnesUnpin) {
  form->TimerTimer();
  EXPECT_EQ(form->TimerMark(), 0);
  EXPECT_FALSE(form->StatusTimer().isActive());
  EXPECT_EQ(form->MainMark(), -1);

  Notify(NotifyShow, 1);
  Notify(NotifyDone, 1);
  EXPECT_TRUE(form->Pinned());
  form->TimerTimer();
  Pump();  // the code 9 with 0 it posts to itself
  EXPECT_EQ(Clip(), kClipListening);
  EXPECT_FALSE(form->Pinned());
  EXPECT_EQ(form->MainMark(), -1);
}

TEST_F(MainForm, Click_SlidesOutButDoesNotUnpin) {
  Notify(NotifyShow, 1);
  form->FormClick();
  EXPECT_EQ(form->MainMark(), -1);
  EXPECT_TRUE(form->Pinned());
}

TEST_F(MainForm, TrayMenu_EnablingFollowsVisibility) {
  form->PrepareTrayMenu();
  EXPECT_TRUE(form->MenuForm().Minimize()->isEnabled());
  EXPECT_FALSE(form->MenuForm().Restore()->isEnabled());
  EXPECT_TRUE(form->MenuForm().CloseItem()->isEnabled());

  form->SlideOut();
  SlideToEnd();
  form->PrepareTrayMenu();
  EXPECT_FALSE(form->MenuForm().Minimize()->isEnabled());
  EXPECT_TRUE(form->MenuForm().Restore()->isEnabled());

  form->MenuForm().Restore()->trigger();
  EXPECT_TRUE(form->isVisible());
  EXPECT_EQ(form->MainMark(), 1);
  SlideToEnd();
  form->PrepareTrayMenu();  // as when the menu opens again
  form->MenuForm().Minimize()->trigger();
  EXPECT_EQ(form->MainMark(), -1);

  QSignalSpy closed(form.get(), &TMainForm::Closed);
  form->MenuForm().CloseItem()->trigger();
  EXPECT_EQ(closed.count(), 1);
}

TEST_F(MainForm, Tray_IconTipIsKovra) {
  ASSERT_NE(form->Tray(), nullptr);
  EXPECT_EQ(form->Tray()->toolTip(), QStringLiteral("Kovra"));
  EXPECT_EQ(form->Tray()->contextMenu(), form->MenuForm().SystemMenu());
}

TEST_F(MainForm, TrayLeftClick_TogglesUnlessSlidingOut) {
  form->TrayLeftClick();  // shown and still: out
  EXPECT_EQ(form->MainMark(), -1);
  form->TrayLeftClick();  // sliding out: back in
  EXPECT_EQ(form->MainMark(), 1);
}

TEST_F(MainForm, SecondInstanceSignal_SlidesInOnlyWhenHidden) {
  QCoreApplication::postEvent(form.get(), new QEvent(EvSecondInstance));
  Pump();
  EXPECT_EQ(form->MainMark(), 0);  // visible: nothing to do
  form->SlideOut();
  SlideToEnd();
  ASSERT_FALSE(form->isVisible());
  QCoreApplication::postEvent(form.get(), new QEvent(EvSecondInstance));
  Pump();
  EXPECT_TRUE(form->isVisible());
  EXPECT_EQ(form->MainMark(), 1);
}

TEST_F(MainForm, AppException_RedLineWithCriticalErrorEntry) {
  form->AppException("boom");
  const std::string& last = form->Log()->Lines().back();
  EXPECT_EQ(TMessageLog::ColourOf(last), ColourRed);
  EXPECT_EQ(TMessageLog::TextOf(last),
            Utf8ToCp1250("TMainForm::AppException" + FmtLoadStr(MsgCriticalError, {std::string("boom")})));
}

TEST(MainFormStart, WorkerThatCannotStart_VersionLineAndOneRedLineOnly) {
  TShellHooks hooks;
  hooks.StartWorker = [](TSettings, TServices) -> std::unique_ptr<IWorker> { throw std::runtime_error("no"); };
  auto form = test::MakeForm(hooks);
  const auto& lines = form->Log()->Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(TMessageLog::ColourOf(lines[1]), ColourRed);
  EXPECT_EQ(TMessageLog::TextOf(lines[1]),
            Utf8ToCp1250("TMainForm::AppException" + FmtLoadStr(MsgCriticalError, {LoadStr(1033)})));
  EXPECT_EQ(form->Worker(), nullptr);
  EXPECT_EQ(form->HintThread(), nullptr);  // the steps after the failing one are not done
}

TEST(MainFormStart, CryptoFailure_NoWorkerStarted) {
  TShellHooks hooks;
  bool started = false;
  hooks.InitCrypto = [] { KOVRA_RAISE(1008, 1, "TMainForm::AfterCreate"); };
  hooks.StartWorker = [&](TSettings, TServices) -> std::unique_ptr<IWorker> {
    started = true;
    return nullptr;
  };
  auto form = test::MakeForm(hooks);
  EXPECT_FALSE(started);
  EXPECT_EQ(TMessageLog::TextOf(form->Log()->Lines().back()),
            Utf8ToCp1250("TMainForm::AppException" + FmtLoadStr(MsgCriticalError, {LoadStr(1008)})));
}

TEST(MainFormStart, Worker_GetsSettingsAndServicesOfTheWindow) {
  TShellHooks hooks;
  TServices seen;
  std::string port;
  hooks.StartWorker = [&](TSettings s, TServices services) -> std::unique_ptr<IWorker> {
    seen = services;
    port = s.Port;
    return std::make_unique<test::ScriptedWorker>([] {});
  };
  auto form = std::make_unique<TMainForm>("8081", hooks);
  QCoreApplication::sendPostedEvents(form.get(), EvAfterCreate);
  EXPECT_EQ(port, "8081");
  EXPECT_EQ(seen.Notify, &form->Sink());
  EXPECT_NE(seen.Chooser, nullptr);
  EXPECT_NE(seen.Pin, nullptr);
  EXPECT_NE(seen.Notice, nullptr);
  EXPECT_EQ(seen.Keys, nullptr);
}

}  // namespace
}  // namespace kovrax
