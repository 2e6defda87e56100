// Peak memory of the two HTTP clients against a loopback peer whose answer
// head never ends (a 20 KB head line, then 1 GiB more without a blank line),
// next to a normal exchange. Each run is its own process; the figure is its
// peak resident size.
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "http/file_log_client.h"
#include "http/http_downloader.h"
#include "sockets.h"

using namespace zandrel::http;

namespace {

constexpr uint64_t kEndless = 1ull << 30;

struct Counter : I_http_data_handler {
  uint64_t bytes = 0;
  int breaks = 0;
  bool done = false;
  void i_onHttpLength(uint64_t) override {}
  void i_onHttpData(const char* data, int32_t len) override {
    bytes += static_cast<uint64_t>(len);
    breaks += data == nullptr;
  }
  void i_onHttpFinished() override { done = true; }
};

// Answers one request per connection: a normal 1 MB reply, or a head that
// never ends; then closes.
void Serve(int listener, bool endless) {
  for (;;) {
    int fd = accept(listener, nullptr, nullptr);
    if (fd < 0) return;
    char req[8192];
    recv(fd, req, sizeof req, 0);
    // The endless head's one field never ends: the bytes that follow continue it.
    testsock::SendAll(fd, endless ? "HTTP/1.1 200 OK\r\nX-Long: " + std::string(20000, 'h')
                                  : "HTTP/1.1 200 OK\r\nContent-Length: 1048576\r\n\r\n");
    testsock::SendPattern(fd, endless ? kEndless : 1 << 20);
    close(fd);
  }
}

// Runs one client in a child process; prints its figures.
void Run(const char* client, bool endless) {
  int l = testsock::Listener(4);
  uint16_t port = testsock::PortOf(l);
  pid_t server = fork();
  if (server == 0) {
    Serve(l, endless);
    _exit(0);
  }
  close(l);
  pid_t child = fork();
  if (child == 0) {
    std::string url = "http://127.0.0.1:" + std::to_string(port) + "/x";
    auto t0 = std::chrono::steady_clock::now();
    uint64_t steps = 0;
    if (std::string(client) == "downloader") {
      Counter counter;
      C_http_downloader dl(url, counter);
      // Until the download is done or the peer has closed once.
      while (!counter.done && counter.breaks == 0 && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(120)) {
        dl.step();
        ++steps;
      }
    } else {
      std::string body(4096, 'r');
      C_file_log_client post(body.data(), static_cast<int32_t>(body.size()), url);
      while (post.state_text() != "finished" && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(120)) {
        post.step();
        ++steps;
      }
    }
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    std::printf("%-10s %-12s peak RSS %6ld KB  (%.1f s, %llu steps)\n", client, endless ? "endless head" : "normal",
                ru.ru_maxrss, secs, static_cast<unsigned long long>(steps));
    std::fflush(stdout);
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  kill(server, SIGKILL);
  waitpid(server, &status, 0);
}

}  // namespace

int main() {
  for (const char* client : {"downloader", "poster"}) {
    Run(client, false);
    Run(client, true);
  }
  return 0;
}
