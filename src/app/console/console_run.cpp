#include "app/console/console_run.h"

#include <cstdio>

#include "platform/files.h"

namespace zandrel {

int RunConsoleDetection(CZandrelDlg& dlg, ConsoleView& view, const ConsoleRunOptions& opt) {
  if (!dlg.OnStartClicked()) {
    std::fprintf(stderr, "zandrel: the detection could not be started\n");
    return 1;
  }
  enum { kRunning, kUploading, kDone } phase = kRunning;
  bool cancelled = false;
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
        phase = kUploading;
      } else {
        phase = kDone;
      }
    } else if (phase == kUploading && !dlg.UploadActive()) {
      phase = kDone;
    }
    if (phase != kDone) view.Wait(std::chrono::milliseconds(50));
  }
  dlg.OnDestroy();
  return cancelled || view.Closed() ? 130 : 0;
}

}  // namespace zandrel
