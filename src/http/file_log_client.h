// The posting client. It owns its own TCP engine and does all its work inside
// its owner's step() calls.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "http/http_response.h"
#include "http/url_resolver.h"
#include "net/interfaces.h"

namespace zandrel::http {

// The report address of a report server host: host ":5252/test_log".
std::string report_url(const std::string& host);

// One HTTP POST of a block of bytes; "finished" once the exchange is over.
class C_file_log_client final : public net::I_dataHandler {
 public:
  static constexpr uint32_t kConnectTimeoutMs = 4000;

  // The body is copied; url is host[:port]/path, with or without a scheme.
  C_file_log_client(const char* body, int32_t len, const std::string& url);
  ~C_file_log_client() override;

  bool step();
  const std::string& state_text() const { return state_; }
  const std::vector<char>& request() const { return request_; }
  // Once finished: the status code of the answer, 0 when none came (the
  // connection closed before a complete head); a header of that answer, ""
  // when it has none. Before that, 0 and "".
  int32_t final_status() const;
  std::string answer_header(const std::string& name) const;

  void i_onAccept(net::conn_handle, net::socket_t, uint32_t, uint16_t, uint32_t, uint16_t) override {}
  void i_onConnect(net::socket_t s, net::conn_handle attempt, net::user_data user) override;
  bool i_onData(net::conn_handle c, const char* data, int32_t len, net::user_data user) override;
  void i_onBreak(net::conn_handle c, net::user_data user) override;
  void i_onSent(net::conn_handle, net::user_data) override {}
  void i_onLoop() override {}

 private:
  std::vector<char> request_;
  std::string url_;
  C_url_resolver resolver_;
  std::unique_ptr<net::I_tcpModule> engine_;
  net::conn_handle connection_ = nullptr;
  std::string state_;
  std::unique_ptr<C_http_response> response_;
};

}  // namespace zandrel::http
