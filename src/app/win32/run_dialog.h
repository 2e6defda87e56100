// Runs the Windows dialog; used by zandrel's main when no --console is given.
#pragma once
#include <string>

namespace zandrel {

struct DialogOptions {
  bool autoRun = false;    // press start (and send) by itself, then close
  bool send = false;
  std::string screenshot;  // PNG or BMP of the window after the run (UTF-8 path)
  bool haveProblem = false, haveUrl = false;
  std::string problem, speedUrl;  // UTF-8
};

// The application's exit code.
int RunDialog(int argc, char** argv, const DialogOptions& options);

}  // namespace zandrel
