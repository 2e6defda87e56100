// Load on the report server: 200 clients post 20 KB reports at once, then
// 1000 one after another, then more than 1024 connections are held open
// while it must keep serving. Prints reports per second, the slowest
// answer, and how many reports are on disk against how many were answered 200.
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "http/md5.h"
#include "platform/files.h"
#include "report_server.h"

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
int PostReport(uint16_t port, const std::string& body, double& seconds) {
  auto t0 = Clock::now();
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa = Loopback(port);
  int code = 0;
  if (connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) {
    std::string req = "POST /test_log HTTP/1.1\r\nHost: bench\r\nContent-Length: " + std::to_string(body.size()) +
                      "\r\nfile_flag: " + http::md5_hex_upper(body.data(), body.size()) + "\r\n\r\n" + body;
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

}  // namespace

int main() {
  platform::RaiseOpenFileLimit();
  char dirTemplate[] = "/tmp/zandrel-load-XXXXXX";
  std::string dir = mkdtemp(dirTemplate);
  server::ServerOptions opt;
  opt.dataDir = dir;
  opt.httpPort = 0;
  opt.udpPort = 0;
  opt.hintPort = 0;
  opt.quiet = true;
  server::ReportServer srv(opt);
  std::string error;
  if (!srv.Start(error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  std::atomic<bool> stop{false};
  std::thread poller([&] {
    while (!stop) srv.Poll();
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

  // More than 1024 connections at once: the engine's cap refuses the excess.
  std::vector<int> held;
  for (int i = 0; i < 1100; ++i) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in sa = Loopback(port);
    connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    held.push_back(s);
  }
  // A first byte on every connection makes the kernel hand over the ones
  // whose handshake ended while the accept queue was full; repeat until
  // every connection has reached the server (held, or refused at the cap).
  size_t refused = 0;
  std::vector<bool> gone(held.size(), false);
  for (int round = 0; round < 60 && refused < held.size() - 1023; ++round) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    for (size_t i = 0; i < held.size(); ++i) {
      if (gone[i]) continue;
      send(held[i], "G", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
      char b;
      long n = recv(held[i], &b, 1, MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno != EAGAIN)) {
        gone[i] = true;
        ++refused;
      }
    }
  }
  std::printf("1100 connections at once: %zu held open by the server, %zu refused at the engine's cap\n",
              held.size() - refused, refused);
  for (int s : held) close(s);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  double secs = 0;
  int after = PostReport(port, "after the flood", secs);
  if (after == 200) ++ok;
  std::printf("post after the flood: %d in %.1f ms\n", after, secs * 1000);

  stop = true;
  poller.join();
  size_t files = CountFiles(dir);
  std::printf("answered 200: %d, stored on disk: %zu, lost: %d\n", ok, files, ok - static_cast<int>(files));
  std::system(("rm -rf " + dir).c_str());
  return ok == static_cast<int>(files) && after == 200 ? 0 : 1;
}
