#include <winsock2.h>

#include <cstdlib>

#include "system.h"

namespace testsupport {

std::size_t PendingBytes(zandrel::net::socket_t s) {
  u_long n = 0;
  return ioctlsocket(static_cast<SOCKET>(s), FIONREAD, &n) == 0 ? n : 0;
}

// Windows has no per-process limit on sockets below what a test opens.
bool AllowOpenSockets(std::size_t) { return true; }

void SetEnvironment(const char* name, const char* value) { _putenv_s(name, value ? value : ""); }

}  // namespace testsupport
