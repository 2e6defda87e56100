// Load on the report server: 200 clients post 20 KB reports at once, then
// 1000 one after another, then more than 1024 connections are held open
// while it must keep serving. Prints reports per second, the slowest
// answer, and how many reports are on disk against how many were answered 200.
// Hostile rows: the server's peak memory while 1000 clients each send a
// 1 MiB report slowly, and honest uploads answered during a flood of 1100
// connections that drip a head byte by byte, or say nothing at all; a
// burst of 2,000 complete reports at once; 1,022 slow speed-file readers
// while honest reports arrive.
// Rows may be named on the command line (memory, load, burst, downloads);
// without names every row runs.
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/md5.h"
#include "net/tcp_module.h"
#include "platform/files.h"
#include "server/receiver/report_server.h"
#include "running_server.h"
#include "sockets.h"

using namespace zandrel;
using Clock = std::chrono::steady_clock;

namespace {

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(port);
  return sa;
}

// Posts one report; returns the status code (0 when there was no answer).
// connectSeconds, when given, is how long the connection took.
int PostReport(uint16_t port, const std::string& body, double& seconds, double* connectSeconds = nullptr) {
  auto t0 = Clock::now();
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa = Loopback(port);
  int code = 0;
  bool connected = connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
  if (connectSeconds) *connectSeconds = std::chrono::duration<double>(Clock::now() - t0).count();
  if (connected) {
    std::string req = "POST /test_log HTTP/1.1\r\nHost: bench\r\nContent-Length: " + std::to_string(body.size()) +
                      "\r\nfile_flag: " + platform::md5_hex_upper(body.data(), body.size()) + "\r\n\r\n" + body;
    send(s, req.data(), req.size(), MSG_NOSIGNAL);
    std::string answer;
    char buf[4096];
    pollfd p{s, POLLIN, 0};
    while (poll(&p, 1, 20000) > 0) {
      long n = recv(s, buf, sizeof buf, 0);
      if (n <= 0) break;
      answer.append(buf, static_cast<size_t>(n));
    }
    if (answer.size() >= 12 && answer.compare(0, 9, "HTTP/1.1 ") == 0) code = std::atoi(answer.c_str() + 9);
  }
  close(s);
  seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  return code;
}

size_t CountFiles(const std::string& dir) {
  size_t n = 0;
  DIR* d = opendir(dir.c_str());
  while (dirent* e = d ? readdir(d) : nullptr) n += e->d_name[0] != '.';
  if (d) closedir(d);
  return n;
}

int ConnectFrom(uint32_t from, uint16_t port) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  sockaddr_in src{};
  src.sin_family = AF_INET;
  src.sin_addr.s_addr = htonl(from);
  bind(s, reinterpret_cast<sockaddr*>(&src), sizeof src);
  sockaddr_in sa = Loopback(port);
  connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  return s;
}

bool Gone(int s) {
  char b[256];
  long n = recv(s, b, sizeof b, MSG_DONTWAIT);
  return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

long PeakKb(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(f, line)) {
    if (line.compare(0, 6, "VmHWM:") == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

// A report server in a child process, so that its memory is its own.
// Returns the child and its HTTP port.
pid_t ForkServer(const std::string& dir, uint16_t& port) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    platform::InstallStopSignals();
    server::ServerOptions opt = testsupport::TestServerOptions(dir);
    opt.maxPerAddress = 0;
    opt.reportsPerMinute = 0;
    server::ReportServer srv(opt);
    std::string error;
    uint16_t p = srv.Start(error) ? srv.http_port() : 0;
    if (write(fds[1], &p, sizeof p) != sizeof p || p == 0) _exit(1);
    close(fds[1]);
    while (!platform::StopRequested()) srv.Poll();
    srv.Shutdown(5000);
    _exit(0);
  }
  close(fds[1]);
  port = 0;
  if (read(fds[0], &port, sizeof port) != sizeof port) port = 0;
  close(fds[0]);
  return pid;
}

// 1000 clients, each from its own address, send a 1 MiB report in 8 KB
// pieces every 100 ms; prints the server's peak resident memory.
bool SlowUploadMemoryRow() {
  char dirTemplate[] = "/tmp/zandrel-mem-XXXXXX";
  std::string dir = mkdtemp(dirTemplate);
  uint16_t port = 0;
  pid_t child = ForkServer(dir, port);
  if (child <= 0 || port == 0) {
    std::fprintf(stderr, "cannot start the server process\n");
    return false;
  }
  long before = PeakKb(child);
  std::string body(1 << 20, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>('a' + i % 23);
  std::string req = "POST /test_log HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) +
                    "\r\nfile_flag: " + platform::md5_hex_upper(body.data(), body.size()) + "\r\n\r\n" + body;
  const int clients = 1000;
  std::vector<int> socks;
  std::vector<size_t> sent(clients, 0);
  std::vector<int> code(clients, 0);
  // They arrive over 0.4 s, not in one burst: the listener's backlog is 32,
  // and a burst of 1000 handshakes loses some in the kernel before the
  // server sees them.
  for (int i = 0; i < clients; ++i) {
    socks.push_back(ConnectFrom(0x7f030000 + 1 + static_cast<uint32_t>(i), port));
    if (i % 25 == 24) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  auto t0 = Clock::now();
  int done = 0;
  while (done < clients && Clock::now() - t0 < std::chrono::seconds(120)) {
    for (int i = 0; i < clients; ++i) {
      if (code[i]) continue;
      if (sent[i] < req.size()) {
        long n = send(socks[i], req.data() + sent[i], std::min<size_t>(8192, req.size() - sent[i]),
                      MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) sent[i] += static_cast<size_t>(n);
      }
      char answer[64] = {};
      long n = recv(socks[i], answer, sizeof answer - 1, MSG_DONTWAIT);
      if (n > 0 || n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOTCONN)) {
        code[i] = n > 12 && std::strncmp(answer, "HTTP/1.1 ", 9) == 0 ? std::atoi(answer + 9) : -1;
        ++done;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  double secs = std::chrono::duration<double>(Clock::now() - t0).count();
  long peak = PeakKb(child);
  kill(child, SIGTERM);
  waitpid(child, nullptr, 0);
  for (int s : socks) close(s);
  int ok = static_cast<int>(std::count(code.begin(), code.end(), 200));
  std::map<int, int> byCode;
  for (int c : code) ++byCode[c];
  for (auto [c, n] : byCode) {
    if (c != 200) std::printf("  answered %d (-1: closed without an answer, 0: none in time): %d\n", c, n);
  }
  size_t files = CountFiles(dir);
  std::printf("1000 slow 1 MiB uploads (8 KB per 100 ms each): %d answered 200 in %.1f s, %zu stored, "
              "server peak memory %.1f MB (%.1f MB at start)\n",
              ok, secs, files, peak / 1024.0, before / 1024.0);
  std::system(("rm -rf " + dir).c_str());
  return ok == clients && files == static_cast<size_t>(clients);
}

// Posts one report from the address `from`; the status code (0: closed
// without an answer, -1: no answer within 20 s).
int PostReportFrom(uint32_t from, uint16_t port, const std::string& body, double& seconds) {
  auto t0 = Clock::now();
  int s = ConnectFrom(from, port);
  std::string req = "POST /test_log HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) +
                    "\r\nfile_flag: " + platform::md5_hex_upper(body.data(), body.size()) + "\r\n\r\n" + body;
  pollfd p{s, POLLOUT, 0};
  size_t sent = 0;
  std::string answer;
  bool closed = false;
  while (!closed && Clock::now() - t0 < std::chrono::seconds(20)) {
    p.events = sent < req.size() ? POLLOUT | POLLIN : POLLIN;
    if (poll(&p, 1, 100) <= 0) continue;
    if (sent < req.size() && (p.revents & POLLOUT)) {
      long n = send(s, req.data() + sent, req.size() - sent, MSG_NOSIGNAL);
      if (n > 0) sent += static_cast<size_t>(n);
    }
    if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
      char buf[4096];
      long n = recv(s, buf, sizeof buf, 0);
      if (n > 0) {
        answer.append(buf, static_cast<size_t>(n));
      } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
        closed = true;
      }
    }
  }
  close(s);
  seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  if (answer.size() >= 12 && answer.compare(0, 9, "HTTP/1.1 ") == 0) return std::atoi(answer.c_str() + 9);
  return closed ? 0 : -1;
}

// 2,000 clients, each from an address of its own, connect at once and send
// a whole 8 KB report as soon as they are connected. Every one should be
// answered: 200, or 429 / 503 with a time to come back; none closed unread.
bool BurstRow() {
  testsupport::RunningServer srv;
  if (!srv.started()) return false;
  const int clients = 2000;
  std::string body(8 * 1024, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>('a' + i % 19);
  std::vector<std::string> reqs(clients);
  std::vector<int> socks(clients);
  std::vector<size_t> sent(clients, 0);
  std::vector<std::string> answer(clients);
  std::vector<int> state(clients, 0);  // 0 open, 1 closed by the server, 2 failed to connect
  auto t0 = Clock::now();
  for (int i = 0; i < clients; ++i) {
    std::string b = body + "burst " + std::to_string(i);
    reqs[i] = "POST /test_log HTTP/1.1\r\nContent-Length: " + std::to_string(b.size()) +
              "\r\nfile_flag: " + platform::md5_hex_upper(b.data(), b.size()) + "\r\n\r\n" + b;
    socks[i] = ConnectFrom(0x7f040000 + 1 + static_cast<uint32_t>(i), srv.port());
  }
  int open = clients;
  while (open > 0 && Clock::now() - t0 < std::chrono::seconds(60)) {
    std::vector<pollfd> fds;
    std::vector<int> who;
    for (int i = 0; i < clients; ++i) {
      if (state[i]) continue;
      fds.push_back({socks[i], static_cast<short>(sent[i] < reqs[i].size() ? POLLOUT : POLLIN), 0});
      who.push_back(i);
    }
    if (poll(fds.data(), fds.size(), 100) <= 0) continue;
    for (size_t k = 0; k < fds.size(); ++k) {
      int i = who[k];
      if (!fds[k].revents) continue;
      if (sent[i] < reqs[i].size() && (fds[k].revents & POLLOUT)) {
        long n = send(socks[i], reqs[i].data() + sent[i], reqs[i].size() - sent[i], MSG_NOSIGNAL);
        if (n > 0) sent[i] += static_cast<size_t>(n);
        if (n < 0 && errno != EAGAIN) {
          state[i] = sent[i] ? 1 : 2;
          --open;
        }
        continue;
      }
      char buf[4096];
      long n = recv(socks[i], buf, sizeof buf, MSG_DONTWAIT);
      if (n > 0) {
        answer[i].append(buf, static_cast<size_t>(n));
      } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
        state[i] = 1;
        --open;
      }
    }
  }
  double secs = std::chrono::duration<double>(Clock::now() - t0).count();
  std::map<int, int> byCode;
  int unanswered = 0, pending = 0, noConnect = 0;
  for (int i = 0; i < clients; ++i) {
    close(socks[i]);
    if (state[i] == 2) {
      ++noConnect;
    } else if (answer[i].compare(0, 9, "HTTP/1.1 ") == 0) {
      ++byCode[std::atoi(answer[i].c_str() + 9)];
    } else if (state[i] == 1) {
      ++unanswered;
    } else {
      ++pending;
    }
  }
  std::printf("burst of 2,000 complete reports (8 KB, one address each): over %.1f s,", secs);
  for (auto [code, n] : byCode) std::printf(" %d answered %d,", n, code);
  std::printf(" %d closed without an answer, %d unanswered after 60 s, %d never connected\n", unanswered, pending,
              noConnect);
  int answeredOk = byCode[200] + byCode[429] + byCode[503];
  return unanswered == 0 && pending == 0 && answeredOk == clients;
}

// 1,022 speed-file downloads from 16 addresses, each read at 2 KiB/s, hold
// the server while 20 honest reports arrive one after another.
// perAddress: the server's cap per address (0: none).
bool SlowDownloadsRow(uint32_t perAddress) {
  // Two listeners, as a deployed server has (the hint page's port too).
  testsupport::RunningServer srv([&](server::ServerOptions& o) {
    o.maxPerAddress = perAddress;
    o.hintPort = testsock::ClosedPort();
  });
  if (!srv.started()) return false;
  const int downloads = 1022;
  std::vector<int> socks(downloads);
  const std::string get = "GET /speedtest/zandrel-speed.bin HTTP/1.1\r\n\r\n";
  for (int i = 0; i < downloads; ++i) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    int small = 4096;
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in src{};
    src.sin_family = AF_INET;
    src.sin_addr.s_addr = htonl(0x7f050000 + 1 + static_cast<uint32_t>(i % 16));
    bind(s, reinterpret_cast<sockaddr*>(&src), sizeof src);
    sockaddr_in sa = Loopback(srv.port());
    connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    socks[i] = s;
    if (i % 25 == 24) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::atomic<bool> stop{false};
  std::vector<std::string> head(downloads);
  std::vector<bool> sentGet(downloads, false), gone(downloads, false);
  std::vector<uint64_t> got(downloads, 0);
  std::thread readers([&] {
    // 205 bytes every 100 ms: 2 KiB/s each.
    while (!stop) {
      for (int i = 0; i < downloads; ++i) {
        if (gone[i]) continue;
        if (!sentGet[i]) {
          sentGet[i] = send(socks[i], get.data(), get.size(), MSG_NOSIGNAL | MSG_DONTWAIT) == long(get.size());
          continue;
        }
        char buf[205];
        long n = recv(socks[i], buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
          if (head[i].size() < 12) head[i].append(buf, static_cast<size_t>(std::min<long>(n, 12)));
          got[i] += static_cast<uint64_t>(n);
        } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOTCONN)) {
          gone[i] = true;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  std::this_thread::sleep_for(std::chrono::seconds(3));
  int ok = 0, within2s = 0;
  double slowest = 0;
  std::map<int, int> byCode;
  for (int i = 0; i < 20; ++i) {
    double secs = 0;
    int code = PostReportFrom(0x7f060000 + 1 + static_cast<uint32_t>(i), srv.port(),
                              "honest report " + std::to_string(i), secs);
    ++byCode[code];
    ok += code == 200;
    within2s += code == 200 && secs <= 2.0;
    slowest = std::max(slowest, secs);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  stop = true;
  readers.join();
  int streaming = 0, refused = 0, closed = 0;
  uint64_t bytes = 0;
  for (int i = 0; i < downloads; ++i) {
    bool answered = head[i].compare(0, 9, "HTTP/1.1 ") == 0;
    int code = answered ? std::atoi(head[i].c_str() + 9) : 0;
    streaming += (code == 200 || code == 206) && !gone[i];
    refused += code == 503;
    closed += !answered && gone[i];
    bytes += got[i];
    close(socks[i]);
  }
  std::printf("1,022 slow downloads (2 KiB/s, 16 addresses, per-address cap %u) plus 20 honest reports: %d/20 "
              "answered 200 within 2 s (%d answered 200, slowest %.0f ms", perAddress, within2s, ok,
              slowest * 1000);
  for (auto [code, n] : byCode) {
    if (code != 200) std::printf(", %d answered %d", n, code);
  }
  std::printf("); downloads still streaming %d, refused 503 %d, closed unanswered %d, %.1f MB read\n", streaming,
              refused, closed, bytes / 1e6);
  return within2s == 20;
}

}  // namespace

// True when dir holds a report with exactly body, found by the digest in
// its name.
bool StoredWhole(const std::string& dir, const std::string& body) {
  std::string suffix = "-" + platform::md5_hex_upper(body.data(), body.size()) + ".txt";
  DIR* d = opendir(dir.c_str());
  bool found = false;
  while (dirent* e = d ? readdir(d) : nullptr) {
    std::string name = e->d_name;
    if (name.size() < suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) continue;
    std::string content;
    found = platform::ReadWholeFile(dir + "/" + name, content) && content == body;
    if (found) break;
  }
  if (d) closedir(d);
  return found;
}

// Honest uploads, ten at a time, while `flood` connections from addresses
// of their own hold the server: each sends a head one byte per 10 s (drip)
// or nothing (idle), and is replaced as soon as the server closes it.
// table is the server's count of open connections, sampled by its poller.
// Returns how many honest uploads were answered 200 with their bytes stored.
int FloodRow(const char* name, bool drip, uint16_t port, const std::string& dir, const std::atomic<long>& table) {
  const int flood = 1100;
  std::vector<int> socks(flood);
  std::vector<Clock::time_point> lastByte(flood);
  auto open = [&](int i) {
    socks[i] = ConnectFrom(0x7f100000 + 1 + static_cast<uint32_t>(i), port);
    lastByte[i] = Clock::now() - std::chrono::seconds(10);
  };
  const long capacity = static_cast<long>(net::C_TcpModule::kCapacity) - 1;  // less the listener
  auto t0 = Clock::now();
  for (int i = 0; i < flood; ++i) {
    open(i);
    if (i % 25 == 24) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::atomic<bool> stop{false}, measuring{false};
  std::atomic<long> reopened{0}, dripped{0};
  std::thread attacker([&] {
    const char head[] = "POST /test_log HTTP/1.1\r\nHost: drip\r\n";
    std::vector<size_t> at(flood, 0);
    while (!stop) {
      auto now = Clock::now();
      for (int i = 0; i < flood; ++i) {
        if (drip && now - lastByte[i] >= std::chrono::seconds(10)) {
          if (send(socks[i], head + at[i] % (sizeof head - 1), 1, MSG_NOSIGNAL | MSG_DONTWAIT) == 1) ++dripped;
          ++at[i];
          lastByte[i] = now;
        }
        if (Gone(socks[i])) {
          close(socks[i]);
          open(i);
          if (measuring) ++reopened;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  // The honest uploads start once the flood fills the server's table.
  while (table < capacity && Clock::now() - t0 < std::chrono::seconds(30)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  double fill = std::chrono::duration<double>(Clock::now() - t0).count();
  // The server's table while the honest uploads run: sampled every 10 ms.
  measuring = true;
  long tableMin = table.load(), tableMax = tableMin, samples = 0, full = 0;
  double tableSum = 0;
  std::thread sampler([&] {
    while (measuring) {
      long n = table.load();
      tableMin = std::min(tableMin, n);
      tableMax = std::max(tableMax, n);
      tableSum += static_cast<double>(n);
      ++samples;
      full += n >= capacity - 10;  // the honest ten may hold slots of their own
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  t0 = Clock::now();
  std::mutex mu;
  int ok = 0, within2s = 0;
  double slowest = 0, slowestConnect = 0;
  std::vector<std::string> answered;
  std::vector<std::thread> honest;
  for (int t = 0; t < 10; ++t) {
    honest.emplace_back([&, t] {
      for (int i = 0; i < 10; ++i) {
        std::string body(20 * 1024, 'h');
        body += std::string(name) + " honest " + std::to_string(t * 10 + i);
        double secs = 0, connectSecs = 0;
        int code = PostReport(port, body, secs, &connectSecs);
        {
          std::lock_guard<std::mutex> lock(mu);
          slowestConnect = std::max(slowestConnect, connectSecs);
          if (code == 200) answered.push_back(body);
          within2s += code == 200 && secs <= 2.0;
          slowest = std::max(slowest, secs);
        }
        // Spread over some 10 s, so that the flood's connections time out
        // and come back while the honest ones arrive.
        std::this_thread::sleep_for(std::chrono::seconds(1));
      }
    });
  }
  for (auto& t : honest) t.join();
  double secs = std::chrono::duration<double>(Clock::now() - t0).count();
  measuring = false;
  sampler.join();
  stop = true;
  attacker.join();
  for (int s : socks) close(s);
  for (const std::string& body : answered) ok += StoredWhole(dir, body);
  std::printf("%s flood of %d connections (table of %ld full after %.1f s): %zu of 100 honest uploads answered 200 "
              "(%d with their bytes stored, %d within 2 s), slowest %.0f ms (slowest connect %.0f ms), over %.1f s\n",
              name, flood, capacity, fill, answered.size(), ok, within2s, slowest * 1000, slowestConnect * 1000, secs);
  std::printf("  meanwhile the server's table held %ld to %ld connections (mean %.0f; at least %ld in %.0f%% of "
              "%ld samples); the server closed %ld flood connections, each reopened at once (%.0f a second)%s\n",
              tableMin, tableMax, samples ? tableSum / static_cast<double>(samples) : 0.0, capacity - 10,
              samples ? 100.0 * full / samples : 0.0, samples, reopened.load(), reopened.load() / secs,
              drip ? "" : "; idle: no byte sent");
  if (drip) std::printf("  drip bytes sent: %ld\n", dripped.load());
  return ok;
}

// One address opens 56 uploads of 1 MB each and trickles into them (about
// 73 KB/s in all) under --max-store 50M, while 20 honest reports come from
// other addresses: none of them may be refused for room the trickles have
// declared but not filled.
bool TrickleRow() {
  testsupport::RunningServer srv([](server::ServerOptions& o) {
    o.maxStoreBytes = 50ull << 20;
    o.maxBody = 1 << 20;
  });
  if (!srv.started()) return false;
  const uint32_t attacker = 0x7f000063;
  std::vector<int> trickles;
  std::string head = "POST /test_log HTTP/1.1\r\nContent-Length: 1000000\r\nfile_flag: 0\r\n\r\n";
  for (int i = 0; i < 56; ++i) {
    int s = ConnectFrom(attacker, srv.port());
    if (s >= 0 && send(s, head.data(), head.size(), MSG_NOSIGNAL) > 0) trickles.push_back(s);
  }
  std::atomic<bool> stop{false};
  std::thread trickler([&] {
    std::string piece(128, 't');
    while (!stop) {
      for (int s : trickles) send(s, piece.data(), piece.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  int ok = 0, roomRefused = 0;
  double slowest = 0;
  for (int i = 0; i < 20; ++i) {
    std::string body = "honest report " + std::to_string(i) + std::string(20000, 'h');
    double seconds = 0;
    int code = PostReportFrom(0x7f000100u + static_cast<uint32_t>(i), srv.port(), body, seconds);
    ok += code == 200;
    roomRefused += code == 507;
    slowest = std::max(slowest, seconds);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  stop = true;
  trickler.join();
  for (int s : trickles) close(s);
  std::printf("trickling reservations: %zu uploads of 1 MB trickling from one address, --max-store 50M: "
              "%d/20 honest reports 200, %d refused 507, slowest %.2f s\n",
              trickles.size(), ok, roomRefused, slowest);
  return roomRefused == 0 && ok == 20;
}

int main(int argc, char** argv) {
  platform::RaiseOpenFileLimit();
  signal(SIGPIPE, SIG_IGN);
  auto wanted = [&](const char* row) {
    if (argc < 2) return true;
    for (int i = 1; i < argc; ++i) {
      if (std::strcmp(argv[i], row) == 0) return true;
    }
    return false;
  };
  bool rowsOk = true;
  if (wanted("burst")) rowsOk = BurstRow() && rowsOk;
  if (wanted("downloads")) {
    rowsOk = SlowDownloadsRow(server::ServerOptions().maxPerAddress) && rowsOk;
    rowsOk = SlowDownloadsRow(0) && rowsOk;
  }
  if (wanted("trickle")) rowsOk = TrickleRow() && rowsOk;
  bool memoryOk = !wanted("memory") || SlowUploadMemoryRow();
  if (!wanted("load")) return rowsOk && memoryOk ? 0 : 1;
  char dirTemplate[] = "/tmp/zandrel-load-XXXXXX";
  std::string dir = mkdtemp(dirTemplate);
  server::ServerOptions opt = testsupport::TestServerOptions(dir);
  opt.maxPerAddress = 0;  // every client here comes from 127.0.0.1
  opt.reportsPerMinute = 0;
  server::ReportServer srv(opt);
  std::string error;
  if (!srv.Start(error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  std::atomic<bool> stop{false};
  std::atomic<long> table{0};  // open connections, as the server counts them
  std::thread poller([&] {
    while (!stop) {
      srv.Poll();
      table = static_cast<long>(srv.connections());
    }
  });
  uint16_t port = srv.http_port();
  std::string body(20 * 1024, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>('A' + i % 26);

  std::mutex mu;
  int ok = 0, failed = 0;
  double slowest = 0;
  auto record = [&](int code, double secs) {
    std::lock_guard<std::mutex> lock(mu);
    (code == 200 ? ok : failed)++;
    slowest = std::max(slowest, secs);
  };

  auto t0 = Clock::now();
  std::vector<std::thread> clients;
  for (int i = 0; i < 200; ++i) {
    clients.emplace_back([&, i] {
      std::string b = body + std::to_string(i);
      double secs = 0;
      int code = PostReport(port, b, secs);
      record(code, secs);
    });
  }
  for (auto& t : clients) t.join();
  double burst = std::chrono::duration<double>(Clock::now() - t0).count();
  std::printf("200 at once: %d answered 200, %d not, %.0f reports/s, slowest %.1f ms\n", ok, failed, 200 / burst,
              slowest * 1000);

  int okBefore = ok;
  slowest = 0;
  t0 = Clock::now();
  for (int i = 0; i < 1000; ++i) {
    double secs = 0;
    int code = PostReport(port, body + "seq" + std::to_string(i), secs);
    record(code, secs);
  }
  double seq = std::chrono::duration<double>(Clock::now() - t0).count();
  std::printf("1000 in sequence: %d answered 200, %.0f reports/s, slowest %.1f ms\n", ok - okBefore, 1000 / seq,
              slowest * 1000);

  // More than the table holds at once: the excess waits in the listener's
  // queue until connections whose head has not come within a second give
  // way, each with a 503.
  std::vector<int> held;
  for (int i = 0; i < 1100; ++i) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in sa = Loopback(port);
    connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    held.push_back(s);
  }
  // A first byte on every connection makes the kernel hand over the ones
  // whose handshake ended while the accept queue was full; repeat until
  // every connection has reached the server (held, or given way).
  size_t refused = 0, told503 = 0;
  std::vector<bool> gone(held.size(), false);
  for (int round = 0; round < 60 && refused < held.size() - 1023; ++round) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    for (size_t i = 0; i < held.size(); ++i) {
      if (gone[i]) continue;
      send(held[i], "G", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
      char b[256];
      long n = recv(held[i], b, sizeof b, MSG_DONTWAIT);
      if (n > 0 || n == 0 || errno != EAGAIN) {
        gone[i] = true;
        ++refused;
        told503 += n > 12 && std::strncmp(b, "HTTP/1.1 503", 12) == 0;
      }
    }
  }
  std::printf("1100 connections at once: %zu held open by the server, %zu gave way (%zu of them with a 503)\n",
              held.size() - refused, refused, told503);
  for (int s : held) close(s);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  double secs = 0;
  int after = PostReport(port, "after the flood", secs);
  if (after == 200) ++ok;
  std::printf("post after the flood: %d in %.1f ms\n", after, secs * 1000);

  int dripOk = FloodRow("drip", true, port, dir, table);
  int idleOk = FloodRow("idle", false, port, dir, table);
  ok += dripOk + idleOk;

  stop = true;
  poller.join();
  size_t files = CountFiles(dir);
  std::printf("answered 200: %d, stored on disk: %zu, lost: %d\n", ok, files, ok - static_cast<int>(files));
  std::system(("rm -rf " + dir).c_str());
  return ok == static_cast<int>(files) && after == 200 && memoryOk && rowsOk && dripOk == 100 && idleOk == 100 ? 0
                                                                                                             : 1;
}
