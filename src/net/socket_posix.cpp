#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <unordered_map>

#include "net/socket.h"
#include "net/socket_inet.h"

namespace zandrel::net {

SocketLayer::SocketLayer() : started_(true) {}
SocketLayer::~SocketLayer() = default;

socket_t TcpSocket() {
  int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  return s < 0 ? kNoSocket : s;
}

socket_t UdpSocket() {
  int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  return s < 0 ? kNoSocket : s;
}

void CloseSocket(socket_t s) {
  if (IsSocket(s)) ::close(s);
}

int LastError() { return errno; }
bool IsWouldBlock(int err) { return err == EAGAIN || err == EWOULDBLOCK; }
bool IsConnectInProgress(int err) { return err == EINPROGRESS || err == EAGAIN || err == EWOULDBLOCK; }

void SetNonBlocking(socket_t s) {
  int flags = fcntl(s, F_GETFL, 0);
  if (flags >= 0) fcntl(s, F_SETFL, flags | O_NONBLOCK);
}

void SetReuseAddress(socket_t s, bool on) {
  int v = on ? 1 : 0;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &v, sizeof v);
}

// Windows' default already lets a listener bind over lingering connections
// while refusing a second listener; on POSIX that takes SO_REUSEADDR.
void SetListenerAddressUse(socket_t s) { SetReuseAddress(s, true); }

void SetNoDelay(socket_t s, bool on) {
  int v = on ? 1 : 0;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &v, sizeof v);
}

bool GetNoDelay(socket_t s) {
  int v = 0;
  socklen_t len = sizeof v;
  getsockopt(s, IPPROTO_TCP, TCP_NODELAY, &v, &len);
  return v != 0;
}

void SetBufferSizes(socket_t s, int bytes) {
  setsockopt(s, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  setsockopt(s, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

void ReserveReceiveWindow(socket_t s, int bytes) {
  // Linux grows a receive buffer by what the reader took in the last round
  // trip. A reader that comes every 10 ms on a 1 ms path takes one window per
  // visit, so the window may never grow past its first size (about 8 MB/s
  // however fast the link). Fixing SO_RCVBUF would switch the growing off for
  // good and is capped by rmem_max; raising the low-water mark instead makes
  // the kernel size the buffer and the window clamp for that many bytes and
  // leaves the tuning on (tcp_rmem[2] / 2 caps it). The mark itself goes back
  // to one byte at once.
  setsockopt(s, SOL_SOCKET, SO_RCVLOWAT, &bytes, sizeof bytes);
  int one = 1;
  setsockopt(s, SOL_SOCKET, SO_RCVLOWAT, &one, sizeof one);
}

void SetBroadcast(socket_t s) {
  int v = 1;
  setsockopt(s, SOL_SOCKET, SO_BROADCAST, &v, sizeof v);
}

int PendingError(socket_t s) {
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
  return err;
}

bool BindIpv4(socket_t s, uint32_t addr, uint16_t port) {
  sockaddr_in sa = MakeAddr(addr, port);
  return ::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
}

bool Listen(socket_t s, int backlog) { return ::listen(s, backlog) == 0; }

int ConnectIpv4(socket_t s, uint32_t addr, uint16_t port) {
  sockaddr_in sa = MakeAddr(addr, port);
  return ::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? 0 : -1;
}

socket_t AcceptIpv4(socket_t listener, uint32_t& peerAddr, uint16_t& peerPort) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  int s = ::accept4(listener, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC);
  if (s < 0) return kNoSocket;
  peerAddr = ntohl(sa.sin_addr.s_addr);
  peerPort = ntohs(sa.sin_port);
  return s;
}

bool LocalAddress(socket_t s, uint32_t& addr, uint16_t& port) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return false;
  addr = ntohl(sa.sin_addr.s_addr);
  port = ntohs(sa.sin_port);
  return true;
}

long SendBytes(socket_t s, const void* data, std::size_t len) { return ::send(s, data, len, MSG_NOSIGNAL); }

long RecvBytes(socket_t s, void* buf, std::size_t len) { return ::recv(s, buf, len, 0); }

long SendTo(socket_t s, const void* data, std::size_t len, uint32_t addr, uint16_t port) {
  sockaddr_in sa = MakeAddr(addr, port);
  return ::sendto(s, data, len, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
}

long RecvFrom(socket_t s, void* buf, std::size_t len, uint32_t& addr, uint16_t& port) {
  sockaddr_in sa{};
  socklen_t salen = sizeof sa;
  long n = ::recvfrom(s, buf, len, 0, reinterpret_cast<sockaddr*>(&sa), &salen);
  if (n >= 0) {
    addr = ntohl(sa.sin_addr.s_addr);
    port = ntohs(sa.sin_port);
  }
  return n;
}

int WaitReady(SocketList* rd, SocketList* wr, SocketList* er, int timeoutMs) {
  // poll() has no limit on descriptor values, unlike select()'s fd_set.
  thread_local std::vector<pollfd> fds;
  thread_local std::unordered_map<int, std::size_t> slot;
  fds.clear();
  slot.clear();
  auto add = [&](SocketList* list, short events) {
    if (!list) return;
    for (socket_t s : list->items) {
      auto [it, fresh] = slot.try_emplace(s, fds.size());
      if (fresh) fds.push_back(pollfd{s, 0, 0});
      fds[it->second].events |= events;
    }
  };
  add(rd, POLLIN);
  add(wr, POLLOUT);
  add(er, 0);  // errors and hang-ups are always reported
  int n = ::poll(fds.data(), fds.size(), timeoutMs);
  if (n <= 0) {
    if (rd) rd->items.clear();
    if (wr) wr->items.clear();
    if (er) er->items.clear();
    return n < 0 ? -1 : 0;
  }
  int left = 0;
  auto keep = [&](SocketList* list, short mask) {
    if (!list) return;
    std::size_t out = 0;
    for (socket_t s : list->items) {
      if (fds[slot[s]].revents & mask) list->items[out++] = s;
    }
    list->items.resize(out);
    left += static_cast<int>(out);
  };
  keep(rd, POLLIN | POLLHUP | POLLERR);
  keep(wr, POLLOUT);
  keep(er, POLLERR | POLLHUP);
  return left;
}

}  // namespace zandrel::net
