#include "sockets.h"

#include <algorithm>
#include <chrono>

namespace net = zandrel::net;

namespace testsock {
namespace {

// The socket layer stays up for the life of the process.
void HoldLayer() { static const net::SocketLayer layer; }

uint16_t UnusedPort(socket_t s) {
  net::BindIpv4(s, kLoopback, 0);
  uint16_t p = PortOf(s);
  Close(s);
  return p;
}

}  // namespace

void Socket::reset(socket_t s) {
  if (net::IsSocket(s_)) net::CloseSocket(s_);
  s_ = s;
}

void Close(socket_t s) {
  if (net::IsSocket(s)) net::CloseSocket(s);
}

uint16_t PortOf(socket_t s) {
  uint32_t addr = 0;
  uint16_t port = 0;
  net::LocalAddress(s, addr, port);
  return port;
}

socket_t Listener(int backlog, uint16_t port) {
  HoldLayer();
  socket_t s = net::TcpSocket();
  if (port) net::SetListenerAddressUse(s);
  if (!net::BindIpv4(s, kLoopback, port) || !net::Listen(s, backlog)) {
    Close(s);
    return kNoSocket;
  }
  return s;
}

socket_t Connect(uint16_t port, uint32_t from) {
  HoldLayer();
  socket_t s = net::TcpSocket();
  if ((from && !net::BindIpv4(s, from, 0)) || net::ConnectIpv4(s, kLoopback, port) != 0) {
    Close(s);
    return kNoSocket;
  }
  return s;
}

socket_t ConnectWithoutWaiting(uint16_t port) {
  HoldLayer();
  socket_t s = net::TcpSocket();
  net::SetNonBlocking(s);
  net::ConnectIpv4(s, kLoopback, port);
  return s;
}

socket_t Accept(socket_t listener) {
  uint32_t addr = 0;
  uint16_t port = 0;
  return net::AcceptIpv4(listener, addr, port);
}

std::pair<socket_t, socket_t> TcpPair(int bufferBytes) {
  Socket l(Listener());
  socket_t a = net::TcpSocket();
  if (bufferBytes) net::SetBufferSizes(a, bufferBytes);
  if (net::ConnectIpv4(a, kLoopback, PortOf(l.get())) != 0) {
    Close(a);
    return {kNoSocket, kNoSocket};
  }
  socket_t b = Accept(l.get());
  if (bufferBytes) net::SetBufferSizes(b, bufferBytes);
  return {a, b};
}

socket_t UdpBound(uint16_t port, uint32_t addr) {
  HoldLayer();
  socket_t s = net::UdpSocket();
  if (!net::BindIpv4(s, addr, port)) {
    Close(s);
    return kNoSocket;
  }
  return s;
}

uint16_t ClosedPort() {
  HoldLayer();
  return UnusedPort(net::TcpSocket());
}

uint16_t FreeUdpPort() {
  HoldLayer();
  return UnusedPort(net::UdpSocket());
}

void SetBuffers(socket_t s, int bytes) { net::SetBufferSizes(s, bytes); }
void SetNonBlocking(socket_t s) { net::SetNonBlocking(s); }

long Send(socket_t s, std::string_view data) { return net::SendBytes(s, data.data(), data.size()); }

bool SendAll(socket_t s, std::string_view data) {
  while (!data.empty()) {
    long n = net::SendBytes(s, data.data(), data.size());
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

bool SendPattern(socket_t s, uint64_t count) {
  static const std::string block = [] {
    std::string b(1 << 16, '\0');
    for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<char>('a' + i % 26);
    return b;
  }();
  while (count > 0) {
    const size_t n = count < block.size() ? static_cast<size_t>(count) : block.size();
    if (!SendAll(s, std::string_view(block.data(), n))) return false;
    count -= n;
  }
  return true;
}

long Recv(socket_t s, void* buf, std::size_t len) { return net::RecvBytes(s, buf, len); }

long SendTo(socket_t s, std::string_view data, uint16_t port, uint32_t addr) {
  return net::SendTo(s, data.data(), data.size(), addr, port);
}

bool WaitReadable(socket_t s, int ms) {
  // A wait cut short by a signal (a fuzzer's timer, say) is waited again
  // for what is left of the time.
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    net::SocketList rd(1), er(1);
    rd.items.push_back(s);
    er.items.push_back(s);
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
    int n = net::WaitReady(&rd, nullptr, &er, static_cast<int>(std::max<long long>(left, 0)));
    if (n > 0) return true;
    if (n == 0 || left <= 0) return false;
  }
}

std::string ReadUntilClosed(socket_t s, int quietMs) {
  std::string out;
  char buf[65536];
  while (WaitReadable(s, quietMs)) {
    long n = Recv(s, buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

}  // namespace testsock
