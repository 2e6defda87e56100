// The dialog's view for terminals: progress lines on standard output as
// UTF-8, timers kept in a table that the main loop fires.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>

#include "app/view.h"

namespace zandrel {

class ConsoleView final : public IZandrelView {
 public:
  using Clock = std::chrono::steady_clock;

  explicit ConsoleView(std::FILE* out) : out_(out) {}

  void AddProgressLine(const std::string& line) override;
  void EnableStartButton(bool enable) override { startEnabled_ = enable; }
  void EnableSendButton(bool enable) override { sendEnabled_ = enable; }
  std::string ProblemText() override { return problem_; }
  std::string SpeedUrl() override { return speedUrl_; }
  void SetSpeedUrl(const std::string& url) override { speedUrl_ = url; }
  void SetStatusText(const std::string& text) override;
  void SetTimer(int id, uint32_t periodMs) override;
  void KillTimer(int id) override { timers_.erase(id); }
  void CloseDialog() override { closed_ = true; }
  void RequestUiPump() override;

  void SetProblemText(const std::string& gbk) { problem_ = gbk; }
  bool Closed() const { return closed_; }
  bool StartEnabled() const { return startEnabled_; }
  bool SendEnabled() const { return sendEnabled_; }

  // The id of a timer that is due at now (the earliest first), rescheduled
  // for its next period; 0 when none is due.
  int TakeDueTimer(Clock::time_point now);
  // Waits until the next timer is due, a pump is requested, or maxWait passes.
  void Wait(std::chrono::milliseconds maxWait);

 private:
  struct Timer {
    std::chrono::milliseconds period;
    Clock::time_point due;
  };
  std::FILE* out_;
  std::string problem_, speedUrl_, status_;
  bool startEnabled_ = true, sendEnabled_ = true, closed_ = false;
  std::map<int, Timer> timers_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool pumpRequested_ = false;
};

}  // namespace zandrel
