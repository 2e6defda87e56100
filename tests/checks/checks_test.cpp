#include <gtest/gtest.h>

#include <cstring>

#include "checks/check_sequencer.h"
#include "checks/speed_meter.h"
#include "checks/test_udp.h"
#include "checks/upload_answer.h"
#include "sockets.h"

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
  testsock::Socket owner(testsock::UdpBound());
  const testsock::socket_t peer = owner.get();
  const uint16_t port = testsock::PortOf(peer);

  Counter receiver;
  CTestUDP tester;
  tester.SetReceiver(&receiver);
  int sleeps = 0;
  tester.StartTest("127.0.0.1", [&](uint32_t ms) { return (sleeps += ms == 10) > 0; }, 0, port);
  EXPECT_EQ(sleeps, 5);
  char buf[64];
  uint32_t fromAddr = 0;
  uint16_t fromPort = 0;
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(testsock::WaitReadable(peer, 5000));
    ASSERT_EQ(net::RecvFrom(peer, buf, sizeof buf, fromAddr, fromPort), 8);
    EXPECT_EQ(std::string(buf, 8), "test_udp");
  }
  // Answers waiting: a pass takes one; the tester closes on it in the dialog.
  testsock::SendTo(peer, "a", fromPort, fromAddr);
  testsock::SendTo(peer, "b", fromPort, fromAddr);
  for (int i = 0; i < 5000 && receiver.n == 0; ++i) tester.LoopOnce();
  EXPECT_EQ(receiver.n, 1);
  tester.Close();
  tester.LoopOnce();
  EXPECT_EQ(receiver.n, 1);

  CTestUDP unresolved;
  sleeps = 0;
  unresolved.StartTest("no-such-host.invalid", [&](uint32_t) { return ++sleeps > 0; }, 0, port);
  // Nothing sent, not even to a broadcast address.
  EXPECT_FALSE(testsock::WaitReadable(peer, 100));

  // A run cancelled during the probes sends no more of them.
  CTestUDP cancelled;
  sleeps = 0;
  cancelled.StartTest("127.0.0.1", [&](uint32_t) { return ++sleeps < 2; }, 0, port);
  int got = 0;
  while (testsock::WaitReadable(peer, 200) && testsock::Recv(peer, buf, sizeof buf) == 8) ++got;
  EXPECT_EQ(got, 2);
}

TEST(UploadAnswer, ReportIdsAreShownOnlyInTheServersOwnForm) {
  for (const char* good : {"7K3M-QX9P", "0000-ZZZZ", "ABCD-EFGH"}) EXPECT_TRUE(IsReportIdText(good)) << good;
  for (const char* bad : {"", "7K3MQX9P", "7K3M-QX9", "7K3M-QX9PA", "7k3m-qx9p", "7K3M-QX9I", "OK3M-QX9P",
                          "7K3L-QX9P", "7K3M-UX9P", "7K3M QX9P", "7K3-MQX9P", "7K3M--X9P", "7K3M-QX9\xB1",
                          "<b>-</b>!"}) {
    EXPECT_FALSE(IsReportIdText(bad)) << bad;
  }
  EXPECT_FALSE(IsReportIdText(std::string("7K3M-QX9\0", 9)));
}

TEST(UploadAnswer, RetryAfterInSecondsOrAsADate) {
  const int64_t now = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT
  EXPECT_EQ(RetryAfterSeconds("30", "", now), 30);
  EXPECT_EQ(RetryAfterSeconds("0", "", now), 0);
  EXPECT_EQ(RetryAfterSeconds("123456789012", "", now), 99999999);
  // A date counts from the server's own clock when the answer has one.
  EXPECT_EQ(RetryAfterSeconds("Sun, 06 Nov 1994 08:51:37 GMT", "", now), 120);
  EXPECT_EQ(RetryAfterSeconds("Sun, 06 Nov 1994 08:51:37 GMT", "Sun, 06 Nov 1994 08:50:37 GMT", now), 60);
  EXPECT_EQ(RetryAfterSeconds("Thu, 01 Mar 2024 00:00:00 GMT", "Wed, 28 Feb 2024 23:59:59 GMT", now), 86401);
  EXPECT_EQ(RetryAfterSeconds("Sun, 06 Nov 1994 08:40:00 GMT", "", now), 0);  // already past
  for (const char* bad : {"", "-5", "3.5", "soon", "Sun, 06 Nov 1994 08:51:37 UTC", "Sun, 32 Nov 1994 08:51:37 GMT",
                          "Sun, 06 Nov 1994 08:51:37 GMT trailing", "Sunday, 06-Nov-94 08:49:37 GMT"}) {
    EXPECT_EQ(RetryAfterSeconds(bad, "", now), -1) << bad;
  }
}
