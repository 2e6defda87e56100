#include "http_peer.h"

#include <cstdlib>

namespace net = zandrel::net;

namespace testhttp {

std::string Path(const std::string& request) {
  size_t sp = request.find(' ');
  if (sp == std::string::npos) return {};
  return request.substr(sp + 1, request.find(' ', sp + 1) - sp - 1);
}

Server::Server(Script script, bool readBody, uint16_t port)
    : script_(std::move(script)), readBody_(readBody), listener_(testsock::Listener(64, port)) {
  port_ = testsock::PortOf(listener_.get());
  thread_ = std::thread([this] { Run(); });
}

Server::~Server() {
  stop_ = true;
  thread_.join();
}

std::string Server::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<std::string> Server::requests() {
  std::lock_guard<std::mutex> lock(mu_);
  return requests_;
}

void Server::Run() {
  if (!listening()) return;
  int index = 0;
  while (!stop_) {
    if (!testsock::WaitReadable(listener_.get(), 20)) continue;
    testsock::Socket s(testsock::Accept(listener_.get()));
    if (!net::IsSocket(s.get())) continue;
    std::string req = ReadRequest(s.get());
    {
      std::lock_guard<std::mutex> lock(mu_);
      requests_.push_back(req);
    }
    script_(s.get(), req, index++);
  }
}

std::string Server::ReadRequest(socket_t s) {
  std::string req;
  char buf[4096];
  size_t want = std::string::npos;
  while (true) {
    size_t end = req.find("\r\n\r\n");
    if (end != std::string::npos) {
      if (!readBody_) break;
      if (want == std::string::npos) {
        size_t cl = req.find("Content-Length: ");
        want = end + 4 + (cl == std::string::npos || cl > end ? 0 : std::strtoul(req.c_str() + cl + 16, nullptr, 10));
      }
      if (req.size() >= want) break;
    }
    if (!testsock::WaitReadable(s, 2000)) break;
    long n = testsock::Recv(s, buf, sizeof buf);
    if (n <= 0) break;
    req.append(buf, static_cast<size_t>(n));
  }
  return req;
}

UdpEcho::UdpEcho(uint16_t port) : socket_(testsock::UdpBound(port)) {
  port_ = testsock::PortOf(socket_.get());
  thread_ = std::thread([this] {
    if (!net::IsSocket(socket_.get())) return;
    char buf[2048];
    while (!stop_) {
      if (!testsock::WaitReadable(socket_.get(), 20)) continue;
      uint32_t addr = 0;
      uint16_t from = 0;
      long n = net::RecvFrom(socket_.get(), buf, sizeof buf, addr, from);
      if (n > 0 && net::SendTo(socket_.get(), "pong", 4, addr, from) == 4) ++answered_;
    }
  });
}

UdpEcho::~UdpEcho() {
  stop_ = true;
  thread_.join();
}

}  // namespace testhttp
