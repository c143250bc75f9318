// The hint: where it opens, what it shows, and the thread that times the mouse's rest.
#include <gtest/gtest.h>

#include <QApplication>
#include <QScreen>

#include <mutex>
#include <vector>

#include "AppTestUtil.h"
#include "HintWindow.h"
#include "shell/Codepage.h"

namespace kovrax {
namespace {

using test::Pump;
using test::PumpUntil;

struct PlaceCase {
  const char* name;
  QRect screen;
  QPoint at;
  QPoint expected;
};

class HintPlacement : public testing::TestWithParam<PlaceCase> {};

TEST_P(HintPlacement, PlaceHint_KeepsHintInsideScreen) {
  const PlaceCase& c = GetParam();
  const QRect r = PlaceHint(QSize(200, 100), c.at, c.screen);
  EXPECT_EQ(r.topLeft(), c.expected);
  EXPECT_EQ(r.size(), QSize(200, 100));
}

INSTANTIATE_TEST_SUITE_P(
    Table, HintPlacement,
    testing::Values(PlaceCase{"Inside_AtCursor", QRect(0, 0, 1024, 768), QPoint(10, 20), QPoint(10, 20)},
                    PlaceCase{"RightEdge_FivePixelsToSpare", QRect(0, 0, 1024, 768), QPoint(900, 20), QPoint(819, 20)},
                    PlaceCase{"BottomEdge_FourPixelsToSpare", QRect(0, 0, 1024, 768), QPoint(10, 700), QPoint(10, 664)},
                    PlaceCase{"Corner_BothShifts", QRect(0, 0, 1024, 768), QPoint(1023, 767), QPoint(819, 664)},
                    PlaceCase{"ExactlyFitting_NoShift", QRect(0, 0, 1024, 768), QPoint(824, 668), QPoint(824, 668)},
                    PlaceCase{"OnePixelOver_Shifted", QRect(0, 0, 1024, 768), QPoint(825, 669), QPoint(819, 664)},
                    PlaceCase{"SecondScreen_ItsOwnEdges", QRect(1024, 0, 800, 600), QPoint(1750, 550),
                              QPoint(1619, 496)}),
    [](const testing::TestParamInfo<PlaceCase>& info) { return std::string(info.param.name); });

class HintOnForm : public testing::Test {
 protected:
  void SetUp() override {
    TShellHooks hooks;
    hooks.HintPause = std::chrono::milliseconds(60000);  // the thread stays out of the way
    form = test::MakeForm(hooks);
  }
  void TearDown() override { form.reset(); }
  QPoint OverForm() const { return form->geometry().center(); }
  std::unique_ptr<TMainForm> form;
};

TEST_F(HintOnForm, ShowOverWindow_OpensOneHintWithEveryLineHideCloses) {
  form->AddLogLine(ColourRed, Utf8ToCp1250("Napaka pri klicu funkcije connect()"));
  form->AddLogLine(ColourBlack, std::string(300, 'x'));  // wider than the hint may be
  form->ShowHint(OverForm());
  ASSERT_NE(form->HintWindow(), nullptr);
  auto* hint = form->HintWindow();
  EXPECT_TRUE(hint->isVisible());
  EXPECT_LE(hint->width(), TMyHintWindow::kMaxWidth + 8);
  const int lineHeight = hint->fontMetrics().height() + 2;
  EXPECT_GE(hint->height(), 3 * lineHeight);
  const QRect screen = form->screen()->geometry();
  EXPECT_LE(hint->geometry().x() + hint->width(), screen.x() + screen.width() - 5);
  EXPECT_LE(hint->geometry().y() + hint->height(), screen.y() + screen.height() - 4);
  EXPECT_NE(QGuiApplication::overrideCursor(), nullptr);
  EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::BlankCursor);

  form->ShowHint(OverForm());  // at most one
  EXPECT_EQ(form->HintWindow(), hint);

  form->HideHint();
  EXPECT_EQ(form->HintWindow(), nullptr);
  EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

TEST_F(HintOnForm, ShowOutsideProgramWindows_NoHint) {
  const QRect screen = form->screen()->geometry();
  form->ShowHint(screen.topLeft() + QPoint(5, 5));
  EXPECT_EQ(form->HintWindow(), nullptr);
}

TEST_F(HintOnForm, HintWindow_PaintsEachLineInItsColour) {
  form->AddLogLine(ColourRed, "RRRRRRRRRRRRRRRRRRRR");
  form->ShowHint(OverForm());
  ASSERT_NE(form->HintWindow(), nullptr);
  const QImage img = form->HintWindow()->grab().toImage();
  int red = 0, green = 0;
  for (int y = 0; y < img.height(); ++y)
    for (int x = 0; x < img.width(); ++x) {
      const QColor c = img.pixelColor(x, y);
      if (c.red() > 200 && c.green() < 80 && c.blue() < 80) ++red;
      if (c.green() > 90 && c.red() < 60 && c.blue() < 60) ++green;
    }
  EXPECT_GT(red, 10);    // the failure
  EXPECT_GT(green, 10);  // the version line
  EXPECT_EQ(img.pixelColor(img.width() / 2, img.height() - 3), QColor(255, 255, 225));
}

// Counts the requests the hint thread sends.
class HintRequests : public QObject {
 public:
  bool event(QEvent* e) override {
    std::lock_guard lock(mutex);
    if (e->type() == EvHintShow || e->type() == EvHintHide) {
      seen.push_back(e->type());
      return true;
    }
    return QObject::event(e);
  }
  std::vector<QEvent::Type> Seen() {
    std::lock_guard lock(mutex);
    return seen;
  }
  std::mutex mutex;
  std::vector<QEvent::Type> seen;
};

TEST(HintThread, Rest_AsksToShowThenToHideAtLimit) {
  HintRequests form;
  THintThread hint(&form, std::chrono::milliseconds(30), std::chrono::milliseconds(150));
  hint.ReportMouseMove(1);
  ASSERT_TRUE(PumpUntil([&] { return form.Seen().size() >= 2; }));
  EXPECT_EQ(form.Seen()[0], EvHintShow);
  EXPECT_EQ(form.Seen()[1], EvHintHide);
}

TEST(HintThread, MoveToNewPosition_ClosesOpenHint) {
  HintRequests form;
  THintThread hint(&form, std::chrono::milliseconds(30), std::chrono::milliseconds(60000));
  hint.ReportMouseMove(1);
  ASSERT_TRUE(PumpUntil([&] { return form.Seen().size() >= 1; }));
  hint.SetHintShown(true);
  hint.ReportMouseMove(1);  // the same position is no movement
  Pump();
  hint.ReportMouseMove(2);
  ASSERT_TRUE(PumpUntil([&] { return form.Seen().size() >= 2; }, 20000));
  EXPECT_EQ(form.Seen()[1], EvHintHide);
}

TEST(HintThread, Stop_WhileWaitingForMovement_EndsPromptly) {
  HintRequests form;
  auto hint = std::make_unique<THintThread>(&form, std::chrono::milliseconds(10), std::chrono::milliseconds(600000));
  ASSERT_TRUE(PumpUntil([&] { return !form.Seen().empty(); }));
  hint->Stop();  // would hang for ten minutes if the wait were not woken
  hint.reset();
  Pump();
}

}  // namespace
}  // namespace kovrax
