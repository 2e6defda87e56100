#include "app/auto_run.h"

#include "platform/gbk.h"

namespace zandrel {

AutoRun::Phase AutoRun::Step() {
  switch (phase_) {
    case Phase::kStart:
      buttons_.start();
      // A run that began is active until its channel check ends on a later tick.
      phase_ = dlg_.RunActive() ? Phase::kRunning : Phase::kNotStarted;
      break;
    case Phase::kRunning:
      if (Busy()) break;
      if (runEnded_) runEnded_();
      if (send_) {
        buttons_.send();
        phase_ = Phase::kUploading;
      } else {
        phase_ = Phase::kDone;
      }
      break;
    case Phase::kUploading:
      if (!Busy()) phase_ = Phase::kDone;
      break;
    case Phase::kDone:
    case Phase::kNotStarted:
      break;
  }
  return phase_;
}

void EchoProgressLine(std::FILE* out, const std::string& gbkLine) {
  std::string shown = gbkLine;
  while (!shown.empty() && (shown.back() == '\n' || shown.back() == '\r')) shown.pop_back();
  std::string utf8 = platform::GbkToUtf8(shown) + "\n";
  std::fwrite(utf8.data(), 1, utf8.size(), out);
  std::fflush(out);
}

}  // namespace zandrel
