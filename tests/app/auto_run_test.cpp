// The --auto drive that every front end uses, on the dialog's logic with a
// fake view and local peers.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "app/auto_run.h"
#include "fake_view.h"
#include "run_peers.h"

using namespace zandrel;
using fake::FakeView;
using namespace runpeers;

namespace {

// Serves the worker and fires the armed timers until the drive has finished.
void Drive(AutoRun& drive, CZandrelDlg& dlg, FakeView& v) {
  for (int n = 0; n < 1000000 && !drive.Finished(); ++n) {
    dlg.PumpUiCalls();
    if (!v.timers.empty()) dlg.OnTimer(v.timers.begin()->first);
    drive.Step();
    std::this_thread::yield();
  }
}

}  // namespace

TEST(AutoRun, PressesStartAndThenSendOnceTheRunHasEnded) {
  for (bool send : {false, true}) {
    SCOPED_TRACE(send ? "with send" : "without send");
    Peers peers;
    FakeView v;
    CZandrelDlg dlg(v, FakeEnv(), peers.Targets());
    dlg.OnInitDialog();
    v.url = peers.url("/speed");
    std::vector<std::string> steps;
    AutoRun drive(dlg, send,
                  {[&] { steps.push_back("start"); dlg.OnStartClicked(); },
                   [&] { steps.push_back("send"); dlg.OnSendClicked(); }},
                  [&] { steps.push_back(dlg.RunActive() || dlg.WorkerRunning() ? "ended early" : "ended"); });
    EXPECT_EQ(drive.Step(), AutoRun::Phase::kRunning);
    Drive(drive, dlg, v);
    EXPECT_EQ(drive.phase(), AutoRun::Phase::kDone);
    const std::vector<std::string> want =
        send ? std::vector<std::string>{"start", "ended", "send"} : std::vector<std::string>{"start", "ended"};
    EXPECT_EQ(steps, want);
    EXPECT_FALSE(dlg.UploadActive());
    EXPECT_EQ(peers.uploaded.empty(), !send);
    EXPECT_EQ(drive.Step(), AutoRun::Phase::kDone);  // nothing is pressed again
    EXPECT_EQ(steps.size(), send ? 3u : 2u);
  }
}

TEST(AutoRun, ARunThatDoesNotBeginEndsTheDrive) {
  FakeView v;
  CZandrelDlg dlg(v, FakeEnv(), Silent());
  dlg.OnInitDialog();
  dlg.OnDestroy();  // a closing dialog refuses to start
  bool sent = false;
  AutoRun drive(dlg, true, {[&] { dlg.OnStartClicked(); }, [&] { sent = true; }});
  EXPECT_EQ(drive.Step(), AutoRun::Phase::kNotStarted);
  EXPECT_TRUE(drive.Finished());
  EXPECT_EQ(drive.Step(), AutoRun::Phase::kNotStarted);
  EXPECT_FALSE(sent);
}

TEST(DialogHint, TheHintPageIsOnTheReportHostTheDialogWasGiven) {
  FakeView v;
  CheckTargets targets = Silent();
  targets.reportHost = "reports.zandrel.test";
  CZandrelDlg dlg(v, FakeEnv(), targets);
  EXPECT_EQ(dlg.HintUrl(), "http://reports.zandrel.test/Hint.html");
}
