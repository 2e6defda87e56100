#include "app/zandrel_dlg.h"

#include "app/defaults.h"
#include "base/format.h"
#include "base/texts.h"
#include "detect/probes.h"

namespace zandrel {

CheckTargets DefaultTargets() {
  CheckTargets t;
  t.reportHost = g_reportHost;
  t.uploadUrl = http::report_url(g_reportHost);
  return t;
}

CZandrelDlg::CZandrelDlg(IZandrelView& view, DetectionEnv env, CheckTargets targets)
    : view_(view), env_(std::move(env)), m_checks(*this, std::move(targets)), uiThread_(std::this_thread::get_id()) {}

CZandrelDlg::~CZandrelDlg() { OnDestroy(); }

std::string CZandrelDlg::HintUrl() const { return "http://" + m_checks.Targets().reportHost + "/Hint.html"; }

void CZandrelDlg::OnInitDialog() {
  m_checks.OnInitDialog();
  view_.SetSpeedUrl(kDefaultSpeedUrl);
  view_.EnableSendButton(false);
}

bool CZandrelDlg::OnStartClicked() {
  if (destroyed_ || m_checks.RunActive() || m_checks.UploadActive() || workerRunning_) return false;
  worker_.Join();  // the previous run's worker has ended; collect it
  m_checks.SetRunActive(true);
  workerRunning_ = true;
  if (!worker_.Start([this] { RunDetection(); }, 0)) {
    m_checks.SetRunActive(false);
    workerRunning_ = false;
    return false;
  }
  return true;
}

void CZandrelDlg::OnCancelClicked() { view_.CloseDialog(); }

void CZandrelDlg::OnDestroy() {
  if (destroyed_) return;
  destroyed_ = true;
  // Release a worker blocked on the UI thread or sleeping, then wait for it:
  // it must never touch the dialog after this.
  m_uiCalls.Close();
  worker_.Join();
  for (int id = TIMER_UDP_WAIT; id <= TIMER_CHANNEL; ++id) view_.KillTimer(id);
  m_checks.Release();
}

bool CZandrelDlg::OnUi(const std::function<void()>& fn) {
  if (OnUiThread()) {
    fn();
    return true;
  }
  return m_uiCalls.Invoke(fn, [this] { view_.RequestUiPump(); });
}

bool CZandrelDlg::WorkerSleep(uint32_t ms) { return m_uiCalls.SleepUnlessClosed(ms); }

void CZandrelDlg::LogProgress(std::string line) {
  OnUi([&] { view_.AddProgressLine(line); });
}
void CZandrelDlg::EnableStartButton(bool enable) {
  OnUi([&] { view_.EnableStartButton(enable); });
}
void CZandrelDlg::EnableSendButton(bool enable) {
  OnUi([&] { view_.EnableSendButton(enable); });
}
void CZandrelDlg::ArmTimer(int id, uint32_t periodMs) {
  OnUi([&] { view_.SetTimer(id, periodMs); });
}
void CZandrelDlg::StopTimer(int id) {
  OnUi([&] { view_.KillTimer(id); });
}
std::string CZandrelDlg::ReadSpeedUrl() {
  std::string url;
  OnUi([&] { url = view_.SpeedUrl(); });
  return url;
}
void CZandrelDlg::SetStatusText(const std::string& text) {
  OnUi([&] { view_.SetStatusText(text); });
}

void CZandrelDlg::RunDetection() {
  struct Done {
    std::atomic<bool>& flag;
    ~Done() { flag = false; }
  } done{workerRunning_};
  auto append = [this](const std::string& s) { m_checks.AppendLine(s); };
  auto log = [this](const std::string& s) { LogProgress(s); };

  EnableSendButton(false);
  EnableStartButton(false);
  m_checks.ResetReport();
  std::string problem;
  OnUi([&] { problem = view_.ProblemText(); });
  m_checks.AppendLine(StringPrintf(texts::kTextProblemLine, problem.c_str()));

  LogProgress(texts::kBannerNetworkInfo);
  LogProgress(texts::kTextGettingNetworkInfo);
  if (Cancelled()) return;
  env_.probeAdapters(append);
  LogProgress(texts::kTextNetworkInfoOk);
  LogProgress(texts::kBannerClosing);
  LogProgress("");

  LogProgress(texts::kBannerModuleStatus);
  LogProgress(texts::kTextGettingModuleInfo);
  if (Cancelled()) return;
  env_.collectModules(m_moduleInventory, log);
  // What follows the inventory must still fit: a large inventory is cut.
  int64_t budget = static_cast<int64_t>(m_checks.Report().Room()) - static_cast<int64_t>(LocalResultsMaxBytes()) -
                   CCheckSequencer::NetworkResultsMaxBytes();
  m_moduleInventory.PrintModuleInventory(append, budget > 0 ? static_cast<size_t>(budget) : 0);
  WorkerSleep(10);
  LogProgress(texts::kTextModuleInfoOk);
  LogProgress("");

  LogProgress(texts::kTextGettingCpu);
  int32_t load = 0;
  if (env_.cpuAvailable && !Cancelled()) {
    CpuSampleSource cpu = env_.cpu;
    if (!cpu.sleepMs) cpu.sleepMs = [this](uint32_t ms) { WorkerSleep(ms); };
    load = SampleCpuLoad(cpu);
  }
  if (Cancelled()) return;
  m_checks.LogAndAppend(StringPrintf(texts::kFormatCpuLine, load));
  LogProgress("");

  LogProgress(texts::kTextGettingDisk);
  m_checks.LogAndAppend(FormatFreeSpaceLine(env_.freeSpaceMB()));
  LogProgress(texts::kBannerClosing);
  LogProgress("");
  LogProgress(texts::kBannerNetworkCheck);

  if (Cancelled()) return;
  m_checks.StartUdpCheck([this](uint32_t ms) { return WorkerSleep(ms); });
}

}  // namespace zandrel
