// A view that records every call and lets a test fire timers by hand.
#pragma once
#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "app/view.h"
#include "app/zandrel_dlg.h"

namespace fake {

class FakeView : public zandrel::IZandrelView {
 public:
  void AddProgressLine(const std::string& line) override { lines.push_back(line); }
  void EnableStartButton(bool e) override { start = e; }
  void EnableSendButton(bool e) override { send = e; }
  std::string ProblemText() override { return problem; }
  std::string SpeedUrl() override { return url; }
  void SetSpeedUrl(const std::string& u) override { url = u; }
  void SetStatusText(const std::string& t) override { statuses.push_back(t); }
  void SetTimer(int id, uint32_t period) override { timers[id] = period; }
  void KillTimer(int id) override { timers.erase(id); }
  void CloseDialog() override { closed = true; }
  void RequestUiPump() override { ++pumpRequests; }

  std::vector<std::string> lines, statuses;
  std::string problem, url;
  bool start = true, send = true, closed = false;
  std::map<int, uint32_t> timers;
  std::atomic<int> pumpRequests{0};
};

// Runs the detection worker to its end, serving its synchronous calls.
inline bool RunWorker(zandrel::CZandrelDlg& dlg) {
  if (!dlg.OnStartClicked()) return false;
  while (dlg.WorkerRunning()) {
    dlg.PumpUiCalls();
    std::this_thread::yield();
  }
  dlg.PumpUiCalls();
  return true;
}

// Fires the armed timers by hand, lowest id first, one tick each round,
// until none is armed; returns the ticks per timer id.
inline std::map<int, int> FireTimers(zandrel::CZandrelDlg& dlg, FakeView& v, int maxTicks = 20000) {
  std::map<int, int> ticks;
  for (int n = 0; n < maxTicks && !v.timers.empty(); ++n) {
    int id = v.timers.begin()->first;
    ++ticks[id];
    dlg.OnTimer(id);
  }
  return ticks;
}

}  // namespace fake
