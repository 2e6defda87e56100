// The report store's files on Windows: C runtime descriptors on wide names,
// the atomic replace of MoveFileExW, FindFirstFileW and GetDiskFreeSpaceExW.
#include "platform/store.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include "platform/win32/wide.h"

namespace zandrel::platform {

PendingFile::~PendingFile() { Discard(); }

bool PendingFile::Open(const std::string& dir, const std::string& tempName) {
  Discard();
  dir_ = dir;
  temp_ = dir + "\\" + tempName;
  fd_ = _wopen(win32::Utf8ToWide(temp_).c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT,
               _S_IREAD | _S_IWRITE);
  return fd_ >= 0;
}

bool PendingFile::Write(const char* data, std::size_t len) {
  if (fd_ < 0) return false;
  while (len > 0) {
    unsigned piece = len > 0x40000000u ? 0x40000000u : static_cast<unsigned>(len);
    int n = _write(fd_, data, piece);
    if (n <= 0) return false;
    data += n;
    len -= static_cast<std::size_t>(n);
  }
  return true;
}

bool PendingFile::Commit(const std::string& name) {
  if (fd_ < 0) return false;
  bool ok = _commit(fd_) == 0;
  ok = _close(fd_) == 0 && ok;
  fd_ = -1;
  std::wstring temp = win32::Utf8ToWide(temp_);
  std::wstring target = win32::Utf8ToWide(dir_ + "\\" + name);
  if (!ok || !MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    DeleteFileW(temp.c_str());
    temp_.clear();
    return false;
  }
  temp_.clear();
  return true;
}

void PendingFile::Discard() {
  if (fd_ >= 0) _close(fd_);
  fd_ = -1;
  if (!temp_.empty()) DeleteFileW(win32::Utf8ToWide(temp_).c_str());
  temp_.clear();
}

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
