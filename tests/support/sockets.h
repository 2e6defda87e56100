// Plain blocking loopback sockets for the tests' and benchmarks' peers, on
// the project's socket shim so that they build wherever the engines do.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "net/socket.h"

namespace testsock {

using zandrel::net::kNoSocket;
using zandrel::net::socket_t;

inline constexpr uint32_t kLoopback = 0x7F000001;

// Owns one socket and closes it when it goes.
class Socket {
 public:
  Socket() = default;
  explicit Socket(socket_t s) : s_(s) {}
  Socket(Socket&& o) noexcept : s_(o.release()) {}
  Socket& operator=(Socket&& o) noexcept {
    reset(o.release());
    return *this;
  }
  ~Socket() { reset(); }
  socket_t get() const { return s_; }
  socket_t release() { return std::exchange(s_, kNoSocket); }
  void reset(socket_t s = kNoSocket);

 private:
  socket_t s_ = kNoSocket;
};

void Close(socket_t s);
uint16_t PortOf(socket_t s);

// A listening socket on 127.0.0.1, on an ephemeral port unless one is given
// (a given port may be bound again while old connections linger).
socket_t Listener(int backlog = 16, uint16_t port = 0);
// A blocking connect to 127.0.0.1:port, from the address `from` when it is
// not 0; kNoSocket when it fails.
socket_t Connect(uint16_t port, uint32_t from = 0);
// The same, started without waiting: the socket is non-blocking.
socket_t ConnectWithoutWaiting(uint16_t port);
socket_t Accept(socket_t listener);
// Two connected TCP sockets over loopback; with bufferBytes, both get
// buffers of that size, the connecting one before it connects (so that the
// window it offers can grow to them).
std::pair<socket_t, socket_t> TcpPair(int bufferBytes = 0);
// A UDP socket bound to addr:port (port 0: an ephemeral one).
socket_t UdpBound(uint16_t port = 0, uint32_t addr = kLoopback);

// A port of that kind that nothing uses (bound once, then released).
uint16_t ClosedPort();
uint16_t FreeUdpPort();

void SetBuffers(socket_t s, int bytes);
void SetNonBlocking(socket_t s);

long Send(socket_t s, std::string_view data);
bool SendAll(socket_t s, std::string_view data);
// Sends count bytes of a repeating letter pattern, a block at a time; false
// when the peer stops taking them.
bool SendPattern(socket_t s, uint64_t count);
long Recv(socket_t s, void* buf, std::size_t len);
long SendTo(socket_t s, std::string_view data, uint16_t port, uint32_t addr = kLoopback);
// True when the socket becomes readable (or shows an error) within ms.
bool WaitReadable(socket_t s, int ms);
// Reads until the peer closes or nothing arrives for quietMs.
std::string ReadUntilClosed(socket_t s, int quietMs = 5000);

}  // namespace testsock
