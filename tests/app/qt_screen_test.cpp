// The desktop dialog on a screen users have: Qt's offscreen platform with a
// laptop screen of 1366 x 768 at 125 %; and the program itself started with a
// display that is gone.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QScreen>
#include <QTemporaryDir>
#include <cstdlib>

#include "app/control_ids.h"
#include "app/qt/zandrel_window.h"
#include "run_peers.h"
#include "command.h"

using namespace zandrel;
using namespace runpeers;

namespace {

// Everything the user needs lies inside the window, nothing visible overlaps,
// and the rows keep their order.
void ExpectUsable(ZandrelWindow& w) {
  std::vector<QWidget*> shown;
  for (QWidget* child : w.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
    if (child->isVisible()) shown.push_back(child);
  }
  for (size_t i = 0; i < shown.size(); ++i) {
    EXPECT_TRUE(w.rect().contains(shown[i]->geometry())) << shown[i]->objectName().toStdString();
    for (size_t j = i + 1; j < shown.size(); ++j) {
      EXPECT_FALSE(shown[i]->geometry().intersects(shown[j]->geometry()))
          << shown[i]->objectName().toStdString() << " " << shown[j]->objectName().toStdString();
    }
  }
  for (int id : {IDC_START_BUTTON, IDC_SEND_BUTTON, IDC_CANCEL_BUTTON, IDC_PROBLEM, IDC_SPEED_URL,
                 IDC_PROGRESS_LIST}) {
    EXPECT_TRUE(w.Control(id)->isVisible()) << id;
  }
  const QRect list = w.Control(IDC_PROGRESS_LIST)->geometry();
  EXPECT_GT(w.Control(IDC_PROBLEM)->geometry().top(), list.bottom());
  EXPECT_GT(w.Control(IDC_START_BUTTON)->geometry().top(), w.Control(IDC_SPEED_URL)->geometry().bottom());
  EXPECT_GE(list.height(), 6 * w.Control(IDC_PROGRESS_LIST)->fontMetrics().height());
}

int TemplateHeight() {
  ZandrelWindow w(FakeEnv(), Silent());
  return w.FromDialogUnits(0, 0, 0, ZandrelWindow::kDialogHeightDlu).height();
}

}  // namespace

TEST(QtDialogScreen, FitsALaptopScreenAt125PercentTheHintGivingWayFirst) {
  QScreen* laptop = QGuiApplication::primaryScreen();
  ASSERT_EQ(laptop->size() * laptop->devicePixelRatio(), QSize(1366, 768));
  ASSERT_GT(TemplateHeight() + ZandrelWindow::kFrameAllowance, laptop->availableGeometry().height());
  ASSERT_DOUBLE_EQ(laptop->devicePixelRatio(), 1.25);
  ZandrelWindow w(FakeEnv(), Silent());
  w.show();
  const QRect available = laptop->availableGeometry();
  EXPECT_LE(w.height() + ZandrelWindow::kFrameAllowance, available.height());
  EXPECT_LE(w.width(), available.width());
  ExpectUsable(w);
  // On this screen the band of the hint view is enough: it shrank, the list
  // kept the template's height.
  const QRect full = w.FromDialogUnits(7, 135, 550, 196);
  EXPECT_LT(w.HintView().height(), 195);
  EXPECT_EQ(w.Control(IDC_PROGRESS_LIST)->height(), full.height());
  EXPECT_LT(w.Control(IDC_PROGRESS_LIST)->geometry().top(), full.top());
  if (w.HintView().isVisible()) {
    EXPECT_LT(w.HintView().geometry().bottom(), w.Control(IDC_PROGRESS_LIST)->y());
  }
}

TEST(QtDialogScreen, OnSmallerAreasTheListGivesWayAfterTheHint) {
  ZandrelWindow w(FakeEnv(), Silent());
  const QRect full = w.FromDialogUnits(7, 135, 550, 196);
  const int fullHeight = w.FromDialogUnits(0, 0, 0, ZandrelWindow::kDialogHeightDlu).height();
  // 100 px less than the band above the list: the view goes, the list shrinks.
  const int area = fullHeight + ZandrelWindow::kFrameAllowance - (full.top() - 5) - 100;
  w.FitInto(QSize(2000, area));
  w.show();
  EXPECT_LE(w.height() + ZandrelWindow::kFrameAllowance, area);
  EXPECT_FALSE(w.HintView().isVisible());
  EXPECT_EQ(w.Control(IDC_PROGRESS_LIST)->y(), 5);
  EXPECT_EQ(w.Control(IDC_PROGRESS_LIST)->height(), full.height() - 100);
  ExpectUsable(w);
  // Given room again, the template's layout comes back.
  w.FitInto(QSize(2000, 2000));
  EXPECT_EQ(w.height(), fullHeight);
  EXPECT_EQ(w.HintView().geometry(), QRect(10, 5, w.width() - 20, 195));
  EXPECT_EQ(w.Control(IDC_PROGRESS_LIST)->geometry(), full);
}

// A DISPLAY naming a server that is gone: no abort inside Qt, a pointer to
// --console, and the exit status of the manual page (2).
TEST(QtDialogDisplay, AStaleDisplayPointsToTheConsole) {
  for (const char* display : {":87", "127.0.0.1:87"}) {
    testsupport::CommandResult r = testsupport::RunCommand(
        std::string("env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM DISPLAY=") + display + " timeout 60 " + ZANDREL_BIN +
        " 2>&1");
    EXPECT_EQ(r.exitCode, 2) << display << ": " << r.out;
    EXPECT_NE(r.out.find(display), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("zandrel --console"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("reinstall"), std::string::npos) << r.out;
  }
}

int main(int argc, char** argv) {
  // A laptop screen of Qt's offscreen platform, at 125 %.
  QTemporaryDir dir;
  const QString config = dir.filePath("screens.json");
  QFile file(config);
  if (!file.open(QIODevice::WriteOnly)) return 1;
  file.write(R"({"screens": [{"name": "laptop", "x": 0, "y": 0, "width": 1366, "height": 768, "logicalDpi": 96}]})");
  file.close();
  qputenv("QT_SCALE_FACTOR", "1.25");
  qputenv("QT_QPA_PLATFORM", ("offscreen:configfile=" + config).toUtf8());
  QApplication app(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
