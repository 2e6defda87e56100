// What a test needs of the operating system beyond the socket shim.
#pragma once
#include <cstddef>

#include "net/socket.h"

namespace testsupport {

// Bytes waiting to be read on a socket.
std::size_t PendingBytes(zandrel::net::socket_t s);
// Lets this process hold at least `count` open sockets; false when it may not.
bool AllowOpenSockets(std::size_t count);
// Sets an environment variable of this process; null removes it.
void SetEnvironment(const char* name, const char* value);

}  // namespace testsupport
