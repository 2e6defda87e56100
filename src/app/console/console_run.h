// The console front end's main loop: one detection run (and its upload)
// driven by the console view's timers on the calling thread.
#pragma once
#include <chrono>
#include <functional>
#include <string>

#include "app/console/console_view.h"
#include "app/zandrel_dlg.h"

namespace zandrel {

struct ConsoleRunOptions {
  bool send = false;          // upload the report when the run has ended
  std::string saveReport;     // write the report's bytes here when the run has ended
  // With send: give up when the upload has not ended within this time (0: never).
  std::chrono::milliseconds sendTimeout{0};
  // Called after each timer tick the loop delivers, with the timer's id.
  std::function<void(int)> afterTimer;
};

// Exit codes of a console run.
enum ConsoleExit : int {
  kExitDone = 0,            // the run (and the upload) ended, whatever the checks found
  kExitNotStarted = 1,      // the run could not be started
  kExitNotAccepted = 3,     // the report server refused the report or did not answer
  kExitSendTimedOut = 4,    // the upload had not ended when sendTimeout passed
  kExitStopped = 130,       // a stop signal arrived, or the view was closed
};

// Starts the run in dlg and serves it until it (and the upload) has ended,
// the view was closed, or a stop signal arrived. Returns a ConsoleExit code.
int RunConsoleDetection(CZandrelDlg& dlg, ConsoleView& view, const ConsoleRunOptions& opt);

}  // namespace zandrel
