// Plain blocking loopback sockets for the engine tests' peers.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <utility>

namespace testsock {

inline sockaddr_in Loopback(uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(port);
  return sa;
}

inline uint16_t PortOf(int s) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len);
  return ntohs(sa.sin_port);
}

// A listening socket on 127.0.0.1 with an ephemeral port.
inline int Listener(int backlog = 16) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa = Loopback(0);
  bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  listen(s, backlog);
  return s;
}

// Two connected TCP sockets over loopback.
inline std::pair<int, int> TcpPair() {
  int l = Listener();
  int a = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa = Loopback(PortOf(l));
  connect(a, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  int b = accept(l, nullptr, nullptr);
  close(l);
  return {a, b};
}

// A port of the given socket type that nothing uses (bound once, then released).
inline uint16_t UnusedPort(int type) {
  int s = socket(AF_INET, type, 0);
  sockaddr_in sa = Loopback(0);
  bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  uint16_t p = PortOf(s);
  close(s);
  return p;
}
inline uint16_t ClosedPort() { return UnusedPort(SOCK_STREAM); }
inline uint16_t FreeUdpPort() { return UnusedPort(SOCK_DGRAM); }

inline void SetBuffers(int s, int bytes) {
  setsockopt(s, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  setsockopt(s, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

}  // namespace testsock
