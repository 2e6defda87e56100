// The report server's UDP echo: whom it answers, and how it keeps up.
#include <gtest/gtest.h>

#include <string>

#include "running_server.h"
#include "server/receiver/udp_echo.h"
#include "sockets.h"

using namespace zandrel::server;
using testsupport::RunningServer;

namespace {

constexpr uint32_t kClient = 0xC0A80105;  // 192.168.1.5

TEST(UdpEcho, AnswersTheProbeAndNothingElse) {
  UdpEcho echo;
  echo.SetOwnPorts({19549, 5252, 80});
  EXPECT_TRUE(echo.ShouldAnswer(kClient, 19536, "test_udp", 0));
  EXPECT_FALSE(echo.ShouldAnswer(kClient, 19536, "test_udp\n", 0));  // longer than the probe
  EXPECT_FALSE(echo.ShouldAnswer(kClient, 19536, "test_ud", 0));
  EXPECT_FALSE(echo.ShouldAnswer(kClient, 19536, std::string(1400, 'x'), 0));
  EXPECT_FALSE(echo.ShouldAnswer(kClient, 19536, "", 0));
  // From a port we serve on, whatever the address: ourselves, or another
  // receiver that would answer back.
  for (uint16_t port : {19549, 5252, 80}) EXPECT_FALSE(echo.ShouldAnswer(kClient, port, "test_udp", 0)) << port;
  EXPECT_FALSE(echo.ShouldAnswer(0x7F000001, 19549, "test_udp", 0));
  EXPECT_FALSE(echo.ShouldAnswer(kClient, 0, "test_udp", 0));
  // Sources that are not one host.
  for (uint32_t addr : {0x00000000u, 0x00010203u, 0xE0000001u, 0xEFFFFFFAu, 0xF0000001u, 0xFFFFFFFFu}) {
    EXPECT_FALSE(echo.ShouldAnswer(addr, 19536, "test_udp", 0)) << std::hex << addr;
  }
  EXPECT_EQ(echo.answered(), 1u);
}

TEST(UdpEcho, CapsAnswersPerAddressPerSecond) {
  UdpEcho::Settings s;
  s.perSourcePerSecond = 5;
  s.maxSources = 3;
  UdpEcho echo(s);
  int answered = 0;
  for (int i = 0; i < 1000; ++i) answered += echo.ShouldAnswer(kClient, 19536, "test_udp", 10 + i % 900);
  EXPECT_EQ(answered, 5);
  // Another address is not held back by the first.
  EXPECT_TRUE(echo.ShouldAnswer(kClient + 1, 19536, "test_udp", 500));
  EXPECT_TRUE(echo.ShouldAnswer(kClient + 2, 19536, "test_udp", 500));
  // The table is full for this second: a new address waits for the next.
  EXPECT_FALSE(echo.ShouldAnswer(kClient + 3, 19536, "test_udp", 500));
  EXPECT_TRUE(echo.ShouldAnswer(kClient + 3, 19536, "test_udp", 1010));
  EXPECT_TRUE(echo.ShouldAnswer(kClient, 19536, "test_udp", 1010));
  // Across the wrap-around of the millisecond counter too.
  UdpEcho wrap(s);
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(wrap.ShouldAnswer(kClient, 19536, "test_udp", 0xFFFFFF00u));
  EXPECT_FALSE(wrap.ShouldAnswer(kClient, 19536, "test_udp", 0xFFFFFFF0u));
  EXPECT_TRUE(wrap.ShouldAnswer(kClient, 19536, "test_udp", 0x00000400u));
}

// Over real sockets: a datagram from a port the server listens on, or one
// that is not the probe, gets nothing; the probe after it is answered, so
// by then anything owed to the first would have arrived.
TEST(UdpEcho, ServerIgnoresItsOwnPortsAndAnythingButTheProbe) {
  RunningServer srv;
  ASSERT_TRUE(srv.started()) << srv.error();
  // The server's HTTP port number, as a UDP source (free for UDP).
  testsock::Socket fromHttpPort(testsock::UdpBound(srv.port()));
  ASSERT_NE(fromHttpPort.get(), testsock::kNoSocket);
  testsock::Socket other(testsock::UdpBound());
  testsock::SendTo(fromHttpPort.get(), "test_udp", srv.udp_port());
  testsock::SendTo(other.get(), "hello, anyone?", srv.udp_port());
  testsock::SendTo(other.get(), "test_udp", srv.udp_port());
  ASSERT_TRUE(testsock::WaitReadable(other.get(), 5000));
  char buf[64];
  EXPECT_EQ(testsock::Recv(other.get(), buf, sizeof buf), 8);
  EXPECT_EQ(std::string(buf, 8), "test_udp");
  EXPECT_FALSE(testsock::WaitReadable(other.get(), 0));
  EXPECT_FALSE(testsock::WaitReadable(fromHttpPort.get(), 0));
}

}  // namespace
