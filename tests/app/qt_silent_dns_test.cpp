// The desktop dialog (offscreen) while the name server never answers: the
// report host, the hint page, the speed URL and the local service are all
// names. The UI thread must keep serving a 10 ms timer through a whole run,
// and closing a dialog must return at once whatever the run is doing.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>
#include <chrono>
#include <memory>
#include <vector>

#include "app/defaults.h"
#include "app/qt/zandrel_window.h"
#include "platform/gbk.h"
#include "../net/silent_dns.h"
#include "tick_gaps.h"

using namespace zandrel;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {


long long Ms(Clock::duration d) { return std::chrono::duration_cast<milliseconds>(d).count(); }

std::string Lines(QListWidget* list) {
  std::string all;
  for (int i = 0; i < list->count(); ++i) all += list->item(i)->text().toStdString() + "\n";
  return all;
}

}  // namespace

TEST(SilentNameServerDialog, TimerNeverStallsAndClosingReturnsAtOnceInEveryPhase) {
  std::string why;
  testsock::SilentDns* dns = testsock::ProcessSilentDns(&why);
  if (!dns) GTEST_SKIP() << "no private name server here (" << why << ")";
  g_reportHost = "reports.zandrel.test";
  const char* kSpeedUrl = "http://speed.zandrel.test/zandrel-speed.bin";

  // A 10 ms timer of the UI thread, as the dialog's own timers are.
  ticklog::TickLog fired;
  QTimer probe;
  probe.setTimerType(Qt::PreciseTimer);
  QObject::connect(&probe, &QTimer::timeout, [&] { fired.Record(0); });

  // One dialog runs to the end; five more are closed at different moments:
  // CPU sampling, the worker inside the UDP lookup, the UDP wait, the speed
  // test and the service check. Every one also fetches its hint page.
  std::vector<std::unique_ptr<ZandrelWindow>> windows;
  for (int i = 0; i < 6; ++i) {
    CheckTargets targets = DefaultTargets();
    if (i > 0) targets.udpLocalPort = 0;  // the fixed port belongs to the first
    auto w = std::make_unique<ZandrelWindow>(DetectionEnv::Platform(), targets);
    w->show();
    static_cast<QLineEdit*>(w->Control(1005))->setText(kSpeedUrl);
    w->LoadHint();
    windows.push_back(std::move(w));
  }
  ticklog::Witness witness;
  probe.start(10);
  auto t0 = Clock::now();
  for (auto& w : windows) QTest::mouseClick(static_cast<QPushButton*>(w->Control(1000)), Qt::LeftButton);

  const int moments[] = {1000, 7000, 17000, 27000, 37000};
  for (int i = 0; i < 5; ++i) {
    ZandrelWindow& w = *windows[static_cast<size_t>(i) + 1];
    EXPECT_TRUE(QTest::qWaitFor([&] { return Clock::now() - t0 >= milliseconds(moments[i]); }, moments[i] + 1000));
    auto* list = static_cast<QListWidget*>(w.Control(1001));
    std::string last = list->count() ? list->item(list->count() - 1)->text().toStdString() : "";
    auto before = Clock::now();
    if (i % 2 == 0) {
      QTest::mouseClick(static_cast<QPushButton*>(w.Control(4)), Qt::LeftButton);
    } else {
      w.close();  // the close box
    }
    auto took = Clock::now() - before;
    EXPECT_LE(Ms(took), 200) << "closing at " << moments[i] << " ms, after \"" << last << "\"";
    EXPECT_FALSE(w.isVisible());
    EXPECT_FALSE(w.Logic().WorkerRunning());
    std::printf("closed at %d ms (after \"%s\") in %lld ms\n", moments[i], last.c_str(),
                static_cast<long long>(Ms(took)));
  }

  ZandrelWindow& whole = *windows[0];
  ASSERT_TRUE(QTest::qWaitFor([&] { return !whole.Logic().RunActive() && !whole.Logic().WorkerRunning(); }, 150000));
  probe.stop();
  EXPECT_TRUE(dns->Queried()) << "the names never reached the stand-in";

  ASSERT_GT(fired.Count(), 3000u);
  witness.Stop();
  ticklog::Gap own = fired.LongestOwn(&witness), wall = fired.LongestWall(&witness);
  std::printf("%zu ticks in %lld ms; longest gap %lld ms (waiting for a processor %lld ms, machine stalled %lld ms); "
              "longest own gap %lld ms (of %lld ms, %lld ms running) %lld ms into the run\n",
              fired.Count(), static_cast<long long>(Ms(fired.At(fired.Count() - 1) - t0)), wall.wallMs, wall.queuedMs,
              wall.stalledMs, own.ownMs, own.wallMs, own.cpuMs, static_cast<long long>(Ms(fired.At(own.before) - t0)));
  EXPECT_LE(own.ownMs, 100);

  std::string lines = Lines(static_cast<QListWidget*>(whole.Control(1001)));
  size_t from = 0;
  for (const char* text : {"UDP检测失败！", "下载速度为：0K/s", "检测本地服务超时，失败！", "获取频道信息超时，失败！"}) {
    size_t p = lines.find(text, from);
    EXPECT_NE(p, std::string::npos) << text << "\n" << lines;
    if (p != std::string::npos) from = p;
  }
  EXPECT_TRUE(whole.HintView().toPlainText().isEmpty());
  windows.clear();
}

int main(int argc, char** argv) {
  // The namespaces must be made while this process has a single thread.
  testsock::ProcessSilentDns();
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
