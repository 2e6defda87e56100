// The system's IPv4 socket headers and what the socket shim's own files build
// on them; included by those files only (net/socket.h is what others use).
#pragma once
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstdint>

namespace zandrel::net {

// An IPv4 socket address from an address and a port in host byte order.
inline sockaddr_in MakeAddr(uint32_t addr, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(addr);
  sa.sin_port = htons(port);
  return sa;
}

}  // namespace zandrel::net
