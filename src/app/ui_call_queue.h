// Synchronous calls from a worker thread to the UI thread: the worker waits
// until the UI thread has run its call, or until the queue is closed (the
// dialog is going away), whichever comes first.
#pragma once
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

namespace zandrel {

class UiCallQueue {
 public:
  // Worker side. False when the queue was closed and the call did not run.
  bool Invoke(std::function<void()> fn, const std::function<void()>& wakeUi);
  // UI side: runs every waiting call.
  void Pump();
  // UI side: refuses new calls and releases every waiting worker.
  void Close();
  bool Closed();
  // A sleep that ends early when the queue is closed; false if it did.
  bool SleepUnlessClosed(uint32_t ms);

 private:
  struct Call {
    std::function<void()> fn;
    bool done = false;
  };
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::shared_ptr<Call>> pending_;
  bool closed_ = false;
};

}  // namespace zandrel
