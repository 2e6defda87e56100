// The report server: answers UDP probes, stores posted reports, serves the
// hint page and the speed-test file. Built on the system's own engines and
// the server's HTTP stack; what its requests mean is Receiver's.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "net/udp_module.h"
#include "server/http/http_server.h"
#include "server/receiver/options.h"
#include "server/receiver/receiver.h"
#include "server/receiver/udp_echo.h"
#include "server/store/index_keeper.h"
#include "server/store/report_store.h"

namespace zandrel::server {

class ReportServer final : public net::I_udp_handler {
 public:
  explicit ReportServer(ServerOptions options);
  ~ReportServer() override;

  // Binds the ports; false with a message when the HTTP or UDP port cannot be had.
  bool Start(std::string& error);
  // One TCP pass and one UDP pass; the UDP pass takes what is waiting, up
  // to kUdpPerPass datagrams or kUdpPassMs.
  void Poll();
  // Before going away: takes no more connections, drops requests not yet
  // whole and speed-file downloads, and keeps polling, for at most graceMs, until every report being
  // stored has been answered and every answer sent. Whatever the store still
  // holds then is finished by the destructor, unanswered.
  void Shutdown(uint32_t graceMs);

  uint16_t http_port() const { return httpPort_; }
  uint16_t udp_port() const { return udpPort_; }
  uint64_t stored() const { return intake_->stored(); }
  std::size_t storing() const { return intake_->storing(); }
  // See ReportStore::SetBeforeCommit (the embedded store only).
  void SetBeforeCommit(std::function<bool()> hook) { store_.SetBeforeCommit(std::move(hook)); }
  std::size_t connections() const { return http_ ? http_->connections() : 0; }
  uint64_t speed_queued() const { return http_ ? http_->stream_queued() : 0; }
  const UdpEcho& udp_echo() const { return echo_; }

  static constexpr uint32_t kUdpPerPass = 256;
  static constexpr uint32_t kUdpPassMs = 2;

  void i_onRecv(uint32_t addr, uint16_t port, const char* data, int32_t len) override;

 private:
  bool StartDatabase(std::string& error);
  bool StartEmbedded(std::string& error);
  bool Listen(std::string& error);

  ServerOptions opt_;
  HttpLimits limits_;
  std::shared_ptr<store::IndexKeeper> index_;  // shared with the store's worker
  store::ReportStore store_;  // the embedded store, unused with a database
  std::unique_ptr<store::ReportIntake> database_;  // the PostgreSQL store, with --database
  std::unique_ptr<store::ReportIntake> embedded_;  // store_ behind the interface
  store::ReportIntake* intake_;  // the one the receiver uses
  Receiver receiver_;
  std::unique_ptr<HttpServer> http_;
  UdpEcho echo_;
  net::udp_engine_ptr udp_;
  net::udp_handle udpSocket_ = nullptr;
  uint16_t httpPort_ = 0, udpPort_ = 0;
};

}  // namespace zandrel::server
