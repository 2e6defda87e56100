// Files with UTF-8 names through the wide API, and Ctrl-C / close as stop
// requests.
#include "platform/files.h"

#include <windows.h>

#include <atomic>
#include <cstdio>

#include "platform/win32/wide.h"

namespace zandrel::platform {
namespace {

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool IsDirectory(const std::wstring& path) {
  DWORD attrs = GetFileAttributesW(path.c_str());
  return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY);
}

// Closes a file handle on every path.
struct FileHandle {
  HANDLE h;
  explicit FileHandle(HANDLE handle) : h(handle) {}
  ~FileHandle() { Close(); }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  bool ok() const { return h != INVALID_HANDLE_VALUE; }
  bool Close() {
    bool closed = true;
    if (ok()) closed = CloseHandle(h) != 0;
    h = INVALID_HANDLE_VALUE;
    return closed;
  }
};

}  // namespace

bool MakeDirectories(const std::string& path) {
  if (path.empty()) return false;
  std::wstring wide = win32::Utf8ToWide(path);
  for (size_t i = 1; i <= wide.size(); ++i) {
    if (i < wide.size() && !IsSeparator(wide[i])) continue;
    std::wstring part = wide.substr(0, i);
    // Drive roots ("C:") and the server part of a UNC path are not created.
    if (part.size() == 2 && part[1] == L':') continue;
    if (!CreateDirectoryW(part.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS &&
        GetLastError() != ERROR_ACCESS_DENIED) {
      return false;
    }
  }
  return IsDirectory(wide);
}

bool ReadWholeFile(const std::string& path, std::string& out) {
  FileHandle f(CreateFileW(win32::Utf8ToWide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!f.ok()) return false;
  out.clear();
  char buf[65536];
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(f.h, buf, sizeof buf, &n, nullptr)) return false;
    if (n == 0) return true;
    out.append(buf, n);
  }
}

namespace {
bool WriteAll(HANDLE h, const char* data, std::size_t len) {
  size_t done = 0;
  while (done < len) {
    DWORD piece = len - done > 0x40000000u ? 0x40000000u : static_cast<DWORD>(len - done);
    DWORD n = 0;
    if (!WriteFile(h, data + done, piece, &n, nullptr) || n == 0) return false;
    done += n;
  }
  return true;
}
}  // namespace

bool WriteWholeFile(const std::string& path, const char* data, std::size_t len) {
  FileHandle f(CreateFileW(win32::Utf8ToWide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!f.ok()) return false;
  bool ok = WriteAll(f.h, data, len);
  return f.Close() && ok;
}

bool WriteFileAtomically(const std::string& dir, const std::string& name, const char* data, std::size_t len) {
  std::wstring wdir = win32::Utf8ToWide(dir);
  std::wstring tmp = wdir + L"\\." + win32::Utf8ToWide(name) + L".tmp";
  std::wstring target = wdir + L"\\" + win32::Utf8ToWide(name);
  FileHandle f(CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!f.ok()) return false;
  bool ok = WriteAll(f.h, data, len) && FlushFileBuffers(f.h);
  ok = f.Close() && ok;
  // The replace is atomic, and returns only once it is on disk.
  if (!ok || !MoveFileExW(tmp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    DeleteFileW(tmp.c_str());
    return false;
  }
  return true;
}

// Sockets are not C runtime descriptors on Windows: there is no limit to raise.
void RaiseOpenFileLimit() {}

namespace {
std::atomic<bool> g_stop{false};

BOOL WINAPI OnConsoleControl(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      g_stop = true;
      return TRUE;
    default:
      return FALSE;
  }
}
}  // namespace

void InstallStopSignals() { SetConsoleCtrlHandler(OnConsoleControl, TRUE); }

bool StopRequested() { return g_stop; }
void ClearStopRequest() { g_stop = false; }

}  // namespace zandrel::platform
