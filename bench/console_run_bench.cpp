// A whole console run against local peers: the report server (UDP answers,
// the upload, and a 16 MB speed-test file limited to 4 MB/s) and a stand-in
// for the streaming client's service on port 6001. Prints the speed the
// tool reports against the true rate, the run's wall and CPU time, and the
// time of the network checks apart from the download itself. With
// --dialog the run goes through the desktop dialog instead of the console.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "platform/gbk.h"
#include "server/receiver/report_server.h"
#include "http_peer.h"
#include "netns.h"
#include "running_server.h"

using Clock = std::chrono::steady_clock;

int main(int argc, char** argv) {
  const char* tool = argc > 1 ? argv[1] : "./build/src/app/zandrel";
  // --dialog: the same run through the desktop dialog on the offscreen platform.
  bool dialog = argc > 2 && std::string(argv[2]) == "--dialog";
  bool isolated = testsock::IsolateNetwork();
  const uint64_t rate = 4ull << 20, size = 16ull << 20;

  // The report server on its usual ports, as the tool expects it.
  testsupport::RunningServer server([&](zandrel::server::ServerOptions& opt) {
    opt.httpPort = zandrel::server::ServerOptions().httpPort;
    opt.udpPort = zandrel::server::ServerOptions().udpPort;
    opt.speedRate = rate;
    opt.speedSize = size;
  });
  if (!server.started()) {
    std::fprintf(stderr, "%s\n", server.error().c_str());
    return 1;
  }
  testhttp::Server service(
      [](testsock::socket_t fd, const std::string& req, int) {
        if (req.find("/crossdomain.xml") != std::string::npos) {
          testhttp::SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\n<cross/>\n");
        } else {
          testhttp::SendAll(fd, "HTTP/1.1 200 OK\r\n\r\n<channels>20001</channels>");
        }
      },
      false, 6001);

  int out[2];
  if (pipe(out) != 0) return 1;
  auto t0 = Clock::now();
  pid_t child = fork();
  if (child == 0) {
    dup2(out[1], 1);
    close(out[0]);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    execl(tool, "zandrel", dialog ? "--auto" : "--console", "--send", "--speed-url",
          "http://127.0.0.1:5252/speedtest/zandrel-speed.bin", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  // Each progress line with the time it arrived.
  std::vector<std::pair<double, std::string>> lines;
  std::string pending;
  char buf[4096];
  long n;
  while ((n = read(out[0], buf, sizeof buf)) > 0) {
    double at = std::chrono::duration<double>(Clock::now() - t0).count();
    pending.append(buf, static_cast<size_t>(n));
    size_t eol;
    while ((eol = pending.find('\n')) != std::string::npos) {
      lines.emplace_back(at, pending.substr(0, eol));
      pending.erase(0, eol + 1);
    }
  }
  int status = 0;
  rusage ru{};
  wait4(child, &status, 0, &ru);
  double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  server.Stop();  // its figures may be read from here on

  auto when = [&](const std::string& prefix) {
    for (auto& [t, l] : lines) {
      if (l.compare(0, prefix.size(), prefix) == 0) return t;
    }
    return -1.0;
  };
  auto text = [&](const std::string& prefix) {
    for (auto& [t, l] : lines) {
      if (l.compare(0, prefix.size(), prefix) == 0) return l;
    }
    return std::string();
  };
  double network = when("===============================网络状态检测");
  double speedStart = when("=============================启动下载速度检测");
  double speedEnd = when("下载速度为：");
  double channelEnd = when("获取频道信息成功！");
  std::string speedLine = text("下载速度为：");
  long reported = speedLine.empty() ? -1 : std::atol(speedLine.c_str() + std::string("下载速度为：").size());
  double cpu = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
               static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;

  std::printf("front end: %s\n", dialog ? "dialog (offscreen)" : "console");
  std::printf("network namespace: %s\n", isolated ? "own" : "the machine's (fixed ports must be free)");
  std::printf("exit status: %d, progress lines: %zu, reports stored: %llu\n",
              WIFEXITED(status) ? WEXITSTATUS(status) : -1, lines.size(),
              static_cast<unsigned long long>(server.server().stored()));
  double trueRate = static_cast<double>(rate) / 1000.0;  // bytes per ms, the tool's "K/s"
  std::printf("reported speed: %ld K/s, true rate: %.0f K/s, error %.2f %% (target within 2 %%)\n", reported,
              trueRate, 100.0 * (static_cast<double>(reported) - trueRate) / trueRate);
  std::printf("whole run: %.2f s wall, %.3f s CPU = %.2f %% (target CPU under 5 %% of wall)\n", wall, cpu,
              100.0 * cpu / wall);
  double checks = (channelEnd - network) - (speedEnd - speedStart);
  std::printf("UDP probes to end of channel check, without the download: %.0f ms (target under 300 ms)\n",
              checks * 1000);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
