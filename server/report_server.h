// The report server: answers UDP probes, stores posted reports, serves the
// hint page and the speed-test file. Built on the system's own engines; the
// request handling itself is Exchange, which knows nothing of sockets.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "exchange.h"
#include "net/tcp_module.h"
#include "net/udp_module.h"
#include "options.h"
#include "report_store.h"
#include "routes.h"

namespace zandrel::server {

class ReportServer final : public net::I_dataHandler, public net::I_udp_handler {
 public:
  explicit ReportServer(ServerOptions options);
  ~ReportServer() override;

  // Binds the ports; false with a message when the HTTP or UDP port cannot be had.
  bool Start(std::string& error);
  // One TCP pass and one UDP pass.
  void Poll();
  // Before going away: takes no more connections, drops requests not yet
  // whole and speed-file downloads, and keeps polling, for at most graceMs, until every report being
  // stored has been answered and every answer sent. Whatever the store still
  // holds then is finished by the destructor, unanswered.
  void Shutdown(uint32_t graceMs);

  uint16_t http_port() const { return httpPort_; }
  uint16_t udp_port() const { return udpPort_; }
  uint64_t stored() const { return store_.stored(); }
  std::size_t storing() const { return store_.storing(); }
  // See ReportStore::SetBeforeCommit.
  void SetBeforeCommit(std::function<bool()> hook) { store_.SetBeforeCommit(std::move(hook)); }
  std::size_t connections() const { return conns_.size(); }
  uint64_t speed_queued() const { return speedQueued_; }

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
    uint32_t peerAddr = 0;
    std::unique_ptr<Exchange> exchange;
    uint32_t answeredAt = 0;
    bool answerStarted = false;
    uint64_t handedOut = 0;  // answer bytes given to the engine
    uint64_t takenSeen = 0;  // of those, taken from the engine by the last check
    uint32_t lastProgress = 0;
  };

  void Flush(Conn& c, uint32_t now);
  bool TooSlowAnswer(Conn& c, uint32_t now) const;
  bool DropOldestIncomplete();
  void Close(Conn& c);
  void ReportRefusals(uint32_t now);

  ServerOptions opt_;
  ReportStore store_;
  std::unique_ptr<net::C_TcpModule> tcp_;
  net::udp_module_ptr udp_;
  net::udp_handle udpSocket_ = nullptr;
  net::conn_handle httpListener_ = nullptr, hintListener_ = nullptr;
  uint16_t httpPort_ = 0, udpPort_ = 0;
  bool stopping_ = false;
  std::map<Conn*, std::unique_ptr<Conn>> conns_;
  std::map<uint32_t, uint32_t> perAddress_;  // open connections by client address
  uint64_t speedQueued_ = 0;  // speed-file bytes queued in the engine, all downloads
  std::size_t streams_ = 0;  // downloads of the speed-test file in progress
  uint32_t lastSweep_ = 0, lastLoop_ = 0, lastRefusalLog_ = 0;
  uint64_t overdue_ = 0, dropped_ = 0, overCap_ = 0;  // since the last log line about them
  std::vector<char> streamChunk_;  // scratch for generating the speed-test file
};

}  // namespace zandrel::server
