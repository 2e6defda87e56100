#include "app/qt/run_dialog.h"

#include <QApplication>
#include <QPixmap>
#include <QTimer>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#if defined(ZANDREL_WITH_XCB)
#include <xcb/xcb.h>
#endif

#include "app/auto_run.h"
#include "app/control_ids.h"
#include "app/qt/zandrel_window.h"
#include "platform/gbk.h"

namespace zandrel {
namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

bool XDisplayOpens() {
#if defined(ZANDREL_WITH_XCB)
  xcb_connection_t* c = xcb_connect(nullptr, nullptr);
  bool ok = xcb_connection_has_error(c) == 0;
  xcb_disconnect(c);
  return ok;
#else
  return true;  // built without xcb: left to Qt
#endif
}

bool WaylandDisplayOpens(const std::string& name) {
  // The compositor's socket: the name itself when it is a path, else in
  // XDG_RUNTIME_DIR (as the Wayland client library finds it).
  std::string path = name[0] == '/' ? name : Env("XDG_RUNTIME_DIR") + "/" + name;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return false;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}

}  // namespace

std::string DisplayProblem() {
  const std::string platform = Env("QT_QPA_PLATFORM"), x = Env("DISPLAY"), wayland = Env("WAYLAND_DISPLAY");
  // The plugins that need a display server; others (offscreen, vnc, ...)
  // are Qt's own business.
  const bool triesX = platform.empty() || platform.find("xcb") != std::string::npos;
  const bool triesWayland = platform.empty() || platform.find("wayland") != std::string::npos;
  if (!triesX && !triesWayland) return {};
  if (triesX && !x.empty() && XDisplayOpens()) return {};
  if (triesWayland && !wayland.empty() && WaylandDisplayOpens(wayland)) return {};
  if ((!triesX || x.empty()) && (!triesWayland || wayland.empty())) {
    return triesX && triesWayland ? "there is no display (neither DISPLAY nor WAYLAND_DISPLAY is set)"
                                  : "there is no display for QT_QPA_PLATFORM=" + platform;
  }
  std::string tried;
  if (triesX && !x.empty()) tried = "DISPLAY=" + x;
  if (triesWayland && !wayland.empty()) tried += (tried.empty() ? "" : ", ") + ("WAYLAND_DISPLAY=" + wayland);
  return "cannot open the display (" + tried + ")";
}

int RunDialog(int argc, char** argv, const DialogOptions& options) {
  // Qt aborts the program when its display cannot be opened, with advice to
  // reinstall it: find out first, and point to the terminal run.
  const std::string problem = DisplayProblem();
  if (!problem.empty()) {
    std::fprintf(stderr,
                 "zandrel: %s.\n"
                 "Run the check in the terminal instead: zandrel --console [--problem TEXT] [--send]\n",
                 problem.c_str());
    return 2;
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
  auto* start = static_cast<QPushButton*>(window.Control(IDC_START_BUTTON));
  auto* send = static_cast<QPushButton*>(window.Control(IDC_SEND_BUTTON));
  AutoRun drive(window.Logic(), options.send, {[start] { start->click(); }, [send] { send->click(); }});
  if (options.autoRun) {
    window.EchoProgressTo(stdout);
    QObject::connect(&driver, &QTimer::timeout, [&] {
      if (drive.Step() == AutoRun::Phase::kNotStarted) {
        std::fprintf(stderr, "zandrel: the detection could not be started\n");
        exitCode = 1;
      }
      if (!drive.Finished()) return;
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
