// The report store's files on Windows: C runtime descriptors on wide names,
// the atomic replace of MoveFileExW, FindFirstFileW and GetDiskFreeSpaceExW.
#include "platform/store.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include "platform/store_io.h"
#include "platform/win32/wide.h"

namespace zandrel::platform {

namespace store_io {

std::string JoinPath(const std::string& dir, const std::string& name) { return dir + "\\" + name; }

int CreateForWriting(const std::string& path) {
  return _wopen(win32::Utf8ToWide(path).c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT,
                _S_IREAD | _S_IWRITE);
}

long WriteSome(int fd, const char* data, std::size_t len) {
  unsigned piece = len > 0x40000000u ? 0x40000000u : static_cast<unsigned>(len);
  return _write(fd, data, piece);
}

bool FlushAndClose(int fd) {
  bool ok = _commit(fd) == 0;
  return _close(fd) == 0 && ok;
}

void Close(int fd) { _close(fd); }

bool Replace(const std::string& from, const std::string& to) {
  return MoveFileExW(win32::Utf8ToWide(from).c_str(), win32::Utf8ToWide(to).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

// MoveFileExW with MOVEFILE_WRITE_THROUGH returns after the move is on disk.
void FlushDirectory(const std::string&) {}

}  // namespace store_io

bool ListDirectory(const std::string& dir, std::vector<DirectoryEntry>& out) {
  out.clear();
  WIN32_FIND_DATAW data;
  HANDLE h = FindFirstFileW(win32::Utf8ToWide(dir + "\\*").c_str(), &data);
  if (h == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
  do {
    std::string name = win32::WideToUtf8(data.cFileName);
    if (name == "." || name == "..") continue;
    DirectoryEntry entry;
    entry.name = name;
    entry.regular = (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
    entry.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    out.push_back(std::move(entry));
  } while (FindNextFileW(h, &data));
  FindClose(h);
  return true;
}

bool RemoveFile(const std::string& path) { return DeleteFileW(win32::Utf8ToWide(path).c_str()) != 0; }

bool QueryFreeBytes(const std::string& path, uint64_t& freeBytes) {
  ULARGE_INTEGER callerFree{}, total{}, totalFree{};
  if (!GetDiskFreeSpaceExW(win32::Utf8ToWide(path).c_str(), &callerFree, &total, &totalFree)) return false;
  freeBytes = callerFree.QuadPart;  // what this writer may still use
  return true;
}

}  // namespace zandrel::platform
