#include "app/qt/run_dialog.h"

#include <QApplication>
#include <QPixmap>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

#include "app/control_ids.h"
#include "app/qt/zandrel_window.h"
#include "platform/gbk.h"

namespace zandrel {

int RunDialog(int argc, char** argv, const DialogOptions& options) {
  const char* platformName = std::getenv("QT_QPA_PLATFORM");
  if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY") && !(platformName && *platformName)) {
    std::fprintf(stderr,
                 "zandrel: there is no display (neither DISPLAY nor WAYLAND_DISPLAY is set).\n"
                 "Run the check in the terminal instead: zandrel --console [--problem TEXT] [--send]\n");
    return 1;
  }
  QApplication app(argc, argv);
  ZandrelWindow window;
  if (options.haveProblem) {
    static_cast<QLineEdit*>(window.Control(IDC_PROBLEM))->setText(QString::fromStdString(options.problem));
  }
  if (options.haveUrl) window.SetSpeedUrl(platform::Utf8ToGbk(options.speedUrl));
  window.LoadHint();
  window.show();

  int exitCode = 0;
  QTimer driver;
  if (options.autoRun) {
    window.EchoProgressTo(stdout);
    enum { kStart, kRunning, kUploading } phase = kStart;
    QObject::connect(&driver, &QTimer::timeout, [&] {
      CZandrelDlg& logic = window.Logic();
      auto* start = static_cast<QPushButton*>(window.Control(IDC_START_BUTTON));
      auto* send = static_cast<QPushButton*>(window.Control(IDC_SEND_BUTTON));
      if (phase == kStart) {
        start->click();
        phase = kRunning;
        return;
      }
      if (logic.RunActive() || logic.WorkerRunning() || logic.UploadActive()) return;
      if (phase == kRunning && options.send) {
        send->click();
        phase = kUploading;
        return;
      }
      if (!options.screenshot.empty() && !window.grab().save(QString::fromStdString(options.screenshot), "PNG")) {
        std::fprintf(stderr, "zandrel: cannot write %s\n", options.screenshot.c_str());
        exitCode = 1;
      }
      driver.stop();
      window.reject();
    });
    driver.start(100);
  }
  window.exec();
  return exitCode;
}

}  // namespace zandrel
