// IPv4 and IPv6 addresses from text and IPv4 addresses from names, the same on both
// systems: Windows Sockets 2 and POSIX share inet_pton, inet_ntop and
// getaddrinfo; only the headers differ (net/socket_inet.h).

#include "net/socket.h"
#include "net/socket_inet.h"

#include <cstring>

namespace zandrel::net {

bool ParseIpv4(const char* text, uint32_t& addr) {
  in_addr a{};
  if (inet_pton(AF_INET, text, &a) != 1) return false;
  addr = ntohl(a.s_addr);
  return true;
}

std::string Ipv4Text(uint32_t addr) {
  in_addr a{};
  a.s_addr = htonl(addr);
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &a, text, sizeof text);
  return text;
}

bool ParseIpv6(const char* text, uint8_t (&addr)[16]) {
  in6_addr a{};
  if (inet_pton(AF_INET6, text, &a) != 1) return false;
  std::memcpy(addr, &a, sizeof addr);
  return true;
}

std::string Ipv6Text(const uint8_t (&addr)[16]) {
  in6_addr a{};
  std::memcpy(&a, addr, sizeof addr);
  char text[INET6_ADDRSTRLEN] = {};
  inet_ntop(AF_INET6, &a, text, sizeof text);
  return text;
}

bool ResolveAllIpv4(const char* name, std::vector<uint32_t>& addrs) {
  addrs.clear();
  SocketLayer layer;  // the resolver needs the socket layer (on Windows), whoever calls
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &result) != 0 || !result) return false;
  for (addrinfo* it = result; it; it = it->ai_next) {
    if (it->ai_family != AF_INET) continue;
    uint32_t a = ntohl(reinterpret_cast<sockaddr_in*>(it->ai_addr)->sin_addr.s_addr);
    bool dup = false;
    for (uint32_t x : addrs) dup |= (x == a);
    if (!dup) addrs.push_back(a);
  }
  freeaddrinfo(result);
  return !addrs.empty();
}

bool ResolveFirstIpv4(const char* name, uint32_t& addr) {
  std::vector<uint32_t> all;
  if (!ResolveAllIpv4(name, all)) return false;
  addr = all.front();
  return true;
}

}  // namespace zandrel::net
