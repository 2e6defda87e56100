// The desktop dialog (Qt Widgets): dialog template 102's controls on a
// QDialog, implementing the view of CZandrelDlg.
#pragma once
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTextBrowser>
#include <QTimer>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/control_ids.h"
#include "app/view.h"
#include "app/zandrel_dlg.h"

namespace zandrel {

class HintFetcher;

class ZandrelWindow final : public QDialog, public IZandrelView {
 public:
  // The template's labels without a control id, for Control().
  enum UnnumberedLabel : int {
    kChannelIdLabel = -1,
    kProblemLabel = -2,
    kChannelDefaultLabel = -3,
    kSpeedUrlNoteLabel = -4,
  };
  // Item data role holding a progress line exactly as logged (GBK bytes).
  static constexpr int kRawLineRole = Qt::UserRole + 1;
  static constexpr int kDialogWidthDlu = 564;
  static constexpr int kDialogHeightDlu = 406;

  explicit ZandrelWindow(DetectionEnv env = DetectionEnv::Platform(), CheckTargets targets = DefaultTargets(),
                         QWidget* parent = nullptr);
  ~ZandrelWindow() override;

  // IZandrelView
  void AddProgressLine(const std::string& line) override;
  void EnableStartButton(bool enable) override { start_.setEnabled(enable); }
  void EnableSendButton(bool enable) override { send_.setEnabled(enable); }
  std::string ProblemText() override;
  std::string SpeedUrl() override;
  void SetSpeedUrl(const std::string& url) override;
  void SetStatusText(const std::string& text) override;
  void SetTimer(int id, uint32_t periodMs) override;
  void KillTimer(int id) override;
  void CloseDialog() override { reject(); }
  void RequestUiPump() override;

  // The control with a dialog id (app/control_ids.h).
  QWidget* Control(int id);
  QTextBrowser& HintView() { return hint_; }
  CZandrelDlg& Logic() { return *dlg_; }
  // Pixels of a rectangle given in dialog units, with this dialog's font.
  QRect FromDialogUnits(int x, int y, int w, int h) const;
  // Lays the dialog out to fit a screen area of this size (the available
  // geometry, in the window's pixels), frame included. The template's layout
  // when it fits; otherwise the hint area gives way first (it shrinks, then
  // goes), then the progress list gets shorter, down to a few lines.
  void FitInto(const QSize& available);
  // The height a window frame (title bar and borders) is assumed to take.
  static constexpr int kFrameAllowance = 40;
  // Fetches the hint page (the dialog's HintUrl() unless given).
  void LoadHint(const std::string& url = std::string());

  void done(int r) override;
  // Also writes every progress line to out, as UTF-8 (for scripts).
  void EchoProgressTo(std::FILE* out) { echo_ = out; }

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void Place(QWidget& w, int id, const char* text, bool visible, int x, int y, int cx, int cy);
  void LayOut();
  void ShutDown();

  // Controls of template 102, in tab order.
  QPushButton start_, send_, cancel_;
  QListWidget list_;
  QLabel channelIdLabel_, problemLabel_;
  QLineEdit channelId_;
  QLabel channelDefault_;
  QLineEdit problem_;
  QLabel status_, speedUrlLabel_;
  QLineEdit speedUrl_;
  QLabel speedUrlNote_;
  QTextBrowser hint_;

  std::unique_ptr<CZandrelDlg> dlg_;
  double baseX_ = 6, baseY_ = 12;  // dialog base units of the font
  std::map<int, QWidget*> controls_;
  std::vector<std::pair<QWidget*, QRect>> templateRects_;  // in dialog units
  int hintHeight_ = 195;   // the hint view's height; 0 when it gave way
  int liftAbove_ = 0;      // pixels the list and what is below it moved up
  int listShorter_ = 0;    // pixels the list gave up, lifting what is below
  std::map<int, std::unique_ptr<QTimer>> timers_;
  std::unique_ptr<HintFetcher> hintFetcher_;
  bool shutDown_ = false;
  std::FILE* echo_ = nullptr;
};

// The dialog font: "宋体" 9 pt where present, else an installed CJK font.
QFont DialogFont();
// The progress list's font: one where the banners line up (see BannersAlign);
// the dialog font when none is installed.
QFont ProgressListFont();
bool BannersAlign(const QFont& font);

}  // namespace zandrel
