// The desktop dialog on Qt's offscreen platform, driven by real clicks.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFontMetricsF>
#include <QIcon>
#include <QTest>
#include <chrono>
#include <random>

#include "app/control_ids.h"
#include "app/defaults.h"
#include "app/qt/hint_fetcher.h"
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

// The label showing a text, among the visible or the hidden ones.
QLabel* LabelWithText(ZandrelWindow& w, const char* gbk, bool visible) {
  for (QLabel* l : w.findChildren<QLabel*>()) {
    if (l->text() == U(gbk) && l->isVisible() == visible) return l;
  }
  return nullptr;
}

bool WaitFor(const std::function<bool()>& pred, int ms = 20000) { return QTest::qWaitFor(pred, ms); }

}  // namespace

TEST(QtDialog, HasEveryControlOfTheTemplate) {
  ZandrelWindow w(FakeEnv(), Silent());
  EXPECT_EQ(w.windowTitle(), "Zandrel");
  EXPECT_FALSE(w.windowIcon().isNull());
  w.show();
  // Every control a user sees, with its text; the channel-id row is hidden.
  struct Want {
    int id;
    const char* text;
    bool visible;
  };
  const Want wants[] = {{IDC_START_BUTTON, texts::kUiStart, true},  {IDC_SEND_BUTTON, texts::kUiSend, true},
                        {IDC_CANCEL_BUTTON, texts::kUiCancel, true}, {IDC_PROGRESS_LIST, "", true},
                        {IDC_CHANNEL_ID, "", false},                 {IDC_PROBLEM, "", true},
                        {IDC_STATUS, "", true},                      {IDC_SPEED_URL_LABEL, texts::kUiSpeedUrlLabel, true},
                        {IDC_SPEED_URL, "", true}};
  for (const Want& c : wants) {
    QWidget* widget = w.Control(c.id);
    ASSERT_NE(widget, nullptr) << c.id;
    EXPECT_EQ(widget->isVisible(), c.visible) << c.id;
    if (auto* b = qobject_cast<QPushButton*>(widget)) {
      EXPECT_EQ(b->text(), U(c.text)) << c.id;
    }
    if (auto* l = qobject_cast<QLabel*>(widget)) {
      EXPECT_EQ(l->text(), U(c.text)) << c.id;
    }
  }
  ASSERT_NE(LabelWithText(w, texts::kUiProblemLabel, true), nullptr);
  ASSERT_NE(LabelWithText(w, texts::kUiSpeedUrlNote, true), nullptr);
  EXPECT_NE(LabelWithText(w, texts::kUiChannelIdLabel, false), nullptr);
  EXPECT_NE(LabelWithText(w, texts::kUiChannelDefault, false), nullptr);

  // The layout as a user sees it: a fixed-size window; the hint page on top,
  // the progress list across the dialog below it, the problem and speed-test
  // rows under the list (each label left of its field), and the three buttons
  // side by side at the bottom right, with the status line at the bottom left.
  EXPECT_EQ(w.minimumSize(), w.maximumSize());
  const QRect hint = w.HintView().geometry();
  EXPECT_EQ(hint, QRect(10, 5, w.width() - 20, 195));
  const QRect list = w.Control(IDC_PROGRESS_LIST)->geometry();
  const QRect problemLabel = LabelWithText(w, texts::kUiProblemLabel, true)->geometry();
  const QRect problem = w.Control(IDC_PROBLEM)->geometry();
  const QRect urlLabel = w.Control(IDC_SPEED_URL_LABEL)->geometry();
  const QRect url = w.Control(IDC_SPEED_URL)->geometry();
  const QRect urlNote = LabelWithText(w, texts::kUiSpeedUrlNote, true)->geometry();
  const QRect start = w.Control(IDC_START_BUTTON)->geometry();
  const QRect send = w.Control(IDC_SEND_BUTTON)->geometry();
  const QRect cancel = w.Control(IDC_CANCEL_BUTTON)->geometry();
  const QRect status = w.Control(IDC_STATUS)->geometry();
  EXPECT_GT(list.top(), hint.bottom());
  EXPECT_GT(list.width(), w.width() * 9 / 10);
  EXPECT_GT(problem.top(), list.bottom());
  EXPECT_GT(url.top(), problem.bottom());
  EXPECT_GT(start.top(), url.bottom());
  for (auto [label, field] : {std::pair{problemLabel, problem}, std::pair{urlLabel, url}}) {
    EXPECT_LT(label.right(), field.left());
    EXPECT_TRUE(label.top() < field.bottom() && field.top() < label.bottom());  // on one row
  }
  EXPECT_LT(url.right(), urlNote.left());
  EXPECT_EQ(start.size(), send.size());
  EXPECT_EQ(send.size(), cancel.size());
  EXPECT_EQ(start.top(), send.top());
  EXPECT_EQ(send.top(), cancel.top());
  EXPECT_LT(start.right(), send.left());
  EXPECT_LT(send.right(), cancel.left());
  EXPECT_GT(cancel.right(), w.width() * 9 / 10);
  EXPECT_LT(status.right(), start.left());
  EXPECT_GT(status.top(), url.bottom());
  // Nothing visible overlaps, everything lies inside the window, and the
  // buttons' and labels' texts fit.
  std::vector<QWidget*> shown;
  for (QWidget* child : w.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
    if (child->isVisible()) shown.push_back(child);
  }
  ASSERT_GE(shown.size(), 11u);
  for (size_t i = 0; i < shown.size(); ++i) {
    EXPECT_TRUE(w.rect().contains(shown[i]->geometry())) << i;
    for (size_t j = i + 1; j < shown.size(); ++j) {
      EXPECT_FALSE(shown[i]->geometry().intersects(shown[j]->geometry())) << i << " " << j;
    }
    QString text;
    if (auto* b = qobject_cast<QPushButton*>(shown[i])) text = b->text();
    if (auto* l = qobject_cast<QLabel*>(shown[i])) text = l->text();
    EXPECT_LE(shown[i]->fontMetrics().horizontalAdvance(text), shown[i]->width()) << text.toStdString();
  }
  EXPECT_FALSE(w.Control(IDC_SEND_BUTTON)->isEnabled());
  EXPECT_TRUE(w.Control(IDC_START_BUTTON)->isEnabled());
  EXPECT_EQ(static_cast<QLineEdit*>(w.Control(IDC_SPEED_URL))->text().toStdString(), kDefaultSpeedUrl);
}

TEST(QtDialog, ProgressListBannersLineUp) {
  ZandrelWindow w(FakeEnv(), Silent());
  const QFontMetricsF m(w.Control(IDC_PROGRESS_LIST)->font());
  const double closing = m.horizontalAdvance(U(texts::kBannerClosing));
  for (const char* banner : {texts::kBannerNetworkInfo, texts::kBannerModuleStatus, texts::kBannerNetworkCheck,
                             texts::kBannerSpeedTest, texts::kBannerServiceCheck, texts::kBannerChannelCheck}) {
    EXPECT_EQ(m.horizontalAdvance(U(banner)), closing) << w.Control(IDC_PROGRESS_LIST)->font().family().toStdString();
  }
  // The measure itself tells a proportional CJK face from a fitting one.
  EXPECT_FALSE(BannersAlign(QFont("WenQuanYi Micro Hei", 9)));
}

TEST(QtDialog, StartRunsAWholeRunAndSendUploadsIt) {
  Peers peers;
  ZandrelWindow w(FakeEnv(), peers.Targets());
  w.show();
  static_cast<QLineEdit*>(w.Control(IDC_SPEED_URL))->setText(QString::fromStdString(peers.url("/speed")));
  static_cast<QLineEdit*>(w.Control(IDC_PROBLEM))->setText(QString::fromUtf8("画面卡顿"));
  w.LoadHint(peers.url("/Hint.html"));
  auto* start = static_cast<QPushButton*>(w.Control(IDC_START_BUTTON));
  auto* send = static_cast<QPushButton*>(w.Control(IDC_SEND_BUTTON));
  auto* list = static_cast<QListWidget*>(w.Control(IDC_PROGRESS_LIST));
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

// The keyboard as in the Windows dialog: the problem is typed at once, Tab
// follows the template's order, Enter in an edit presses start (never
// cancel), and a click on start leaves the focus where Esc still works.
TEST(QtDialog, KeyboardAsInTheWindowsDialog) {
  Peers peers;
  ZandrelWindow w(FakeEnv(), peers.Targets());
  auto* problem = static_cast<QLineEdit*>(w.Control(IDC_PROBLEM));
  auto* url = static_cast<QLineEdit*>(w.Control(IDC_SPEED_URL));
  QWidget* start = w.Control(IDC_START_BUTTON);
  QWidget* send = w.Control(IDC_SEND_BUTTON);
  QWidget* cancel = w.Control(IDC_CANCEL_BUTTON);
  QWidget* list = w.Control(IDC_PROGRESS_LIST);
  url->setText(QString::fromStdString(peers.url("/speed")));
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
  EXPECT_EQ(QApplication::focusWidget(), problem);
  QTest::keyClicks(QApplication::focusWidget(), "stutters");
  EXPECT_EQ(problem->text(), "stutters");
  auto tabsVisit = [&](const std::vector<QWidget*>& order) {
    for (QWidget* next : order) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
      EXPECT_EQ(QApplication::focusWidget(), next) << next->objectName().toStdString();
    }
  };
  tabsVisit({url, start, cancel, list, problem});  // send is disabled

  QTest::keyClick(problem, Qt::Key_Return);
  EXPECT_TRUE(w.isVisible());
  EXPECT_TRUE(w.Logic().RunActive() || w.Logic().WorkerRunning());
  QTest::keyClick(url, Qt::Key_Enter);  // start is disabled now: nothing
  EXPECT_TRUE(w.isVisible());
  ASSERT_TRUE(WaitFor([&] { return !w.Logic().RunActive() && !w.Logic().WorkerRunning(); }));
  EXPECT_EQ(problem->text(), "stutters");
  QTest::keyClick(url, Qt::Key_Return);  // after the run it starts the next one
  EXPECT_TRUE(w.Logic().RunActive() || w.Logic().WorkerRunning());
  ASSERT_TRUE(WaitFor([&] { return !w.Logic().RunActive() && !w.Logic().WorkerRunning(); }));
  problem->setFocus();
  tabsVisit({url, start, send, cancel, list, problem});

  QTest::mouseClick(static_cast<QPushButton*>(start), Qt::LeftButton);
  ASSERT_TRUE(WaitFor([&] { return !start->isEnabled(); }));  // by the run's worker
  QWidget* focus = QApplication::focusWidget();
  ASSERT_NE(focus, nullptr);
  EXPECT_TRUE(w.isAncestorOf(focus) && focus->isEnabled());
  QTest::keyClick(focus, Qt::Key_Escape);
  EXPECT_FALSE(w.isVisible());
  EXPECT_FALSE(w.Logic().WorkerRunning());
}

TEST(QtDialog, AHintPageThatCannotBeFetchedLeavesTheViewWhite) {
  ZandrelWindow w(FakeEnv(), Silent());
  w.show();
  w.LoadHint("http://127.0.0.1:" + std::to_string(testsock::ClosedPort()) + "/Hint.html");
  QTest::qWait(300);
  EXPECT_TRUE(w.HintView().toPlainText().isEmpty());
  EXPECT_TRUE(w.Control(IDC_START_BUTTON)->isEnabled());
}

// A page over the limit whose later pieces are smaller is not shown with a
// hole in it; a page within the limit, fetched beside it, is shown.
TEST(QtDialog, AHintPageOverTheLimitIsNeverShownWithAHole) {
  const std::string url = "http://127.0.0.1:" + std::to_string(testsock::ClosedPort()) + "/Hint.html";
  std::vector<std::string> big, small;
  HintFetcher over(url, [&](const std::string& page) { big.push_back(page); });
  const std::string start(HintFetcher::kMaxPage - 10, 'a'), middle(4096, 'b');
  over.i_onHttpData(start.data(), static_cast<int32_t>(start.size()));
  over.i_onHttpData(middle.data(), static_cast<int32_t>(middle.size()));
  over.i_onHttpData("</p>", 4);
  over.i_onHttpFinished();
  HintFetcher within(url, [&](const std::string& page) { small.push_back(page); });
  within.i_onHttpData("<p>hint</p>", 11);
  within.i_onHttpFinished();
  ASSERT_TRUE(WaitFor([&] { return !small.empty(); }, 5000));
  QTest::qWait(50);  // both timers have had their turn
  EXPECT_EQ(small, std::vector<std::string>{"<p>hint</p>"});
  EXPECT_TRUE(big.empty()) << big.front().size();
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
    static_cast<QLineEdit*>(w->Control(IDC_SPEED_URL))->setText(QString::fromStdString(peers.url("/speed")));
    QTest::mouseClick(static_cast<QPushButton*>(w->Control(IDC_START_BUTTON)), Qt::LeftButton);
    QTest::qWait(static_cast<int>(random() % 400));
    switch (i % 3) {
      case 0:
        QTest::mouseClick(static_cast<QPushButton*>(w->Control(IDC_CANCEL_BUTTON)), Qt::LeftButton);
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
