#include "app/console/console_run.h"

#include <cstdio>

#include "app/auto_run.h"
#include "platform/files.h"

namespace zandrel {

int RunConsoleDetection(CZandrelDlg& dlg, ConsoleView& view, const ConsoleRunOptions& opt) {
  auto saveReport = [&] {
    if (opt.saveReport.empty()) return;
    const CReportBuffer& r = dlg.Report();
    if (!platform::WriteWholeFile(opt.saveReport, r.Data(), static_cast<size_t>(r.Length()))) {
      std::fprintf(stderr, "zandrel: cannot write %s\n", opt.saveReport.c_str());
    }
  };
  AutoRun drive(dlg, opt.send, {[&] { dlg.OnStartClicked(); }, [&] { dlg.OnSendClicked(); }}, saveReport);
  if (drive.Step() == AutoRun::Phase::kNotStarted) {
    std::fprintf(stderr, "zandrel: the detection could not be started\n");
    return kExitNotStarted;
  }
  bool cancelled = false, timedOut = false;
  ConsoleView::Clock::time_point uploadStart{};
  while (!view.Closed() && !drive.Finished()) {
    dlg.PumpUiCalls();
    if (platform::StopRequested()) {
      cancelled = true;
      dlg.OnCancelClicked();
      break;
    }
    while (int id = view.TakeDueTimer(ConsoleView::Clock::now())) {
      dlg.OnTimer(id);
      if (opt.afterTimer) opt.afterTimer(id);
      dlg.PumpUiCalls();
    }
    const AutoRun::Phase before = drive.phase();
    const AutoRun::Phase now = drive.Step();
    if (now == AutoRun::Phase::kUploading && before == AutoRun::Phase::kRunning) {
      uploadStart = ConsoleView::Clock::now();
    } else if (now == AutoRun::Phase::kUploading && opt.sendTimeout.count() > 0 &&
               ConsoleView::Clock::now() - uploadStart >= opt.sendTimeout) {
      timedOut = true;
      break;
    }
    if (!drive.Finished()) view.Wait(std::chrono::milliseconds(50));
  }
  dlg.OnDestroy();
  if (cancelled || view.Closed()) return kExitStopped;
  if (timedOut) {
    std::fprintf(stderr, "zandrel: the report was not sent within %lld s; giving up\n",
                 static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(opt.sendTimeout).count()));
    return kExitSendTimedOut;
  }
  if (opt.send && !dlg.LastUploadAccepted()) return kExitNotAccepted;
  return kExitDone;
}

}  // namespace zandrel
