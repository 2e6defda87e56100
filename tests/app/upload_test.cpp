// The upload as the user sees it, driven tick by tick through a fake view:
// only a 2xx answer is a success, a failure leaves the report ready to be
// sent again, and a long wait shows on the status line.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "app/zandrel_dlg.h"
#include "base/texts.h"
#include "fake_view.h"
#include "run_peers.h"
#include "wait.h"

using namespace zandrel;
using fake::FakeView;
using namespace runpeers;

namespace {

// A finished run whose report goes to uploadUrl.
struct FinishedRun {
  Peers peers;
  FakeView v;
  CZandrelDlg dlg;
  explicit FinishedRun(const std::string& uploadUrl) : dlg(v, FakeEnv(), WithUpload(uploadUrl)) {
    dlg.OnInitDialog();
    v.url = peers.url("/speed");
  }
  CheckTargets WithUpload(const std::string& uploadUrl) {
    CheckTargets t = peers.Targets();
    t.uploadUrl = uploadUrl;
    return t;
  }
  bool Run() {
    if (!fake::RunWorker(dlg)) return false;
    fake::FireTimers(dlg, v);
    return v.start && v.send;
  }
  // Presses send and ticks until the upload has ended.
  void Send() {
    dlg.OnSendClicked();
    fake::FireTimers(dlg, v);
  }
  std::string Report() const { return std::string(dlg.Report().Data(), dlg.Report().Length()); }
};

std::string UploadUrl(const testhttp::Server& s) { return "127.0.0.1:" + std::to_string(s.port()) + "/test_log"; }

}  // namespace

TEST(DialogUpload, OnlyA2xxAnswerIsASuccess) {
  // Answers by connection: refusals first, the last one takes the report.
  const std::vector<std::string> answers = {
      "HTTP/1.1 413 Payload Too Large\r\nContent-Length: 0\r\n\r\n",
      "HTTP/1.1 507 Insufficient Storage\r\nContent-Length: 3\r\n\r\nno\n",
      "HTTP/1.1 429 Too Many Requests\r\nRetry-After: 30\r\nContent-Length: 0\r\n\r\n",
      "HTTP/1.1 503 Service Unavailable\r\nRetry-After: Sun, 06 Nov 1994 09:00:00 GMT\r\n"
      "Date: Sun, 06 Nov 1994 08:50:00 GMT\r\nContent-Length: 0\r\n\r\n",
      "HTTP/1.1 413 Payload Too Large\r\nRetry-After: 30\r\nContent-Length: 0\r\n\r\n",  // only 429/503 say when
      "",  // closes without an answer
      "HTTP/1.1 200 OK\r\nX-Report-Id: 7K3M-QX9I\r\nContent-Length: 10\r\n\r\n7K3M-QX9I\n",  // an id not shown
  };
  const std::vector<std::string> lines = {
      G("数据发送失败！服务器未接收报告（状态码413），请重新发送。"),
      G("数据发送失败！服务器未接收报告（状态码507），请重新发送。"),
      G("数据发送失败！服务器未接收报告（状态码429），请在30秒后重新发送。"),
      G("数据发送失败！服务器未接收报告（状态码503），请在10分钟后重新发送。"),
      G("数据发送失败！服务器未接收报告（状态码413），请重新发送。"),
      G("数据发送失败！服务器没有应答，请重新发送。"),
      texts::kTextUploaded,
  };
  testhttp::Server report([&](testsock::socket_t fd, const std::string&, int i) {
    if (i < static_cast<int>(answers.size()) && !answers[i].empty()) SendAll(fd, answers[i]);
  }, true);
  FinishedRun run(UploadUrl(report));
  ASSERT_TRUE(run.Run());
  const std::string sent = run.Report();
  for (size_t i = 0; i < answers.size(); ++i) {
    SCOPED_TRACE(i);
    size_t before = run.v.lines.size();
    run.Send();
    ASSERT_FALSE(run.dlg.UploadActive());
    // One line after "sending": the outcome, and nothing more.
    ASSERT_EQ(run.v.lines.size(), before + 2);
    EXPECT_EQ(run.v.lines[before], texts::kTextUploading);
    EXPECT_EQ(run.v.lines[before + 1], lines[i]);
    EXPECT_TRUE(run.v.start);
    EXPECT_EQ(run.v.send, i + 1 < answers.size()) << "send is enabled again only after a failure";
    EXPECT_EQ(run.dlg.LastUploadAccepted(), i + 1 == answers.size());
    EXPECT_TRUE(run.v.timers.empty());
    EXPECT_EQ(run.Report(), sent);
  }
  // Every attempt carried the same report.
  auto reqs = report.requests();
  ASSERT_EQ(reqs.size(), answers.size());
  for (const auto& r : reqs) EXPECT_EQ(r.substr(r.find("\r\n\r\n") + 4), sent);
}

TEST(DialogUpload, TheReportIdOfAnAcceptedReportFollowsTheDoneLine) {
  testhttp::Server report([&](testsock::socket_t fd, const std::string&, int i) {
    SendAll(fd, i == 0 ? "HTTP/1.1 201 Created\r\nX-Report-Id: 7K3M-QX9P\r\nContent-Length: 10\r\n\r\n7K3M-QX9P\n"
                       : "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nOK\n");
  }, true);
  FinishedRun run(UploadUrl(report));
  ASSERT_TRUE(run.Run());
  run.Send();
  ASSERT_GE(run.v.lines.size(), 2u);
  EXPECT_EQ(run.v.lines[run.v.lines.size() - 2], texts::kTextUploaded);
  EXPECT_EQ(run.v.lines.back(), G("报告编号：7K3M-QX9P（联系客服时请提供此编号）"));
  EXPECT_TRUE(run.v.start);
  EXPECT_FALSE(run.v.send);
  EXPECT_EQ(run.dlg.LastUploadStatus(), 201);
  // An answer without an id (an older server) shows the done line alone.
  ASSERT_TRUE(run.Run());
  run.Send();
  EXPECT_EQ(run.v.lines.back(), texts::kTextUploaded);
  EXPECT_EQ(run.v.lines[run.v.lines.size() - 2], texts::kTextUploading);
}

TEST(DialogUpload, AWaitOfTenSecondsShowsOnTheStatusLine) {
  // Nobody listens: after 500 ticks of 20 ms the status line says that the
  // server cannot be reached, and renews the count every 250 ticks.
  {
    FinishedRun run("127.0.0.1:" + std::to_string(testsock::ClosedPort()) + "/test_log");
    ASSERT_TRUE(run.Run());
    run.dlg.OnSendClicked();
    size_t statuses = run.v.statuses.size();
    for (int i = 0; i < 499; ++i) run.dlg.OnTimer(TIMER_UPLOAD);
    EXPECT_EQ(run.v.statuses.size(), statuses) << "quiet for the first ten seconds";
    run.dlg.OnTimer(TIMER_UPLOAD);
    ASSERT_EQ(run.v.statuses.size(), statuses + 1);
    EXPECT_EQ(run.v.statuses.back(), G("无法连接报告服务器，仍在重试...（已等待10秒）"));
    for (int i = 0; i < 250; ++i) run.dlg.OnTimer(TIMER_UPLOAD);
    EXPECT_EQ(run.v.statuses.back(), G("无法连接报告服务器，仍在重试...（已等待15秒）"));
    EXPECT_TRUE(run.dlg.UploadActive());
    EXPECT_FALSE(run.v.start || run.v.send);
    // Cancel closes the dialog, which ends the upload.
    run.dlg.OnCancelClicked();
    EXPECT_TRUE(run.v.closed);
    run.dlg.OnDestroy();
    EXPECT_FALSE(run.dlg.UploadActive());
  }
  // A server that takes the report and never answers: the line says so, and
  // is cleared when the answer comes at last.
  std::atomic<bool> answer{false};
  testhttp::Server silent([&](testsock::socket_t fd, const std::string&, int) {
    testsupport::WaitUntil([&] { return answer.load(); }, 60000);
    SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
  }, true);
  struct Release {
    std::atomic<bool>& flag;
    ~Release() { flag = true; }  // the peer lets go before it is destroyed, even after a failure
  } release{answer};
  FinishedRun run(UploadUrl(silent));
  ASSERT_TRUE(run.Run());
  run.dlg.OnSendClicked();
  int ticks = 0;
  ASSERT_TRUE(testsupport::WaitUntil([&] {
    run.dlg.OnTimer(TIMER_UPLOAD);
    ++ticks;
    return !silent.requests().empty();
  }, 30000));
  // The next renewal after the request arrived tells of the wait for the answer.
  int next = ticks < 500 ? 500 : 500 + (ticks - 500 + 249) / 250 * 250;
  while (ticks < next) {
    run.dlg.OnTimer(TIMER_UPLOAD);
    ++ticks;
  }
  ASSERT_FALSE(run.v.statuses.empty());
  EXPECT_EQ(run.v.statuses.back(),
            G("已连接报告服务器，正在等待应答...（已等待") + std::to_string(ticks / 50) + G("秒）"));
  answer = true;
  fake::FireTimers(run.dlg, run.v);
  EXPECT_EQ(run.v.statuses.back(), "");
  EXPECT_EQ(run.v.lines.back(), texts::kTextUploaded);
}
