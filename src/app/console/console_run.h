// The console front end's main loop: one detection run (and its upload)
// driven by the console view's timers on the calling thread.
#pragma once
#include <functional>
#include <string>

#include "app/console/console_view.h"
#include "app/zandrel_dlg.h"

namespace zandrel {

struct ConsoleRunOptions {
  bool send = false;          // upload the report when the run has ended
  std::string saveReport;     // write the report's bytes here when the run has ended
  // Called after each timer tick the loop delivers, with the timer's id.
  std::function<void(int)> afterTimer;
};

// Starts the run in dlg and serves it until it (and the upload) has ended,
// the view was closed, or a stop signal arrived. Returns the exit code: 0,
// 1 when the run could not be started, 130 when stopped or closed.
int RunConsoleDetection(CZandrelDlg& dlg, ConsoleView& view, const ConsoleRunOptions& opt);

}  // namespace zandrel
