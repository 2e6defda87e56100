// Throughput of one connection through the TCP engine on loopback, with
// passes back to back and with one pass every 10 ms, and the CPU cost of an
// idle pass.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "net/tcp_module.h"
#include "sockets.h"

using namespace zandrel::net;
using Clock = std::chrono::steady_clock;

namespace {

struct Counter : I_dataHandler {
  uint64_t bytes = 0;
  void i_onAccept(conn_handle, socket_t, uint32_t, uint16_t, uint32_t, uint16_t) override {}
  void i_onConnect(socket_t, conn_handle, user_data) override {}
  bool i_onData(conn_handle, const char*, int32_t len, user_data) override {
    bytes += static_cast<uint64_t>(len);
    return true;
  }
  void i_onBreak(conn_handle, user_data) override {}
  void i_onSent(conn_handle, user_data) override {}
  void i_onLoop() override {}
};

std::pair<socket_t, socket_t> Pair() { return testsock::TcpPair(8 << 20); }

double CpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Runs passes for `seconds`, one every `periodMs` (0: back to back), while a
// writer thread keeps the connection full. Returns bytes per second.
double Throughput(double seconds, int periodMs) {
  Counter counter;
  auto tcp = create_tcp_module(counter);
  tcp->start(true);
  auto [mine, peer] = Pair();
  conn_handle c = tcp->attach_socket(mine, nullptr, true);
  std::atomic<bool> stop{false};
  std::thread writer([&, peer = peer] {
    static char block[1 << 20];
    while (!stop) {
      if (send(peer, block, sizeof block, MSG_NOSIGNAL) <= 0) break;
    }
  });
  // Warm up, then measure.
  for (int i = 0; i < 20; ++i) tcp->loop_once();
  uint64_t start = counter.bytes;
  auto t0 = Clock::now();
  auto next = t0;
  while (Clock::now() - t0 < std::chrono::duration<double>(seconds)) {
    tcp->loop_once();
    if (periodMs) {
      next += std::chrono::milliseconds(periodMs);
      std::this_thread::sleep_until(next);
    }
  }
  double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
  uint64_t got = counter.bytes - start;
  stop = true;
  shutdown(peer, SHUT_RDWR);
  tcp->close_connection(c);
  writer.join();
  close(peer);
  return static_cast<double>(got) / elapsed;
}

}  // namespace

int main() {
  double fast = Throughput(3.0, 0);
  double timed = Throughput(3.0, 10);
  // A pass drains the connection up to its byte bound, so at one pass per
  // 10 ms the rate is bounded by that and by the socket's receive buffer.
  double ceiling = static_cast<double>(C_TcpModule::kPassByteBound) / 0.010;
  std::printf("back to back: %.0f MB/s (target >= 1000 MB/s)\n", fast / 1e6);
  std::printf("one pass per 10 ms: %.2f MB/s (byte bound per pass allows %.0f MB/s)\n", timed / 1e6,
              ceiling / 1e6);

  Counter counter;
  auto tcp = create_tcp_module(counter);
  tcp->start(true);
  auto [mine, peer] = Pair();
  tcp->attach_socket(mine, nullptr, true);
  const int passes = 3000;
  double cpu0 = CpuSeconds();
  auto t0 = Clock::now();
  for (int i = 0; i < passes; ++i) tcp->loop_once();
  double cpu = CpuSeconds() - cpu0;
  double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  std::printf("idle pass: %.1f us CPU, %.0f us wall (target < 50 us CPU)\n", cpu / passes * 1e6, wall / passes * 1e6);
  close(peer);
  return 0;
}
