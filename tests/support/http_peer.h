// Scripted peers on loopback for the client tests: an HTTP server whose
// every accepted connection's request is recorded and answered by a script,
// and a UDP peer that answers every datagram.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sockets.h"

namespace testhttp {

using testsock::SendAll;
using testsock::socket_t;

// The target of a request line ("GET /x HTTP/1.1" gives "/x").
std::string Path(const std::string& request);

class Server {
 public:
  // script(s, request, index): answer the index-th connection's request.
  using Script = std::function<void(socket_t s, const std::string& request, int index)>;

  // readBody: the recorded request includes the body its Content-Length names.
  explicit Server(Script script, bool readBody = false, uint16_t port = 0);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // False when the port could not be had.
  bool listening() const { return listener_.get() != testsock::kNoSocket; }
  uint16_t port() const { return port_; }
  std::string url(const std::string& path) const;
  std::vector<std::string> requests();

 private:
  void Run();
  std::string ReadRequest(socket_t s);

  Script script_;
  bool readBody_;
  testsock::Socket listener_;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::mutex mu_;
  std::vector<std::string> requests_;
  std::thread thread_;
};

class UdpEcho {
 public:
  explicit UdpEcho(uint16_t port = 0);
  ~UdpEcho();
  UdpEcho(const UdpEcho&) = delete;
  UdpEcho& operator=(const UdpEcho&) = delete;
  uint16_t port() const { return port_; }
  int answered() const { return answered_; }

 private:
  testsock::Socket socket_;
  uint16_t port_ = 0;
  std::atomic<int> answered_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace testhttp
