// The thin socket shim: the only place in the engines that knows the OS's
// socket API. Addresses and ports are in host byte order throughout.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zandrel::net {

#ifdef _WIN32
using socket_t = std::uintptr_t;
#else
using socket_t = int;
#endif

// The one value that means "no socket". On POSIX descriptor 0 is a valid
// socket, so "none" is the all-bits-set value.
inline constexpr socket_t kNoSocket = static_cast<socket_t>(-1);

inline bool IsSocket(socket_t s) { return s != kNoSocket; }

// Holds the platform's socket layer for as long as it lives: every owner of
// sockets (each engine, the dialog, a test) keeps one. The layer counts its
// holders and is shut down when the last one goes. Nothing to do on POSIX.
class SocketLayer {
 public:
  SocketLayer();
  ~SocketLayer();
  SocketLayer(const SocketLayer&) = delete;
  SocketLayer& operator=(const SocketLayer&) = delete;
  bool started() const { return started_; }

 private:
  bool started_ = false;
};

socket_t TcpSocket();
socket_t UdpSocket();
void CloseSocket(socket_t s);

int LastError();
bool IsWouldBlock(int err);
bool IsConnectInProgress(int err);

void SetNonBlocking(socket_t s);
void SetReuseAddress(socket_t s, bool on);
// The listener's setting: never two listeners on one port, but a port whose
// old connections linger may be bound again at once.
void SetListenerAddressUse(socket_t s);
void SetNoDelay(socket_t s, bool on);
bool GetNoDelay(socket_t s);
void SetBufferSizes(socket_t s, int bytes);
// For a connection read in bursts (once per engine pass, not as data
// arrives): lets its receive window open to at least `bytes` while the
// system's own buffer tuning stays in charge and may grow it further. Never
// shrinks the buffer. Readiness is unchanged: one byte still makes the
// socket readable.
void ReserveReceiveWindow(socket_t s, int bytes);
void SetBroadcast(socket_t s);
// The pending error of a socket (0 when none), as left by a finished connect.
int PendingError(socket_t s);

bool BindIpv4(socket_t s, uint32_t addr, uint16_t port);
bool Listen(socket_t s, int backlog);
// 0 when the connect completed, -1 with LastError() otherwise.
int ConnectIpv4(socket_t s, uint32_t addr, uint16_t port);
socket_t AcceptIpv4(socket_t listener, uint32_t& peerAddr, uint16_t& peerPort);
bool LocalAddress(socket_t s, uint32_t& addr, uint16_t& port);

// Byte counts, or -1 with LastError().
long SendBytes(socket_t s, const void* data, std::size_t len);
long RecvBytes(socket_t s, void* buf, std::size_t len);
long SendTo(socket_t s, const void* data, std::size_t len, uint32_t addr, uint16_t port);
long RecvFrom(socket_t s, void* buf, std::size_t len, uint32_t& addr, uint16_t& port);

// A list of sockets for the readiness wait; it can hold `capacity` entries.
struct SocketList {
  explicit SocketList(std::size_t capacity = 0) { items.reserve(capacity); }
  std::vector<socket_t> items;
};

// Waits at most timeoutMs for any listed socket to become readable (rd),
// writable (wr) or to show an error condition (er). Each list keeps only the
// sockets that are ready. Returns how many entries are left in all lists,
// 0 on time-out, -1 when the wait failed.
int WaitReady(SocketList* rd, SocketList* wr, SocketList* er, int timeoutMs);

// Dotted-decimal text to an address; false when it is not one.
bool ParseIpv4(const char* text, uint32_t& addr);
std::string Ipv4Text(uint32_t addr);
// IPv6 text (RFC 4291 forms) to its 16 bytes, network order; false when it
// is not one.
bool ParseIpv6(const char* text, uint8_t (&addr)[16]);
std::string Ipv6Text(const uint8_t (&addr)[16]);
// The first IPv4 address of a name; false when it does not resolve.
bool ResolveFirstIpv4(const char* name, uint32_t& addr);
// Every IPv4 address of a name, in resolver order.
bool ResolveAllIpv4(const char* name, std::vector<uint32_t>& addrs);

}  // namespace zandrel::net
