// The console front end while the name server never answers: the report
// host, the speed URL and the local service are all names whose lookups
// take the resolver's full time-outs. Nothing may stall the timers, every
// check ends by its own tick limit, and Ctrl-C ends the program at once.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "app/console/console_run.h"
#include "http/file_log_client.h"
#include "../net/silent_dns.h"
#include "tick_gaps.h"

using namespace zandrel;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

std::string ReadAll(std::FILE* f) {
  std::string out;
  std::rewind(f);
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  return out;
}

// Positions of the texts in out, in the order given; npos for a missing one.
std::vector<size_t> InOrder(const std::string& out, const std::vector<std::string>& texts) {
  std::vector<size_t> at;
  size_t from = 0;
  for (const std::string& t : texts) {
    size_t p = out.find(t, from);
    at.push_back(p);
    if (p != std::string::npos) from = p + t.size();
  }
  return at;
}

long long Ms(Clock::duration d) { return std::chrono::duration_cast<milliseconds>(d).count(); }

}  // namespace

TEST(SilentNameServer, WholeConsoleRunKeepsItsTimersGoingAndEveryCheckEndsByItsTickLimit) {
  std::string why;
  testsock::SilentDns* dns = testsock::ProcessSilentDns(&why);
  if (!dns) GTEST_SKIP() << "no private name server here (" << why << ")";
  std::FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  ConsoleView view(out);
  CheckTargets targets;
  targets.reportHost = "reports.zandrel.test";
  targets.uploadUrl = http::report_url(targets.reportHost);
  // The service and channel checks keep their own "localhost" URLs: with no
  // hosts file that name goes to the silent server too.
  CZandrelDlg dlg(view, DetectionEnv::Platform(), targets);
  dlg.OnInitDialog();
  view.SetSpeedUrl("http://speed.zandrel.test/zandrel-speed.bin");

  ticklog::TickLog ticks;  // the 10 ms timers only
  int speedTicks = 0;
  ConsoleRunOptions opt;
  opt.afterTimer = [&](int id) {
    if (id == TIMER_UPLOAD) return;
    ticks.Record(id);
    speedTicks += id == TIMER_SPEED;
  };
  ticklog::Witness witness;
  EXPECT_EQ(RunConsoleDetection(dlg, view, opt), 0);
  EXPECT_TRUE(dns->Queried()) << "the names never reached the stand-in";

  ASSERT_GT(ticks.Count(), 3000u);
  witness.Stop();
  ticklog::Gap own = ticks.LongestOwn(&witness), wall = ticks.LongestWall(&witness);
  std::printf("%zu ticks; longest gap %lld ms (waiting for a processor %lld ms, machine stalled %lld ms); "
              "longest own gap %lld ms (of %lld ms, %lld ms running)\n",
              ticks.Count(), wall.wallMs, wall.queuedMs, wall.stalledMs, own.ownMs, own.wallMs, own.cpuMs);
  EXPECT_LE(own.ownMs, 100) << "gap of " << own.wallMs << " ms before tick " << own.before << " of timer "
                            << ticks.IdAt(own.before);
  EXPECT_EQ(speedTicks, CCheckSequencer::kSpeedTickLimit);

  std::string text = ReadAll(out);
  std::fclose(out);
  auto at_ = InOrder(text, {"UDP检测失败！", "下载速度为：0K/s", "启动本地服务检测", "检测本地服务超时，失败！",
                           "启动频道信息检测", "获取频道信息超时，失败！"});
  for (size_t i = 0; i < at_.size(); ++i) EXPECT_NE(at_[i], std::string::npos) << "text " << i << "\n" << text;
}

TEST(SilentNameServer, CtrlCEndsTheConsoleProgramWithinHalfASecondInEveryPhase) {
  std::string why;
  testsock::SilentDns* dns = testsock::ProcessSilentDns(&why);
  if (!dns) GTEST_SKIP() << "no private name server here (" << why << ")";
  // One program per moment, all started together: CPU sampling, the worker
  // inside the UDP lookup, the UDP wait, the speed test, the service check.
  const int moments[] = {1000, 7000, 17000, 27000, 37000};
  struct Child {
    pid_t pid;
    std::FILE* out;
  };
  std::vector<Child> children;
  for (size_t i = 0; i < std::size(moments); ++i) {
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    std::fflush(nullptr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      dup2(fileno(out), 1);
      execl(ZANDREL_BIN, ZANDREL_BIN, "--console", "--speed-url", "http://speed.zandrel.test/zandrel-speed.bin",
            static_cast<char*>(nullptr));
      _exit(127);
    }
    children.push_back({pid, out});
  }
  auto t0 = Clock::now();
  for (size_t i = 0; i < children.size(); ++i) {
    std::this_thread::sleep_until(t0 + milliseconds(moments[i]));
    auto sent = Clock::now();
    kill(children[i].pid, SIGINT);
    int status = 0;
    pid_t done = 0;
    while ((done = waitpid(children[i].pid, &status, WNOHANG)) == 0 && Clock::now() - sent < std::chrono::seconds(5)) {
      std::this_thread::sleep_for(milliseconds(2));
    }
    auto took = Clock::now() - sent;
    if (done == 0) {
      kill(children[i].pid, SIGKILL);
      waitpid(children[i].pid, &status, 0);
    }
    std::string text = ReadAll(children[i].out);
    std::fclose(children[i].out);
    EXPECT_EQ(done, children[i].pid) << "still running 5 s after Ctrl-C at " << moments[i] << " ms";
    EXPECT_LE(Ms(took), 500) << "Ctrl-C at " << moments[i] << " ms";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << "Ctrl-C at " << moments[i] << " ms";
    std::printf("Ctrl-C at %d ms: ended after %lld ms\n", moments[i], static_cast<long long>(Ms(took)));
    if (moments[i] == 37000) {
      // By then the speed test has ended by its tick limit and the run went on.
      auto at = InOrder(text, {"启动下载速度检测", "下载速度为：0K/s", "启动本地服务检测"});
      for (size_t k = 0; k < at.size(); ++k) EXPECT_NE(at[k], std::string::npos) << k << "\n" << text;
    }
  }
}
