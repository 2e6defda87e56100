// Ingest: N clients (default 64) post 20 KB reports for a number of seconds
// to a receiver on loopback, each report answered 200 only once it is
// durable (and, with the index, its row written). Prints reports stored per
// second with and without the index, the slowest answer, and the process's
// peak memory.
//   ingest_bench [--clients N] [--seconds S] [--size BYTES] [--dir DIR]
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/gbk.h"
#include "platform/md5.h"
#include "running_server.h"
#include "sockets.h"
#include "temp_dir.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string ReportBody(std::size_t size, int n) {
  std::string text = "\r\n问题描述：画面卡顿，第" + std::to_string(n) + "次\r\nAdapterName : {4D36E972-E325}\r\n"
                     "Adapter Desc: Ethernet\r\nMAC Addr: \t02-5a-64-72-65-6c\r\nIP Address: 192.168.1.20\r\n"
                     "IP Mask: 255.255.255.0\r\nGateway: 192.168.1.1\r\n";
  for (int d = 0; text.size() < size; ++d) {
    text += "C:\\Program Files\\App" + std::to_string(d % 40) + "\r\n";
    for (int f = 0; f < 8 && text.size() < size; ++f) {
      text += "                module" + std::to_string(d * 8 + f) + ".dll\r\n";
    }
  }
  std::string gbk = zandrel::platform::Utf8ToGbk(text);
  gbk.resize(size, ' ');
  return gbk;
}

struct Result {
  double perSecond = 0, slowestMs = 0;
  long stored = 0, refused = 0;
};

Result Run(bool index, int clients, int seconds, std::size_t size, const std::string& dir) {
  testsupport::TempDir own("zandrel-ingest");
  testsupport::RunningServer srv([&](zandrel::server::ServerOptions& o) {
    o.dataDir = (dir.empty() ? own.path() : dir) + (index ? "/indexed" : "/plain");
    o.index = index;
    o.reportsPerMinute = 0;
    o.maxPerAddress = 0;
  });
  if (!srv.started()) {
    std::fprintf(stderr, "server: %s\n", srv.error().c_str());
    return {};
  }
  std::atomic<long> stored{0}, refused{0};
  std::atomic<long long> slowestUs{0};
  auto end = Clock::now() + std::chrono::seconds(seconds);
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      for (int i = 0; Clock::now() < end; ++i) {
        std::string body = ReportBody(size, c * 100000 + i);
        std::string req = "POST /test_log HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) +
                          "\r\nfile_flag: " + zandrel::platform::md5_hex_upper(body.data(), body.size()) + "\r\n\r\n" +
                          body;
        auto t0 = Clock::now();
        testsock::Socket s(testsock::Connect(srv.port()));
        if (s.get() == testsock::kNoSocket || !testsock::SendAll(s.get(), req)) continue;
        std::string answer = testsock::ReadUntilClosed(s.get());
        long long us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0).count();
        long long seen = slowestUs;
        while (us > seen && !slowestUs.compare_exchange_weak(seen, us)) {
        }
        (answer.compare(0, 12, "HTTP/1.1 200") == 0 ? stored : refused)++;
      }
    });
  }
  for (auto& t : threads) t.join();
  Result r;
  r.stored = stored;
  r.refused = refused;
  r.perSecond = static_cast<double>(stored) / seconds;
  r.slowestMs = slowestUs / 1000.0;
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  int clients = 64, seconds = 10;
  std::size_t size = 20000;
  std::string dir;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--clients")) clients = std::atoi(argv[i + 1]);
    if (!std::strcmp(argv[i], "--seconds")) seconds = std::atoi(argv[i + 1]);
    if (!std::strcmp(argv[i], "--size")) size = static_cast<std::size_t>(std::atol(argv[i + 1]));
    if (!std::strcmp(argv[i], "--dir")) dir = argv[i + 1];
  }
  std::printf("%d clients, %zu-byte reports, %d s each\n", clients, size, seconds);
  std::printf("%-10s %12s %10s %10s %12s\n", "index", "reports/s", "stored", "refused", "slowest ms");
  for (bool index : {false, true}) {
    Result r = Run(index, clients, seconds, size, dir);
    std::printf("%-10s %12.0f %10ld %10ld %12.1f\n", index ? "on" : "off", r.perSecond, r.stored, r.refused,
                r.slowestMs);
  }
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  std::printf("peak RSS of the process (server and clients): %ld MB\n", ru.ru_maxrss / 1024);
  return 0;
}
