// The entry point of both front ends: a run in the terminal (--console), or the dialog.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/console/console_run.h"
#include "app/console/console_view.h"
#include "app/defaults.h"
#include "app/zandrel_dlg.h"
#include "net/debug_line.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/gbk.h"
#if defined(ZANDREL_WITH_QT)
#include "app/qt/run_dialog.h"
#elif defined(ZANDREL_WITH_WIN32_DIALOG)
#include "app/win32/run_dialog.h"
#endif

namespace {

const char kUsage[] =
    "usage: zandrel                      open the dialog\n"
    "       zandrel --auto [--send] [--screenshot FILE] [--problem TEXT] [--speed-url URL]\n"
    "       zandrel --console [--problem TEXT] [--speed-url URL] [--send [--send-timeout SECONDS]]\n"
    "                         [--save-report FILE]\n"
    "       zandrel --help | --version\n"
    "  --auto               open the dialog, press start (and send) by itself, then close it;\n"
    "                       progress lines are also written to standard output\n"
    "  --screenshot FILE    with --auto: save a PNG of the dialog after the run\n"
    "  --console            run one detection in the terminal; progress lines go to standard output\n"
    "  --problem TEXT       the problem description (as typed in the dialog)\n"
    "  --speed-url URL      the speed-test URL (default: the built-in one)\n"
    "  --send               send the report to the report server when the run has ended\n"
    "  --send-timeout SECONDS\n"
    "                       with --console --send: give up when the report has not been sent\n"
    "                       within SECONDS (default: keep trying until stopped)\n"
    "  --save-report FILE   write the report's bytes (GBK) to FILE when the run has ended\n"
    "  --verbose            the network engines' diagnostic lines on standard error (or ZANDREL_DEBUG=1)\n"
    "exit status of --console:\n"
    "  0    the run ended, whatever the checks found (with --send: the report server took the report)\n"
    "  1    the run could not be started\n"
    "  2    usage error\n"
    "  3    with --send: the report server did not take the report (it refused it, or closed\n"
    "       the connection without an answer)\n"
    "  4    with --send-timeout: the report had not been sent when the time was up\n"
    "  130  interrupted (Ctrl-C)\n";

int UsageError(const std::string& message) {
  std::fprintf(stderr, "zandrel: %s\n%s", message.c_str(), kUsage);
  return 2;
}

struct Options {
  bool console = false, send = false, autoRun = false;
  std::string screenshot;
  bool haveProblem = false, haveUrl = false;
  std::string problem, speedUrl, saveReport;
  long sendTimeoutSeconds = 0;  // 0: none
};

int RunConsole(const Options& opt) {
  using namespace zandrel;
  platform::InstallStopSignals();
  ConsoleView view(stdout);
  view.SetProblemText(platform::Utf8ToGbk(opt.problem));
  CZandrelDlg dlg(view);
  dlg.OnInitDialog();
  if (opt.haveUrl) view.SetSpeedUrl(platform::Utf8ToGbk(opt.speedUrl));
  ConsoleRunOptions run;
  run.send = opt.send;
  run.saveReport = opt.saveReport;
  run.sendTimeout = std::chrono::seconds(opt.sendTimeoutSeconds);
  return RunConsoleDetection(dlg, view, run);
}

}  // namespace

int main(int argc, char** argv) {
  // On Windows zandrel.exe is a GUI-subsystem program: with options it writes
  // to the console it was started from, or to where its output was redirected.
  if (argc > 1) zandrel::platform::UseParentConsole();
  // UTF-8 on every system (Windows: from the wide command line).
  const std::vector<std::string> args = zandrel::platform::CommandLineArguments(argc, argv);
  const int count = static_cast<int>(args.size());
  Options opt;
  for (int i = 1; i < count; ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= count) return false;
      out = args[++i];
      return true;
    };
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (a == "--version") {
      std::printf("zandrel %s\nreport server: %s\n", ZANDREL_VERSION, zandrel::g_reportHost.c_str());
      return 0;
    } else if (a == "--console") {
      opt.console = true;
    } else if (a == "--send") {
      opt.send = true;
    } else if (a == "--send-timeout") {
      std::string text;
      char* end = nullptr;
      if (!value(text) || text.empty() || text[0] < '0' || text[0] > '9') {
        return UsageError("--send-timeout needs a number of seconds");
      }
      opt.sendTimeoutSeconds = std::strtol(text.c_str(), &end, 10);
      if (*end != '\0' || opt.sendTimeoutSeconds <= 0 || opt.sendTimeoutSeconds > 31536000) {
        return UsageError("--send-timeout needs a number of seconds from 1 to 31536000");
      }
    } else if (a == "--verbose") {
      zandrel::net::SetDebugLines(true);
    } else if (a == "--problem") {
      if (!value(opt.problem)) return UsageError("--problem needs a text");
      opt.haveProblem = true;
    } else if (a == "--speed-url") {
      if (!value(opt.speedUrl)) return UsageError("--speed-url needs a URL");
      opt.haveUrl = true;
    } else if (a == "--auto") {
      opt.autoRun = true;
    } else if (a == "--screenshot") {
      if (!value(opt.screenshot) || opt.screenshot.empty()) return UsageError("--screenshot needs a file name");
    } else if (a == "--save-report") {
      if (!value(opt.saveReport) || opt.saveReport.empty()) return UsageError("--save-report needs a file name");
    } else {
      return UsageError("unknown option " + a);
    }
  }
  if (opt.console) {
    if (opt.autoRun || !opt.screenshot.empty()) return UsageError("--auto and --screenshot are for the dialog");
    if (opt.sendTimeoutSeconds && !opt.send) return UsageError("--send-timeout needs --send");
    return RunConsole(opt);
  }
  if (!opt.saveReport.empty()) return UsageError("--save-report needs --console");
  if (opt.sendTimeoutSeconds) return UsageError("--send-timeout needs --console");
  if (!opt.autoRun && (opt.send || !opt.screenshot.empty() || opt.haveProblem || opt.haveUrl)) {
    return UsageError("these options need --console or --auto");
  }
#if defined(ZANDREL_WITH_QT) || defined(ZANDREL_WITH_WIN32_DIALOG)
  zandrel::DialogOptions dialog;
  dialog.autoRun = opt.autoRun;
  dialog.send = opt.send;
  dialog.screenshot = opt.screenshot;
  dialog.haveProblem = opt.haveProblem;
  dialog.problem = opt.problem;
  dialog.haveUrl = opt.haveUrl;
  dialog.speedUrl = opt.speedUrl;
  return zandrel::RunDialog(argc, argv, dialog);
#else
  std::fputs("zandrel: built without the dialog; use --console\n", stderr);
  std::fputs(kUsage, stderr);
  return 2;
#endif
}
