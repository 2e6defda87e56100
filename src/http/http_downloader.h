// The downloader. It owns its own TCP engine and does all its work inside its
// owner's step() calls.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "http/http_data_handler.h"
#include "http/http_response.h"
#include "http/url_resolver.h"
#include "net/interfaces.h"

namespace zandrel::http {

// Fetches one URL with GET and streams the body to its handler, resuming
// with a byte range after a broken connection. An attempt that brings
// nothing (a failed name lookup, a connection that broke without a new body
// byte) is followed by a wait before the next one: 0.5 s, doubling up to 4 s,
// back to 0.5 s once a connection delivers something new.
class C_http_downloader final : public net::I_dataHandler {
 public:
  static constexpr uint32_t kConnectTimeoutMs = 4000;
  static constexpr int kRequestBuffer = 4096;
  static constexpr uint32_t kFirstRetryWaitMs = 500;
  static constexpr uint32_t kLastRetryWaitMs = 4000;
  // The receive window a connection may open to at once: the engine reads it
  // once per pass, so the kernel holds what arrives in between (2 MiB:
  // 200 MB/s at a pass every 10 ms). Only where the system lets a reader ask
  // for it (Linux); elsewhere the system's own tuning decides.
  static constexpr int kReceiveWindowBytes = 2 * 1024 * 1024;

  using engine_factory = std::function<std::unique_ptr<net::I_tcpModule>(net::I_dataHandler&)>;
  // The millisecond tick count the waits between attempts are measured with.
  using tick_source = std::function<uint32_t()>;

  C_http_downloader(std::string url, I_http_data_handler& handler);
  // With an engine of the caller's making (one that needs no sockets, for
  // driving the downloader in process) and, optionally, a clock of its own.
  C_http_downloader(std::string url, I_http_data_handler& handler, const engine_factory& make_engine,
                    tick_source clock = nullptr);
  ~C_http_downloader() override;

  void i_onAccept(net::conn_handle, net::socket_t, uint32_t, uint16_t, uint32_t, uint16_t) override {}
  void i_onConnect(net::socket_t s, net::conn_handle attempt, net::user_data user) override;
  bool i_onData(net::conn_handle c, const char* data, int32_t len, net::user_data user) override;
  void i_onBreak(net::conn_handle c, net::user_data user) override;
  void i_onSent(net::conn_handle, net::user_data) override {}
  void i_onLoop() override {}

  // False once the download is done (the engine then does not run).
  virtual bool step();
  // 0 without a connection record or a complete head; for a 3xx the
  // redirect target is copied into target.
  virtual uint16_t get_status(std::string& target);

  // Once the download is done, the status code of the response that ended
  // it, and for a 3xx its redirect target; 0 before. An owner follows with it
  // a redirect whose whole body came within one step.
  uint16_t completed_status(std::string& target) const;
  // The status code of the last complete response head: the answer whose
  // body is being delivered. 0 before the first head.
  uint16_t body_status() const { return status_; }

  int32_t state() const { return state_; }
  int64_t received() const { return received_; }
  int64_t total() const { return total_; }
  // True when the connect attempt ended without a connection: nothing more
  // will happen for this download.
  bool stalled() const { return state_ == 1 && record_ && !record_->connection; }
  // True while the next attempt waits (after one that brought nothing).
  bool waiting_to_retry() const { return retry_for_ != 0; }

 private:
  struct download_conn {
    uint32_t addr = 0;
    uint16_t port = 0;
    net::conn_handle connection = nullptr;
    C_http_response response;
  };
  void drop_record();
  void finish();
  void deliver(const char* data, int64_t len);
  // Whether a response head answers a resume with the rest of the body from
  // where it was asked for: a 206 whose range starts there.
  bool continues_body(const C_http_response& response) const;
  void wait_before_retry();
  bool retry_due();

  int32_t state_ = 0;  // 0 created, 1 running, 2 done
  int64_t received_ = 0;
  int64_t total_ = 0;
  // Body bytes still to drop: a server that ignored the range sends the
  // resource from its start again, and what was delivered is not repeated.
  int64_t skip_ = 0;
  uint16_t status_ = 0;  // of the last complete response head
  uint16_t first_status_ = 0;  // of the last answer to a request without a range
  std::string url_;
  C_url_resolver resolver_;
  I_http_data_handler& handler_;
  std::unique_ptr<net::I_tcpModule> engine_;
  std::unique_ptr<download_conn> record_;
  std::string redirect_;
  tick_source clock_;
  int64_t received_at_connect_ = 0;  // received when the current record was made
  uint32_t retry_wait_ms_ = kFirstRetryWaitMs;  // the next wait
  uint32_t retry_since_ = 0;  // tick at which the current wait began
  uint32_t retry_for_ = 0;    // length of the current wait; 0: none
};

}  // namespace zandrel::http
