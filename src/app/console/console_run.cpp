#include "app/console/console_run.h"

#include <cstdio>

#include "platform/files.h"

namespace zandrel {

int RunConsoleDetection(CZandrelDlg& dlg, ConsoleView& view, const ConsoleRunOptions& opt) {
  if (!dlg.OnStartClicked()) {
    std::fprintf(stderr, "zandrel: the detection could not be started\n");
    return kExitNotStarted;
  }
  enum { kRunning, kUploading, kDone } phase = kRunning;
  bool cancelled = false, timedOut = false;
  ConsoleView::Clock::time_point uploadStart{};
  while (!view.Closed() && phase != kDone) {
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
    if (phase == kRunning && !dlg.RunActive() && !dlg.WorkerRunning()) {
      if (!opt.saveReport.empty()) {
        const CReportBuffer& r = dlg.Report();
        if (!platform::WriteWholeFile(opt.saveReport, r.Data(), static_cast<size_t>(r.Length()))) {
          std::fprintf(stderr, "zandrel: cannot write %s\n", opt.saveReport.c_str());
        }
      }
      if (opt.send) {
        dlg.OnSendClicked();
        uploadStart = ConsoleView::Clock::now();
        phase = kUploading;
      } else {
        phase = kDone;
      }
    } else if (phase == kUploading && !dlg.UploadActive()) {
      phase = kDone;
    } else if (phase == kUploading && opt.sendTimeout.count() > 0 &&
               ConsoleView::Clock::now() - uploadStart >= opt.sendTimeout) {
      timedOut = true;
      break;
    }
    if (phase != kDone) view.Wait(std::chrono::milliseconds(50));
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
