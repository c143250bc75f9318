// The coloured hint over the status window: THintThread watches how long the mouse rests and
// asks the form to open or close TMyHintWindow, which paints each log line in its colour.
#pragma once
#include <QObject>
#include <QRect>
#include <QWidget>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kovrax {

class THintThread {
 public:
  using ms = std::chrono::milliseconds;
  // form gets EvHintShow and EvHintHide. The thread starts at once.
  explicit THintThread(QObject* form, ms pause = ms(500), ms limit = ms(10000));
  ~THintThread();
  THintThread(const THintThread&) = delete;
  THintThread& operator=(const THintThread&) = delete;

  // Main thread, for every mouse movement over the status window; -1 only wakes the thread.
  void ReportMouseMove(long long position);
  // Main thread: whether a hint window is open now.
  void SetHintShown(bool shown) { hintShown_ = shown; }
  // Mark terminated, interrupt the sleep, wake the wait, join. Idempotent.
  void Stop();

 private:
  void Run();
  static long long NowMs();
  void Signal();

  QObject* form_;
  const ms pause_;
  const ms limit_;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> waiting_{false};
  std::atomic<bool> hintShown_{false};
  std::atomic<long long> lastPosition_{-1};
  std::atomic<long long> lastMoveMs_{0};
  std::mutex mutex_;
  std::condition_variable cv_;
  bool quitPosted_ = false;  // ends a sleep
  bool wake_ = false;        // auto-reset: ends one wait
  std::thread thread_;
};

// Where a hint of that size opens for the cursor at `at`: its top left at the cursor, pulled
// back inside the screen with 5 pixels to spare on the right and 4 at the bottom.
QRect PlaceHint(QSize size, QPoint at, const QRect& screen);

class TMyHintWindow : public QWidget {
 public:
  static constexpr int kMaxWidth = 400;
  // log: the published message log, or null (then the caption text is shown). Not owned.
  TMyHintWindow(QWidget* form, const std::vector<std::string>* log, const QString& caption);
  // The size that holds every line, at most kMaxWidth of text wide.
  QSize CalcHintSize() const;

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  const std::vector<std::string>* log_;
  QString caption_;
};

}  // namespace kovrax
