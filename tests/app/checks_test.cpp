#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "checks/check_sequencer.h"
#include "checks/speed_meter.h"
#include "checks/udp_test.h"

using namespace zandrel;

TEST(SpeedMeter, WindowKeepsSamplesExactly1000MsOld) {
  uint32_t now = 5000;
  CSpeedMeter m([&] { return now; });
  m.AddBytes(2048000);
  EXPECT_EQ(m.m_windowBytes / 1024, 2000);
  now += 1000;
  m.Expire(now);
  EXPECT_EQ(m.m_windowBytes, 2048000);  // exactly 1000 ms old stays
  now += 1;
  m.AddBytes(10);
  EXPECT_EQ(m.m_windowBytes, 10);
  EXPECT_EQ(m.m_totalBytes, 2048010);
  EXPECT_EQ(m.m_samples.size(), 1u);
  m.Clear();
  EXPECT_EQ(m.m_totalBytes, 0);
  EXPECT_EQ(m.m_windowMs, 1000u);
}

TEST(SpeedMeter, TickWrapAround) {
  uint32_t now = 0xFFFFFF00u;
  CSpeedMeter m([&] { return now; });
  m.AddBytes(100);
  now += 0x200;  // wrapped: 512 ms later
  m.Expire(now);
  EXPECT_EQ(m.m_windowBytes, 100);
  now += 600;
  m.Expire(now);
  EXPECT_EQ(m.m_windowBytes, 0);
}

TEST(TrimGbk, StepsByWholeCharacters) {
  EXPECT_EQ(TrimGbk(" \t\xBC\xEC\xB2\xE2\r\n"), "\xBC\xEC\xB2\xE2");
  // A trail byte of 0x20 must not be taken for a space.
  EXPECT_EQ(TrimGbk("a\x81\x20"), "a\x81\x20");
  EXPECT_EQ(TrimGbk(" \r\n "), "");
  EXPECT_EQ(TrimGbk(""), "");
}

TEST(ResolveHostAddresses, WritesDottedTextsOrFails) {
  char out[100];
  std::memset(out, 'x', sizeof out);
  EXPECT_EQ(ResolveHostAddresses("HTTP://127.0.0.1/path", out), 1);
  EXPECT_STREQ(out, "127.0.0.1");
  EXPECT_EQ(out[10], '\0');
  std::memset(out, 'x', sizeof out);
  EXPECT_EQ(ResolveHostAddresses("no-such-host.invalid", out), -1);
  EXPECT_EQ(out[0], 'x');  // left as it was
  EXPECT_EQ(ResolveHostAddresses("", out), -1);
}

namespace {
struct Counter : net::IRecvInter {
  int n = 0;
  void OnRecv(const char*) override { ++n; }
};
}  // namespace

TEST(UdpTester, SendsFiveProbesOrNothingWhenTheHostDoesNotResolve) {
  int peer = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(peer, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  socklen_t len = sizeof sa;
  getsockname(peer, reinterpret_cast<sockaddr*>(&sa), &len);
  uint16_t port = ntohs(sa.sin_port);

  Counter receiver;
  CTestUDP tester;
  tester.SetReceiver(&receiver);
  int sleeps = 0;
  tester.StartTest("127.0.0.1", [&](uint32_t ms) { return (sleeps += ms == 10) > 0; }, 0, port);
  EXPECT_EQ(sleeps, 5);
  char buf[64];
  sockaddr_in from{};
  socklen_t fromLen = sizeof from;
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(recvfrom(peer, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fromLen), 8);
    EXPECT_EQ(std::string(buf, 8), "test_udp");
  }
  // Answers already waiting: the first pass takes one; the tester closes on it in the dialog.
  sendto(peer, "a", 1, 0, reinterpret_cast<sockaddr*>(&from), fromLen);
  sendto(peer, "b", 1, 0, reinterpret_cast<sockaddr*>(&from), fromLen);
  usleep(10000);
  tester.LoopOnce();
  EXPECT_EQ(receiver.n, 1);
  tester.Close();
  tester.LoopOnce();
  EXPECT_EQ(receiver.n, 1);

  CTestUDP unresolved;
  sleeps = 0;
  unresolved.StartTest("no-such-host.invalid", [&](uint32_t) { return ++sleeps > 0; }, 0, port);
  // Nothing sent, not even to a broadcast address.
  EXPECT_EQ(recv(peer, buf, sizeof buf, MSG_DONTWAIT), -1);

  // A run cancelled during the probes sends no more of them.
  CTestUDP cancelled;
  sleeps = 0;
  cancelled.StartTest("127.0.0.1", [&](uint32_t) { return ++sleeps < 2; }, 0, port);
  usleep(10000);
  int got = 0;
  while (recv(peer, buf, sizeof buf, MSG_DONTWAIT) == 8) ++got;
  EXPECT_EQ(got, 2);
  close(peer);
}
