// The main dialog's logic, free of any user-interface toolkit: it owns all
// state of a detection run and reaches the screen through IZandrelView.
#pragma once
#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "app/detection_env.h"
#include "app/ui_call_queue.h"
#include "app/view.h"
#include "checks/check_sequencer.h"
#include "detect/module_inventory.h"
#include "platform/thread.h"

namespace zandrel {

CheckTargets DefaultTargets();

// The checks run through m_checks, which keeps their state on the dialog's
// behalf; the dialog is its host.
class CZandrelDlg final : private ICheckHost {
 public:
  explicit CZandrelDlg(IZandrelView& view, DetectionEnv env = DetectionEnv::Platform(),
                       CheckTargets targets = DefaultTargets());
  ~CZandrelDlg() override;
  CZandrelDlg(const CZandrelDlg&) = delete;
  CZandrelDlg& operator=(const CZandrelDlg&) = delete;

  void OnInitDialog();
  // Starts a detection run on a worker thread; refused while a run or an
  // upload is going, or once the dialog is closing.
  bool OnStartClicked();
  void OnCancelClicked();
  // Releases the buffers, the clients and the worker; safe to call twice.
  void OnDestroy();
  // UI thread: runs the calls the detection worker is waiting on.
  void PumpUiCalls() { m_uiCalls.Pump(); }

  // Window-timer message and the send button, for the checks.
  void OnTimer(int id) { m_checks.OnTimer(id); }
  void OnSendClicked() { m_checks.OnSendClicked(); }

  bool WorkerRunning() const { return workerRunning_; }
  const ModuleInventory& Inventory() const { return m_moduleInventory; }
  const CReportBuffer& Report() const { return m_checks.Report(); }
  const CReportBuffer& ChannelReply() const { return m_checks.ChannelReply(); }
  const CSpeedMeter& SpeedMeter() const { return m_checks.SpeedMeter(); }
  bool RunActive() const { return m_checks.RunActive(); }
  bool UploadActive() const { return m_checks.UploadActive(); }
  // How the last upload ended (see CCheckSequencer::LastUploadStatus).
  int32_t LastUploadStatus() const { return m_checks.LastUploadStatus(); }
  bool LastUploadAccepted() const { return m_checks.LastUploadAccepted(); }
  // The hint page on the report host the checks were given.
  std::string HintUrl() const;
  // The checks themselves, whose result and HTTP callbacks tests drive.
  CCheckSequencer& Checks() { return m_checks; }

 private:
  // ICheckHost
  void LogProgress(std::string line) override;
  void EnableStartButton(bool enable) override;
  void EnableSendButton(bool enable) override;
  void ArmTimer(int id, uint32_t periodMs) override;
  void StopTimer(int id) override;
  std::string ReadSpeedUrl() override;
  void SetStatusText(const std::string& text) override;
  void PauseMs(uint32_t ms) override { env_.pauseMs(ms); }
  uint32_t TickCount() override { return env_.tickCount(); }

  void RunDetection();
  bool OnUiThread() const { return std::this_thread::get_id() == uiThread_; }
  // Runs fn on the UI thread and waits for it; false when the dialog is closing.
  bool OnUi(const std::function<void()>& fn);
  bool WorkerSleep(uint32_t ms);
  bool Cancelled() { return m_uiCalls.Closed(); }

  IZandrelView& view_;
  DetectionEnv env_;
  CCheckSequencer m_checks;
  ModuleInventory m_moduleInventory;
  UiCallQueue m_uiCalls;
  std::thread::id uiThread_;
  platform::Thread worker_;
  std::atomic<bool> workerRunning_{false};
  bool destroyed_ = false;
};

}  // namespace zandrel
