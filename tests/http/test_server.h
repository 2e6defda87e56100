// A scripted HTTP peer on loopback for the client tests: every accepted
// connection's request head is recorded and answered by a script.
#pragma once
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../net/test_sockets.h"

namespace testhttp {

inline void SendAll(int fd, const std::string& s) {
  size_t done = 0;
  while (done < s.size()) {
    long n = send(fd, s.data() + done, s.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

class Server {
 public:
  // script(fd, request, index): answer the index-th connection's request.
  using Script = std::function<void(int fd, const std::string& request, int index)>;

  explicit Server(Script script, bool readBody = false, uint16_t port = 0)
      : script_(std::move(script)), readBody_(readBody) {
    listener_ = port ? ListenOn(port) : testsock::Listener(64);
    port_ = testsock::PortOf(listener_);
    thread_ = std::thread([this] { Run(); });
  }
  ~Server() {
    stop_ = true;
    thread_.join();
    close(listener_);
  }
  uint16_t port() const { return port_; }
  std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
  std::vector<std::string> requests() {
    std::lock_guard<std::mutex> lock(mu_);
    return requests_;
  }

 private:
  static int ListenOn(uint16_t port) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa = testsock::Loopback(port);
    bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    listen(s, 64);
    return s;
  }
  void Run() {
    int index = 0;
    while (!stop_) {
      pollfd p{listener_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      int fd = accept(listener_, nullptr, nullptr);
      if (fd < 0) continue;
      std::string req = ReadRequest(fd);
      {
        std::lock_guard<std::mutex> lock(mu_);
        requests_.push_back(req);
      }
      script_(fd, req, index++);
      close(fd);
    }
  }
  std::string ReadRequest(int fd) {
    std::string req;
    char buf[4096];
    size_t want = std::string::npos;
    while (true) {
      size_t end = req.find("\r\n\r\n");
      if (end != std::string::npos) {
        if (!readBody_) break;
        if (want == std::string::npos) {
          size_t cl = req.find("Content-Length: ");
          want = end + 4 + (cl == std::string::npos ? 0 : std::stoul(req.substr(cl + 16)));
        }
        if (req.size() >= want) break;
      }
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 2000) <= 0) break;
      long n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      req.append(buf, static_cast<size_t>(n));
    }
    return req;
  }

  Script script_;
  bool readBody_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mu_;
  std::vector<std::string> requests_;
};

// A UDP peer that answers every datagram.
class UdpEcho {
 public:
  explicit UdpEcho(uint16_t port = 0) {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa = testsock::Loopback(port);
    bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    port_ = testsock::PortOf(fd_);
    thread_ = std::thread([this] {
      char buf[2048];
      while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) continue;
        sockaddr_in from{};
        socklen_t len = sizeof from;
        long n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n > 0) sendto(fd_, "pong", 4, 0, reinterpret_cast<sockaddr*>(&from), len);
      }
    });
  }
  ~UdpEcho() {
    stop_ = true;
    thread_.join();
    close(fd_);
  }
  uint16_t port() const { return port_; }

 private:
  int fd_;
  uint16_t port_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace testhttp
