// The few user-interface operations a detection run needs. Front ends
// implement it on their widgets; the dialog's logic never calls a toolkit.
// Every operation runs on the UI thread (the dialog marshals calls from its
// detection worker). Texts are GBK.
#pragma once
#include <cstdint>
#include <string>

namespace zandrel {

class IZandrelView {
 public:
  virtual ~IZandrelView() = default;
  // Adds a line at the end of the progress list and scrolls to it.
  virtual void AddProgressLine(const std::string& line) = 0;
  virtual void EnableStartButton(bool enable) = 0;
  virtual void EnableSendButton(bool enable) = 0;
  virtual std::string ProblemText() = 0;
  virtual std::string SpeedUrl() = 0;
  virtual void SetSpeedUrl(const std::string& url) = 0;
  virtual void SetStatusText(const std::string& text) = 0;
  // Arms (or re-arms) window timer id; the front end later calls
  // CZandrelDlg::OnTimer(id) on the UI thread at that period.
  virtual void SetTimer(int id, uint32_t periodMs) = 0;
  virtual void KillTimer(int id) = 0;
  virtual void CloseDialog() = 0;
  // The detection worker queued a call for the UI thread: the front end must
  // call CZandrelDlg::PumpUiCalls() on the UI thread soon. May be called
  // from any thread.
  virtual void RequestUiPump() = 0;
};

}  // namespace zandrel
