// Processes and their modules from Tool Help snapshots.
#include "platform/processes.h"

#include <windows.h>
#include <tlhelp32.h>

#include <set>

#include "platform/win32/wide.h"

namespace zandrel::platform {
namespace {

// Closes a snapshot handle on every path.
struct Snapshot {
  HANDLE h;
  explicit Snapshot(HANDLE handle) : h(handle) {}
  ~Snapshot() {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
  Snapshot(const Snapshot&) = delete;
  Snapshot& operator=(const Snapshot&) = delete;
  bool ok() const { return h != INVALID_HANDLE_VALUE; }
};

// The module snapshot's flags. A 64-bit process asks for the 32-bit modules
// too: for a 32-bit process on 64-bit Windows the plain flag lists only its
// executable and the 64-bit WOW64 layer, where the 32-bit original saw the
// libraries the process really loaded. The 32-bit flag means something only
// to a 64-bit caller.
#ifdef _WIN64
constexpr DWORD kModuleSnapshot = TH32CS_SNAPMODULE | TH32CS_SNAPMODULE32;
#else
constexpr DWORD kModuleSnapshot = TH32CS_SNAPMODULE;
#endif

HANDLE ModuleSnapshot(DWORD pid) {
  // A process still loading its modules can refuse the snapshot with
  // ERROR_BAD_LENGTH, to be asked again; a few times, not forever.
  HANDLE h = CreateToolhelp32Snapshot(kModuleSnapshot, pid);
  for (int retry = 0; h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_BAD_LENGTH && retry < 8; ++retry) {
    h = CreateToolhelp32Snapshot(kModuleSnapshot, pid);
  }
  return h;
}

}  // namespace

bool ListProcesses(std::vector<uint32_t>& out) {
  out.clear();
  Snapshot snap(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snap.ok()) return false;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  if (!Process32FirstW(snap.h, &entry)) {
    // No process at all is reported as an empty list. Any other failure of
    // the first read ends the walk without a message: the list then holds
    // only the (unread) first entry, which is never inventoried.
    if (GetLastError() != ERROR_NO_MORE_FILES) out.push_back(0);
    return true;
  }
  // Snapshot order; the first entry is the idle pseudo-process. Windows
  // always lists it; Wine's snapshot has no such entry, so an id 0 stands in
  // for it there and no real process is taken for it.
  if (entry.th32ProcessID != 0) out.push_back(0);
  do {
    out.push_back(entry.th32ProcessID);
  } while (Process32NextW(snap.h, &entry));
  return true;
}

bool ListModules(uint32_t pid, std::vector<std::string>& out) {
  out.clear();
  Snapshot snap(ModuleSnapshot(pid));
  if (!snap.ok()) return false;
  MODULEENTRY32W entry{};
  entry.dwSize = sizeof entry;
  if (!Module32FirstW(snap.h, &entry)) return false;
  // Wide paths, so that names outside the ANSI code page reach GBK intact.
  std::set<std::wstring> seen;
  do {
    std::wstring path = entry.szExePath;
    if (seen.insert(path).second) out.push_back(win32::WideToGbk(path));
  } while (Module32NextW(snap.h, &entry));
  return true;
}

}  // namespace zandrel::platform
