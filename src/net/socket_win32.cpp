// The socket shim on Windows Sockets 2.
//
// select() takes fd_sets whose capacity is fixed at compile time; it must
// hold as many sockets as an engine may have (1024), far above Winsock's
// default of 64.
#define FD_SETSIZE 1024
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include "net/socket.h"
#include "net/socket_inet.h"

static_assert(FD_SETSIZE >= 1024, "the wait must hold an engine's 1024 sockets");

namespace zandrel::net {
namespace {

int ClampLength(std::size_t len) { return len > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(len); }

}  // namespace

SocketLayer::SocketLayer() {
  WSADATA data;
  started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

SocketLayer::~SocketLayer() {
  if (started_) WSACleanup();
}

socket_t TcpSocket() {
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return kNoSocket;
  // Not inherited by programs this one starts.
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  return static_cast<socket_t>(s);
}

socket_t UdpSocket() {
  SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) return kNoSocket;
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  return static_cast<socket_t>(s);
}

void CloseSocket(socket_t s) {
  if (IsSocket(s)) ::closesocket(static_cast<SOCKET>(s));
}

int LastError() { return WSAGetLastError(); }
bool IsWouldBlock(int err) { return err == WSAEWOULDBLOCK; }
// A non-blocking connect that has not finished yet fails with WSAEWOULDBLOCK
// (10035); WSAEINPROGRESS is what a blocking call in progress reports.
bool IsConnectInProgress(int err) { return err == WSAEWOULDBLOCK || err == WSAEINPROGRESS; }

void SetNonBlocking(socket_t s) {
  u_long on = 1;
  ioctlsocket(static_cast<SOCKET>(s), FIONBIO, &on);
}

// On Windows SO_REUSEADDR lets a socket bind a port that another socket is
// bound to, which is what the connecting side asks for.
void SetReuseAddress(socket_t s, bool on) {
  BOOL v = on ? TRUE : FALSE;
  setsockopt(static_cast<SOCKET>(s), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&v), sizeof v);
}

// "Address reuse off" in Windows' own sense: no other socket may bind the
// listener's port, not even with SO_REUSEADDR. A port whose old connections
// linger can still be bound, as is Windows' default.
void SetListenerAddressUse(socket_t s) {
  BOOL v = TRUE;
  setsockopt(static_cast<SOCKET>(s), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&v), sizeof v);
}

void SetNoDelay(socket_t s, bool on) {
  BOOL v = on ? TRUE : FALSE;
  setsockopt(static_cast<SOCKET>(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&v), sizeof v);
}

bool GetNoDelay(socket_t s) {
  BOOL v = FALSE;
  int len = sizeof v;
  getsockopt(static_cast<SOCKET>(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&v), &len);
  return v != FALSE;
}

void SetBufferSizes(socket_t s, int bytes) {
  setsockopt(static_cast<SOCKET>(s), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes), sizeof bytes);
  setsockopt(static_cast<SOCKET>(s), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&bytes), sizeof bytes);
}

void ReserveReceiveWindow(socket_t, int) {
  // Winsock does not take SO_RCVLOWAT, and a fixed SO_RCVBUF is not what is
  // wanted (a limit, not a floor): the window is left to the stack's own
  // auto-tuning. Under Wine the host's stack decides.
}

void SetBroadcast(socket_t s) {
  BOOL v = TRUE;
  setsockopt(static_cast<SOCKET>(s), SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&v), sizeof v);
}

int PendingError(socket_t s) {
  int err = 0;
  int len = sizeof err;
  if (getsockopt(static_cast<SOCKET>(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0) {
    return WSAGetLastError();
  }
  return err;
}

bool BindIpv4(socket_t s, uint32_t addr, uint16_t port) {
  sockaddr_in sa = MakeAddr(addr, port);
  return ::bind(static_cast<SOCKET>(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
}

bool Listen(socket_t s, int backlog) { return ::listen(static_cast<SOCKET>(s), backlog) == 0; }

int ConnectIpv4(socket_t s, uint32_t addr, uint16_t port) {
  sockaddr_in sa = MakeAddr(addr, port);
  return ::connect(static_cast<SOCKET>(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? 0 : -1;
}

socket_t AcceptIpv4(socket_t listener, uint32_t& peerAddr, uint16_t& peerPort) {
  sockaddr_in sa{};
  int len = sizeof sa;
  SOCKET s = ::accept(static_cast<SOCKET>(listener), reinterpret_cast<sockaddr*>(&sa), &len);
  if (s == INVALID_SOCKET) return kNoSocket;
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  peerAddr = ntohl(sa.sin_addr.s_addr);
  peerPort = ntohs(sa.sin_port);
  return static_cast<socket_t>(s);
}

bool LocalAddress(socket_t s, uint32_t& addr, uint16_t& port) {
  sockaddr_in sa{};
  int len = sizeof sa;
  if (getsockname(static_cast<SOCKET>(s), reinterpret_cast<sockaddr*>(&sa), &len) != 0) return false;
  addr = ntohl(sa.sin_addr.s_addr);
  port = ntohs(sa.sin_port);
  return true;
}

long SendBytes(socket_t s, const void* data, std::size_t len) {
  return ::send(static_cast<SOCKET>(s), static_cast<const char*>(data), ClampLength(len), 0);
}

long RecvBytes(socket_t s, void* buf, std::size_t len) {
  return ::recv(static_cast<SOCKET>(s), static_cast<char*>(buf), ClampLength(len), 0);
}

long SendTo(socket_t s, const void* data, std::size_t len, uint32_t addr, uint16_t port) {
  sockaddr_in sa = MakeAddr(addr, port);
  return ::sendto(static_cast<SOCKET>(s), static_cast<const char*>(data), ClampLength(len), 0,
                  reinterpret_cast<sockaddr*>(&sa), sizeof sa);
}

long RecvFrom(socket_t s, void* buf, std::size_t len, uint32_t& addr, uint16_t& port) {
  sockaddr_in sa{};
  int salen = sizeof sa;
  long n = ::recvfrom(static_cast<SOCKET>(s), static_cast<char*>(buf), ClampLength(len), 0,
                      reinterpret_cast<sockaddr*>(&sa), &salen);
  if (n >= 0) {
    addr = ntohl(sa.sin_addr.s_addr);
    port = ntohs(sa.sin_port);
  }
  return n;
}

int WaitReady(SocketList* rd, SocketList* wr, SocketList* er, int timeoutMs) {
  // Three fd_sets of 1024 sockets are too large for a small stack.
  thread_local fd_set sets[3];
  SocketList* lists[3] = {rd, wr, er};
  fd_set* args[3] = {nullptr, nullptr, nullptr};
  bool any = false;
  for (int i = 0; i < 3; ++i) {
    sets[i].fd_count = 0;
    if (!lists[i]) continue;
    // The engines never list a socket twice, so FD_SET's search for
    // duplicates (quadratic over a full set) is not needed.
    for (socket_t s : lists[i]->items) {
      if (sets[i].fd_count == FD_SETSIZE) break;
      sets[i].fd_array[sets[i].fd_count++] = static_cast<SOCKET>(s);
    }
    if (sets[i].fd_count) {
      args[i] = &sets[i];
      any = true;
    }
  }
  if (!any) {
    // select() fails at once when all three sets are empty; the caller
    // expects a wait, not a spin.
    if (timeoutMs > 0) Sleep(static_cast<DWORD>(timeoutMs));
    for (SocketList* l : lists) {
      if (l) l->items.clear();
    }
    return 0;
  }
  timeval tv{};
  timeval* tvp = nullptr;
  if (timeoutMs >= 0) {
    tv.tv_sec = timeoutMs / 1000;
    tv.tv_usec = (timeoutMs % 1000) * 1000;
    tvp = &tv;
  }
  int n = ::select(0, args[0], args[1], args[2], tvp);
  int left = 0;
  for (int i = 0; i < 3; ++i) {
    if (!lists[i]) continue;
    std::vector<socket_t>& items = lists[i]->items;
    items.clear();
    // On return each set holds just its ready sockets, in the order given.
    if (n > 0 && args[i]) {
      for (u_int k = 0; k < sets[i].fd_count; ++k) items.push_back(static_cast<socket_t>(sets[i].fd_array[k]));
    }
    left += static_cast<int>(items.size());
  }
  if (n < 0) return -1;
  return left;
}

}  // namespace zandrel::net
