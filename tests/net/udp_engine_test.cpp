#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "net/udp_module.h"
#include "sockets.h"
#include "wait.h"

using namespace zandrel::net;

namespace {

struct UdpRecorder : I_udp_handler {
  struct Got {
    uint32_t addr;
    uint16_t port;
    std::string data;
  };
  std::vector<Got> got;
  std::function<void()> inside;
  void i_onRecv(uint32_t addr, uint16_t port, const char* d, int32_t len) override {
    got.push_back({addr, port, std::string(d, static_cast<size_t>(len))});
    if (inside) inside();
  }
};

// Runs passes (each waits up to 1 ms) until done() holds, within a bound.
bool RunUntil(I_udp_module& udp, const std::function<bool()>& done) {
  for (int i = 0; i < 5000 && !done(); ++i) udp.udp_loop_once();
  return done();
}

}  // namespace

TEST(UdpEngine, OneDatagramPerSocketPerPassWithSourceInHostOrder) {
  auto udp = create_udp_module();
  EXPECT_FALSE(udp->udp_loop_once());  // nothing open
  UdpRecorder rec;
  uint16_t port = testsock::FreeUdpPort();
  udp_handle h = udp->udp_open(port, &rec);
  ASSERT_NE(h, nullptr);
  testsock::Socket owner(testsock::UdpBound());
  socket_t peer = owner.get();
  testsock::SendTo(peer, "one", port);
  testsock::SendTo(peer, "two", port);
  // Both datagrams wait: the first pass takes one of them only.
  ASSERT_TRUE(testsock::WaitReadable(h->socket, 5000));
  EXPECT_TRUE(udp->udp_loop_once());
  ASSERT_EQ(rec.got.size(), 1u);
  EXPECT_EQ(rec.got[0].data, "one");
  EXPECT_EQ(rec.got[0].addr, 0x7F000001u);
  EXPECT_EQ(rec.got[0].port, testsock::PortOf(peer));
  EXPECT_TRUE(udp->udp_loop_once());
  ASSERT_EQ(rec.got.size(), 2u);
  EXPECT_EQ(rec.got[1].data, "two");
  EXPECT_FALSE(udp->udp_loop_once());

  // Sending back to the peer.
  EXPECT_TRUE(udp->udp_send(h, "back", 4, 0x7F000001, testsock::PortOf(peer)));
  char buf[8] = {};
  ASSERT_TRUE(testsock::WaitReadable(peer, 5000));
  EXPECT_EQ(testsock::Recv(peer, buf, sizeof buf), 4);
  udp->udp_close(h);
  EXPECT_FALSE(udp->udp_send(h, "x", 1, 0x7F000001, port));
  udp->udp_close(h);
}

// A server's pass takes what is waiting, up to its bound, in order; a
// handler that closes the socket ends the pass's reading of it.
TEST(UdpEngine, DrainTakesUpToItsBoundPerSocketInOnePass) {
  auto udp = create_udp_engine();
  UdpRecorder rec;
  udp_handle h = udp->udp_open_on(0x7F000001, 0, &rec);
  ASSERT_NE(h, nullptr);
  const uint16_t port = udp->local_port(h);
  testsock::Socket peer(testsock::UdpBound());
  for (int i = 0; i < 300; ++i) testsock::SendTo(peer.get(), std::to_string(i), port);
  ASSERT_TRUE(testsock::WaitReadable(h->socket, 5000));
  EXPECT_TRUE(udp->udp_loop_drain(100, 60000));
  ASSERT_EQ(rec.got.size(), 100u);
  EXPECT_TRUE(udp->udp_loop_drain(1000, 60000));
  ASSERT_EQ(rec.got.size(), 300u);
  for (int i = 0; i < 300; ++i) EXPECT_EQ(rec.got[static_cast<size_t>(i)].data, std::to_string(i));
  EXPECT_FALSE(udp->udp_loop_drain(1000, 60000));

  for (int i = 0; i < 5; ++i) testsock::SendTo(peer.get(), "x", port);
  ASSERT_TRUE(testsock::WaitReadable(h->socket, 5000));
  rec.inside = [&] { udp->udp_close(h); };
  EXPECT_TRUE(udp->udp_loop_drain(1000, 60000));
  EXPECT_EQ(rec.got.size(), 301u);
  EXPECT_EQ(udp->socket_count(), 0u);
}

TEST(UdpEngine, HandlerClosingItsOwnSocketDoesNotStopOtherSockets) {
  auto udp = create_udp_module();
  UdpRecorder a, b;
  uint16_t pa = testsock::FreeUdpPort(), pb = testsock::FreeUdpPort();
  udp_handle ha = udp->udp_open(pa, &a);
  udp_handle hb = udp->udp_open(pb, &b);
  ASSERT_NE(ha, nullptr);
  ASSERT_NE(hb, nullptr);
  a.inside = [&] { udp->udp_close(ha); };
  b.inside = [&] { udp->udp_close(hb); };
  testsock::Socket peer(testsock::UdpBound());
  for (uint16_t p : {pa, pa, pb, pb}) testsock::SendTo(peer.get(), "d", p);
  ASSERT_TRUE(testsock::WaitReadable(ha->socket, 5000) && testsock::WaitReadable(hb->socket, 5000));
  EXPECT_TRUE(udp->udp_loop_once());
  for (int i = 0; i < 5; ++i) udp->udp_loop_once();
  EXPECT_EQ(a.got.size(), 1u);
  EXPECT_EQ(b.got.size(), 1u);
  EXPECT_EQ(static_cast<C_udp_module&>(*udp).socket_count(), 0u);
}

TEST(UdpEngine, ReleaseClosesOpenSocketsAndOpenIsBounded) {
  uint16_t port = testsock::FreeUdpPort();
  testsock::Socket peer(testsock::UdpBound());
  UdpRecorder first, second;
  {
    auto udp = create_udp_module();
    ASSERT_NE(udp->udp_open(port, &first), nullptr);
    EXPECT_EQ(udp->udp_open(port, &first), nullptr);  // port in use
    testsock::SendTo(peer.get(), "before", port);
    ASSERT_TRUE(RunUntil(*udp, [&] { return !first.got.empty(); }));
  }
  // Released: the port may be had again, and only its new owner hears it.
  auto udp = create_udp_module();
  ASSERT_NE(udp->udp_open(port, &second), nullptr) << "the first engine kept the port";
  testsock::SendTo(peer.get(), "after", port);
  ASSERT_TRUE(RunUntil(*udp, [&] { return !second.got.empty(); }));
  EXPECT_EQ(second.got[0].data, "after");
  ASSERT_EQ(first.got.size(), 1u);
  EXPECT_EQ(first.got[0].data, "before");
  std::vector<udp_handle> handles;
  for (int i = 0; i < 300; ++i) {
    udp_handle h = udp->udp_open(0, &second);
    if (!h) break;
    handles.push_back(h);
  }
  EXPECT_EQ(handles.size(), 255u);  // 256 in all, counting the first
}
