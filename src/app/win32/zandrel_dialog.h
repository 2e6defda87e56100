// The Windows dialog: template 102 from the program's resources, driven by
// the plain Win32 API, implementing the view of CZandrelDlg.
#pragma once
#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "app/view.h"
#include "app/zandrel_dlg.h"

namespace zandrel::win32 {

// Sent (synchronously) by the detection worker: run the calls it waits on.
constexpr UINT WM_ZANDREL_UI_CALLS = WM_APP + 1;
// Posted from WM_INITDIALOG: host the hint page once the dialog is up.
constexpr UINT WM_ZANDREL_OPEN_HINT = WM_APP + 2;
// A window timer of the front end itself (timers 1 to 5 are the run's).
constexpr UINT_PTR kTickerTimer = 100;

class ZandrelDialog final : public IZandrelView {
 public:
  explicit ZandrelDialog(HINSTANCE instance, DetectionEnv env = DetectionEnv::Platform(),
                         CheckTargets targets = DefaultTargets());
  ~ZandrelDialog() override;
  ZandrelDialog(const ZandrelDialog&) = delete;
  ZandrelDialog& operator=(const ZandrelDialog&) = delete;

  // Creates the dialog from template 102 and runs it modally.
  void Run();

  // Applied in WM_INITDIALOG, after the logic has filled in its defaults
  // (GBK texts).
  void PresetProblem(const std::string& gbk) { presetProblem_ = gbk; hasProblem_ = true; }
  void PresetSpeedUrl(const std::string& gbk) { presetUrl_ = gbk; hasUrl_ = true; }
  // Called on the UI thread every periodMs while the dialog is open.
  void SetTicker(std::function<void()> tick, UINT periodMs) { ticker_ = std::move(tick); tickerMs_ = periodMs; }
  // Called with every progress line as it is added (GBK).
  void SetLineObserver(std::function<void(const std::string&)> fn) { lineObserver_ = std::move(fn); }

  HWND Window() const { return hwnd_; }
  CZandrelDlg& Logic() { return *dlg_; }

  // IZandrelView
  void AddProgressLine(const std::string& line) override;
  void EnableStartButton(bool enable) override;
  void EnableSendButton(bool enable) override;
  std::string ProblemText() override;
  std::string SpeedUrl() override;
  void SetSpeedUrl(const std::string& url) override;
  void SetStatusText(const std::string& text) override;
  void SetTimer(int id, uint32_t periodMs) override;
  void KillTimer(int id) override;
  void CloseDialog() override;
  void RequestUiPump() override;

 private:
  static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  INT_PTR OnMessage(UINT msg, WPARAM wp, LPARAM lp);
  void OnInitDialog();
  void OnPaint();
  void OnCommand(int id);
  void OnDestroy();
  void OpenHintPage();
  void EnableButton(int id, bool enable);
  HWND Item(int id) const { return GetDlgItem(hwnd_, id); }

  HINSTANCE instance_;
  HICON icon_ = nullptr;
  bool socketsStarted_ = false;
  std::unique_ptr<CZandrelDlg> dlg_;
  HWND hwnd_ = nullptr;
  // The worker reads these; the UI thread writes them.
  std::atomic<HWND> sendTarget_{nullptr};
  std::atomic<bool> closing_{false};
  HWND hintHost_ = nullptr;     // the child window from template 133
  HMODULE browserHost_ = nullptr;  // atl.dll, when it could be loaded
  bool destroyed_ = false;

  bool hasProblem_ = false, hasUrl_ = false;
  std::string presetProblem_, presetUrl_;
  std::function<void()> ticker_;
  UINT tickerMs_ = 100;
  std::function<void(const std::string&)> lineObserver_;
};

}  // namespace zandrel::win32
