// The desktop dialog on Qt's offscreen platform, driven by real clicks.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFontMetricsF>
#include <QIcon>
#include <QTest>
#include <chrono>
#include <random>

#include "app/defaults.h"
#include "app/qt/zandrel_window.h"
#include "base/texts.h"
#include "run_peers.h"

using namespace zandrel;
using namespace runpeers;

namespace {

QString U(const char* gbk) { return QString::fromStdString(platform::GbkToUtf8(gbk)); }

std::string RawLine(QListWidget* list, int row) {
  QByteArray raw = list->item(row)->data(ZandrelWindow::kRawLineRole).toByteArray();
  return std::string(raw.constData(), static_cast<size_t>(raw.size()));
}

bool WaitFor(const std::function<bool()>& pred, int ms = 20000) { return QTest::qWaitFor(pred, ms); }

}  // namespace

TEST(QtDialog, HasEveryControlOfTheTemplate) {
  ZandrelWindow w(FakeEnv(), Silent());
  EXPECT_EQ(w.windowTitle(), "Zandrel");
  EXPECT_FALSE(w.windowIcon().isNull());
  struct Want {
    int id;
    const char* text;
    bool visible;
    int x, y, cx, cy;
  };
  const Want wants[] = {{1000, texts::kUiStart, true, 278, 383, 90, 16},
                        {3, texts::kUiSend, true, 372, 383, 90, 16},
                        {4, texts::kUiCancel, true, 467, 383, 90, 16},
                        {1001, "", true, 7, 135, 550, 196},
                        {-1, texts::kUiChannelIdLabel, false, 16, 321, 33, 8},
                        {-2, texts::kUiProblemLabel, true, 16, 340, 41, 8},
                        {1002, "", false, 61, 317, 402, 14},
                        {-3, texts::kUiChannelDefault, false, 463, 321, 53, 8},
                        {1003, "", true, 61, 337, 401, 14},
                        {1004, "", true, 7, 391, 95, 8},
                        {1006, texts::kUiSpeedUrlLabel, true, 16, 360, 41, 8},
                        {1005, "", true, 62, 357, 400, 14},
                        {-4, texts::kUiSpeedUrlNote, true, 464, 361, 89, 8}};
  w.show();
  for (const Want& c : wants) {
    QWidget* widget = w.Control(c.id);
    ASSERT_NE(widget, nullptr) << c.id;
    EXPECT_EQ(widget->isVisible(), c.visible) << c.id;
    EXPECT_EQ(widget->geometry(), w.FromDialogUnits(c.x, c.y, c.cx, c.cy)) << c.id;
    if (auto* b = qobject_cast<QPushButton*>(widget)) {
      EXPECT_EQ(b->text(), U(c.text)) << c.id;
    }
    if (auto* l = qobject_cast<QLabel*>(widget); l && c.id != 1004) {
      EXPECT_EQ(l->text(), U(c.text)) << c.id;
    }
  }
  EXPECT_EQ(w.size(), w.FromDialogUnits(0, 0, 564, 406).size());
  EXPECT_FALSE(w.Control(3)->isEnabled());
  EXPECT_TRUE(w.Control(1000)->isEnabled());
  EXPECT_EQ(static_cast<QLineEdit*>(w.Control(1005))->text().toStdString(), kDefaultSpeedUrl);
  EXPECT_EQ(w.HintView().geometry(), QRect(10, 5, w.width() - 20, 195));
}

TEST(QtDialog, ProgressListBannersLineUp) {
  ZandrelWindow w(FakeEnv(), Silent());
  const QFontMetricsF m(w.Control(1001)->font());
  const double closing = m.horizontalAdvance(U(texts::kBannerClosing));
  for (const char* banner : {texts::kBannerNetworkInfo, texts::kBannerModuleStatus, texts::kBannerNetworkCheck,
                             texts::kBannerSpeedTest, texts::kBannerServiceCheck, texts::kBannerChannelCheck}) {
    EXPECT_EQ(m.horizontalAdvance(U(banner)), closing) << w.Control(1001)->font().family().toStdString();
  }
  // The measure itself tells a proportional CJK face from a fitting one.
  EXPECT_FALSE(BannersAlign(QFont("WenQuanYi Micro Hei", 9)));
}

TEST(QtDialog, StartRunsAWholeRunAndSendUploadsIt) {
  Peers peers;
  ZandrelWindow w(FakeEnv(), peers.Targets());
  w.show();
  static_cast<QLineEdit*>(w.Control(1005))->setText(QString::fromStdString(peers.url("/speed")));
  static_cast<QLineEdit*>(w.Control(1003))->setText(QString::fromUtf8("画面卡顿"));
  w.LoadHint(peers.url("/Hint.html"));
  auto* start = static_cast<QPushButton*>(w.Control(1000));
  auto* send = static_cast<QPushButton*>(w.Control(3));
  auto* list = static_cast<QListWidget*>(w.Control(1001));
  QTest::mouseClick(start, Qt::LeftButton);
  ASSERT_TRUE(WaitFor([&] { return !w.Logic().RunActive() && !w.Logic().WorkerRunning(); }));
  EXPECT_TRUE(start->isEnabled());
  EXPECT_TRUE(send->isEnabled());
  ASSERT_GE(list->count(), 28);
  EXPECT_EQ(RawLine(list, 0), texts::kBannerNetworkInfo);
  EXPECT_EQ(RawLine(list, list->count() - 2), G("获取频道信息成功！\r\n"));
  EXPECT_EQ(list->item(list->count() - 2)->text(), QString::fromUtf8("获取频道信息成功！"));
  EXPECT_TRUE(WaitFor([&] { return w.HintView().toPlainText().contains("hint page"); }, 3000));
  std::string report(w.Logic().Report().Data(), static_cast<size_t>(w.Logic().Report().Length()));
  EXPECT_EQ(report.find(G("\r\n问题描述：画面卡顿\r\n")), 0u);

  QTest::mouseClick(send, Qt::LeftButton);
  EXPECT_FALSE(start->isEnabled());
  EXPECT_FALSE(send->isEnabled());
  ASSERT_TRUE(WaitFor([&] { return !w.Logic().UploadActive(); }));
  EXPECT_EQ(RawLine(list, list->count() - 1), texts::kTextUploaded);
  EXPECT_TRUE(start->isEnabled());
  EXPECT_FALSE(send->isEnabled());
  size_t head = peers.uploaded.find("\r\n\r\n");
  ASSERT_NE(head, std::string::npos);
  EXPECT_TRUE(peers.uploaded.substr(head + 4) == report);
}

TEST(QtDialog, AHintPageThatCannotBeFetchedLeavesTheViewWhite) {
  ZandrelWindow w(FakeEnv(), Silent());
  w.show();
  w.LoadHint("http://127.0.0.1:" + std::to_string(testsock::ClosedPort()) + "/Hint.html");
  QTest::qWait(300);
  EXPECT_TRUE(w.HintView().toPlainText().isEmpty());
  EXPECT_TRUE(w.Control(1000)->isEnabled());
}

TEST(QtDialog, ClosingAtRandomMomentsNeverCrashesOrHangs) {
  Peers peers;
  std::mt19937 random(20261209);
  auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < 50; ++i) {
    DetectionEnv env = FakeEnv();
    if (i % 5 == 0) {  // now and then the real four-second CPU sampling, cut short
      env.cpu = PlatformCpuSource();
      env.cpu.sleepMs = nullptr;
    }
    auto w = std::make_unique<ZandrelWindow>(env, peers.Targets());
    w->show();
    static_cast<QLineEdit*>(w->Control(1005))->setText(QString::fromStdString(peers.url("/speed")));
    QTest::mouseClick(static_cast<QPushButton*>(w->Control(1000)), Qt::LeftButton);
    QTest::qWait(static_cast<int>(random() % 400));
    switch (i % 3) {
      case 0:
        QTest::mouseClick(static_cast<QPushButton*>(w->Control(4)), Qt::LeftButton);
        break;
      case 1:
        QTest::keyClick(w.get(), Qt::Key_Escape);
        break;
      default:
        w->close();
        break;
    }
    EXPECT_FALSE(w->isVisible()) << i;
    EXPECT_FALSE(w->Logic().WorkerRunning()) << i;
    w.reset();
    QCoreApplication::processEvents();
  }
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(60));
}

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
