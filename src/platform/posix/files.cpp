#include "platform/files.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>

namespace zandrel::platform {

bool MakeDirectories(const std::string& path) {
  if (path.empty()) return false;
  std::string part;
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') {
      part = path.substr(0, i);
      if (!part.empty() && mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
  }
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool ReadWholeFile(const std::string& path, std::string& out) {
  FILE* f = std::fopen(path.c_str(), "rbe");
  if (!f) return false;
  out.clear();
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  bool ok = !std::ferror(f);
  std::fclose(f);
  return ok;
}

bool WriteWholeFile(const std::string& path, const char* data, std::size_t len) {
  FILE* f = std::fopen(path.c_str(), "wbe");
  if (!f) return false;
  bool ok = std::fwrite(data, 1, len, f) == len;
  return (std::fclose(f) == 0) && ok;
}

bool WriteFileAtomically(const std::string& dir, const std::string& name, const char* data, std::size_t len) {
  std::string tmp = dir + "/." + name + ".tmp";
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < len) {
    ssize_t n = write(fd, data + done, len - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  bool ok = done == len && fsync(fd) == 0;
  ok = (close(fd) == 0) && ok;
  if (!ok || rename(tmp.c_str(), (dir + "/" + name).c_str()) != 0) {
    unlink(tmp.c_str());
    return false;
  }
  int d = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (d >= 0) {
    fsync(d);
    close(d);
  }
  return true;
}

void RaiseOpenFileLimit() {
  rlimit lim{};
  if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
  }
}

namespace {
std::atomic<bool> g_stop{false};
void OnStopSignal(int) { g_stop = true; }
}  // namespace

void InstallStopSignals() {
  struct sigaction sa {};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

bool StopRequested() { return g_stop; }
void ClearStopRequest() { g_stop = false; }

}  // namespace zandrel::platform
