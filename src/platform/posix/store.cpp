#include "platform/store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>

namespace zandrel::platform {

PendingFile::~PendingFile() { Discard(); }

bool PendingFile::Open(const std::string& dir, const std::string& tempName) {
  Discard();
  dir_ = dir;
  temp_ = dir + "/" + tempName;
  fd_ = open(temp_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  return fd_ >= 0;
}

bool PendingFile::Write(const char* data, std::size_t len) {
  if (fd_ < 0) return false;
  while (len > 0) {
    ssize_t n = write(fd_, data, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    len -= static_cast<std::size_t>(n);
  }
  return true;
}

bool PendingFile::Commit(const std::string& name) {
  if (fd_ < 0) return false;
  bool ok = fsync(fd_) == 0;
  ok = close(fd_) == 0 && ok;
  fd_ = -1;
  if (!ok || rename(temp_.c_str(), (dir_ + "/" + name).c_str()) != 0) {
    unlink(temp_.c_str());
    temp_.clear();
    return false;
  }
  temp_.clear();
  int d = open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (d >= 0) {
    fsync(d);
    close(d);
  }
  return true;
}

void PendingFile::Discard() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  if (!temp_.empty()) unlink(temp_.c_str());
  temp_.clear();
}

bool ListDirectory(const std::string& dir, std::vector<DirectoryEntry>& out) {
  out.clear();
  DIR* d = opendir(dir.c_str());
  if (!d) return false;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat st {};
    DirectoryEntry entry;
    entry.name = name;
    if (stat((dir + "/" + name).c_str(), &st) == 0) {
      entry.regular = S_ISREG(st.st_mode);
      entry.size = static_cast<uint64_t>(st.st_size);
    }
    out.push_back(std::move(entry));
  }
  closedir(d);
  return true;
}

bool RemoveFile(const std::string& path) { return unlink(path.c_str()) == 0; }

bool QueryFreeBytes(const std::string& path, uint64_t& freeBytes) {
  struct statvfs st {};
  if (statvfs(path.c_str(), &st) != 0) return false;
  freeBytes = static_cast<uint64_t>(st.f_bavail) * static_cast<uint64_t>(st.f_frsize);
  return true;
}

}  // namespace zandrel::platform
