#include "platform/processes.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "platform/gbk.h"

namespace zandrel::platform {
namespace {

std::string ToReportPath(const std::string& path) {
  std::string gbk = Utf8ToGbk(path);
  // Only plain '/' bytes are separators; GBK trail bytes are never 0x2F.
  std::replace(gbk.begin(), gbk.end(), '/', '\\');
  return gbk;
}

// Whether a mapping's name is a file one could open: an absolute path that
// is not marked gone and is not a file-less kernel object such as a memfd.
bool IsRealFile(const std::string& path) {
  static const std::string kGone = " (deleted)";
  if (path.empty() || path[0] != '/') return false;
  if (path.size() >= kGone.size() && path.compare(path.size() - kGone.size(), kGone.size(), kGone) == 0) {
    return false;
  }
  return path.rfind("/memfd:", 0) != 0;
}

}  // namespace

bool ListProcesses(std::vector<uint32_t>& out) {
  out.clear();
  DIR* dir = opendir("/proc");
  if (!dir) return false;
  out.push_back(0);  // the idle pseudo-process
  std::vector<uint32_t> pids;
  while (dirent* e = readdir(dir)) {
    char* end = nullptr;
    unsigned long pid = std::strtoul(e->d_name, &end, 10);
    if (end == e->d_name || *end != '\0' || pid == 0) continue;
    pids.push_back(static_cast<uint32_t>(pid));
  }
  closedir(dir);
  std::sort(pids.begin(), pids.end());
  out.insert(out.end(), pids.begin(), pids.end());
  return true;
}

bool ListModules(uint32_t pid, std::vector<std::string>& out) {
  out.clear();
  char name[64];
  std::snprintf(name, sizeof name, "/proc/%u/maps", pid);
  FILE* maps = std::fopen(name, "re");
  if (!maps) return false;
  std::set<std::string> seen;
  std::snprintf(name, sizeof name, "/proc/%u/exe", pid);
  char exe[PATH_MAX];
  ssize_t n = readlink(name, exe, sizeof exe - 1);
  if (n > 0) {
    exe[n] = '\0';
    seen.insert(exe);
    if (IsRealFile(exe)) out.push_back(ToReportPath(exe));
  }
  char* line = nullptr;
  size_t cap = 0;
  ssize_t len;
  while ((len = getline(&line, &cap, maps)) > 0) {
    if (line[len - 1] == '\n') line[--len] = '\0';
    char perms[8] = {};
    int pathAt = 0;
    if (std::sscanf(line, "%*s %7s %*s %*s %*s %n", perms, &pathAt) < 1 || pathAt <= 0) continue;
    if (std::strchr(perms, 'x') == nullptr) continue;
    std::string path(line + pathAt);
    if (!IsRealFile(path)) continue;
    if (seen.insert(path).second) out.push_back(ToReportPath(path));
  }
  std::free(line);
  std::fclose(maps);
  return !out.empty() || n > 0;
}

}  // namespace zandrel::platform
