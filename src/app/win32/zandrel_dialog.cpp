// Winsock before <windows.h>, which the dialog's header brings in.
#include <winsock2.h>

#include "app/win32/zandrel_dialog.h"

#include "app/control_ids.h"
#include "app/win32/resource_ids.h"
#include "app/win32/text_edge.h"

namespace zandrel::win32 {

ZandrelDialog::ZandrelDialog(HINSTANCE instance, DetectionEnv env, CheckTargets targets)
    : instance_(instance),
      icon_(LoadIconW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME))),
      dlg_(std::make_unique<CZandrelDlg>(*this, std::move(env), std::move(targets))) {
  // The socket library lives as long as the dialog (Winsock counts starts).
  WSADATA data;
  socketsStarted_ = WSAStartup(MAKEWORD(1, 1), &data) == 0;
}

ZandrelDialog::~ZandrelDialog() {
  // Normally done in WM_DESTROY; this covers a dialog that never opened.
  closing_ = true;
  dlg_->OnDestroy();
  if (socketsStarted_) WSACleanup();
}

void ZandrelDialog::Run() {
  DialogBoxParamW(instance_, MAKEINTRESOURCEW(IDD_ZANDREL_DIALOG), nullptr, DialogProc,
                  reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK ZandrelDialog::DialogProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_INITDIALOG) {
    auto* self = reinterpret_cast<ZandrelDialog*>(lp);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, lp);
    self->hwnd_ = hwnd;
    self->sendTarget_ = hwnd;
    self->OnInitDialog();
    return FALSE;  // the focus is set: in the problem field
  }
  auto* self = reinterpret_cast<ZandrelDialog*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (!self) return FALSE;
  INT_PTR handled = self->OnMessage(msg, wp, lp);
  if (msg == WM_NCDESTROY) {
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
    self->hwnd_ = nullptr;
  }
  return handled;
}

INT_PTR ZandrelDialog::OnMessage(UINT msg, WPARAM wp, LPARAM) {
  switch (msg) {
    case WM_PAINT:
      if (!IsIconic(hwnd_)) return FALSE;  // the dialog paints itself
      OnPaint();
      return TRUE;
    case WM_QUERYDRAGICON:
      return reinterpret_cast<INT_PTR>(icon_);
    case WM_TIMER:
      if (destroyed_) return TRUE;
      if (wp == kTickerTimer) {
        if (ticker_) ticker_();
      } else if (wp >= TIMER_UDP_WAIT && wp <= TIMER_CHANNEL) {
        dlg_->OnTimer(static_cast<int>(wp));
      }
      return TRUE;
    case WM_ZANDREL_UI_CALLS:
      if (!destroyed_) dlg_->PumpUiCalls();
      SetWindowLongPtrW(hwnd_, DWLP_MSGRESULT, 1);
      return TRUE;
    case WM_ZANDREL_OPEN_HINT:
      OpenHintPage();
      return TRUE;
    case WM_COMMAND:
      if (HIWORD(wp) != BN_CLICKED) return FALSE;
      OnCommand(LOWORD(wp));
      return TRUE;
    case WM_DESTROY:
      OnDestroy();
      return FALSE;
    default:
      return FALSE;
  }
}

void ZandrelDialog::OnInitDialog() {
  SendMessageW(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
  SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_));
  dlg_->OnInitDialog();  // UDP receiver, the default speed-test URL, send disabled
  if (hasProblem_) SetWindowTextGbk(Item(IDC_PROBLEM), presetProblem_);
  if (hasUrl_) SetSpeedUrl(presetUrl_);
  // Enter in an edit (or the list) presses start, as in the desktop dialog:
  // the template marks all three buttons as default buttons, and the dialog
  // manager would take the last of them, cancel, and close the dialog with
  // what the user typed. While start is disabled, Enter there does nothing.
  SendMessageW(hwnd_, DM_SETDEFID, IDC_START_BUTTON, 0);
  // The user can type the problem at once.
  SetFocus(Item(IDC_PROBLEM));

  // The hint view: a child window from template 133 at the top of the
  // client area, 10 px from the sides, 5 px from the top, 195 px high.
  hintHost_ = CreateDialogParamW(instance_, MAKEINTRESOURCEW(IDD_HINT_VIEW), hwnd_, nullptr, 0);
  if (hintHost_) {
    RECT client;
    GetClientRect(hwnd_, &client);
    MoveWindow(hintHost_, client.left + 10, client.top + 5, client.right - client.left - 20, 195, TRUE);
    ShowWindow(hintHost_, SW_SHOW);
    // The browser component is loaded once the dialog is up, so that a slow
    // or missing component never holds the dialog back.
    PostMessageW(hwnd_, WM_ZANDREL_OPEN_HINT, 0, 0);
  }
  if (ticker_) ::SetTimer(hwnd_, kTickerTimer, tickerMs_, nullptr);
}

void ZandrelDialog::OpenHintPage() {
  if (!hintHost_ || destroyed_ || browserHost_) return;
  // The system's web browser component, hosted through the "AtlAxWin" window
  // class of atl.dll, which registers it in AtlAxWinInit. Where either is
  // missing (Wine without its browser engine), the area stays blank.
  browserHost_ = LoadLibraryW(L"atl.dll");
  if (!browserHost_) return;
  using InitFn = BOOL(WINAPI*)();
  auto init = reinterpret_cast<InitFn>(reinterpret_cast<void*>(GetProcAddress(browserHost_, "AtlAxWinInit")));
  if (!init || !init()) return;
  RECT area;
  GetClientRect(hintHost_, &area);
  // The class takes an address with its scheme (a bare host name would be
  // read as the name of a component).
  std::wstring url = WideFromUtf8(dlg_->HintUrl());
  CreateWindowExW(0, L"AtlAxWin", url.c_str(), WS_CHILD | WS_VISIBLE, 0, 0, area.right, area.bottom, hintHost_,
                  nullptr, instance_, nullptr);
}

void ZandrelDialog::OnPaint() {
  // Minimised: the program icon centred in the client area.
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(hwnd_, &ps);
  SendMessageW(hwnd_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  int cx = GetSystemMetrics(SM_CXICON), cy = GetSystemMetrics(SM_CYICON);
  RECT rect;
  GetClientRect(hwnd_, &rect);
  int x = (rect.right - rect.left - cx + 1) / 2;
  int y = (rect.bottom - rect.top - cy + 1) / 2;
  DrawIcon(dc, x, y, icon_);
  EndPaint(hwnd_, &ps);
}

void ZandrelDialog::OnCommand(int id) {
  switch (id) {
    case IDC_START_BUTTON:
      dlg_->OnStartClicked();
      break;
    case IDC_SEND_BUTTON:
      dlg_->OnSendClicked();
      break;
    case IDC_CANCEL_BUTTON:
      dlg_->OnCancelClicked();
      break;
    case IDCANCEL:  // the close box, the Esc key, or the close message
      EndDialog(hwnd_, IDCANCEL);
      break;
    default:
      break;
  }
}

void ZandrelDialog::OnDestroy() {
  if (destroyed_) return;
  // From here on a worker's send gives up instead of waiting for this
  // thread, which is about to wait for the worker.
  closing_ = true;
  sendTarget_ = nullptr;
  ::KillTimer(hwnd_, kTickerTimer);
  dlg_->OnDestroy();  // releases and joins the worker, frees buffers and clients
  destroyed_ = true;
  if (hintHost_) DestroyWindow(hintHost_);
  hintHost_ = nullptr;
  if (socketsStarted_) WSACleanup();
  socketsStarted_ = false;
}

void ZandrelDialog::AddProgressLine(const std::string& line) {
  // Inserting by index keeps call order although the list box is sorted.
  HWND list = Item(IDC_PROGRESS_LIST);
  if (!list) return;
  LRESULT count = SendMessageW(list, LB_GETCOUNT, 0, 0);
  std::wstring text = WideFromGbk(line);
  SendMessageW(list, LB_INSERTSTRING, static_cast<WPARAM>(count), reinterpret_cast<LPARAM>(text.c_str()));
  SendMessageW(list, WM_VSCROLL, SB_BOTTOM, 0);
  if (lineObserver_) lineObserver_(line);
}

void ZandrelDialog::EnableButton(int id, bool enable) {
  HWND button = Item(id);
  if (!button) return;
  // A disabled window cannot keep the focus: disabling the focused button
  // would leave the focus nowhere, and Esc, Tab and Enter with it. The dialog
  // manager moves it on to the next control in tab order first (it skips
  // disabled controls, so a second disable moves it on again).
  if (!enable && GetFocus() == button) SendMessageW(hwnd_, WM_NEXTDLGCTL, 0, FALSE);
  EnableWindow(button, enable);
}

void ZandrelDialog::EnableStartButton(bool enable) { EnableButton(IDC_START_BUTTON, enable); }
void ZandrelDialog::EnableSendButton(bool enable) { EnableButton(IDC_SEND_BUTTON, enable); }
std::string ZandrelDialog::ProblemText() { return WindowTextGbk(Item(IDC_PROBLEM)); }
std::string ZandrelDialog::SpeedUrl() { return WindowTextGbk(Item(IDC_SPEED_URL)); }
void ZandrelDialog::SetSpeedUrl(const std::string& url) { SetWindowTextGbk(Item(IDC_SPEED_URL), url); }
void ZandrelDialog::SetStatusText(const std::string& text) { SetWindowTextGbk(Item(IDC_STATUS), text); }

void ZandrelDialog::SetTimer(int id, uint32_t periodMs) {
  if (hwnd_ && !destroyed_) ::SetTimer(hwnd_, static_cast<UINT_PTR>(id), periodMs, nullptr);
}

void ZandrelDialog::KillTimer(int id) {
  if (hwnd_) ::KillTimer(hwnd_, static_cast<UINT_PTR>(id));
}

void ZandrelDialog::CloseDialog() {
  // The close message, sent; the dialog answers it with IDCANCEL and ends.
  if (hwnd_) SendMessageW(hwnd_, WM_CLOSE, 0, 0);
}

void ZandrelDialog::RequestUiPump() {
  // From the detection worker: the private message, sent, returns once the
  // UI thread has run the waiting calls. Sent in short slices, so that a
  // worker never stays blocked on a UI thread that has begun to close.
  while (!closing_) {
    HWND target = sendTarget_;
    if (!target) return;
    DWORD_PTR result = 0;
    if (SendMessageTimeoutW(target, WM_ZANDREL_UI_CALLS, 0, 0, SMTO_NORMAL, 50, &result)) return;
    if (GetLastError() != ERROR_TIMEOUT && GetLastError() != 0) return;  // the window is gone
  }
}

}  // namespace zandrel::win32
