#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/udp_module.h"
#include "test_sockets.h"

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

}  // namespace

TEST(UdpEngine, OneDatagramPerSocketPerPassWithSourceInHostOrder) {
  auto udp = create_udp_module();
  EXPECT_FALSE(udp->udp_loop_once());  // nothing open
  UdpRecorder rec;
  uint16_t port = testsock::FreeUdpPort();
  udp_handle h = udp->udp_open(port, &rec);
  ASSERT_NE(h, nullptr);
  int peer = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in from = testsock::Loopback(0);
  bind(peer, reinterpret_cast<sockaddr*>(&from), sizeof from);
  sockaddr_in to = testsock::Loopback(port);
  sendto(peer, "one", 3, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  sendto(peer, "two", 3, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  usleep(10000);
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
  EXPECT_EQ(recv(peer, buf, sizeof buf, 0), 4);
  udp->udp_close(h);
  EXPECT_FALSE(udp->udp_send(h, "x", 1, 0x7F000001, port));
  udp->udp_close(h);
  close(peer);
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
  int peer = socket(AF_INET, SOCK_DGRAM, 0);
  for (uint16_t p : {pa, pa, pb, pb}) {
    sockaddr_in to = testsock::Loopback(p);
    sendto(peer, "d", 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }
  usleep(10000);
  EXPECT_TRUE(udp->udp_loop_once());
  for (int i = 0; i < 5; ++i) udp->udp_loop_once();
  EXPECT_EQ(a.got.size(), 1u);
  EXPECT_EQ(b.got.size(), 1u);
  EXPECT_EQ(static_cast<C_udp_module&>(*udp).socket_count(), 0u);
  close(peer);
}

TEST(UdpEngine, ReleaseClosesOpenSocketsAndOpenIsBounded) {
  uint16_t port = testsock::FreeUdpPort();
  UdpRecorder rec;
  {
    auto udp = create_udp_module();
    ASSERT_NE(udp->udp_open(port, &rec), nullptr);
    EXPECT_EQ(udp->udp_open(port, &rec), nullptr);  // port in use
  }
  auto udp = create_udp_module();
  EXPECT_NE(udp->udp_open(port, &rec), nullptr) << "the first engine released the port";
  std::vector<udp_handle> handles;
  for (int i = 0; i < 300; ++i) {
    udp_handle h = udp->udp_open(0, &rec);
    if (!h) break;
    handles.push_back(h);
  }
  EXPECT_EQ(handles.size(), 255u);  // 256 in all, counting the first
  EXPECT_TRUE(rec.got.empty());
}
