// The report server: answers UDP probes, stores posted reports, serves the
// hint page and the speed-test file. Built on the system's own engines.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "http/response.h"
#include "net/tcp_module.h"
#include "net/udp_module.h"

namespace zandrel::server {

struct ServerOptions {
  std::string dataDir = "./reports";
  uint32_t bindAddr = 0;  // 0: every local address
  uint16_t httpPort = 5252;
  uint16_t udpPort = 19549;
  uint16_t hintPort = 80;  // 0: no second hint listener
  uint64_t speedSize = 32ull << 20;
  uint64_t speedRate = 0;  // bytes per second, 0: unlimited
  uint64_t maxBody = 1ull << 20;  // at most kMaxBodyLimit
  uint32_t idleMs = 30000;
  std::string speedPath = "/speedtest/zandrel-speed.bin";
  bool quiet = false;  // no per-request log lines
};

// The largest report any server accepts: a report is held in memory whole.
inline constexpr uint64_t kMaxBodyLimit = 1ull << 30;

// The byte at offset i of the generated speed-test file.
inline char SpeedByte(uint64_t i) { return static_cast<char>((i * 7) ^ (i >> 11)); }

class ReportServer final : public net::I_dataHandler, public net::I_udp_handler {
 public:
  explicit ReportServer(ServerOptions options);
  ~ReportServer() override;

  // Binds the ports; false with a message when the HTTP or UDP port cannot be had.
  bool Start(std::string& error);
  // One TCP pass and one UDP pass.
  void Poll();

  uint16_t http_port() const { return httpPort_; }
  uint16_t udp_port() const { return udpPort_; }
  uint64_t stored() const { return stored_; }
  std::size_t connections() const { return conns_.size(); }

  void i_onAccept(net::conn_handle listener, net::socket_t s, uint32_t peerAddr, uint16_t peerPort,
                  uint32_t localAddr, uint16_t localPort) override;
  void i_onConnect(net::socket_t s, net::conn_handle, net::user_data) override { net::CloseSocket(s); }
  bool i_onData(net::conn_handle c, const char* data, int32_t len, net::user_data user) override;
  void i_onBreak(net::conn_handle c, net::user_data user) override;
  void i_onSent(net::conn_handle, net::user_data) override {}
  void i_onLoop() override;
  void i_onRecv(uint32_t addr, uint16_t port, const char* data, int32_t len) override;

 private:
  struct Conn {
    net::conn_handle handle = nullptr;
    std::string peer;
    bool hintOnly = false;  // accepted on the hint listener
    http::C_http_response request;
    bool headDone = false;
    std::string method, path;
    uint64_t expectBody = 0;
    bool responded = false;
    bool closeWhenDrained = false;
    // Streaming of the speed-test file.
    bool streaming = false;
    uint64_t next = 0, end = 0, streamed = 0;
    uint32_t streamStart = 0;
    uint32_t lastActive = 0;
  };

  void OnHead(Conn& c);
  void OnBody(Conn& c);
  void Respond(Conn& c, int code, const char* reason, const std::string& body,
               const std::string& extraHeaders = std::string(), const char* type = "text/plain");
  void StartStream(Conn& c, uint64_t from);
  void TopUp(Conn& c, uint32_t now);
  void Close(Conn& c);
  void Log(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  std::string HintPage() const;

  ServerOptions opt_;
  std::unique_ptr<net::C_TcpModule> tcp_;
  net::udp_module_ptr udp_;
  net::udp_handle udpSocket_ = nullptr;
  net::conn_handle httpListener_ = nullptr, hintListener_ = nullptr;
  uint16_t httpPort_ = 0, udpPort_ = 0;
  std::map<Conn*, std::unique_ptr<Conn>> conns_;
  uint64_t stored_ = 0, sequence_ = 0;
  uint32_t lastSweep_ = 0;
  std::vector<char> streamChunk_;  // scratch for generating the speed-test file
};

}  // namespace zandrel::server
