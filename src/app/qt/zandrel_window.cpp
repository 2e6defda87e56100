#include "app/qt/zandrel_window.h"

#include <QFontDatabase>
#include <QFontMetricsF>
#include <QIcon>
#include <QMetaObject>
#include <QScreen>
#include <QScrollBar>
#include <algorithm>
#include <iterator>

#include "app/control_ids.h"
#include "app/auto_run.h"
#include "app/qt/hint_fetcher.h"
#include "base/texts.h"
#include "platform/gbk.h"

// The icon lives in a resource of this static library; referencing it keeps
// it linked in.
static void InitZandrelResources() { Q_INIT_RESOURCE(zandrel); }

namespace zandrel {
namespace {

QString FromGbk(const std::string& gbk) { return QString::fromStdString(platform::GbkToUtf8(gbk)); }
std::string ToGbk(const QString& text) { return platform::Utf8ToGbk(text.toStdString()); }

}  // namespace

QFont DialogFont() {
  const QStringList families = QFontDatabase::families();
  const QString wanted[] = {QString::fromUtf8("宋体"), "SimSun", "NSimSun", "WenQuanYi Micro Hei",
                            "Noto Sans CJK SC", "Noto Sans SC", "WenQuanYi Zen Hei", "AR PL UMing CN"};
  for (const QString& name : wanted) {
    if (families.contains(name, Qt::CaseInsensitive)) return QFont(name, 9);
  }
  QFont font = QFont();
  font.setPointSize(9);
  return font;
}

bool BannersAlign(const QFont& font) {
  // A banner is "=" runs around a Chinese title, 74 bytes like the closing
  // "=" line: they line up when a Chinese character is exactly two "=" wide.
  QFontMetricsF m(font);
  return m.horizontalAdvance(QString::fromUtf8("网")) == 2 * m.horizontalAdvance(QChar('=')) &&
         m.horizontalAdvance(QString::fromStdString(platform::GbkToUtf8(texts::kBannerNetworkInfo))) ==
             m.horizontalAdvance(QString::fromStdString(platform::GbkToUtf8(texts::kBannerClosing)));
}

QFont ProgressListFont() {
  // 宋体 has that property; so do these Debian faces (measured: at 9 pt the
  // Micro Hei Mono face draws "=" 7.19 px wide against 12 px for a Chinese
  // character, so it does not qualify).
  const QString wanted[] = {QString::fromUtf8("宋体"), "SimSun", "NSimSun", "WenQuanYi Zen Hei Mono",
                            "AR PL UMing CN"};
  const QStringList families = QFontDatabase::families();
  for (const QString& name : wanted) {
    if (!families.contains(name, Qt::CaseInsensitive)) continue;
    QFont font(name, 9);
    if (BannersAlign(font)) return font;
  }
  return DialogFont();
}

ZandrelWindow::ZandrelWindow(DetectionEnv env, CheckTargets targets, QWidget* parent)
    : QDialog(parent),
      start_(this),
      send_(this),
      cancel_(this),
      list_(this),
      channelIdLabel_(this),
      problemLabel_(this),
      channelId_(this),
      channelDefault_(this),
      problem_(this),
      status_(this),
      speedUrlLabel_(this),
      speedUrl_(this),
      speedUrlNote_(this),
      hint_(this),
      dlg_(std::make_unique<CZandrelDlg>(*this, std::move(env), std::move(targets))) {
  InitZandrelResources();
  setFont(DialogFont());
  // Dialog base units: average width of the alphabet and the line height.
  QFontMetricsF metrics(font());
  baseX_ = metrics.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") / 52.0;
  baseY_ = metrics.height();
  setWindowTitle(texts::kUiCaption);
  setWindowIcon(QIcon(":/zandrel/zandrel.png"));

  Place(start_, IDC_START_BUTTON, texts::kUiStart, true, 278, 383, 90, 16);
  Place(send_, IDC_SEND_BUTTON, texts::kUiSend, true, 372, 383, 90, 16);
  Place(cancel_, IDC_CANCEL_BUTTON, texts::kUiCancel, true, 467, 383, 90, 16);
  Place(list_, IDC_PROGRESS_LIST, "", true, 7, 135, 550, 196);
  Place(channelIdLabel_, kChannelIdLabel, texts::kUiChannelIdLabel, false, 16, 321, 33, 8);
  Place(problemLabel_, kProblemLabel, texts::kUiProblemLabel, true, 16, 340, 41, 8);
  Place(channelId_, IDC_CHANNEL_ID, "", false, 61, 317, 402, 14);
  Place(channelDefault_, kChannelDefaultLabel, texts::kUiChannelDefault, false, 463, 321, 53, 8);
  Place(problem_, IDC_PROBLEM, "", true, 61, 337, 401, 14);
  Place(status_, IDC_STATUS, "", true, 7, 391, 95, 8);
  Place(speedUrlLabel_, IDC_SPEED_URL_LABEL, texts::kUiSpeedUrlLabel, true, 16, 360, 41, 8);
  Place(speedUrl_, IDC_SPEED_URL, "", true, 62, 357, 400, 14);
  Place(speedUrlNote_, kSpeedUrlNoteLabel, texts::kUiSpeedUrlNote, true, 464, 361, 89, 8);
  for (QPushButton* b : {&start_, &send_, &cancel_}) b->setAutoDefault(true);
  // Enter in an edit or the list presses start (nothing while it is
  // disabled), as in the Windows dialog; never cancel.
  start_.setDefault(true);
  // Tab order: the template's; the hint view is no stop of it (in the
  // Windows dialog it is a child window outside the tab order), but takes
  // the focus when clicked, for its keys.
  QWidget* order[] = {&start_, &send_, &cancel_, &list_, &channelId_, &problem_, &speedUrl_};
  for (size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);
  hint_.setFocusPolicy(Qt::ClickFocus);
  // The user can type the problem at once.
  problem_.setFocus();
  list_.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  list_.setUniformItemSizes(true);
  list_.setFont(ProgressListFont());

  // The hint view: 10 px from the sides, 5 px from the top, 195 px high,
  // white until a page arrives.
  hint_.setObjectName("hintView");
  hint_.setFrameShape(QFrame::NoFrame);
  hint_.setStyleSheet("QTextBrowser { background: #ffffff; }");
  hint_.setOpenLinks(false);

  connect(&start_, &QPushButton::clicked, this, [this] { dlg_->OnStartClicked(); });
  connect(&send_, &QPushButton::clicked, this, [this] { dlg_->OnSendClicked(); });
  connect(&cancel_, &QPushButton::clicked, this, [this] { dlg_->OnCancelClicked(); });

  dlg_->OnInitDialog();
  FitInto(screen() ? screen()->availableGeometry().size() : QSize());
}

ZandrelWindow::~ZandrelWindow() { ShutDown(); }

void ZandrelWindow::Place(QWidget& w, int id, const char* text, bool visible, int x, int y, int cx, int cy) {
  templateRects_.emplace_back(&w, QRect(x, y, cx, cy));
  w.setGeometry(FromDialogUnits(x, y, cx, cy));
  w.setVisible(visible);
  w.setProperty("controlId", id);
  w.setObjectName(QString("control%1").arg(id));
  QString shown = FromGbk(text);
  if (auto* b = qobject_cast<QPushButton*>(&w)) b->setText(shown);
  if (auto* l = qobject_cast<QLabel*>(&w)) l->setText(shown);
  controls_[id] = &w;
}

QWidget* ZandrelWindow::Control(int id) {
  auto it = controls_.find(id);
  return it == controls_.end() ? nullptr : it->second;
}

QRect ZandrelWindow::FromDialogUnits(int x, int y, int w, int h) const {
  auto px = [this](int v) { return static_cast<int>(v * baseX_ / 4.0 + 0.5); };
  auto py = [this](int v) { return static_cast<int>(v * baseY_ / 8.0 + 0.5); };
  return QRect(px(x), py(y), px(w), py(h));
}

void ZandrelWindow::FitInto(const QSize& available) {
  // Everything from the list down is placed by the template; the band above
  // the list belongs to the hint view (5 px from the top, 195 px high).
  const int fullHeight = FromDialogUnits(0, 0, 0, kDialogHeightDlu).height();
  const QRect list = FromDialogUnits(7, 135, 550, 196);
  int excess = available.isValid() ? fullHeight + kFrameAllowance - available.height() : 0;
  excess = std::max(excess, 0);
  // First the band above the list, down to the view's top margin...
  liftAbove_ = std::min(excess, list.top() - 5);
  // ...then the list, down to six lines.
  const int minList = 6 * QFontMetrics(list_.font()).height() + 2 * list_.frameWidth();
  listShorter_ = std::clamp(excess - liftAbove_, 0, std::max(list.height() - minList, 0));
  hintHeight_ = liftAbove_ == 0 ? 195 : std::min(195, list.top() - liftAbove_ - 5 - 2);
  if (hintHeight_ < 40) hintHeight_ = 0;  // a strip of a page helps nobody
  setFixedSize(FromDialogUnits(0, 0, kDialogWidthDlu, 0).width(), fullHeight - liftAbove_ - listShorter_);
  LayOut();
}

void ZandrelWindow::LayOut() {
  for (auto& [widget, dlu] : templateRects_) {
    QRect r = FromDialogUnits(dlu.x(), dlu.y(), dlu.width(), dlu.height());
    if (widget == &list_) {
      r.adjust(0, -liftAbove_, 0, -liftAbove_ - listShorter_);
    } else {
      r.translate(0, -liftAbove_ - listShorter_);
    }
    widget->setGeometry(r);
  }
  hint_.setVisible(hintHeight_ > 0);
  hint_.setGeometry(10, 5, width() - 20, hintHeight_);
}

void ZandrelWindow::resizeEvent(QResizeEvent* event) {
  if (event) QDialog::resizeEvent(event);
  hint_.setGeometry(10, 5, width() - 20, hintHeight_);
}

void ZandrelWindow::LoadHint(const std::string& url) {
  std::string target = url.empty() ? dlg_->HintUrl() : url;
  hintFetcher_ = std::make_unique<HintFetcher>(target, [this](const std::string& page) {
    // Our server sends UTF-8; a page in the system code page is decoded as GBK.
    bool gbk = page.find("charset=gb") != std::string::npos || page.find("charset=GB") != std::string::npos;
    hint_.setHtml(QString::fromStdString(gbk ? platform::GbkToUtf8(page) : page));
  });
}

void ZandrelWindow::AddProgressLine(const std::string& line) {
  // The item keeps the line as logged; it is shown without its own line break.
  std::string shown = line;
  while (!shown.empty() && (shown.back() == '\n' || shown.back() == '\r')) shown.pop_back();
  auto item = std::make_unique<QListWidgetItem>(FromGbk(shown));
  item->setData(kRawLineRole, QByteArray(line.data(), static_cast<int>(line.size())));
  list_.insertItem(list_.count(), item.release());  // the list owns its items
  list_.scrollToBottom();
  if (echo_) EchoProgressLine(echo_, line);
}

std::string ZandrelWindow::ProblemText() { return ToGbk(problem_.text()); }
std::string ZandrelWindow::SpeedUrl() { return ToGbk(speedUrl_.text()); }
void ZandrelWindow::SetSpeedUrl(const std::string& url) { speedUrl_.setText(FromGbk(url)); }
void ZandrelWindow::SetStatusText(const std::string& text) { status_.setText(FromGbk(text)); }

void ZandrelWindow::SetTimer(int id, uint32_t periodMs) {
  auto& timer = timers_[id];
  if (!timer) {
    timer = std::make_unique<QTimer>();
    timer->setTimerType(Qt::PreciseTimer);
    connect(timer.get(), &QTimer::timeout, this, [this, id] {
      if (!shutDown_) dlg_->OnTimer(id);
    });
  }
  timer->start(static_cast<int>(periodMs));  // re-arming restarts the period
}

void ZandrelWindow::KillTimer(int id) {
  auto it = timers_.find(id);
  if (it != timers_.end() && it->second) it->second->stop();
}

void ZandrelWindow::RequestUiPump() {
  // Called from the detection worker: the call runs on the UI thread.
  QMetaObject::invokeMethod(
      this, [this] { dlg_->PumpUiCalls(); }, Qt::QueuedConnection);
}

void ZandrelWindow::ShutDown() {
  if (shutDown_) return;
  shutDown_ = true;
  // Releases a waiting worker, joins it, frees buffers and clients; then the
  // hint view's fetcher goes.
  dlg_->OnDestroy();
  hintFetcher_.reset();
  for (auto& [id, timer] : timers_) timer->stop();
}

void ZandrelWindow::done(int r) {
  ShutDown();
  QDialog::done(r);
}

}  // namespace zandrel
