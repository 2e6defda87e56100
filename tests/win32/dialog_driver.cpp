// Drives the real Windows dialog of zandrel.exe from another process, through
// the Win32 API, as a user would: finds the window by its caption, checks its
// controls, runs a detection against the peers on this machine, sends the
// report, works the dialog from the keyboard (focus, Tab, Enter, Esc), and
// closes the dialog at random moments of many runs.
//
// usage: dialog_driver ZANDREL_EXE REPORT_DIR [CLOSES]
//   REPORT_DIR is where the report server stores reports (a Windows path).
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/control_ids.h"
#include "base/texts.h"
#include "checks.h"

namespace {

std::wstring W(const std::string& gbk) {
  if (gbk.empty()) return {};
  int n = MultiByteToWideChar(936, 0, gbk.data(), static_cast<int>(gbk.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(936, 0, gbk.data(), static_cast<int>(gbk.size()), w.data(), n);
  return w;
}

std::string Utf8(const std::wstring& w) {
  if (w.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
  return s;
}

std::wstring TextOf(HWND w) {
  wchar_t buf[1024] = {};
  // Sent with a time-out, so that a hung dialog fails the test instead of hanging it.
  DWORD_PTR n = 0;
  SendMessageTimeoutW(w, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(buf), SMTO_NORMAL, 10000, &n);
  return std::wstring(buf, std::min<size_t>(n, 1023));
}

bool WaitUntil(const std::function<bool()>& done, int seconds) {
  // A bound for a dialog that stopped answering, far above a normal run.
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

// One zandrel.exe process showing its dialog.
struct Program {
  PROCESS_INFORMATION pi{};
  HWND dialog = nullptr;

  bool Start(const std::wstring& exe) {
    STARTUPINFOW si{};
    si.cb = sizeof si;
    std::wstring cmd = L"\"" + exe + L"\"";
    if (!CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
      std::fprintf(stderr, "cannot start %s (error %lu)\n", Utf8(exe).c_str(), GetLastError());
      return false;
    }
    // The dialog of this process, found by its class and caption.
    return WaitUntil(
        [&] {
          HWND w = nullptr;
          while ((w = FindWindowExW(nullptr, w, L"#32770", L"Zandrel")) != nullptr) {
            DWORD pid = 0;
            GetWindowThreadProcessId(w, &pid);
            if (pid == pi.dwProcessId && IsWindowVisible(w)) {
              dialog = w;
              return true;
            }
          }
          return false;
        },
        120);
  }
  HWND Item(int id) const { return GetDlgItem(dialog, id); }
  void Click(int id) const { PostMessageW(Item(id), BM_CLICK, 0, 0); }
  // The exit code, or -1 when the process did not end in time.
  long WaitExit(int seconds) {
    if (WaitForSingleObject(pi.hProcess, static_cast<DWORD>(seconds) * 1000) != WAIT_OBJECT_0) return -1;
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    return static_cast<long>(code);
  }
  ~Program() {
    if (pi.hProcess) {
      if (WaitForSingleObject(pi.hProcess, 0) != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 99);
      CloseHandle(pi.hProcess);
      CloseHandle(pi.hThread);
    }
  }
};

// The window that has the keyboard focus in the dialog's thread, where the
// system delivers a key press; null when the focus is nowhere.
HWND FocusOf(const Program& p) {
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  if (!GetGUIThreadInfo(GetWindowThreadProcessId(p.dialog, nullptr), &info)) return nullptr;
  return info.hwndFocus;
}

// The focus is on a control of the dialog that can take it.
bool FocusInDialog(const Program& p) {
  HWND f = FocusOf(p);
  return f && IsChild(p.dialog, f) && IsWindowVisible(f) && IsWindowEnabled(f);
}

// A key pressed and released, delivered as the system does: to the focus
// window's queue, where the dialog's message loop sees it. With no focus
// there is nowhere to deliver it (the fault these tests look for), and the
// key is lost.
void PressKey(const Program& p, UINT vk) {
  HWND f = FocusOf(p);
  if (!f) return;
  PostMessageW(f, WM_KEYDOWN, vk, 1);
  PostMessageW(f, WM_KEYUP, vk, 0xC0000001);
}

// Text typed into the focus window, one character message per UTF-16 unit.
void Type(const Program& p, const std::wstring& text) {
  HWND f = FocusOf(p);
  for (wchar_t c : text) PostMessageW(f, WM_CHAR, c, 1);
}

struct Child {
  HWND hwnd;
  int id;
  std::wstring cls, text;
  bool visible, enabled;
  RECT rect;  // in the dialog's client coordinates
  LONG style;
};

std::vector<Child> Children(HWND dialog) {
  std::vector<Child> out;
  for (HWND w = GetWindow(dialog, GW_CHILD); w; w = GetWindow(w, GW_HWNDNEXT)) {
    Child c{w, GetDlgCtrlID(w), L"", TextOf(w), IsWindowVisible(w) != FALSE, IsWindowEnabled(w) != FALSE, {}, 0};
    wchar_t cls[64] = {};
    GetClassNameW(w, cls, 64);
    c.cls = cls;
    GetWindowRect(w, &c.rect);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&c.rect), 2);
    c.style = GetWindowLongW(w, GWL_STYLE);
    out.push_back(c);
  }
  return out;
}

// Template 102's controls: id (or text for labels without one), class,
// visibility and position in dialog units.
struct Want {
  int id;
  const char* text;  // GBK
  const wchar_t* cls;
  bool visible;
  int x, y, cx, cy;
  DWORD style;  // the kind's style bits, visibility aside
};
constexpr DWORD kButton = BS_DEFPUSHBUTTON | WS_TABSTOP;
constexpr DWORD kList = LBS_NOTIFY | LBS_SORT | LBS_NOINTEGRALHEIGHT | WS_VSCROLL | WS_BORDER | WS_TABSTOP;
constexpr DWORD kEdit = ES_LEFT | ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP;
constexpr DWORD kLabel = SS_LEFT | WS_GROUP;
const Want kTemplate[] = {
    {IDC_START_BUTTON, zandrel::texts::kUiStart, L"Button", true, 278, 383, 90, 16, kButton},
    {IDC_SEND_BUTTON, zandrel::texts::kUiSend, L"Button", true, 372, 383, 90, 16, kButton},
    {IDC_CANCEL_BUTTON, zandrel::texts::kUiCancel, L"Button", true, 467, 383, 90, 16, kButton},
    {IDC_PROGRESS_LIST, "", L"ListBox", true, 7, 135, 550, 196, kList},
    {-1, zandrel::texts::kUiChannelIdLabel, L"Static", false, 16, 321, 33, 8, kLabel},
    {-1, zandrel::texts::kUiProblemLabel, L"Static", true, 16, 340, 41, 8, kLabel},
    {IDC_CHANNEL_ID, "", L"Edit", false, 61, 317, 402, 14, kEdit},
    {-1, zandrel::texts::kUiChannelDefault, L"Static", false, 463, 321, 53, 8, kLabel},
    {IDC_PROBLEM, "", L"Edit", true, 61, 337, 401, 14, kEdit},
    {IDC_STATUS, "", L"Static", true, 7, 391, 95, 8, kLabel},
    {IDC_SPEED_URL_LABEL, zandrel::texts::kUiSpeedUrlLabel, L"Static", true, 16, 360, 41, 8, kLabel},
    {IDC_SPEED_URL, nullptr, L"Edit", true, 62, 357, 400, 14, kEdit},
    {-1, zandrel::texts::kUiSpeedUrlNote, L"Static", true, 464, 361, 89, 8, kLabel},
};

// Reads a dialog template (DLGTEMPLATEEX and its items) from the program's
// resources.
struct Reader {
  const BYTE* p;
  const BYTE* end;
  bool ok = true;
  template <typename T>
  T Get() {
    T v{};
    if (p + sizeof(T) > end) {
      ok = false;
      return v;
    }
    std::memcpy(&v, p, sizeof(T));
    p += sizeof(T);
    return v;
  }
  std::wstring Str() {
    std::wstring out;
    for (WORD c; (c = Get<WORD>()) != 0 && ok;) out += static_cast<wchar_t>(c);
    return out;
  }
  // A name or an ordinal (0xFFFF, then the number), or nothing.
  std::wstring NameOrOrdinal(WORD& ordinal) {
    ordinal = 0;
    WORD first = Get<WORD>();
    if (first == 0) return {};
    if (first == 0xFFFF) {
      ordinal = Get<WORD>();
      return {};
    }
    std::wstring out(1, static_cast<wchar_t>(first));
    return out + Str();
  }
  void AlignDword(const BYTE* base) {
    while ((p - base) % 4) ++p;
  }
};

struct Template {
  DWORD style = 0, exStyle = 0;
  short x = 0, y = 0, cx = 0, cy = 0;
  WORD pointSize = 0;
  std::wstring caption, font;
  struct Item {
    DWORD style;
    short x, y, cx, cy;
    DWORD id;
    WORD classOrdinal;
    std::wstring text;
  };
  std::vector<Item> items;
};

bool LoadTemplate(HMODULE module, int id, Template& t) {
  HRSRC res = FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(5));  // RT_DIALOG
  HGLOBAL data = res ? LoadResource(module, res) : nullptr;
  const BYTE* base = data ? static_cast<const BYTE*>(LockResource(data)) : nullptr;
  if (!base) return false;
  Reader r{base, base + SizeofResource(module, res)};
  if (r.Get<WORD>() != 1 || r.Get<WORD>() != 0xFFFF) return false;  // DLGTEMPLATEEX
  r.Get<DWORD>();                                                       // help id
  t.exStyle = r.Get<DWORD>();
  t.style = r.Get<DWORD>();
  WORD count = r.Get<WORD>();
  t.x = r.Get<short>(), t.y = r.Get<short>(), t.cx = r.Get<short>(), t.cy = r.Get<short>();
  WORD ordinal;
  r.NameOrOrdinal(ordinal);  // menu
  r.NameOrOrdinal(ordinal);  // class
  t.caption = r.Str();
  if (t.style & DS_SETFONT) {
    t.pointSize = r.Get<WORD>();
    r.Get<WORD>();  // weight
    r.Get<BYTE>();  // italic
    r.Get<BYTE>();  // character set
    t.font = r.Str();
  }
  for (WORD i = 0; i < count && r.ok; ++i) {
    r.AlignDword(base);
    Template::Item item{};
    r.Get<DWORD>();  // help id
    r.Get<DWORD>();  // extended style
    item.style = r.Get<DWORD>();
    item.x = r.Get<short>(), item.y = r.Get<short>(), item.cx = r.Get<short>(), item.cy = r.Get<short>();
    item.id = r.Get<DWORD>();
    r.NameOrOrdinal(item.classOrdinal);
    WORD textOrdinal;
    item.text = r.NameOrOrdinal(textOrdinal);
    WORD extra = r.Get<WORD>();
    r.p += extra;
    t.items.push_back(item);
  }
  return r.ok;
}

// Template 102 exactly as designed, template 133, icon 128 and the view's
// page 104, read from the program file.
void CheckResources(const std::wstring& exe) {
  std::puts("dialog: the program's resources");
  HMODULE module = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  CHECK(module != nullptr);
  if (!module) return;
  Template t;
  CHECK(LoadTemplate(module, IDD_ZANDREL_DIALOG, t));
  CHECK(t.style == (DS_SETFONT | DS_MODALFRAME | WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU));
  CHECK(t.exStyle == WS_EX_APPWINDOW);
  CHECK(t.x == 0 && t.y == 0 && t.cx == 564 && t.cy == 406);
  CHECK(t.caption == L"Zandrel");
  CHECK(t.pointSize == 9);
  CHECK(t.font == W(zandrel::texts::kUiFontName));
  CHECK_MSG(t.items.size() == 13, "%zu controls", t.items.size());
  const std::pair<const wchar_t*, WORD> ordinals[] = {
      {L"Button", 0x80}, {L"Edit", 0x81}, {L"Static", 0x82}, {L"ListBox", 0x83}};
  for (size_t i = 0; i < std::min<size_t>(t.items.size(), 13); ++i) {
    const Template::Item& got = t.items[i];
    const Want& want = kTemplate[i];  // in tab order
    WORD cls = 0;
    for (auto& [name, ord] : ordinals) {
      if (lstrcmpW(name, want.cls) == 0) cls = ord;
    }
    const std::wstring text = want.text ? W(want.text) : std::wstring();
    CHECK_MSG(got.id == static_cast<DWORD>(want.id == -1 ? 0xFFFF : want.id) ||
                  (want.id == -1 && got.id == 0xFFFFFFFF),
              "control %zu has id %lu", i, got.id);
    CHECK_MSG(got.classOrdinal == cls, "control %zu is of class %u", i, got.classOrdinal);
    CHECK_MSG(got.text == text, "control %zu reads \"%s\"", i, Utf8(got.text).c_str());
    CHECK_MSG(got.x == want.x && got.y == want.y && got.cx == want.cx && got.cy == want.cy,
              "control %zu at %d,%d %dx%d", i, got.x, got.y, got.cx, got.cy);
    DWORD wantStyle = WS_CHILD | want.style | (want.visible ? WS_VISIBLE : 0);
    CHECK_MSG(got.style == wantStyle, "control %zu has style %08lx, expected %08lx", i, got.style, wantStyle);
  }
  Template hint;
  CHECK(LoadTemplate(module, 133, hint));
  CHECK(hint.style == (DS_SETFONT | WS_CHILD));
  CHECK(hint.cx == 359 && hint.cy == 214);
  CHECK(hint.items.empty());
  CHECK(hint.caption.empty());
  CHECK(hint.pointSize == 8 && hint.font == L"MS Shell Dlg");
  CHECK(FindResourceW(module, MAKEINTRESOURCEW(128), MAKEINTRESOURCEW(14)) != nullptr);  // RT_GROUP_ICON
  CHECK(LoadIconW(module, MAKEINTRESOURCEW(128)) != nullptr);
  CHECK(FindResourceW(module, MAKEINTRESOURCEW(104), MAKEINTRESOURCEW(23)) != nullptr);  // RT_HTML
  FreeLibrary(module);
}

bool SameClass(const std::wstring& a, const wchar_t* b) { return lstrcmpiW(a.c_str(), b) == 0; }

void CheckLayout(HWND dialog) {
  CHECK(TextOf(dialog) == L"Zandrel");
  LONG style = GetWindowLongW(dialog, GWL_STYLE), ex = GetWindowLongW(dialog, GWL_EXSTYLE);
  CHECK((style & (WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_VISIBLE)) == (WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_VISIBLE));
  CHECK(ex & WS_EX_APPWINDOW);
  CHECK(ex & WS_EX_DLGMODALFRAME);
  // The icons are checked inside the process (dialog_icon_test): Wine answers
  // WM_GETICON and WM_QUERYDRAGICON from another process with no icon, where
  // Windows gives the handle.

  std::vector<Child> kids = Children(dialog);
  // The list box gives the scale from dialog units to pixels.
  auto list = std::find_if(kids.begin(), kids.end(), [](const Child& c) { return c.id == IDC_PROGRESS_LIST; });
  if (list == kids.end()) {
    CHECK(!"the progress list is missing");
    return;
  }
  const double sx = (list->rect.right - list->rect.left) / 550.0, sy = (list->rect.bottom - list->rect.top) / 196.0;
  CHECK(sx > 1.0 && sy > 1.0);
  auto Within = [](double got, double want) { return got > want - 2.5 && got < want + 2.5; };
  for (const Want& want : kTemplate) {
    const std::wstring text = want.text ? W(want.text) : std::wstring();
    auto it = std::find_if(kids.begin(), kids.end(), [&](const Child& c) {
      return want.id != -1 ? c.id == want.id : (c.text == text && SameClass(c.cls, L"Static"));
    });
    if (it == kids.end()) {
      CHECK_MSG(false, "control %d \"%s\" is missing", want.id, Utf8(text).c_str());
      continue;
    }
    CHECK_MSG(SameClass(it->cls, want.cls), "control %d is a %s", want.id, Utf8(it->cls).c_str());
    if (want.text) CHECK_MSG(it->text == text, "control %d shows \"%s\"", want.id, Utf8(it->text).c_str());
    CHECK_MSG(it->visible == want.visible, "control %d \"%s\" visible=%d", want.id, Utf8(text).c_str(), it->visible);
    CHECK_MSG(Within(it->rect.left, want.x * sx) && Within(it->rect.top, want.y * sy) &&
                  Within(it->rect.right - it->rect.left, want.cx * sx) &&
                  Within(it->rect.bottom - it->rect.top, want.cy * sy),
              "control %d \"%s\" at %ld,%ld %ldx%ld", want.id, Utf8(text).c_str(), it->rect.left, it->rect.top,
              it->rect.right - it->rect.left, it->rect.bottom - it->rect.top);
  }
  // Tab order is the template's: the first child is the start button, the
  // list follows the three buttons.
  CHECK(kids.size() >= 13 && kids[0].id == IDC_START_BUTTON && kids[3].id == IDC_PROGRESS_LIST);
  HWND listBox = list->hwnd;
  CHECK(GetWindowLongW(listBox, GWL_STYLE) & LBS_SORT);
  // What a user sees: the buttons in one row below the edits, the list above
  // the edits, the hint area above the list.
  RECT start, send, cancel, problem, url, listRect;
  auto rectOf = [&](int id, RECT& r) {
    GetWindowRect(GetDlgItem(dialog, id), &r);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
  };
  rectOf(IDC_START_BUTTON, start);
  rectOf(IDC_SEND_BUTTON, send);
  rectOf(IDC_CANCEL_BUTTON, cancel);
  rectOf(IDC_PROBLEM, problem);
  rectOf(IDC_SPEED_URL, url);
  rectOf(IDC_PROGRESS_LIST, listRect);
  CHECK(start.top == send.top && send.top == cancel.top);
  CHECK(start.right <= send.left && send.right <= cancel.left);
  CHECK(start.top >= url.bottom && url.top >= problem.bottom && problem.top >= listRect.bottom);

  // The hint view: the child dialog of template 133 at the top.
  HWND hint = FindWindowExW(dialog, nullptr, L"#32770", nullptr);
  CHECK(hint != nullptr);
  if (hint) {
    RECT client, h;
    GetClientRect(dialog, &client);
    GetWindowRect(hint, &h);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&h), 2);
    CHECK(IsWindowVisible(hint));
    CHECK_MSG(h.left == 10 && h.top == 5 && h.right - h.left == client.right - 20 && h.bottom - h.top == 195,
              "hint view at %ld,%ld %ldx%ld", h.left, h.top, h.right - h.left, h.bottom - h.top);
    CHECK(h.bottom <= listRect.top);
  }

  // At start: send disabled, start and cancel enabled, the default URL.
  CHECK(!IsWindowEnabled(GetDlgItem(dialog, IDC_SEND_BUTTON)));
  CHECK(IsWindowEnabled(GetDlgItem(dialog, IDC_START_BUTTON)));
  CHECK(IsWindowEnabled(GetDlgItem(dialog, IDC_CANCEL_BUTTON)));
  CHECK(TextOf(GetDlgItem(dialog, IDC_SPEED_URL)) == W(ZANDREL_SPEED_URL));
}

std::vector<std::wstring> ListLines(HWND list) {
  std::vector<std::wstring> lines;
  DWORD_PTR count = 0;
  SendMessageTimeoutW(list, LB_GETCOUNT, 0, 0, SMTO_NORMAL, 10000, &count);
  for (DWORD_PTR i = 0; i < count; ++i) {
    DWORD_PTR len = 0;
    SendMessageTimeoutW(list, LB_GETTEXTLEN, i, 0, SMTO_NORMAL, 10000, &len);
    std::wstring text(len + 1, L'\0');
    DWORD_PTR got = 0;
    SendMessageTimeoutW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(text.data()), SMTO_NORMAL, 10000, &got);
    text.resize(got == static_cast<DWORD_PTR>(LB_ERR) ? 0 : got);
    lines.push_back(text);
  }
  return lines;
}

// A line of the list as expected: the exact text, or a text it starts with
// (lines with measured figures).
struct Line {
  std::string gbk;
  bool prefix = false;
};
// A line logged and reported at once: the list item keeps the line break.
Line Reported(const char* text) { return {std::string(text) + "\r\n"}; }

std::string PrefixOf(const char* format) { return std::string(format, std::string(format).find('%')); }

void CheckRunLines(const std::vector<std::wstring>& lines, bool uploaded) {
  using namespace zandrel::texts;
  std::vector<Line> want = {
      {kBannerNetworkInfo}, {kTextGettingNetworkInfo}, {kTextNetworkInfoOk}, {kBannerClosing}, {""},
      {kBannerModuleStatus}, {kTextGettingModuleInfo}, {kTextModuleInfoOk}, {""},
      {kTextGettingCpu}, {PrefixOf(kFormatCpuLine), true}, {""},
      {kTextGettingDisk}, {PrefixOf(kFormatDiskGB), true}, {kBannerClosing}, {""},
      {kBannerNetworkCheck}, {kTextUdpOk}, {kBannerClosing},
      {kBannerSpeedTest}, {PrefixOf(kFormatSpeedLine), true}, {kBannerClosing},
      {kBannerServiceCheck}, Reported(kTextServiceOk), {kBannerClosing},
      {kBannerChannelCheck}, Reported(kTextChannelOk), {kBannerClosing}};
  if (uploaded) {
    want.push_back({kTextUploading});
    want.push_back({kTextUploaded});
    want.push_back({PrefixOf(kFormatReportId), true});  // the id the report server gave it
  }
  CHECK_MSG(lines.size() == want.size(), "%zu lines, expected %zu", lines.size(), want.size());
  for (size_t i = 0; i < std::min(lines.size(), want.size()); ++i) {
    std::wstring w = W(want[i].gbk);
    bool ok = want[i].prefix ? lines[i].compare(0, w.size(), w) == 0 : lines[i] == w;
    CHECK_MSG(ok, "line %zu is \"%s\", expected \"%s\"", i, Utf8(lines[i]).c_str(), Utf8(w).c_str());
  }
  // Lines logged and reported at once keep their line break in the list.
  if (lines.size() > 13) {
    CHECK(lines[10].size() > 2 && lines[10].substr(lines[10].size() - 2) == L"\r\n");
  }
}

std::vector<std::wstring> ReportFiles(const std::wstring& dir) {
  std::vector<std::wstring> files;
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW((dir + L"\\report-*").c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return files;
  do files.push_back(dir + L"\\" + fd.cFileName);
  while (FindNextFileW(h, &fd));
  FindClose(h);
  return files;
}

std::string ReadWholeFile(const std::wstring& path) {
  std::string bytes;
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return bytes;
  char buf[65536];
  DWORD got = 0;
  while (::ReadFile(h, buf, sizeof buf, &got, nullptr) && got > 0) bytes.append(buf, got);
  CloseHandle(h);
  return bytes;
}

void WholeRun(const std::wstring& exe, const std::wstring& reportDir) {
  std::puts("dialog: layout, a whole run, the upload");
  Program p;
  if (!p.Start(exe)) {
    CHECK(!"the dialog did not appear");
    return;
  }
  CheckLayout(p.dialog);

  // The user types a problem description (Chinese) and presses start.
  const std::wstring problem = W("\xBB\xAD\xC3\xE6\xBF\xA8\xB6\xD9");  // "画面卡顿"
  SendMessageTimeoutW(p.Item(IDC_PROBLEM), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(problem.c_str()), SMTO_NORMAL,
                      10000, nullptr);
  const size_t reportsBefore = ReportFiles(reportDir).size();
  p.Click(IDC_START_BUTTON);
  CHECK(WaitUntil([&] { return !IsWindowEnabled(p.Item(IDC_START_BUTTON)); }, 60));
  bool ended = WaitUntil(
      [&] { return IsWindowEnabled(p.Item(IDC_SEND_BUTTON)) && IsWindowEnabled(p.Item(IDC_START_BUTTON)); }, 300);
  CHECK_MSG(ended, "the run did not end");
  CheckRunLines(ListLines(p.Item(IDC_PROGRESS_LIST)), false);

  // Send: the upload ends with send disabled and start enabled, and the
  // report server has stored the report.
  p.Click(IDC_SEND_BUTTON);
  bool uploaded = WaitUntil(
      [&] {
        auto lines = ListLines(p.Item(IDC_PROGRESS_LIST));
        return lines.size() >= 2 && lines[lines.size() - 2] == W(zandrel::texts::kTextUploaded);
      },
      300);
  CHECK_MSG(uploaded, "the upload did not end");
  CheckRunLines(ListLines(p.Item(IDC_PROGRESS_LIST)), true);
  CHECK(!IsWindowEnabled(p.Item(IDC_SEND_BUTTON)));
  CHECK(IsWindowEnabled(p.Item(IDC_START_BUTTON)));
  std::vector<std::wstring> reports = ReportFiles(reportDir);
  CHECK_MSG(reports.size() == reportsBefore + 1, "%zu reports stored, %zu before", reports.size(), reportsBefore);
  bool found = false;
  for (const std::wstring& f : reports) {
    std::string body = ReadWholeFile(f);
    // The typed text arrives in GBK, after the report's first line break.
    std::string problemLine = std::string("\r\n\xCE\xCA\xCC\xE2\xC3\xE8\xCA\xF6\xA3\xBA") + "\xBB\xAD\xC3\xE6\xBF\xA8\xB6\xD9";
    if (body.compare(0, problemLine.size(), problemLine) == 0 &&
        body.find(zandrel::texts::kTextUdpOk) != std::string::npos) {
      found = true;
    }
  }
  CHECK_MSG(found, "no stored report carries the typed problem and the UDP result");

  // The cancel button ends the program.
  p.Click(IDC_CANCEL_BUTTON);
  long code = p.WaitExit(120);
  CHECK_MSG(code == 0, "exit code %ld after cancel", code);
}

// The keyboard, as a user without a mouse has it: the problem is typed at
// once, Enter in either edit never closes the dialog (in the problem field
// it starts the run), a click on start or send leaves the focus on a control,
// Tab cycles the controls in the template's order, and Esc closes.
void Keyboard(const std::wstring& exe) {
  std::puts("dialog: the keyboard");
  Program p;
  if (!p.Start(exe)) {
    CHECK(!"the dialog did not appear");
    return;
  }
  const HWND problem = p.Item(IDC_PROBLEM), url = p.Item(IDC_SPEED_URL), start = p.Item(IDC_START_BUTTON);
  CHECK_MSG(WaitUntil([&] { return FocusOf(p) == problem; }, 30), "the focus starts on %p, not the problem field",
            static_cast<void*>(FocusOf(p)));
  const std::wstring typed = W("\xBB\xAD\xC3\xE6\xBF\xA8\xB6\xD9");  // "画面卡顿"
  Type(p, typed);
  CHECK(WaitUntil([&] { return TextOf(problem) == typed; }, 30));

  // Enter in the problem field starts the run and keeps the text.
  PressKey(p, VK_RETURN);
  CHECK_MSG(WaitUntil([&] { return !IsWindowEnabled(start); }, 60), "Enter in the problem field did not start the run");
  CHECK(IsWindow(p.dialog) && p.WaitExit(0) == -1);
  CHECK(TextOf(problem) == typed);
  // Enter in the speed-test URL during the run: nothing (start is disabled).
  PressKey(p, VK_TAB);
  CHECK_MSG(WaitUntil([&] { return FocusOf(p) == url; }, 30), "Tab from the problem field went to %p",
            static_cast<void*>(FocusOf(p)));
  PressKey(p, VK_RETURN);
  bool ended = WaitUntil([&] { return IsWindowEnabled(p.Item(IDC_SEND_BUTTON)) && IsWindowEnabled(start); }, 300);
  CHECK_MSG(ended, "the run did not end");
  CHECK_MSG(p.WaitExit(0) == -1, "Enter in the speed-test URL closed the dialog");
  CHECK(TextOf(problem) == typed);

  // Tab visits every enabled control once, in the template's order.
  auto cycle = [&](const std::vector<int>& order) {
    HWND first = FocusOf(p);
    auto at = std::find_if(order.begin(), order.end(), [&](int id) { return p.Item(id) == first; });
    CHECK_MSG(at != order.end(), "the focus is on %p, not on one of the controls", static_cast<void*>(first));
    if (at == order.end()) return;
    size_t i = static_cast<size_t>(at - order.begin());
    for (size_t n = 0; n < order.size(); ++n) {
      i = (i + 1) % order.size();
      HWND want = p.Item(order[i]);
      PressKey(p, VK_TAB);
      CHECK_MSG(WaitUntil([&] { return FocusOf(p) == want; }, 30), "Tab went to %p instead of control %d",
                static_cast<void*>(FocusOf(p)), order[i]);
    }
  };
  cycle({IDC_START_BUTTON, IDC_SEND_BUTTON, IDC_CANCEL_BUTTON, IDC_PROGRESS_LIST, IDC_PROBLEM, IDC_SPEED_URL});

  // A click on send: the button takes the focus and is disabled; the focus
  // moves on, and the keyboard keeps working.
  p.Click(IDC_SEND_BUTTON);
  CHECK(WaitUntil([&] { return !IsWindowEnabled(p.Item(IDC_SEND_BUTTON)); }, 60));
  CHECK_MSG(FocusInDialog(p), "after send the focus is on %p", static_cast<void*>(FocusOf(p)));
  bool uploaded = WaitUntil(
      [&] {
        auto lines = ListLines(p.Item(IDC_PROGRESS_LIST));
        return lines.size() >= 2 && lines[lines.size() - 2] == W(zandrel::texts::kTextUploaded);
      },
      300);
  CHECK_MSG(uploaded, "the upload did not end");
  cycle({IDC_START_BUTTON, IDC_CANCEL_BUTTON, IDC_PROGRESS_LIST, IDC_PROBLEM, IDC_SPEED_URL});

  PressKey(p, VK_ESCAPE);
  long code = p.WaitExit(120);
  CHECK_MSG(code == 0, "exit code %ld after Esc (-1: still running)", code);
}

// A click on start, then Esc: the dialog closes.
void EscAfterStart(const std::wstring& exe) {
  std::puts("dialog: Esc after a click on start");
  Program p;
  if (!p.Start(exe)) {
    CHECK(!"the dialog did not appear");
    return;
  }
  p.Click(IDC_START_BUTTON);
  CHECK(WaitUntil([&] { return !IsWindowEnabled(p.Item(IDC_START_BUTTON)); }, 60));
  CHECK_MSG(FocusInDialog(p), "after start the focus is on %p", static_cast<void*>(FocusOf(p)));
  PressKey(p, VK_ESCAPE);
  long code = p.WaitExit(120);
  CHECK_MSG(code == 0, "exit code %ld after Esc (-1: still running)", code);
}

void RandomCloses(const std::wstring& exe, int runs) {
  unsigned seed = static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count());
  if (const char* s = std::getenv("ZANDREL_CLOSE_SEED")) seed = static_cast<unsigned>(std::strtoul(s, nullptr, 10));
  std::printf("dialog: %d closes at random moments (ZANDREL_CLOSE_SEED=%u)\n", runs, seed);
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> delayMs(0, 6000);
  std::uniform_int_distribution<int> how(0, 2);
  for (int i = 0; i < runs; ++i) {
    Program p;
    if (!p.Start(exe)) {
      CHECK_MSG(false, "run %d: the dialog did not appear", i);
      continue;
    }
    p.Click(IDC_START_BUTTON);
    int delay = delayMs(rng), way = how(rng);
    std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    // The cancel button, the close box (the close message), or the Esc key.
    if (way == 0) {
      p.Click(IDC_CANCEL_BUTTON);
    } else if (way == 1) {
      PostMessageW(p.dialog, WM_CLOSE, 0, 0);
    } else {
      PostMessageW(p.dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    }
    long code = p.WaitExit(120);
    std::printf("  run %2d: closed after %4d ms by %s: %s\n", i, delay,
                way == 0 ? "cancel" : way == 1 ? "close message" : "Esc command",
                code == 0 ? "ended" : code < 0 ? "HUNG" : "FAILED");
    CHECK_MSG(code == 0, "run %d: exit code %ld (-1: still running)", i, code);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fputs("usage: dialog_driver ZANDREL_EXE REPORT_DIR [CLOSES]\n", stderr);
    return 2;
  }
  setvbuf(stdout, nullptr, _IONBF, 0);
  const std::wstring exe = argv[1], reportDir = argv[2];
  const int closes = argc > 3 ? _wtoi(argv[3]) : 20;
  CheckResources(exe);
  WholeRun(exe, reportDir);
  Keyboard(exe);
  EscAfterStart(exe);
  RandomCloses(exe, closes);
  std::printf("dialog: %d failed checks\n", g_failures);
  return g_failures == 0 ? 0 : 1;
}
