// How the worker and the helper threads reach the status window: posted events in the order
// they were sent, and calls that run on the main thread while the caller waits.
#pragma once
#include <QEvent>
#include <QObject>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "shell/Notify.h"

namespace kovrax {

// Event types keep the numbers of the window messages they stand for.
constexpr QEvent::Type EvAfterCreate = QEvent::Type(1025);
constexpr QEvent::Type EvSecondInstance = QEvent::Type(1026);
constexpr QEvent::Type EvNotify = QEvent::Type(1126);
constexpr QEvent::Type EvHintShow = QEvent::Type(1127);
constexpr QEvent::Type EvHintHide = QEvent::Type(1128);
constexpr QEvent::Type EvServeCalls = QEvent::Type(1129);

// A worker notification; a status text travels inside the event and goes with it.
class TNotifyEvent : public QEvent {
 public:
  TNotifyEvent(int code, long long value) : QEvent(EvNotify), Code(code), Value(value) {}
  explicit TNotifyEvent(std::string cp1250)
      : QEvent(EvNotify), Code(NotifyText), HasText(true), Text(std::move(cp1250)) {}
  int Code = 0;
  long long Value = 0;
  bool HasText = false;
  std::string Text;
};

// Runs functions on the main thread for callers on other threads, which wait for them.
class TMainThreadCalls {
 public:
  TMainThreadCalls();  // on the main thread
  ~TMainThreadCalls();
  TMainThreadCalls(const TMainThreadCalls&) = delete;
  TMainThreadCalls& operator=(const TMainThreadCalls&) = delete;

  // Runs fn on the main thread and returns when it has run. A cancellable call (a dialog) is
  // not run once the shell is closing; then the result is false.
  bool Call(std::function<void()> fn, bool cancellable);
  // Main thread: runs what is waiting.
  void ServePending();
  // From now on cancellable calls are refused.
  void BeginClosing();
  bool Closing() const;
  // Main thread: runs work on a helper thread and keeps serving calls until it has finished,
  // so that a worker waiting for an answer can still end.
  void ServeWhile(const std::function<void()>& work);

 private:
  struct Pending {
    std::function<void()> fn;
    bool cancellable = false;
    bool done = false;
    bool ran = false;
  };
  class Receiver;

  bool OnMainThread() const;

  std::unique_ptr<Receiver> receiver_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::shared_ptr<Pending>> queue_;
  bool closing_ = false;
  bool workDone_ = false;
};

// INotifySink for the status window: Post and PostText become events for the form; the
// version request is answered on the main thread while the worker waits.
class QtNotifySink : public INotifySink {
 public:
  QtNotifySink(QObject* form, TMainThreadCalls& calls, std::function<std::string()> versionLine);
  void Post(int code, long long value) override;
  void PostText(std::string cp1250) override;
  std::string VersionLine() override;

 private:
  QObject* form_;
  TMainThreadCalls& calls_;
  std::function<std::string()> versionLine_;
};

}  // namespace kovrax
