#include "HintWindow.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPainter>

#include <cstdlib>

#include "MessageLog.h"
#include "QtNotifySink.h"
#include "shell/Codepage.h"

namespace kovrax {

THintThread::THintThread(QObject* form, ms pause, ms limit) : form_(form), pause_(pause), limit_(limit) {
  lastMoveMs_ = NowMs();
  thread_ = std::thread([this] { Run(); });
}

THintThread::~THintThread() { Stop(); }

long long THintThread::NowMs() {
  return std::chrono::duration_cast<ms>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void THintThread::Signal() {
  std::lock_guard lock(mutex_);
  wake_ = true;
  cv_.notify_all();
}

void THintThread::ReportMouseMove(long long position) {
  if (position == -1) {
    if (waiting_) Signal();
    return;
  }
  if (position == lastPosition_) return;
  lastPosition_ = position;
  lastMoveMs_ = NowMs();
  if (waiting_) Signal();
}

void THintThread::Stop() {
  terminated_ = true;
  {
    std::lock_guard lock(mutex_);
    quitPosted_ = true;
    wake_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void THintThread::Run() {
  lastMoveMs_ = NowMs();
  while (!terminated_) {
    const long long elapsed = std::llabs(NowMs() - lastMoveMs_);
    const long long wait = std::max(0LL, static_cast<long long>(pause_.count()) - elapsed);
    {
      std::unique_lock lock(mutex_);
      cv_.wait_for(lock, ms(wait), [this] { return quitPosted_; });
    }
    if (terminated_) break;
    if (std::llabs(NowMs() - lastMoveMs_) < pause_.count()) continue;
    bool asked = false;
    if (!hintShown_) {
      QCoreApplication::postEvent(form_, new QEvent(EvHintShow));
      asked = true;
    }
    waiting_ = true;
    {
      std::unique_lock lock(mutex_);
      cv_.wait_for(lock, limit_, [this] { return wake_; });
      wake_ = false;
    }
    waiting_ = false;
    // Also after our own request: the form may not have opened it yet when the mouse moved.
    if (hintShown_ || asked) QCoreApplication::postEvent(form_, new QEvent(EvHintHide));
  }
}

QRect PlaceHint(QSize size, QPoint at, const QRect& screen) {
  QRect r(at, size);
  const int screenRight = screen.x() + screen.width();
  const int screenBottom = screen.y() + screen.height();
  if (r.x() + r.width() > screenRight) r.moveLeft(screenRight - 5 - r.width());
  if (r.y() + r.height() > screenBottom) r.moveTop(screenBottom - 4 - r.height());
  return r;
}

namespace {

QColor FromColorRef(int c) { return QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF); }

QString LineText(const std::string& line) {
  return QString::fromStdString(Cp1250ToUtf8(TMessageLog::TextOf(line)));
}

}  // namespace

TMyHintWindow::TMyHintWindow(QWidget* form, const std::vector<std::string>* log, const QString& caption)
    : QWidget(form, Qt::ToolTip | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                        Qt::WindowTransparentForInput | Qt::WindowDoesNotAcceptFocus),
      log_(log),
      caption_(caption) {
  setAttribute(Qt::WA_ShowWithoutActivating);
  setAttribute(Qt::WA_TransparentForMouseEvents);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, QColor(255, 255, 225));  // info tip background
  setPalette(pal);
  setAutoFillBackground(true);
}

QSize TMyHintWindow::CalcHintSize() const {
  const QFontMetrics fm = fontMetrics();
  if (!log_) {
    const QRect r = fm.boundingRect(QRect(0, 0, kMaxWidth, 10000), Qt::TextWordWrap, caption_);
    return QSize(r.width() + 8, r.height() + 6);
  }
  int textWidth = 0;
  for (const auto& line : *log_) textWidth = std::max(textWidth, fm.horizontalAdvance(LineText(line)));
  textWidth = std::min(textWidth, kMaxWidth);
  const int lines = static_cast<int>(log_->size());
  return QSize(textWidth + 8, 4 + lines * (fm.height() + 2));
}

void TMyHintWindow::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), palette().color(QPalette::Window));
  QRect area = rect().adjusted(2, 2, 0, 0);
  if (!log_) {
    p.setPen(palette().color(QPalette::ToolTipText));
    p.drawText(area, Qt::TextWordWrap, caption_);
  } else {
    const int step = fontMetrics().height() + 2;
    for (const auto& line : *log_) {
      p.setPen(FromColorRef(TMessageLog::ColourOf(line)));
      p.drawText(area, Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, LineText(line));
      area.setTop(area.top() + step);
    }
  }
  // A raised outer edge.
  const int w = width(), h = height();
  p.setPen(QColor(255, 255, 255));
  p.drawLine(0, 0, w - 1, 0);
  p.drawLine(0, 0, 0, h - 1);
  p.setPen(QColor(105, 105, 105));
  p.drawLine(0, h - 1, w - 1, h - 1);
  p.drawLine(w - 1, 0, w - 1, h - 1);
}

}  // namespace kovrax
