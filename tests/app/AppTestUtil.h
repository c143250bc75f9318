// Helpers for the window's tests: event pumping with a bounded wait, a status window without
// a gateway, and a scripted worker.
#pragma once
#include <QCoreApplication>
#include <QElapsedTimer>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include "ServerUnit.h"

namespace kovrax::test {

// Delivers posted events until cond holds or the time is up; the final value of cond.
// Only posted events: the window's own timers do not run, so the tests drive them step by step.
inline bool PumpUntil(const std::function<bool()>& cond, int limitMs = 5000) {
  QElapsedTimer t;
  t.start();
  while (!cond()) {
    if (t.elapsed() > limitMs) return cond();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    QCoreApplication::sendPostedEvents();
  }
  return true;
}

inline void Pump() { QCoreApplication::sendPostedEvents(); }

// A worker that runs `onStop` on its own thread when asked to stop, then ends.
class ScriptedWorker : public IWorker {
 public:
  explicit ScriptedWorker(std::function<void()> onStop) : onStop_(std::move(onStop)) {
    thread_ = std::thread([this] {
      while (!stop_) std::this_thread::sleep_for(std::chrono::milliseconds(2));
      onStop_();
    });
  }
  ~ScriptedWorker() override { Stop(); }
  void Stop() override {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::function<void()> onStop_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The status window after its start-up step, with the given hooks.
inline std::unique_ptr<TMainForm> MakeForm(TShellHooks hooks = {}) {
  auto form = std::make_unique<TMainForm>(std::string(), std::move(hooks));
  form->show();
  QCoreApplication::sendPostedEvents(form.get(), EvAfterCreate);
  return form;
}

}  // namespace kovrax::test
