#include "app/console/console_view.h"

#include "platform/console.h"
#include "platform/gbk.h"

namespace zandrel {

void ConsoleView::AddProgressLine(const std::string& line) {
  std::string text = line;
  // A line that carries its own CR LF is printed without a second break.
  if (text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0) text.resize(text.size() - 2);
  platform::WriteText(out_, platform::GbkToUtf8(text) + "\n");
}

void ConsoleView::SetStatusText(const std::string& text) {
  if (text == status_) return;
  status_ = text;
  if (text.empty()) return;
  platform::WriteText(out_, "[" + platform::GbkToUtf8(text) + "]\n");
}

void ConsoleView::SetTimer(int id, uint32_t periodMs) {
  auto period = std::chrono::milliseconds(periodMs ? periodMs : 1);
  timers_[id] = Timer{period, Clock::now() + period};
}

void ConsoleView::RequestUiPump() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    pumpRequested_ = true;
  }
  cv_.notify_one();
}

int ConsoleView::TakeDueTimer(Clock::time_point now) {
  int best = 0;
  Clock::time_point bestDue{};
  for (auto& [id, t] : timers_) {
    if (t.due <= now && (best == 0 || t.due < bestDue)) {
      best = id;
      bestDue = t.due;
    }
  }
  if (best) {
    Timer& t = timers_[best];
    t.due += t.period;
    if (t.due <= now) t.due = now + t.period;  // a late tick is not repeated
  }
  return best;
}

void ConsoleView::Wait(std::chrono::milliseconds maxWait) {
  auto until = Clock::now() + maxWait;
  for (auto& [id, t] : timers_) until = std::min(until, t.due);
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait_until(lock, until, [&] { return pumpRequested_; });
  pumpRequested_ = false;
}

}  // namespace zandrel
