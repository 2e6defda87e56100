#include <sys/ioctl.h>
#include <sys/resource.h>

#include <cstdlib>


#include "system.h"

namespace testsupport {

std::size_t PendingBytes(zandrel::net::socket_t s) {
  int n = 0;
  return ioctl(s, FIONREAD, &n) == 0 && n > 0 ? static_cast<std::size_t>(n) : 0;
}

bool AllowOpenSockets(std::size_t count) {
  rlimit lim{};
  if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return false;
  const rlim_t want = static_cast<rlim_t>(count) + 64;  // and the test's own files
  if (lim.rlim_cur >= want) return true;
  if (lim.rlim_max != RLIM_INFINITY && lim.rlim_max < want) return false;
  lim.rlim_cur = want;
  return setrlimit(RLIMIT_NOFILE, &lim) == 0;
}

void SetEnvironment(const char* name, const char* value) {
  if (value) {
    setenv(name, value, 1);
  } else {
    unsetenv(name);
  }
}

}  // namespace testsupport
