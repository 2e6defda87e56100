// PendingFile on the store's file operations, the same on every system.
#include "platform/store.h"

#include "platform/store_io.h"

namespace zandrel::platform {

PendingFile::~PendingFile() { Discard(); }

bool PendingFile::Open(const std::string& dir, const std::string& tempName) {
  Discard();
  dir_ = dir;
  temp_ = store_io::JoinPath(dir, tempName);
  fd_ = store_io::CreateForWriting(temp_);
  return fd_ >= 0;
}

bool PendingFile::Write(const char* data, std::size_t len) {
  if (fd_ < 0) return false;
  while (len > 0) {
    long n = store_io::WriteSome(fd_, data, len);
    if (n <= 0) return false;
    data += n;
    len -= static_cast<std::size_t>(n);
  }
  return true;
}

bool PendingFile::Commit(const std::string& name, bool flushDirectory) {
  if (fd_ < 0) return false;
  bool ok = store_io::FlushAndClose(fd_);
  fd_ = -1;
  if (!ok || !store_io::Replace(temp_, store_io::JoinPath(dir_, name))) {
    RemoveFile(temp_);
    temp_.clear();
    return false;
  }
  temp_.clear();
  if (flushDirectory) store_io::FlushDirectory(dir_);
  return true;
}

void FlushDirectory(const std::string& dir) { store_io::FlushDirectory(dir); }

void PendingFile::Discard() {
  if (fd_ >= 0) store_io::Close(fd_);
  fd_ = -1;
  if (!temp_.empty()) RemoveFile(temp_);
  temp_.clear();
}

}  // namespace zandrel::platform
