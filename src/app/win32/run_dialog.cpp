#include "app/win32/run_dialog.h"

#include <windows.h>
#include <commctrl.h>
#include <ole2.h>

#include <cstdio>

#include "app/auto_run.h"
#include "app/control_ids.h"
#include "app/win32/screenshot.h"
#include "app/win32/text_edge.h"
#include "app/win32/zandrel_dialog.h"

namespace zandrel {

int RunDialog(int, char**, const DialogOptions& options) {
  // The common controls of the standard set, and OLE for the hint page's
  // browser component.
  INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), 0xFF};
  InitCommonControlsEx(&controls);
  HRESULT ole = OleInitialize(nullptr);

  int exitCode = 0;
  {
    win32::ZandrelDialog dialog(GetModuleHandleW(nullptr));
    if (options.haveProblem) dialog.PresetProblem(win32::GbkFromWide(win32::WideFromUtf8(options.problem)));
    if (options.haveUrl) dialog.PresetSpeedUrl(win32::GbkFromWide(win32::WideFromUtf8(options.speedUrl)));

    // The buttons are pressed as a user would, by a click message.
    auto click = [&dialog](int id) { SendMessageW(GetDlgItem(dialog.Window(), id), BM_CLICK, 0, 0); };
    AutoRun drive(dialog.Logic(), options.send,
                  {[click] { click(IDC_START_BUTTON); }, [click] { click(IDC_SEND_BUTTON); }});
    if (options.autoRun) {
      // Progress lines also go to standard output, as UTF-8, for scripts.
      dialog.SetLineObserver([](const std::string& line) { EchoProgressLine(stdout, line); });
      dialog.SetTicker(
          [&] {
            if (drive.Finished()) return;
            if (drive.Step() == AutoRun::Phase::kNotStarted) {
              std::fprintf(stderr, "zandrel: the detection could not be started\n");
              exitCode = 1;
            }
            if (!drive.Finished()) return;
            if (!options.screenshot.empty()) {
              std::string error;
              if (!win32::SaveWindowPicture(dialog.Window(), win32::WideFromUtf8(options.screenshot), error)) {
                std::fprintf(stderr, "zandrel: %s: %s\n", options.screenshot.c_str(), error.c_str());
                exitCode = 1;
              }
            }
            dialog.Logic().OnCancelClicked();
          },
          100);
    }
    dialog.Run();
  }
  if (SUCCEEDED(ole)) OleUninitialize();
  return exitCode;
}

}  // namespace zandrel
