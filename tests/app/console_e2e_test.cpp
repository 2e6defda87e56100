// zandrel --console --send end to end, against real loopback peers on the
// fixed ports. The test process moves into a network namespace of its own
// when it may, so the fixed ports are free; otherwise ctest serializes it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/gbk.h"
#include "platform/md5.h"
#include "command.h"
#include "http_peer.h"
#include "netns.h"
#include "temp_dir.h"
#include "wait.h"

using testhttp::Path;
using testhttp::SendAll;
using testsock::socket_t;
using testsupport::CommandResult;
using testsupport::RunCommand;

namespace {

bool g_isolated = false;

void IsolateNetwork() {
  static bool done = false;
  if (done) return;
  done = true;
  g_isolated = testsock::IsolateNetwork();
}

const char kChannels[] = "<channels>\r\n<c id=\"20001\">CCTV-1</c>\r\n</channels>";

// Stand-in for the live-broadcast client's service on port 6001.
void LocalService(socket_t fd, const std::string& req, int) {
  if (Path(req) == "/crossdomain.xml") {
    SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\n<cross/>\n");
  } else {
    SendAll(fd, std::string("HTTP/1.1 200 OK\r\n\r\n") + kChannels);
  }
}

}  // namespace

TEST(ConsoleEndToEnd, RunAndUploadAgainstLoopbackPeers) {
  IsolateNetwork();
  std::string uploaded;
  testhttp::Server reportPeer([&](socket_t fd, const std::string& req, int) {
    uploaded = req;
    SendAll(fd, "HTTP/1.1 200 OK\r\nX-Report-Id: 7K3M-QX9P\r\nContent-Length: 10\r\n\r\n7K3M-QX9P\n");
  }, true, 5252);
  testhttp::UdpEcho udp(19549);
  testhttp::Server service(LocalService, false, 6001);
  std::string speedBody(3 << 20, 'z');
  testhttp::Server speed([&](socket_t fd, const std::string&, int) {
    SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(speedBody.size()) + "\r\n\r\n" + speedBody);
  });

  testsupport::TempDir tmp("zandrel-e2e");
  const std::string saved = tmp / "run.report";
  CommandResult r = RunCommand("timeout 120 " + std::string(ZANDREL_BIN) + " --console --problem 'e2e 画面卡顿' --speed-url " +
                        speed.url("/speed.bin") + " --send --save-report " + saved);
  ASSERT_EQ(r.exitCode, 0) << r.out;
  EXPECT_EQ(r.out.find("问题描述"), std::string::npos) << "the description is reported, never shown";
  for (const char* line : {"UDP检测成功！\n", "检测本地服务成功！\n", "获取频道信息成功！\n", "数据发送完成！\n"}) {
    EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
  }
  EXPECT_NE(r.out.find("数据发送完成！\n报告编号：7K3M-QX9P（联系客服时请提供此编号）\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("\r"), std::string::npos) << "progress lines carry no CR";
  EXPECT_NE(r.out.find("下载速度为："), std::string::npos);

  std::string report;
  ASSERT_TRUE(zandrel::platform::ReadWholeFile(saved, report));
  EXPECT_EQ(report.find(zandrel::platform::Utf8ToGbk("\r\n问题描述：e2e 画面卡顿\r\n")), 0u);
  std::string tail = zandrel::platform::Utf8ToGbk("检测本地服务成功！频道ID：") + kChannels;
  ASSERT_GE(report.size(), tail.size());
  EXPECT_EQ(report.substr(report.size() - tail.size()), tail);

  std::string head = uploaded.substr(0, uploaded.find("\r\n\r\n") + 4);
  std::string want = "POST /test_log HTTP/1.1\r\nAccept: */*\r\nAccept-Encoding: gzip, deflate\r\n"
                     "Accept-Language: zh-cn\r\nConnection: Close\r\nContent-Length: " +
                     std::to_string(report.size()) + "\r\nHost: " + ZANDREL_REPORT_HOST +
                     ":5252\r\nUser-Agent: HTTP-TOOL\r\nfile_flag: " +
                     zandrel::platform::md5_hex_upper(report.data(), report.size()) + "\r\n\r\n";
  EXPECT_EQ(head, want);
  EXPECT_TRUE(uploaded.substr(head.size()) == report) << "the uploaded body differs from the saved report";
  if (!g_isolated) std::printf("note: ran on the machine's own loopback (no network namespace)\n");
}

TEST(ConsoleEndToEnd, ReportServerStoresWhatTheToolSaved) {
  IsolateNetwork();
  testsupport::TempDir store("zandrel-e2e-store"), tmp("zandrel-e2e");
  const char* dir = store.path().c_str();
  pid_t server = fork();
  ASSERT_GE(server, 0);
  if (server == 0) {
    execl(ZANDREL_SERVER_BIN, "zandrel-report-server", "--data-dir", dir, "--hint-port", "0", "--speed-size",
          "2000000", "--no-index", "--quiet", static_cast<char*>(nullptr));
    _exit(127);
  }
  testhttp::Server service(LocalService, false, 6001);
  // Started once its report port takes connections.
  ASSERT_TRUE(testsupport::WaitUntil([] { return testsock::Socket(testsock::Connect(5252)).get() != testsock::kNoSocket; }, 30000));
  const std::string saved = tmp / "run.report";
  // The default speed URL names the report server's own speed-test file.
  CommandResult r = RunCommand("timeout 120 " + std::string(ZANDREL_BIN) + " --console --send --save-report " + saved);
  kill(server, SIGTERM);
  int status = 0;
  waitpid(server, &status, 0);
  ASSERT_EQ(r.exitCode, 0) << r.out;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the server did not stop cleanly";
  EXPECT_NE(r.out.find("UDP检测成功！"), std::string::npos);
  EXPECT_EQ(r.out.find("下载速度为：0K/s"), std::string::npos) << r.out;
  std::string report;
  ASSERT_TRUE(zandrel::platform::ReadWholeFile(saved, report));
  std::vector<std::string> reports = store.Contents();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_TRUE(reports[0] == report);
}

// A report the server refuses is not reported as sent, and --send says so in
// its exit code; an upload that cannot get through ends at --send-timeout.
TEST(ConsoleEndToEnd, ARefusedOrUnsentReportEndsWithItsOwnExitCode) {
  IsolateNetwork();
  testsupport::TempDir store("zandrel-e2e-store");
  testhttp::Server service(LocalService, false, 6001);
  {
    pid_t server = fork();
    ASSERT_GE(server, 0);
    if (server == 0) {
      execl(ZANDREL_SERVER_BIN, "zandrel-report-server", "--data-dir", store.path().c_str(), "--hint-port", "0",
            "--speed-size", "200000", "--max-body", "1000", "--no-index", "--quiet", static_cast<char*>(nullptr));
      _exit(127);
    }
    ASSERT_TRUE(testsupport::WaitUntil([] { return testsock::Socket(testsock::Connect(5252)).get() != testsock::kNoSocket; }, 30000));
    CommandResult r = RunCommand("timeout 120 " + std::string(ZANDREL_BIN) + " --console --send");
    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
    EXPECT_EQ(r.exitCode, 3) << r.out;
    EXPECT_NE(r.out.find("数据发送失败！服务器未接收报告（状态码413），请重新发送。\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("数据发送完成！"), std::string::npos) << r.out;
    EXPECT_TRUE(store.Contents().empty());
  }
  // Nothing listens on the report port; the other checks are answered.
  testhttp::UdpEcho udp(19549);
  testhttp::Server speed([&](socket_t fd, const std::string&, int) {
    SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nspeed");
  });
  CommandResult r = RunCommand("timeout 120 " + std::string(ZANDREL_BIN) + " --console --send --send-timeout 1 --speed-url " +
                               speed.url("/s") + " 2>&1");
  EXPECT_EQ(r.exitCode, 4) << r.out;
  EXPECT_NE(r.out.find("数据发送中,请等候...\nzandrel: the report was not sent within 1 s"), std::string::npos) << r.out;
  EXPECT_EQ(RunCommand(std::string(ZANDREL_BIN) + " --console --send-timeout 5 2>/dev/null").exitCode, 2);
  EXPECT_EQ(RunCommand(std::string(ZANDREL_BIN) + " --console --send --send-timeout 0 2>/dev/null").exitCode, 2);
}

TEST(ConsoleEndToEnd, UsageErrorsAndAMissingDisplayAreExplained) {
  EXPECT_EQ(RunCommand(std::string(ZANDREL_BIN) + " --console --bogus 2>/dev/null").exitCode, 2);
  EXPECT_EQ(RunCommand("timeout 120 " + std::string(ZANDREL_BIN) + " --console --problem 2>/dev/null").exitCode, 2);
  EXPECT_EQ(RunCommand(std::string(ZANDREL_BIN) + " --send 2>/dev/null").exitCode, 2);
  EXPECT_EQ(RunCommand(std::string(ZANDREL_SERVER_BIN) + " --max-body 5000000000 2>/dev/null").exitCode, 2);
  // Without a display the dialog points to --console instead of aborting.
  CommandResult noDisplay = RunCommand("env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM " + std::string(ZANDREL_BIN) +
                                " 2>&1");
  EXPECT_NE(noDisplay.exitCode, 0);
  EXPECT_NE(noDisplay.out.find("--console"), std::string::npos) << noDisplay.out;
  CommandResult help = RunCommand(std::string(ZANDREL_BIN) + " --help");
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.out.find("--console"), std::string::npos);
}
