// Ingest: N clients (default 64) post 20 KB reports for a number of seconds
// to a receiver on loopback, each report answered 200 only once it is
// durable (and, with the index, its row written). Prints reports stored per
// second with and without the index, the slowest answer, and the process's
// peak memory. Requests are made before the clock starts, so the clients'
// own work is sending and reading only.
//   ingest_bench [--clients N] [--seconds S] [--size BYTES] [--dir DIR] [--server PATH] [--index on|off]
//                [--warm N]
// --index runs only that half (both by default, without the index first).
// --warm N first stores N reports, untimed: an index in service has seen
// the common modules past its posting limit, which a new one has not.
// --server runs that report server program as a process of its own and
// prints its peak RSS alone; without it the server runs in this process.
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <memory>
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
  long serverRssMb = -1;   // with --server: the server process's peak
  double serverCpuMs = -1;  // with --server: its CPU time (user and system) per report stored
};

uint16_t FreePort(int type) {
  int fd = ::socket(AF_INET, type, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  uint16_t port = 0;
  if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
    port = ntohs(a.sin_port);
  }
  if (fd >= 0) ::close(fd);
  return port;
}

// The report server program as a child process, stopped (SIGTERM) and
// reaped by Finish, which returns its peak RSS in MB.
class ServerProcess {
 public:
  ServerProcess(const std::string& program, const std::string& dataDir, bool index) {
    port_ = FreePort(SOCK_STREAM);
    std::vector<std::string> args = {program, "--data-dir", dataDir, "--bind", "127.0.0.1",
                                     "--http-port", std::to_string(port_), "--udp-port",
                                     std::to_string(FreePort(SOCK_DGRAM)), "--hint-port", "0",
                                     "--max-per-address", "0", "--reports-per-minute", "0",
                                     "--min-free", "0", "--quiet"};
    if (!index) args.push_back("--no-index");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) pid_ = -1;
    for (int i = 0; pid_ > 0 && i < 500; ++i) {  // until it listens
      testsock::Socket s(testsock::Connect(port_));
      if (s.get() != testsock::kNoSocket) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  ~ServerProcess() { Finish(); }
  bool started() const { return pid_ > 0; }
  uint16_t port() const { return port_; }
  // CPU time used so far, in ms (user and system, from /proc).
  double cpu_ms_now() const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
    std::string line;
    std::getline(in, line);
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string f;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> f; ++i) {
      if (i >= 14) ticks += std::stod(f);
    }
    return ticks * 1000.0 / static_cast<double>(::sysconf(_SC_CLK_TCK));
  }
  long Finish() {
    if (pid_ <= 0) return -1;
    ::kill(pid_, SIGTERM);
    int status = 0;
    rusage ru{};
    ::wait4(pid_, &status, 0, &ru);
    pid_ = -1;
    return ru.ru_maxrss / 1024;
  }

 private:
  pid_t pid_ = -1;
  uint16_t port_ = 0;
};

Result Run(bool index, int clients, int seconds, std::size_t size, const std::string& dir,
           const std::string& program, long warm) {
  std::string dataDir = dir + (index ? "/indexed" : "/plain");
  std::unique_ptr<testsupport::RunningServer> inProcess;
  std::unique_ptr<ServerProcess> child;
  uint16_t port = 0;
  if (program.empty()) {
    inProcess = std::make_unique<testsupport::RunningServer>([&](zandrel::server::ServerOptions& o) {
      o.dataDir = dataDir;
      o.index = index;
      o.reportsPerMinute = 0;
      o.maxPerAddress = 0;
    });
    if (!inProcess->started()) {
      std::fprintf(stderr, "server: %s\n", inProcess->error().c_str());
      return {};
    }
    port = inProcess->port();
  } else {
    std::filesystem::create_directories(dataDir);
    child = std::make_unique<ServerProcess>(program, dataDir, index);
    if (!child->started()) {
      std::fprintf(stderr, "cannot start %s\n", program.c_str());
      return {};
    }
    port = child->port();
  }
  // Each client's requests, made before the clock starts.
  constexpr int kPerClient = 8;
  std::vector<std::vector<std::string>> requests(static_cast<std::size_t>(clients));
  for (int c = 0; c < clients; ++c) {
    for (int i = 0; i < kPerClient; ++i) {
      std::string body = ReportBody(size, c * 100000 + i);
      requests[static_cast<std::size_t>(c)].push_back(
          "POST /test_log HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) +
          "\r\nfile_flag: " + zandrel::platform::md5_hex_upper(body.data(), body.size()) + "\r\n\r\n" + body);
    }
  }
  std::atomic<long> stored{0}, refused{0};
  std::atomic<long long> slowestUs{0};
  // Every client posts until done() says stop.
  auto post = [&](const std::function<bool()>& done) {
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
      threads.emplace_back([&, c] {
        for (int i = 0; !done(); ++i) {
          const std::string& req = requests[static_cast<std::size_t>(c)][static_cast<std::size_t>(i % kPerClient)];
          auto t0 = Clock::now();
          testsock::Socket s(testsock::Connect(port));
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
  };
  if (warm > 0) {
    auto t0 = Clock::now();
    post([&] { return stored >= warm; });
    std::fprintf(stderr, "warmed with %ld reports in %.0f s\n", stored.load(),
                 std::chrono::duration<double>(Clock::now() - t0).count());
    stored = 0;
    refused = 0;
    slowestUs = 0;
  }
  // What earlier runs and the warming left unwritten is written now, not
  // during the timed part.
  ::sync();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  double cpuBefore = child ? child->cpu_ms_now() : 0;
  auto end = Clock::now() + std::chrono::seconds(seconds);
  post([&] { return Clock::now() >= end; });
  double cpuTimed = child ? child->cpu_ms_now() - cpuBefore : 0;
  Result r;
  r.stored = stored;
  r.refused = refused;
  r.perSecond = static_cast<double>(stored) / seconds;
  r.slowestMs = slowestUs / 1000.0;
  if (child) {
    r.serverRssMb = child->Finish();
    if (r.stored) r.serverCpuMs = cpuTimed / static_cast<double>(r.stored);
  }
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  int clients = 64, seconds = 10;
  std::size_t size = 20000;
  std::string dir, program, only;
  long warm = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--clients")) clients = std::atoi(argv[i + 1]);
    if (!std::strcmp(argv[i], "--seconds")) seconds = std::atoi(argv[i + 1]);
    if (!std::strcmp(argv[i], "--size")) size = static_cast<std::size_t>(std::atol(argv[i + 1]));
    if (!std::strcmp(argv[i], "--dir")) dir = argv[i + 1];
    if (!std::strcmp(argv[i], "--server")) program = argv[i + 1];
    if (!std::strcmp(argv[i], "--index")) only = argv[i + 1];
    if (!std::strcmp(argv[i], "--warm")) warm = std::atol(argv[i + 1]);
  }
  std::printf("%d clients, %zu-byte reports, %d s each\n", clients, size, seconds);
  std::printf("%-10s %12s %10s %10s %12s %14s %14s\n", "index", "reports/s", "stored", "refused", "slowest ms",
              "server RSS MB", "CPU ms/report");
  // Both halves' reports stay until the end: tens of thousands of files
  // removed between the halves would slow the second one's disk.
  testsupport::TempDir own("zandrel-ingest");
  if (dir.empty()) dir = own.path();
  for (bool index : {false, true}) {
    if (!only.empty() && only != (index ? "on" : "off")) continue;
    Result r = Run(index, clients, seconds, size, dir, program, warm);
    std::printf("%-10s %12.0f %10ld %10ld %12.1f %14ld %14.2f\n", index ? "on" : "off", r.perSecond, r.stored,
                r.refused, r.slowestMs, r.serverRssMb, r.serverCpuMs);
  }
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  std::printf("peak RSS of the process (server and clients): %ld MB\n", ru.ru_maxrss / 1024);
  return 0;
}
