// Whole detection runs driven tick by tick through a fake view.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "base/texts.h"
#include "app/zandrel_dlg.h"
#include "fake_view.h"
#include "run_peers.h"
#include "platform/gbk.h"
#include "platform/md5.h"

using namespace zandrel;
using fake::FakeView;
using testhttp::SendAll;
using namespace runpeers;

namespace {

std::string ReportText(const CZandrelDlg& dlg) { return std::string(dlg.Report().Data(), dlg.Report().Length()); }

std::vector<std::string> LocalPart() {
  return {texts::kBannerNetworkInfo, texts::kTextGettingNetworkInfo, texts::kTextNetworkInfoOk,
          texts::kBannerClosing,     "",                             texts::kBannerModuleStatus,
          texts::kTextGettingModuleInfo, texts::kTextModuleInfoOk,   "",
          texts::kTextGettingCpu,    G("    CPU占用率为：25\r\n"),   "",
          texts::kTextGettingDisk,   G("    C盘剩余空间为：1.50GB\r\n"), texts::kBannerClosing,
          "",                        texts::kBannerNetworkCheck};
}

}  // namespace

TEST(DialogRun, NothingAnswers) {
  FakeView v;
  v.problem = G("  卡顿 ");
  int pauses = 0;
  CZandrelDlg dlg(v, FakeEnv(&pauses), Silent());
  dlg.OnInitDialog();
  EXPECT_FALSE(v.send);
  v.url = "http://127.0.0.1:" + std::to_string(testsock::ClosedPort()) + "/big.bin";
  ASSERT_TRUE(fake::RunWorker(dlg));
  EXPECT_FALSE(v.start);
  EXPECT_FALSE(v.send);
  ASSERT_EQ(v.timers.count(TIMER_UDP_WAIT), 1u);
  EXPECT_EQ(v.timers[TIMER_UDP_WAIT], 10u);
  auto ticks = fake::FireTimers(dlg, v);
  EXPECT_EQ(ticks[TIMER_UDP_WAIT], 1002);
  EXPECT_EQ(ticks[TIMER_SPEED], 1000);
  EXPECT_EQ(ticks[TIMER_SERVICE], 1000);
  EXPECT_EQ(ticks[TIMER_CHANNEL], 1000);
  EXPECT_TRUE(v.start);
  EXPECT_TRUE(v.send);
  EXPECT_EQ(pauses, 5);  // after the speed, service and channel ends, and before arming 4 and 5

  std::vector<std::string> want = LocalPart();
  for (const char* s : {texts::kTextUdpFailed, texts::kBannerClosing, texts::kBannerSpeedTest}) want.push_back(s);
  want.push_back(G("下载速度为：0K/s\r\n"));
  want.push_back(texts::kBannerClosing);
  want.push_back(texts::kBannerServiceCheck);
  want.push_back(G("检测本地服务超时，失败！\r\n"));
  want.push_back(texts::kBannerClosing);
  want.push_back(texts::kBannerChannelCheck);
  want.push_back(G("获取频道信息超时，失败！\r\n"));
  want.push_back(texts::kBannerClosing);
  EXPECT_EQ(v.lines, want);

  std::string report = G("\r\n问题描述：  卡顿 \r\n") + "AdapterName : eth9\r\nGateway: 0.0.0.0\r\nC:\\A\r\n" +
                       "                run0.dll\r\n" + G("    CPU占用率为：25\r\n    C盘剩余空间为：1.50GB\r\n") +
                       G("UDP检测失败！下载速度为：0K/s\r\n检测本地服务超时，失败！\r\n获取频道信息超时，失败！\r\n");
  EXPECT_EQ(ReportText(dlg), report);
  EXPECT_EQ(dlg.Report().Data()[dlg.Report().Length()], '\0');
}

TEST(DialogRun, EverythingAnswersThenUpload) {
  Peers peers;
  FakeView v;
  v.problem = G("画面卡");
  CZandrelDlg dlg(v, FakeEnv(), peers.Targets());
  dlg.OnInitDialog();
  v.url = peers.url("/speed");
  ASSERT_TRUE(fake::RunWorker(dlg));
  auto ticks = fake::FireTimers(dlg, v);
  EXPECT_LT(ticks[TIMER_UDP_WAIT], 1002);
  EXPECT_LT(ticks[TIMER_SPEED], 1000);
  EXPECT_LT(ticks[TIMER_SERVICE], 1000);
  EXPECT_LT(ticks[TIMER_CHANNEL], 1000);
  EXPECT_TRUE(v.start && v.send);

  std::vector<std::string> tail(v.lines.begin() + static_cast<long>(LocalPart().size()), v.lines.end());
  ASSERT_EQ(tail.size(), 11u);
  EXPECT_EQ(tail[0], texts::kTextUdpOk);
  EXPECT_EQ(tail[2], texts::kBannerSpeedTest);
  EXPECT_EQ(tail[3].substr(0, G("下载速度为：").size()), G("下载速度为："));
  EXPECT_EQ(tail[6], G("检测本地服务成功！\r\n"));
  EXPECT_EQ(tail[9], G("获取频道信息成功！\r\n"));
  EXPECT_EQ(tail[10], texts::kBannerClosing);

  std::string report = ReportText(dlg);
  size_t udp = report.find(texts::kTextUdpOk);
  ASSERT_NE(udp, std::string::npos);
  // 13 bytes, then the speed line on the same line.
  EXPECT_EQ(report.substr(udp + 13, G("下载速度为：").size()), G("下载速度为："));
  std::string end = G("检测本地服务成功！频道ID：") + peers.channelReply;
  ASSERT_GE(report.size(), end.size());
  EXPECT_EQ(report.substr(report.size() - end.size()), end);
  EXPECT_EQ(dlg.Report().Data()[dlg.Report().Length()], '\0');

  // Upload: both buttons off while sending, then start on and send off.
  dlg.OnSendClicked();
  EXPECT_FALSE(v.start);
  EXPECT_FALSE(v.send);
  EXPECT_EQ(v.timers[TIMER_UPLOAD], 20u);
  EXPECT_EQ(v.lines.back(), texts::kTextUploading);
  dlg.OnSendClicked();  // a second click creates no second client
  auto up = fake::FireTimers(dlg, v);
  EXPECT_GT(up[TIMER_UPLOAD], 0);
  EXPECT_EQ(v.lines.back(), texts::kTextUploaded);
  EXPECT_TRUE(v.start);
  EXPECT_FALSE(v.send);
  size_t head = peers.uploaded.find("\r\n\r\n") + 4;
  EXPECT_EQ(peers.uploaded.substr(head), report);
  EXPECT_NE(peers.uploaded.find("file_flag: " + platform::md5_hex_upper(report.data(), report.size())),
            std::string::npos);
  EXPECT_EQ(peers.http.requests().size(), 4u);  // speed, service, channel, and one upload

  // A second run starts from an empty report; the list keeps growing.
  size_t before = v.lines.size();
  size_t perRun = LocalPart().size() + tail.size();
  ASSERT_TRUE(fake::RunWorker(dlg));
  fake::FireTimers(dlg, v);
  EXPECT_EQ(v.lines.size(), before + perRun);
  std::string second = ReportText(dlg);
  EXPECT_EQ(second.find(G("\r\n问题描述：")), 0u);
  EXPECT_EQ(second.find(G("\r\n问题描述："), 1), std::string::npos);
  // The inventory keeps what the first run collected.
  ASSERT_EQ(dlg.Inventory().Entries().at("C:\\A").size(), 2u);
  for (const auto& name : dlg.Inventory().Entries().at("C:\\A")) EXPECT_NE(second.find(name), std::string::npos);
}

TEST(DialogRun, HttpCallbacksAreRoutedByTheActiveCheck) {
  Peers peers;
  FakeView v;
  CZandrelDlg dlg(v, FakeEnv(), Silent());
  dlg.OnInitDialog();
  v.url = peers.url("/speed-held");  // a 200 whose body then holds back
  ASSERT_TRUE(fake::RunWorker(dlg));
  while (!v.timers.count(TIMER_SPEED)) dlg.OnTimer(v.timers.begin()->first);
  // Ticks with room between them, so that the answer comes well within the
  // test's tick limit however busy the machine is.
  for (int i = 0; i < 500 && dlg.SpeedMeter().m_totalBytes != 1; ++i) {
    dlg.OnTimer(TIMER_SPEED);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(dlg.SpeedMeter().m_totalBytes, 1);
  dlg.Checks().i_onHttpData("speed", 5);
  EXPECT_EQ(dlg.SpeedMeter().m_totalBytes, 6);
  while (!v.timers.count(TIMER_SERVICE)) dlg.OnTimer(TIMER_SPEED);
  dlg.Checks().i_onHttpData("dropped", 7);
  EXPECT_EQ(dlg.SpeedMeter().m_totalBytes, 6);
  EXPECT_EQ(dlg.ChannelReply().Length(), 0);
  while (!v.timers.count(TIMER_CHANNEL)) dlg.OnTimer(TIMER_SERVICE);
  dlg.Checks().i_onHttpData("chan", 4);
  EXPECT_EQ(dlg.ChannelReply().Length(), 4);
  dlg.Checks().i_onHttpFinished();  // the channel check ends the run
  EXPECT_TRUE(v.timers.empty());
  EXPECT_TRUE(v.start && v.send);
  std::string report = ReportText(dlg);
  EXPECT_EQ(report.substr(report.size() - G("频道ID：chan").size()), G("频道ID：chan"));
}

TEST(DialogRun, RedirectsAreFollowedUpToALimitWithinTheSameTickLimit) {
  Peers peers;
  auto runFrom = [&](const std::string& path, CheckTargets targets) {
    FakeView v;
    CZandrelDlg dlg(v, FakeEnv(), targets);
    dlg.OnInitDialog();
    v.url = peers.url(path);
    size_t before = peers.http.requests().size();
    EXPECT_TRUE(fake::RunWorker(dlg));
    auto ticks = fake::FireTimers(dlg, v);
    auto reqs = peers.http.requests();
    std::vector<std::string> paths;
    for (size_t i = before; i < reqs.size(); ++i) paths.push_back(Path(reqs[i]));
    return std::make_tuple(paths, ticks[TIMER_SPEED], dlg.SpeedMeter().m_totalBytes);
  };
  // Whether the 302's body is still coming or came with its head, the test
  // measures the target.
  for (const char* path : {"/redirect-late", "/redirect-done"}) {
    SCOPED_TRACE(path);
    auto [paths, speedTicks, total] = runFrom(path, peers.Targets());
    ASSERT_GE(paths.size(), 2u);
    EXPECT_EQ(paths[0], path);
    EXPECT_EQ(paths[1], "/speed");
    EXPECT_EQ(total, static_cast<int64_t>(peers.speedBody.size()));
    EXPECT_LT(speedTicks, 1000);
  }
  // A redirect loop is followed ten times; the eleventh redirect ends the
  // test at once, measuring nothing, as an unreachable server does, whether
  // its body came with its head or is still to come.
  for (const char* path : {"/redirect-loop", "/redirect-loop-held"}) {
    SCOPED_TRACE(path);
    auto [paths, speedTicks, total] = runFrom(path, peers.Targets());
    ASSERT_GE(paths.size(), 12u);
    for (size_t i = 0; i < 11; ++i) EXPECT_EQ(paths[i], path);
    EXPECT_EQ(paths[11], "/crossdomain.xml");
    EXPECT_EQ(total, 0);
    EXPECT_LT(speedTicks, 1000);
  }
  {
    auto [paths, speedTicks, total] = runFrom("/redirect-closed", Silent());
    EXPECT_EQ(speedTicks, 1000);  // counted from the first start, across the redirect
  }
}

// Only the body of a 200 or 206 is timed: an error page, however long, gives
// the speed line of a server that could not be reached.
TEST(DialogRun, ErrorPagesAreNotTimed) {
  Peers peers;
  for (const char* path : {"/speed-404", "/speed-503"}) {
    SCOPED_TRACE(path);
    FakeView v;
    CZandrelDlg dlg(v, FakeEnv(), peers.Targets());
    dlg.OnInitDialog();
    v.url = peers.url(path);
    ASSERT_TRUE(fake::RunWorker(dlg));
    auto ticks = fake::FireTimers(dlg, v);
    EXPECT_LT(ticks[TIMER_SPEED], 1000);  // the page still ends the test when it is complete
    EXPECT_EQ(dlg.SpeedMeter().m_totalBytes, 0);
    EXPECT_NE(std::find(v.lines.begin(), v.lines.end(), G("下载速度为：0K/s\r\n")), v.lines.end());
    EXPECT_NE(ReportText(dlg).find(G("下载速度为：0K/s\r\n")), std::string::npos);
  }
}

// The server ignores the range of a resume and sends everything again: the
// speed test and the channel reply (which goes into the report) count it once.
TEST(DialogRun, ResumeAnsweredWithTheWholeResourceCountsItOnce) {
  Peers peers;
  FakeView v;
  CheckTargets targets = peers.Targets();
  targets.channelUrl = peers.url("/qchannels-resume.xml");
  CZandrelDlg dlg(v, FakeEnv(), targets);
  dlg.OnInitDialog();
  v.url = peers.url("/speed-resume");
  ASSERT_TRUE(fake::RunWorker(dlg));
  auto ticks = fake::FireTimers(dlg, v);
  EXPECT_LT(ticks[TIMER_SPEED], 1000);
  EXPECT_EQ(dlg.SpeedMeter().m_totalBytes, static_cast<int64_t>(peers.speedBody.size()));
  EXPECT_EQ(std::string(dlg.ChannelReply().Data()), peers.channelReply);
  std::string report = ReportText(dlg);
  std::string end = G("频道ID：") + peers.channelReply;
  ASSERT_GE(report.size(), end.size());
  EXPECT_EQ(report.substr(report.size() - end.size()), end);
}

// Once the speed line is written, the test's connection is let go of, whether
// the download completed or the tick limit ended it.
TEST(DialogRun, SpeedTestLetsGoOfItsDownloaderWhenItEnds) {
  Peers peers;
  for (const char* path : {"/speed", "/redirect-closed"}) {
    SCOPED_TRACE(path);
    FakeView v;
    CZandrelDlg dlg(v, FakeEnv(), peers.Targets());
    dlg.OnInitDialog();
    v.url = peers.url(path);
    ASSERT_TRUE(fake::RunWorker(dlg));
    while (!v.timers.count(TIMER_SPEED)) dlg.OnTimer(v.timers.begin()->first);
    EXPECT_TRUE(dlg.Checks().SpeedDownloadHeld());
    while (v.timers.count(TIMER_SPEED)) dlg.OnTimer(TIMER_SPEED);
    EXPECT_EQ(v.lines[v.lines.size() - 3].substr(0, G("下载速度为：").size()), G("下载速度为："));
    EXPECT_FALSE(dlg.Checks().SpeedDownloadHeld());
  }
}

TEST(DialogRun, BadInputNeverOverruns) {
  Peers peers;
  peers.channelReply = std::string(30000, 'c');
  FakeView v;
  v.problem = std::string(200000, 'p');
  CZandrelDlg dlg(v, FakeEnv(), peers.Targets());
  dlg.OnInitDialog();
  v.url = "::garbage:: http:// /";
  ASSERT_TRUE(fake::RunWorker(dlg));
  auto ticks = fake::FireTimers(dlg, v);
  EXPECT_EQ(ticks[TIMER_SPEED], 1000);
  EXPECT_TRUE(v.start && v.send);
  EXPECT_EQ(dlg.Report().Length(), dlg.Report().Capacity() - 1);
  EXPECT_EQ(dlg.ChannelReply().Length(), dlg.ChannelReply().Capacity() - 1);
  EXPECT_EQ(dlg.Report().Data()[dlg.Report().Length()], '\0');
}

TEST(DialogRun, ClosingDuringTheWorkerNeitherHangsNorCrashes) {
  // Blocked in a synchronous call that the UI thread never serves.
  {
    FakeView v;
    auto dlg = std::make_unique<CZandrelDlg>(v, FakeEnv(), Silent());
    dlg->OnInitDialog();
    ASSERT_TRUE(dlg->OnStartClicked());
    EXPECT_FALSE(dlg->OnStartClicked());  // a second run is refused while one is going
    while (v.pumpRequests == 0) std::this_thread::yield();
    auto t0 = std::chrono::steady_clock::now();
    dlg.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
  }
  // Sleeping in the real CPU sampling (about four seconds).
  {
    FakeView v;
    DetectionEnv env = FakeEnv();
    env.cpu = PlatformCpuSource();
    env.cpu.sleepMs = nullptr;
    auto dlg = std::make_unique<CZandrelDlg>(v, env, Silent());
    dlg->OnInitDialog();
    ASSERT_TRUE(dlg->OnStartClicked());
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    while (std::chrono::steady_clock::now() < until) dlg->PumpUiCalls();
    EXPECT_TRUE(dlg->WorkerRunning());
    auto t0 = std::chrono::steady_clock::now();
    dlg->OnDestroy();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
    EXPECT_FALSE(dlg->WorkerRunning());
    EXPECT_FALSE(dlg->OnStartClicked());
  }
}

// An inventory larger than the report stops early, so that the results after
// it (CPU, disk and every network check) are still in the report, even with
// a channel list as long as its buffer holds.
TEST(DialogRun, ALargeInventoryIsCutToLeaveRoomForTheResults) {
  Peers peers;
  peers.channelReply = std::string(30000, 'c');
  FakeView v;
  DetectionEnv env = FakeEnv();
  env.collectModules = [](ModuleInventory& inv, const LineSink&) {
    for (int d = 0; d < 2000; ++d) {
      for (int f = 0; f < 3; ++f) {
        inv.AddModule("C:\\Program Files\\Vendor " + std::to_string(d) + "\\module" + std::to_string(f) + ".dll");
      }
    }
  };
  CZandrelDlg dlg(v, env, peers.Targets());
  dlg.OnInitDialog();
  v.url = peers.url("/speed");
  ASSERT_TRUE(fake::RunWorker(dlg));
  fake::FireTimers(dlg, v);
  ASSERT_TRUE(v.start && v.send);
  const std::string report = ReportText(dlg);
  EXPECT_LE(report.size(), 102399u);
  EXPECT_EQ(report.find("C:\\Program Files\\Vendor 0\r\n"), G("\r\n问题描述：\r\n").size() +
                                                               std::string("AdapterName : eth9\r\nGateway: 0.0.0.0\r\n").size());
  const size_t cut = report.find(G("（模块列表过长，在此截断：另有"));
  ASSERT_NE(cut, std::string::npos);
  const std::string after = G("个模块文件未列出）\r\n    CPU占用率为：25\r\n    C盘剩余空间为：1.50GB\r\nUDP检测成功！下载速度为：");
  const size_t end = report.find(G("个模块文件未列出）"), cut);
  EXPECT_EQ(report.substr(end, after.size()), after) << "the results follow the cut line";
  const std::string tail = G("\r\n检测本地服务成功！频道ID：") + std::string(10239, 'c');
  ASSERT_GE(report.size(), tail.size());
  EXPECT_EQ(report.substr(report.size() - tail.size()), tail);
}
