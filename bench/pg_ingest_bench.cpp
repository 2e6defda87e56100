// Ingest into PostgreSQL: a cluster of its own (or --url), two receivers
// (the built program, each its own process) storing into it, N clients
// (default 64) posting realistic reports of about 20 KB to them in turn for
// a number of seconds. Every report answered 200 is checked to be in the
// database afterwards. Prints reports stored per second, upload latency
// (median, 99th percentile), the CPU the receivers and PostgreSQL used,
// PostgreSQL's WAL figures (pg_stat_wal) and the body column's compression.
//   pg_ingest_bench [--clients N] [--seconds S] [--receivers R] [--url URL]
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "command.h"
#include "pg_cluster.h"
#include "platform/gbk.h"
#include "platform/md5.h"
#include "report_generator.h"
#include "server/store/report_id.h"
#include "sockets.h"
#include "temp_dir.h"

namespace {

using Clock = std::chrono::steady_clock;

// A report as the tool writes it, from a generated record: problem,
// adapters, the module inventory by folder, the checks.
std::string RenderReport(zandrel::store::ReportRecord r, const zandrel::store::ReportRecord& more, int n) {
  // Two records' modules: a machine with many programs, about 20 KB in all.
  r.facts.modules.insert(r.facts.modules.end(), more.facts.modules.begin(), more.facts.modules.end());
  const auto& f = r.facts;
  std::string t = "\r\n问题描述：" + f.problem.value_or("") + " #" + std::to_string(n) + "\r\n";
  for (const auto& a : f.adapters) {
    t += "AdapterName : " + a.name + "\r\nAdapter Desc: " + a.description + "\r\nMAC Addr: \t" + a.mac +
         "\r\nIP Address: " + a.ipv4 + "\r\nIP Mask: " + a.mask + "\r\nGateway: " + a.gateway + "\r\n";
  }
  std::map<std::string, std::vector<std::string>> byDir;
  for (const std::string& m : f.modules) {
    std::size_t cut = m.rfind('\\');
    byDir[cut == std::string::npos ? "" : m.substr(0, cut)].push_back(cut == std::string::npos ? m : m.substr(cut + 1));
  }
  for (const auto& [dir, files] : byDir) {
    t += dir + "\r\n";
    for (const auto& file : files) t += "                " + file + "\r\n";
  }
  if (f.cpu_percent) t += "    CPU占用率为：" + std::to_string(*f.cpu_percent) + "\r\n";
  if (f.free_bytes) t += "    C盘剩余空间为：" + std::to_string(*f.free_bytes >> 30) + ".00GB\r\n";
  if (f.udp_ok == true) t += "UDP检测成功！";
  if (f.speed_kbps) t += "下载速度为：" + std::to_string(*f.speed_kbps) + "K/s\r\n";
  if (f.service_ok == true) {
    t += "检测本地服务成功！频道ID：<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<channels>\r\n";
    for (const auto& c : f.channel_ids) t += "<channel id=\"" + c + "\" name=\"频道" + c + "\"/>\r\n";
    t += "</channels>\r\n";
  }
  return zandrel::platform::Utf8ToGbk(t);
}

std::string Post(const std::string& body) {
  return "POST /test_log HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nfile_flag: " + zandrel::platform::md5_hex_upper(body.data(), body.size()) + "\r\n\r\n" + body;
}

// CPU seconds (user + system) of a process.
double CpuSeconds(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(in, line);
  std::size_t close = line.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream rest(line.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The postmaster and its children: all of PostgreSQL's processes.
std::vector<int> PostgresPids(int postmaster) {
  std::vector<int> out{postmaster};
  testsupport::CommandResult r = testsupport::RunCommand("ps -o pid= --ppid " + std::to_string(postmaster));
  std::istringstream in(r.out);
  for (int pid; in >> pid;) out.push_back(pid);
  return out;
}

double Sum(const std::vector<int>& pids) {
  double s = 0;
  for (int p : pids) s += CpuSeconds(p);
  return s;
}

std::string Load() { return testsupport::RunCommand("uptime").out; }

}  // namespace

int main(int argc, char** argv) {
  int clients = 64, seconds = 20, receivers = 2;
  std::string url;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string a = argv[i];
    if (a == "--clients") clients = std::atoi(argv[i + 1]);
    if (a == "--seconds") seconds = std::atoi(argv[i + 1]);
    if (a == "--receivers") receivers = std::atoi(argv[i + 1]);
    if (a == "--url") url = argv[i + 1];
  }
  std::unique_ptr<testsupport::PgCluster> cluster;
  if (url.empty()) {
    if (std::string why = testsupport::PgUnavailable(); !why.empty()) {
      std::fprintf(stderr, "pg_ingest_bench: %s\n", why.c_str());
      return 1;
    }
    cluster = std::make_unique<testsupport::PgCluster>();
    if (!cluster->error().empty()) {
      std::fprintf(stderr, "pg_ingest_bench: %s\n", cluster->error().c_str());
      return 1;
    }
    url = cluster->url();
  }
  testsupport::TempDir dir("zandrel-pg-bench");
  std::vector<uint16_t> ports;
  std::vector<pid_t> pids;
  for (int r = 0; r < receivers; ++r) {
    uint16_t port = testsock::ClosedPort();
    pid_t pid = fork();
    if (pid == 0) {
      execl(ZANDREL_SERVER_BIN, "zandrel-report-server", "--database", url.c_str(), "--data-dir", dir.path().c_str(),
            "--http-port", std::to_string(port).c_str(), "--udp-port", "0", "--hint-port", "0",
            "--reports-per-minute", "0", "--max-per-address", "0", "--quiet", static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int k = 0; k < 3000 && testsock::Socket(testsock::Connect(port)).get() == testsock::kNoSocket; ++k) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ports.push_back(port);
    pids.push_back(pid);
  }
  zandrel::store::pg::Connection conn;
  zandrel::store::pg::PgError error;
  if (!conn.Connect(url, error)) {
    std::fprintf(stderr, "pg_ingest_bench: %s\n", error.message.c_str());
    return 1;
  }
  int postmaster = 0;
  if (auto r = conn.Query("SELECT pg_backend_pid()", {}, error)) {
    testsupport::CommandResult p =
        testsupport::RunCommand("ps -o ppid= -p " + std::string(PQgetvalue(r.get(), 0, 0)));
    postmaster = std::atoi(p.out.c_str());
  }

  // Bodies made ahead, so that the clients spend their time sending.
  zandrel::testing::GeneratorOptions go;
  zandrel::testing::ReportGenerator gen(go);
  std::vector<std::string> bodies;
  uint64_t bodyBytes = 0;
  for (int i = 0; i < 512; ++i) {
    zandrel::store::ReportRecord first = gen.Next();
    bodies.push_back(RenderReport(first, gen.Next(), i));
    bodyBytes += bodies.back().size();
  }

  std::atomic<bool> measuring{false}, stop{false};
  std::atomic<long> stored{0}, refused{0}, failed{0};
  std::mutex mu;
  std::vector<double> latencies;
  std::set<std::string> ids;
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      for (long n = 0; !stop; ++n) {
        std::string body = bodies[static_cast<std::size_t>(c * 7 + n) % bodies.size()];
        body += "\r\n#" + std::to_string(c) + "-" + std::to_string(n) + "\r\n";  // every upload new
        auto t0 = Clock::now();
        testsock::Socket s(testsock::Connect(ports[static_cast<std::size_t>(c) % ports.size()]));
        std::string answer;
        if (s.get() != testsock::kNoSocket && testsock::SendAll(s.get(), Post(body))) {
          answer = testsock::ReadUntilClosed(s.get());
        }
        double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
        if (!measuring) continue;
        std::size_t at = answer.find("\r\nX-Report-Id: ");
        std::lock_guard<std::mutex> lock(mu);
        if (answer.rfind("HTTP/1.1 200", 0) == 0 && at != std::string::npos) {
          ++stored;
          latencies.push_back(ms);
          ids.insert(answer.substr(at + 15, 9));
        } else if (answer.rfind("HTTP/1.1 503", 0) == 0) {
          ++refused;
        } else {
          if (++failed <= 3) {
            std::fprintf(stderr, "pg_ingest_bench: answer neither 200 nor 503 (%zu bytes): %.60s\n", answer.size(),
                         answer.c_str());
          }
        }
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::seconds(3));  // warm up
  conn.Exec("SELECT pg_stat_reset_shared('wal')", error);
  std::vector<int> pgPids = PostgresPids(postmaster);
  double recv0 = 0, pg0 = Sum(pgPids);
  for (pid_t p : pids) recv0 += CpuSeconds(p);
  double self0 = CpuSeconds(getpid());
  std::string loadBefore = Load();
  auto t0 = Clock::now();
  measuring = true;
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  measuring = false;
  double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
  double recv1 = 0, pg1 = Sum(PostgresPids(postmaster));
  for (pid_t p : pids) recv1 += CpuSeconds(p);
  double self1 = CpuSeconds(getpid());
  std::string loadAfter = Load();
  stop = true;
  for (auto& t : threads) t.join();

  std::string walRecords, walBytes, walSync, walWrite, walSyncMs;
  if (auto r = conn.Query("SELECT wal_records, wal_bytes, wal_sync, wal_write, round(wal_sync_time) FROM pg_stat_wal",
                          {}, error)) {
    walRecords = PQgetvalue(r.get(), 0, 0);
    walBytes = PQgetvalue(r.get(), 0, 1);
    walSync = PQgetvalue(r.get(), 0, 2);
    walWrite = PQgetvalue(r.get(), 0, 3);
    walSyncMs = PQgetvalue(r.get(), 0, 4);
  }
  for (pid_t p : pids) kill(p, SIGTERM);
  for (pid_t p : pids) waitpid(p, nullptr, 0);

  // Every 200 in the database.
  std::set<std::string> inDb;
  if (auto r = conn.Query("SELECT id FROM reports", {}, error)) {
    for (int i = 0; i < PQntuples(r.get()); ++i) {
      inDb.insert(zandrel::store::ReportIdText(std::stoull(PQgetvalue(r.get(), i, 0))));
    }
  }
  long missing = 0;
  for (const auto& id : ids) missing += inDb.count(id) == 0;
  std::string ratio;
  if (auto r = conn.Query("SELECT round(sum(octet_length(body))::numeric / sum(pg_column_size(body)), 2), "
                          "round(avg(octet_length(body))) FROM reports",
                          {}, error)) {
    ratio = std::string(PQgetvalue(r.get(), 0, 0)) + " (mean body " + PQgetvalue(r.get(), 0, 1) + " bytes)";
  }

  std::sort(latencies.begin(), latencies.end());
  auto pct = [&](double p) {
    return latencies.empty() ? 0.0 : latencies[std::min(latencies.size() - 1, static_cast<std::size_t>(p * latencies.size()))];
  };
  std::printf("clients %d, receivers %d, %.1f s, mean body %.0f bytes\n", clients, receivers, elapsed,
              static_cast<double>(bodyBytes) / static_cast<double>(bodies.size()));
  std::printf("stored: %ld (%.0f reports/s), 503: %ld, other: %ld; answered 200 but not in the database: %ld\n",
              stored.load(), static_cast<double>(stored) / elapsed, refused.load(), failed.load(), missing);
  std::printf("upload latency: median %.1f ms, p99 %.1f ms, max %.1f ms\n", pct(0.5), pct(0.99),
              latencies.empty() ? 0.0 : latencies.back());
  std::printf("CPU (of one core): receivers %.0f%%, PostgreSQL %.0f%%, clients %.0f%%\n",
              (recv1 - recv0) / elapsed * 100, (pg1 - pg0) / elapsed * 100, (self1 - self0) / elapsed * 100);
  double syncs = std::atof(walSync.c_str());
  std::printf("WAL: %s records, %.1f MB, %s writes, %s syncs (%.0f/s; %.1f reports per sync), %s ms syncing "
              "(%.0f%% of the time)\n",
              walRecords.c_str(), std::atof(walBytes.c_str()) / 1e6, walWrite.c_str(), walSync.c_str(), syncs / elapsed,
              syncs > 0 ? static_cast<double>(stored) / syncs : 0.0, walSyncMs.c_str(),
              std::atof(walSyncMs.c_str()) / 10 / elapsed);
  std::printf("body compression (octet_length / pg_column_size): %s\n", ratio.c_str());
  std::printf("uptime before: %suptime after:  %s", loadBefore.c_str(), loadAfter.c_str());
  return missing == 0 ? 0 : 1;
}
