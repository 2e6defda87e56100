// The report server's UDP echo under a flood: 10,000 datagrams a second go
// to its UDP port from 127.0.0.2 while five client-style UDP checks (the
// tool's own tester: five probes, then up to 1001 ticks of 10 ms waiting)
// run from 127.0.0.1. Goal: 5 of 5 answered. Printed per row: the checks
// answered and how long each waited, the flood's achieved rate, and what
// the echo answered and ignored. Rows: a flood of 64-byte noise, and a flood
// of the probe itself (each asks for an answer; the per-address cap keeps
// the flooder to its share). Floods go to loopback only.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "checks/test_udp.h"
#include "running_server.h"
#include "sockets.h"

using namespace zandrel;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kFloodPerSecond = 10000;
constexpr int kChecks = 5;

struct Answered final : net::IRecvInter {
  std::atomic<bool> got{false};
  void OnRecv(const char*) override { got = true; }
};

// One check as the tool runs it; the milliseconds from its first probe to
// the answer being taken (the tester takes it on its first tick after the
// five probes), or -1 when none came within its 1001 ticks.
long ClientCheck(uint16_t serverPort) {
  CTestUDP tester;
  Answered answered;
  tester.SetReceiver(&answered);
  const auto start = Clock::now();
  tester.StartTest(
      "127.0.0.1",
      [](uint32_t ms) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        return true;
      },
      0, serverPort);
  for (int tick = 0; tick <= 1001 && !answered.got; ++tick) {
    tester.LoopOnce();
    if (!answered.got) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  tester.Close();
  if (!answered.got) return -1;
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

void Row(const char* name, const std::string& payload) {
  testsupport::RunningServer srv;
  if (!srv.started()) {
    std::fprintf(stderr, "cannot start the server: %s\n", srv.error().c_str());
    return;
  }
  const uint16_t port = srv.udp_port();
  std::atomic<bool> stop{false};
  std::atomic<long> sent{0};
  std::thread flood([&] {
    testsock::Socket s(testsock::UdpBound(0, 0x7F000002));
    testsock::SetBuffers(s.get(), 1 << 20);
    auto next = Clock::now();
    while (!stop) {
      // Ten datagrams each millisecond.
      for (int i = 0; i < kFloodPerSecond / 1000; ++i) {
        if (testsock::SendTo(s.get(), payload, port, testsock::kLoopback) > 0) ++sent;
      }
      next += std::chrono::milliseconds(1);
      std::this_thread::sleep_until(next);
    }
  });
  std::this_thread::sleep_for(std::chrono::seconds(1));  // the flood is under way
  const long sentBefore = sent;
  const auto checksStart = Clock::now();
  std::vector<long> waits(kChecks);
  std::vector<std::thread> checks;
  for (int i = 0; i < kChecks; ++i) checks.emplace_back([&, i] { waits[static_cast<size_t>(i)] = ClientCheck(port); });
  for (auto& t : checks) t.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - checksStart).count();
  const long during = sent - sentBefore;
  stop = true;
  flood.join();
  srv.Stop();
  const int ok = static_cast<int>(std::count_if(waits.begin(), waits.end(), [](long w) { return w >= 0; }));
  std::printf("UDP flood of %d/s (%s) while %d client-style UDP checks run: %d of %d answered (goal: %d of %d)\n",
              kFloodPerSecond, name, kChecks, ok, kChecks, kChecks, kChecks);
  std::printf("  waits (ms, -1: none):");
  for (long w : waits) std::printf(" %ld", w);
  std::printf("\n  flood sent %ld datagrams in the %.1f s the checks ran (%.0f/s); the echo answered %llu and ignored %llu\n",
              during, seconds, during / seconds, static_cast<unsigned long long>(srv.server().udp_echo().answered()),
              static_cast<unsigned long long>(srv.server().udp_echo().ignored()));
}

}  // namespace

int main() {
  Row("64-byte noise from 127.0.0.2", std::string(64, 'n'));
  Row("probes from 127.0.0.2", "test_udp");
  return 0;
}
