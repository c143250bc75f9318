#include "QtNotifySink.h"

#include <QCoreApplication>
#include <QThread>

#include <thread>

namespace kovrax {

class TMainThreadCalls::Receiver : public QObject {
 public:
  explicit Receiver(TMainThreadCalls& owner) : owner_(owner) {}
  bool event(QEvent* e) override {
    if (e->type() != EvServeCalls) return QObject::event(e);
    owner_.ServePending();
    return true;
  }

 private:
  TMainThreadCalls& owner_;
};

TMainThreadCalls::TMainThreadCalls() : receiver_(std::make_unique<Receiver>(*this)) {}

TMainThreadCalls::~TMainThreadCalls() {
  // Nobody may be left waiting on a call that will never be served.
  BeginClosing();
  ServePending();
}

bool TMainThreadCalls::OnMainThread() const { return QThread::currentThread() == receiver_->thread(); }

bool TMainThreadCalls::Call(std::function<void()> fn, bool cancellable) {
  if (OnMainThread()) {
    if (cancellable && Closing()) return false;
    fn();
    return true;
  }
  auto p = std::make_shared<Pending>();
  p->fn = std::move(fn);
  p->cancellable = cancellable;
  std::unique_lock lock(mutex_);
  if (cancellable && closing_) return false;
  queue_.push_back(p);
  cv_.notify_all();
  QCoreApplication::postEvent(receiver_.get(), new QEvent(EvServeCalls));
  cv_.wait(lock, [&] { return p->done; });
  return p->ran;
}

void TMainThreadCalls::ServePending() {
  for (;;) {
    std::shared_ptr<Pending> p;
    bool skip = false;
    {
      std::lock_guard lock(mutex_);
      if (queue_.empty()) return;
      p = queue_.front();
      queue_.pop_front();
      skip = p->cancellable && closing_;
    }
    if (!skip) {
      try {
        p->fn();
        p->ran = true;
      } catch (...) {
        // The caller waits for an answer, not for our failure; it sees "not run".
      }
    }
    std::lock_guard lock(mutex_);
    p->done = true;
    cv_.notify_all();
  }
}

void TMainThreadCalls::BeginClosing() {
  std::lock_guard lock(mutex_);
  closing_ = true;
}

bool TMainThreadCalls::Closing() const {
  std::lock_guard lock(mutex_);
  return closing_;
}

void TMainThreadCalls::ServeWhile(const std::function<void()>& work) {
  {
    std::lock_guard lock(mutex_);
    workDone_ = false;
  }
  std::thread helper([&] {
    work();
    std::lock_guard lock(mutex_);
    workDone_ = true;
    cv_.notify_all();
  });
  for (;;) {
    bool finished = false;
    {
      std::unique_lock lock(mutex_);
      cv_.wait(lock, [&] { return workDone_ || !queue_.empty(); });
      finished = workDone_ && queue_.empty();
    }
    ServePending();
    if (finished) break;
  }
  helper.join();
}

QtNotifySink::QtNotifySink(QObject* form, TMainThreadCalls& calls, std::function<std::string()> versionLine)
    : form_(form), calls_(calls), versionLine_(std::move(versionLine)) {}

void QtNotifySink::Post(int code, long long value) {
  QCoreApplication::postEvent(form_, new TNotifyEvent(code, value));
}

void QtNotifySink::PostText(std::string cp1250) {
  QCoreApplication::postEvent(form_, new TNotifyEvent(std::move(cp1250)));
}

std::string QtNotifySink::VersionLine() {
  std::string line;
  calls_.Call([&] { line = versionLine_(); }, false);
  return line;
}

}  // namespace kovrax
