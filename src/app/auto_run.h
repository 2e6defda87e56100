// The --auto drive of a detection run, as a user would do it: press start,
// wait until the run has ended, press send when asked to and wait until the
// upload has ended. Toolkit-free: each front end calls Step() from its own
// timer or loop on the UI thread and presses its own buttons.
#pragma once
#include <cstdio>
#include <functional>
#include <string>

#include "app/zandrel_dlg.h"

namespace zandrel {

class AutoRun {
 public:
  enum class Phase {
    kStart,       // start not pressed yet
    kRunning,     // the detection run is going
    kUploading,   // send was pressed; the upload is going
    kDone,        // the run (and the upload) ended
    kNotStarted,  // start was pressed but the run did not begin
  };
  struct Buttons {
    std::function<void()> start, send;
  };

  // runEnded, when given, is called once the run has ended, before send.
  AutoRun(const CZandrelDlg& dlg, bool send, Buttons buttons, std::function<void()> runEnded = nullptr)
      : dlg_(dlg), send_(send), buttons_(std::move(buttons)), runEnded_(std::move(runEnded)) {}

  // Moves on by at most one phase; returns the phase it is in afterwards.
  Phase Step();
  Phase phase() const { return phase_; }
  bool Finished() const { return phase_ == Phase::kDone || phase_ == Phase::kNotStarted; }

 private:
  bool Busy() const { return dlg_.RunActive() || dlg_.WorkerRunning() || dlg_.UploadActive(); }

  const CZandrelDlg& dlg_;
  bool send_;
  Buttons buttons_;
  std::function<void()> runEnded_;
  Phase phase_ = Phase::kStart;
};

// Writes a progress line (GBK) to out as UTF-8, without its own line break
// and followed by one, for the scripts that drive a dialog with --auto.
void EchoProgressLine(std::FILE* out, const std::string& gbkLine);

}  // namespace zandrel
