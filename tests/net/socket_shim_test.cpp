// The socket shim's promises to the engines, which Winsock and POSIX keep in
// different ways: would-block, a failed connect, the empty wait, listeners
// that exclude each other, and a wait over an engine's full 1024 sockets.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "net/socket.h"
#include "platform/clock.h"
#include "platform/files.h"

namespace zandrel::net {
namespace {

constexpr uint32_t kLoopback = 0x7F000001;

// Closes its socket on every path.
struct Sock {
  socket_t s;
  explicit Sock(socket_t sock) : s(sock) {}
  ~Sock() { CloseSocket(s); }
  Sock(const Sock&) = delete;
  Sock& operator=(const Sock&) = delete;
};

uint16_t LocalPort(socket_t s) {
  uint32_t addr = 0;
  uint16_t port = 0;
  EXPECT_TRUE(LocalAddress(s, addr, port));
  return port;
}

TEST(SocketShim, NothingToReadIsWouldBlock) {
  SocketLayer layer;
  ASSERT_TRUE(layer.started());
  Sock u(UdpSocket());
  ASSERT_TRUE(IsSocket(u.s));
  ASSERT_TRUE(BindIpv4(u.s, kLoopback, 0));
  SetNonBlocking(u.s);
  char buf[16];
  uint32_t addr = 0;
  uint16_t port = 0;
  EXPECT_EQ(RecvFrom(u.s, buf, sizeof buf, addr, port), -1);
  EXPECT_TRUE(IsWouldBlock(LastError()));
}

TEST(SocketShim, RefusedConnectIsReportedAsAFailure) {
  SocketLayer layer;
  // A port nobody listens on: bind one, note it, close it.
  uint16_t port;
  {
    Sock probe(TcpSocket());
    ASSERT_TRUE(BindIpv4(probe.s, kLoopback, 0));
    port = LocalPort(probe.s);
  }
  Sock c(TcpSocket());
  SetNonBlocking(c.s);
  ASSERT_NE(ConnectIpv4(c.s, kLoopback, port), 0) << "connected to a closed port";
  // Refused at once, or the outcome shows in the wait: an error condition
  // (Windows' except set) or writable with a pending error.
  bool failed = !IsConnectInProgress(LastError());
  for (int i = 0; i < 500 && !failed; ++i) {
    SocketList wr, er;
    wr.items.push_back(c.s);
    er.items.push_back(c.s);
    ASSERT_GE(WaitReady(nullptr, &wr, &er, 20), 0);
    if (!er.items.empty()) {
      EXPECT_EQ(er.items[0], c.s);
      failed = true;
    } else if (!wr.items.empty()) {
      ASSERT_NE(PendingError(c.s), 0) << "a refused connect looked successful";
      failed = true;
    }
  }
  EXPECT_TRUE(failed);
}

TEST(SocketShim, EmptyWaitSleepsForItsTimeOut) {
  SocketLayer layer;
  SocketList rd, wr, er;
  uint32_t t0 = platform::TickCount();
  EXPECT_EQ(WaitReady(&rd, &wr, &er, 60), 0);
  EXPECT_EQ(WaitReady(nullptr, nullptr, nullptr, 60), 0);
  // Two waits of 60 ms; the tick count on Windows moves in 10-16 ms steps.
  EXPECT_GE(platform::TickCount() - t0, 100u);
}

TEST(SocketShim, SecondListenerOnAPortIsRefused) {
  SocketLayer layer;
  Sock a(TcpSocket());
  SetListenerAddressUse(a.s);
  ASSERT_TRUE(BindIpv4(a.s, kLoopback, 0));
  ASSERT_TRUE(Listen(a.s, 8));
  uint16_t port = LocalPort(a.s);
  Sock b(TcpSocket());
  SetListenerAddressUse(b.s);
  EXPECT_FALSE(BindIpv4(b.s, kLoopback, port));
  // Not even a socket that asks for address reuse may take it.
  Sock c(TcpSocket());
  SetReuseAddress(c.s, true);
  EXPECT_FALSE(BindIpv4(c.s, kLoopback, port) && Listen(c.s, 8));
}

TEST(SocketShim, WaitFindsTheReadySocketAmong1024) {
  SocketLayer layer;
  platform::RaiseOpenFileLimit();
  std::vector<std::unique_ptr<Sock>> socks;
  SocketList rd(1024);
  for (int i = 0; i < 1024; ++i) {
    auto s = std::make_unique<Sock>(UdpSocket());
    if (!IsSocket(s->s)) GTEST_SKIP() << "cannot open 1024 sockets here";
    ASSERT_TRUE(BindIpv4(s->s, kLoopback, 0));
    SetNonBlocking(s->s);
    rd.items.push_back(s->s);
    socks.push_back(std::move(s));
  }
  // The last one of the list and one in the middle receive a datagram.
  Sock sender(UdpSocket());
  for (int k : {1023, 517}) {
    ASSERT_EQ(SendTo(sender.s, "x", 1, kLoopback, LocalPort(socks[k]->s)), 1);
  }
  std::vector<socket_t> ready;
  for (int i = 0; i < 200 && ready.size() < 2; ++i) {
    SocketList list = rd;
    ASSERT_GE(WaitReady(&list, nullptr, nullptr, 20), 0);
    ready = list.items;
  }
  ASSERT_EQ(ready.size(), 2u);
  EXPECT_TRUE((ready[0] == socks[517]->s && ready[1] == socks[1023]->s) ||
              (ready[0] == socks[1023]->s && ready[1] == socks[517]->s));
}

TEST(SocketShim, AReservedReceiveWindowStillWakesForOneByte) {
  SocketLayer layer;
  Sock listener(TcpSocket());
  ASSERT_TRUE(BindIpv4(listener.s, kLoopback, 0));
  ASSERT_TRUE(Listen(listener.s, 1));
  Sock c(TcpSocket());
  ASSERT_EQ(ConnectIpv4(c.s, kLoopback, LocalPort(listener.s)), 0);
  uint32_t addr = 0;
  uint16_t port = 0;
  Sock s(AcceptIpv4(listener.s, addr, port));
  ASSERT_TRUE(IsSocket(s.s));
  ReserveReceiveWindow(c.s, 2 << 20);
  SetNonBlocking(c.s);
  ASSERT_EQ(SendBytes(s.s, "x", 1), 1);
  SocketList rd(1);
  rd.items.push_back(c.s);
  ASSERT_EQ(WaitReady(&rd, nullptr, nullptr, 5000), 1) << "one byte no longer makes the socket readable";
  char buf[4];
  EXPECT_EQ(RecvBytes(c.s, buf, sizeof buf), 1);
}

TEST(SocketShim, AddressTextsAndLookup) {
  SocketLayer layer;
  uint32_t a = 0;
  EXPECT_TRUE(ParseIpv4("192.168.1.20", a));
  EXPECT_EQ(a, 0xC0A80114u);
  EXPECT_EQ(Ipv4Text(a), "192.168.1.20");
  EXPECT_FALSE(ParseIpv4("300.1.1.1", a));
  EXPECT_FALSE(ParseIpv4("localhost", a));
  ASSERT_TRUE(ResolveFirstIpv4("localhost", a));
  EXPECT_EQ(a >> 24, 127u);
  EXPECT_TRUE(ResolveFirstIpv4("10.1.2.3", a));
  EXPECT_EQ(a, 0x0A010203u);
}

}  // namespace
}  // namespace zandrel::net
