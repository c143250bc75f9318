#include "ServerUnit.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QSvgRenderer>

#include "VersionInfo.h"
#include "shell/Codepage.h"
#include "shell/KovraException.h"
#include "shell/Messages.h"

// The pictures live in a static library: their registration has to be asked for.
static void InitKovraResources() { Q_INIT_RESOURCE(kovrax); }

namespace kovrax {
namespace {

// Raise sites of the start-up.
constexpr int kLineAfterCreateWorker = 412;
constexpr int kLineStartThread = 463;

QPixmap RenderSvg(const QString& path, QSize size) {
  QPixmap pm(size);
  pm.fill(Qt::transparent);
  QSvgRenderer renderer(path);
  QPainter p(&pm);
  renderer.render(&p);
  return pm;
}

class TClickLabel : public QLabel {
 public:
  TClickLabel(QWidget* parent, std::function<void()> onClick) : QLabel(parent), onClick_(std::move(onClick)) {}

 protected:
  void mouseReleaseEvent(QMouseEvent* e) override {
    if (e->button() == Qt::LeftButton && rect().contains(e->position().toPoint())) onClick_();
  }

 private:
  std::function<void()> onClick_;
};

long long PackPosition(QPoint global) {
  return (static_cast<long long>(static_cast<unsigned short>(global.y())) << 16) |
         static_cast<unsigned short>(global.x());
}

}  // namespace

QIcon AppIcon() {
  InitKovraResources();
  QIcon icon;
  for (int s : {16, 22, 24, 32, 48, 64, 128}) icon.addPixmap(RenderSvg(QStringLiteral(":/kovrax/kovrax.svg"), QSize(s, s)));
  return icon;
}

TMainForm::TMainForm(const std::string& portArg, TShellHooks hooks)
    : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus),
      hooks_(std::move(hooks)),
      sink_(this, calls_, [] { return VersionLineForWorker(); }),
      chooser_(calls_),
      pinPrompt_(calls_),
      noticeBox_(calls_) {
  InitKovraResources();
  // The layout.
  setWindowTitle(QStringLiteral("KovraX"));
  setAttribute(Qt::WA_ShowWithoutActivating);
  QFont font(QStringLiteral("Sans Serif"));
  font.setPointSize(8);
  setFont(font);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, QColor(240, 240, 240));  // button face
  setPalette(pal);
  setAutoFillBackground(true);
  setMinimumSize(kWidth, 0);
  setMaximumSize(kWidth, kHeight);
  resize(kWidth, kHeight);
  setMouseTracking(true);
  banner_ = RenderSvg(QStringLiteral(":/kovrax/banner.svg"), QSize(120, 25));
  closeImage_ = new TClickLabel(this, [this] { CloseImageClick(); });
  closeImage_->setPixmap(RenderSvg(QStringLiteral(":/kovrax/close.svg"), QSize(13, 13)));
  closeImage_->setMouseTracking(true);
  animate_ = new TAnimate(this);
  animate_->setGeometry(16, 24, 81, 34);
  animate_->setMouseTracking(true);
  mainTimer_.setInterval(20);
  hideTimer_.setInterval(1000);
  timer_.setInterval(5000);
  connect(&mainTimer_, &QTimer::timeout, this, &TMainForm::MainTimerTimer);
  connect(&hideTimer_, &QTimer::timeout, this, &TMainForm::HideTimerTimer);
  connect(&timer_, &QTimer::timeout, this, &TMainForm::TimerTimer);
  timer_.start();

  // A press on the animation counts as a click on the form; mouse moves feed the hint thread.
  animate_->installEventFilter(this);
  closeImage_->installEventFilter(this);
  pinned_ = false;
  fullHeight_ = height();

  // The tray icon and its menu. Without a system tray the window alone is the control.
  menuForm_ = std::make_unique<TMenuForm>();
  connect(menuForm_->Restore(), &QAction::triggered, this, [this] {
    if (!isVisible()) SlideIn();
  });
  connect(menuForm_->Minimize(), &QAction::triggered, this, [this] {
    if (isVisible()) SlideOut();
  });
  connect(menuForm_->CloseItem(), &QAction::triggered, this, [this] { close(); });
  connect(menuForm_->SystemMenu(), &QMenu::aboutToShow, this, &TMainForm::PrepareTrayMenu);
  tray_ = std::make_unique<QSystemTrayIcon>();
  tray_->setIcon(AppIcon());
  tray_->setToolTip(QStringLiteral("Kovra"));
  tray_->setContextMenu(menuForm_->SystemMenu());
  connect(tray_.get(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Trigger) TrayLeftClick();
  });
  tray_->show();
  setWindowIcon(AppIcon());

  SetAnimation(QString::fromLatin1(kClipListening));
  update();

  settings_ = TSettings::Defaults(portArg);
  configLines_ = LoadConfig(settings_, portArg);

  PlaceBottomRight();
  closeImage_->setGeometry(width() - 13 - 1, 1, 13, 13);
  QCoreApplication::postEvent(this, new QEvent(EvAfterCreate));
}

TMainForm::~TMainForm() { Shutdown(); }

void TMainForm::PlaceBottomRight() {
  QScreen* s = screen() ? screen() : QGuiApplication::primaryScreen();
  if (!s) return;
  const QRect wa = s->availableGeometry();
  setGeometry(wa.x() + wa.width() - width() - 2, wa.y() + wa.height() - height() - 2, width(), height());
}

void TMainForm::AfterCreate() {
  raise();
  update();
  log_ = std::make_unique<TMessageLog>(Utf8ToCp1250(LoadStr(MsgWaiting)));
  AddLogLine(ColourGreen, Utf8ToCp1250(VersionLineForLog()));
  for (const auto& line : configLines_) AddLogLine(ColourOrange, Utf8ToCp1250(line));
  if (hooks_.InitCrypto) {
    cryptoStarted_ = true;
    hooks_.InitCrypto();
  }
  if (hooks_.StartWorker) {
    TServices services;
    services.Notify = &sink_;
    services.Chooser = &chooser_;
    services.Pin = &pinPrompt_;
    services.Notice = &noticeBox_;
    try {
      worker_ = hooks_.StartWorker(settings_, services);
    } catch (const KovraException&) {
      throw;
    } catch (...) {
      worker_.reset();
    }
    if (!worker_) KOVRA_RAISE(1033, kLineAfterCreateWorker, "TMainForm::AfterCreate");
  }
  hint_ = std::make_unique<THintThread>(this, hooks_.HintPause, hooks_.HintLimit);
  timerMark_ = 1;
  StartThread();
}

void TMainForm::StartThread() {
  if (worker_ || !hooks_.StartWorker) return;
  TServices services;
  services.Notify = &sink_;
  services.Chooser = &chooser_;
  services.Pin = &pinPrompt_;
  services.Notice = &noticeBox_;
  try {
    worker_ = hooks_.StartWorker(settings_, services);
  } catch (...) {
    worker_.reset();
  }
  if (!worker_) KOVRA_RAISE(1033, kLineStartThread, "TMainForm::StartThread");
}

void TMainForm::Dispatch(QEvent* e) {
  switch (static_cast<int>(e->type())) {
    case EvAfterCreate:
      AfterCreate();
      break;
    case EvSecondInstance:
      if (!isVisible()) SlideIn();
      break;
    case EvNotify:
      HandleNotify(*static_cast<TNotifyEvent*>(e));
      break;
    case EvHintShow:
      ShowHint(QCursor::pos());
      break;
    case EvHintHide:
      HideHint();
      break;
    default:
      break;
  }
}

bool TMainForm::event(QEvent* e) {
  const int type = static_cast<int>(e->type());
  if (type == EvAfterCreate || type == EvSecondInstance || type == EvNotify || type == EvHintShow ||
      type == EvHintHide) {
    // The application's exception handler: whatever escapes becomes a red log line.
    try {
      Dispatch(e);
    } catch (const std::exception& ex) {
      AppException(ex.what());
    } catch (...) {
      AppException(std::string());
    }
    return true;
  }
  if (e->type() == QEvent::MouseMove && hint_)
    hint_->ReportMouseMove(PackPosition(static_cast<QMouseEvent*>(e)->globalPosition().toPoint()));
  return QWidget::event(e);
}

bool TMainForm::eventFilter(QObject* watched, QEvent* e) {
  if (e->type() == QEvent::MouseMove && hint_)
    hint_->ReportMouseMove(PackPosition(static_cast<QMouseEvent*>(e)->globalPosition().toPoint()));
  if (watched == animate_ && e->type() == QEvent::MouseButtonPress &&
      static_cast<QMouseEvent*>(e)->button() == Qt::LeftButton)
    FormClick();
  return QWidget::eventFilter(watched, e);
}

void TMainForm::HandleNotify(const TNotifyEvent& n) {
  switch (n.Code) {
    case NotifyRequest:
      SetAnimation(QString::fromLatin1(kClipListening));
      timer_.stop();
      break;
    case NotifyDone:
      SetAnimation(QString::fromLatin1(n.Value != 0 ? kClipOk : kClipError));
      timerMark_ = 0;
      timer_.start();
      break;
    case NotifyText:
      if (n.HasText) {
        AddLogLine(ColourOfPrefix(n.Text), n.Text.size() > 3 ? n.Text.substr(3) : std::string());
      } else {
        timer_.setInterval(3000);
        AddLogLine(ColourBlack, std::string());
      }
      break;
    case NotifyConnecting:
      SetAnimation(QString::fromLatin1(kClipConnecting));
      break;
    case NotifyConnected:
      SetAnimation(QString::fromLatin1(kClipConnected));
      break;
    case NotifyShow:
      ShowOrHide((n.Value & 0xFF) != 0);
      break;
    default:
      break;  // progress of sending and unknown codes change nothing on the screen
  }
}

void TMainForm::SlideIn() {
  if (!isVisible()) {
    PlaceBottomRight();
    show();
  }
  mainMark_ = 1;
  if (!mainTimer_.isActive()) mainTimer_.start();
}

void TMainForm::SlideOut() {
  mainMark_ = -1;
  if (!mainTimer_.isActive()) mainTimer_.start();
  hideTimer_.stop();
}

void TMainForm::ShowOrHide(bool show) {
  hideMark_ = 5;
  pinned_ = show;
  if (show)
    SlideIn();
  else
    SlideOut();
}

void TMainForm::SetAnimation(const QString& name) {
  animate_->Open(name);
  animate_->setVisible(true);
  animate_->SetActive(true);
}

void TMainForm::AddLogLine(int colour, const std::string& cp1250) {
  if (!log_) return;
  log_->AddLogLine(colour, cp1250);
  if (hintWindow_) hintWindow_->update();
}

void TMainForm::FormClick() { SlideOut(); }

void TMainForm::CloseImageClick() { close(); }

void TMainForm::AppException(const std::string& message) {
  AddLogLine(ColourRed, Utf8ToCp1250("TMainForm::AppException" + FmtLoadStr(MsgCriticalError, {message})));
}

void TMainForm::MainTimerTimer() {
  const QRect g = geometry();
  if (mainMark_ == 1) {
    if (g.height() < fullHeight_) {
      const int step = std::min(3, fullHeight_ - g.height());
      setGeometry(g.x(), g.y() - step, g.width(), g.height() + step);
      repaint();
    } else {
      mainTimer_.stop();
      mainMark_ = 0;
      hideMark_ = 5;
      hideTimer_.start();
    }
  } else if (mainMark_ == -1) {
    if (g.height() <= 3) {
      mainTimer_.stop();
      mainMark_ = 0;
      hide();
    } else {
      setGeometry(g.x(), g.y() + 3, g.width(), g.height() - 3);
    }
  } else {
    mainTimer_.stop();
  }
}

void TMainForm::HideTimerTimer() {
  if (pinned_) return;
  if (hideMark_ > 0)
    --hideMark_;
  else if (!mainTimer_.isActive())
    SlideOut();
}

void TMainForm::TimerTimer() {
  if (timerMark_ == 1) {
    timerMark_ = 0;
    timer_.stop();
    SlideOut();
    return;
  }
  timer_.stop();
  SetAnimation(QString::fromLatin1(kClipListening));
  QCoreApplication::postEvent(this, new TNotifyEvent(NotifyShow, 0));
}

void TMainForm::TrayLeftClick() {
  if (isVisible() && mainMark_ != -1)
    SlideOut();
  else
    SlideIn();
}

void TMainForm::PrepareTrayMenu() {
  menuForm_->UpdateForVisibility(isVisible());
  raise();
}

void TMainForm::ShowHint(QPoint at) {
  if (hintWindow_ || !log_) return;
  if (!QApplication::widgetAt(at) || log_->HintText().empty()) return;
  hintWindow_ = std::make_unique<TMyHintWindow>(this, &log_->Lines(), QString());
  QScreen* s = QGuiApplication::screenAt(at);
  if (!s) s = QGuiApplication::primaryScreen();
  const QRect area = s ? s->geometry() : QRect(0, 0, 1 << 14, 1 << 14);
  hintWindow_->setGeometry(PlaceHint(hintWindow_->CalcHintSize(), at, area));
  hintWindow_->show();
  if (hint_) hint_->SetHintShown(true);
  QGuiApplication::setOverrideCursor(QCursor(Qt::BlankCursor));
}

void TMainForm::HideHint() {
  if (!hintWindow_) return;
  hintWindow_->hide();
  hintWindow_.reset();
  if (hint_) hint_->SetHintShown(false);
  QGuiApplication::restoreOverrideCursor();
}

void TMainForm::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), palette().color(QPalette::Window));
  p.drawPixmap(0, 0, banner_);
  p.setPen(QColor(192, 192, 192));  // silver frame
  p.setBrush(Qt::NoBrush);
  p.drawRect(0, 0, width() - 1, height() - 1);
}

void TMainForm::mouseReleaseEvent(QMouseEvent* e) {
  if (e->button() == Qt::LeftButton && rect().contains(e->position().toPoint())) FormClick();
  QWidget::mouseReleaseEvent(e);
}

void TMainForm::closeEvent(QCloseEvent* e) {
  e->accept();
  emit Closed();
}

void TMainForm::Shutdown() {
  if (shutDown_) return;
  shutDown_ = true;
  animate_->removeEventFilter(this);
  closeImage_->removeEventFilter(this);
  if (tray_) {
    tray_->hide();
    tray_.reset();
  }
  calls_.BeginClosing();
  if (worker_) {
    calls_.ServeWhile([this] {
      worker_->Stop();
      worker_.reset();
    });
  }
  if (cryptoStarted_ && hooks_.ReleaseCrypto) hooks_.ReleaseCrypto();
  HideHint();
  log_.reset();
  if (hint_) {
    hint_->Stop();
    hint_.reset();
  }
  mainTimer_.stop();
  hideTimer_.stop();
  timer_.stop();
  animate_->SetActive(false);
}

}  // namespace kovrax
