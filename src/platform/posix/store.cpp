#include "platform/store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>

#include "platform/store_io.h"

namespace zandrel::platform {

namespace store_io {

std::string JoinPath(const std::string& dir, const std::string& name) { return dir + "/" + name; }

int CreateForWriting(const std::string& path) {
  return open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

long WriteSome(int fd, const char* data, std::size_t len) {
  ssize_t n;
  do {
    n = write(fd, data, len);
  } while (n < 0 && errno == EINTR);
  return n;
}

bool FlushAndClose(int fd) {
  bool ok = fsync(fd) == 0;
  return close(fd) == 0 && ok;
}

void Close(int fd) { close(fd); }

bool Replace(const std::string& from, const std::string& to) { return rename(from.c_str(), to.c_str()) == 0; }

void FlushDirectory(const std::string& dir) {
  int d = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (d >= 0) {
    fsync(d);
    close(d);
  }
}

}  // namespace store_io

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
