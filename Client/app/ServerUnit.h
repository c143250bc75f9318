// TMainForm: the status window. Small, borderless, on top in the bottom right corner; slides in
// when the gateway works, animates its state, keeps the coloured log and owns the tray icon.
#pragma once
#include <QLabel>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Animate.h"
#include "HintWindow.h"
#include "MenuUnit.h"
#include "MessageLog.h"
#include "QtDialogs.h"
#include "QtNotifySink.h"
#include "gateway/ActiveXThreadUnit.h"
#include "shell/Settings.h"

namespace kovrax {

// The running gateway as the window sees it.
class IWorker {
 public:
  virtual ~IWorker() = default;
  // Ends the worker and waits for it; it may ask the main thread for answers meanwhile.
  virtual void Stop() = 0;
};

// What the window's start-up and shutdown do beyond the window itself; each may be empty.
struct TShellHooks {
  std::function<void()> InitCrypto;     // crypto library and platform-key methods (may throw)
  std::function<void()> ReleaseCrypto;  // at shutdown, after the worker has ended
  std::function<std::unique_ptr<IWorker>(TSettings, TServices)> StartWorker;  // may throw
  THintThread::ms HintPause{500};
  THintThread::ms HintLimit{10000};
};

class TMainForm : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kWidth = 122;
  static constexpr int kHeight = 60;

  // portArg: the first command-line argument, empty when there is none.
  TMainForm(const std::string& portArg, TShellHooks hooks);
  ~TMainForm() override;

  // Operations of the window.
  void SlideIn();
  void SlideOut();
  void ShowOrHide(bool show);
  void SetAnimation(const QString& name);
  void AddLogLine(int colour, const std::string& cp1250);
  void FormClick();
  void CloseImageClick();
  void AppException(const std::string& message);
  void StartThread();

  // Timer handlers (public so that their steps can be driven one by one).
  void MainTimerTimer();
  void HideTimerTimer();
  void TimerTimer();

  // The tray icon's callbacks: left button released, and the menu about to open.
  void TrayLeftClick();
  void PrepareTrayMenu();
  // Hint requests (1127 at a screen point, 1128).
  void ShowHint(QPoint at);
  void HideHint();

  // Stops the worker, the hint thread and everything start-up took, in order. Idempotent.
  void Shutdown();

  // State for the owner and for checks.
  INotifySink& Sink() { return sink_; }
  TMainThreadCalls& Calls() { return calls_; }
  TMenuForm& MenuForm() { return *menuForm_; }
  QSystemTrayIcon* Tray() { return tray_.get(); }
  TAnimate* Animation() { return animate_; }
  const TMessageLog* Log() const { return log_.get(); }
  TMyHintWindow* HintWindow() { return hintWindow_.get(); }
  THintThread* HintThread() { return hint_.get(); }
  IWorker* Worker() { return worker_.get(); }
  const TSettings& Settings() const { return settings_; }
  bool Pinned() const { return pinned_; }
  int FullHeight() const { return fullHeight_; }
  int MainMark() const { return mainMark_; }
  int HideMark() const { return hideMark_; }
  int TimerMark() const { return timerMark_; }
  QTimer& MainTimer() { return mainTimer_; }
  QTimer& HideTimer() { return hideTimer_; }
  QTimer& StatusTimer() { return timer_; }
  std::string HintText() const { return log_ ? log_->HintText() : std::string(); }

 signals:
  void Closed();

 protected:
  bool event(QEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* e) override;
  void paintEvent(QPaintEvent*) override;
  void mouseReleaseEvent(QMouseEvent* e) override;
  void closeEvent(QCloseEvent* e) override;

 private:
  void AfterCreate();
  void HandleNotify(const TNotifyEvent& n);
  void PlaceBottomRight();
  void Dispatch(QEvent* e);

  TShellHooks hooks_;
  TSettings settings_;
  std::vector<std::string> configLines_;
  TMainThreadCalls calls_;
  QtNotifySink sink_;
  QtCertChooser chooser_;
  QtPinPrompt pinPrompt_;
  QtNoticeBox noticeBox_;

  QPixmap banner_;
  QLabel* closeImage_ = nullptr;
  TAnimate* animate_ = nullptr;
  QTimer mainTimer_;
  QTimer hideTimer_;
  QTimer timer_;
  int mainMark_ = 0;
  int hideMark_ = 0;
  int timerMark_ = 0;
  int fullHeight_ = kHeight;
  bool pinned_ = false;
  bool shutDown_ = false;
  bool cryptoStarted_ = false;

  std::unique_ptr<TMenuForm> menuForm_;
  std::unique_ptr<QSystemTrayIcon> tray_;
  std::unique_ptr<TMessageLog> log_;
  std::unique_ptr<IWorker> worker_;
  std::unique_ptr<THintThread> hint_;
  std::unique_ptr<TMyHintWindow> hintWindow_;
};

// The application icon, drawn from the program's own picture.
QIcon AppIcon();

}  // namespace kovrax
