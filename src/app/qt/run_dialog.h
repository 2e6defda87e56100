// Runs the desktop dialog; used by zandrel's main when no --console is given.
#pragma once
#include <string>

namespace zandrel {

struct DialogOptions {
  bool autoRun = false;    // press start (and send) by itself, then close
  bool send = false;
  std::string screenshot;  // PNG of the window after the run
  bool haveProblem = false, haveUrl = false;
  std::string problem, speedUrl;  // UTF-8
};

// The application's exit code: 2 when there is no display to open.
int RunDialog(int argc, char** argv, const DialogOptions& options);

// Why the dialog's display cannot be opened, from the environment Qt reads
// (QT_QPA_PLATFORM, DISPLAY, WAYLAND_DISPLAY); empty when it can, or when
// the platform plugin needs no display server.
std::string DisplayProblem();

}  // namespace zandrel
