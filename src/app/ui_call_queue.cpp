#include "app/ui_call_queue.h"

#include <chrono>

namespace zandrel {

bool UiCallQueue::Invoke(std::function<void()> fn, const std::function<void()>& wakeUi) {
  auto call = std::make_shared<Call>();
  call->fn = std::move(fn);
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (closed_) return false;
    pending_.push_back(call);
  }
  wakeUi();
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait(lock, [&] { return call->done || closed_; });
  return call->done;
}

void UiCallQueue::Pump() {
  for (;;) {
    std::shared_ptr<Call> call;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (pending_.empty() || closed_) return;
      call = pending_.front();
      pending_.pop_front();
    }
    call->fn();
    {
      std::lock_guard<std::mutex> lock(mu_);
      call->done = true;
    }
    cv_.notify_all();
  }
}

void UiCallQueue::Close() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    closed_ = true;
    pending_.clear();
  }
  cv_.notify_all();
}

bool UiCallQueue::Closed() {
  std::lock_guard<std::mutex> lock(mu_);
  return closed_;
}

bool UiCallQueue::SleepUnlessClosed(uint32_t ms) {
  std::unique_lock<std::mutex> lock(mu_);
  return !cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return closed_; });
}

}  // namespace zandrel
