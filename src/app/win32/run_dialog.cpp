#include "app/win32/run_dialog.h"

#include <windows.h>
#include <commctrl.h>
#include <ole2.h>

#include <cstdio>

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

    enum { kStart, kRunning, kUploading, kDone } phase = kStart;
    if (options.autoRun) {
      // Progress lines also go to standard output, as UTF-8, for scripts.
      dialog.SetLineObserver([](const std::string& line) {
        std::string shown = line;
        while (!shown.empty() && (shown.back() == '\n' || shown.back() == '\r')) shown.pop_back();
        std::string utf8 = win32::Utf8FromWide(win32::WideFromGbk(shown)) + "\n";
        std::fwrite(utf8.data(), 1, utf8.size(), stdout);
        std::fflush(stdout);
      });
      dialog.SetTicker(
          [&] {
            CZandrelDlg& logic = dialog.Logic();
            HWND hwnd = dialog.Window();
            // The buttons are pressed as a user would, by a click message.
            if (phase == kDone) return;
            if (phase == kStart) {
              SendMessageW(GetDlgItem(hwnd, IDC_START_BUTTON), BM_CLICK, 0, 0);
              phase = kRunning;
              return;
            }
            if (logic.RunActive() || logic.WorkerRunning() || logic.UploadActive()) return;
            if (phase == kRunning && options.send) {
              SendMessageW(GetDlgItem(hwnd, IDC_SEND_BUTTON), BM_CLICK, 0, 0);
              phase = kUploading;
              return;
            }
            if (!options.screenshot.empty()) {
              std::string error;
              if (!win32::SaveWindowPicture(hwnd, win32::WideFromUtf8(options.screenshot), error)) {
                std::fprintf(stderr, "zandrel: %s: %s\n", options.screenshot.c_str(), error.c_str());
                exitCode = 1;
              }
            }
            phase = kDone;
            logic.OnCancelClicked();
          },
          100);
    }
    dialog.Run();
  }
  if (SUCCEEDED(ole)) OleUninitialize();
  return exitCode;
}

}  // namespace zandrel
