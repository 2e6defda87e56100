#include "http/file_log_client.h"

#include "http/http_request.h"
#include "http/request_writer.h"
#include "platform/md5.h"

namespace zandrel::http {

std::string report_url(const std::string& host) { return host + ":5252/test_log"; }

C_file_log_client::C_file_log_client(const char* body, int32_t len, const std::string& url)
    : url_(url), resolver_(url_), response_(std::make_unique<C_http_response>()) {
  if (len < 0 || !body) len = 0;
  C_http_request req(url_);
  req.method = "POST";
  req.set_header("file_flag", platform::md5_hex_upper(body, static_cast<size_t>(len)));
  request_.resize(url_.size() + static_cast<size_t>(len) + 2000);
  int n = write_post(req, request_.data(), static_cast<int>(request_.size()), body, static_cast<uint32_t>(len));
  request_.resize(static_cast<size_t>(n));
  engine_ = net::create_tcp_module(*this);
  engine_->start(true);
}

C_file_log_client::~C_file_log_client() {
  if (connection_) engine_->close_connection(connection_);
  engine_.reset();
}

int32_t C_file_log_client::final_status() const {
  return state_ == "finished" && response_->head_complete() ? response_->status() : 0;
}

std::string C_file_log_client::answer_header(const std::string& name) const {
  return state_ == "finished" && response_->head_complete() ? response_->find_header(name) : std::string();
}

bool C_file_log_client::step() {
  if (state_.empty()) {
    uint32_t addr = 0;
    uint16_t port = 0;
    // The name is looked up off this thread; a later step connects.
    if (resolver_.poll(addr, port) == C_url_resolver::result::ready) {
      connection_ = engine_->create_connection(addr, port, 0, 0, this, kConnectTimeoutMs);
      if (connection_) state_ = "connecting";
    }
  }
  return engine_->loop_once();
}

void C_file_log_client::i_onConnect(net::socket_t s, net::conn_handle attempt, net::user_data) {
  engine_->close_connection(attempt);
  connection_ = nullptr;
  if (!net::IsSocket(s)) {
    state_.clear();
    return;
  }
  connection_ = engine_->attach_socket(s, this, true);
  if (!connection_) {
    net::CloseSocket(s);
    state_.clear();
    return;
  }
  // Each attempt starts from an empty response.
  response_ = std::make_unique<C_http_response>();
  engine_->queue_send(connection_, request_.data(), static_cast<int32_t>(request_.size()));
  state_ = "sending";
}

bool C_file_log_client::i_onData(net::conn_handle c, const char* data, int32_t len, net::user_data) {
  response_->feed(data, static_cast<uint32_t>(len));
  if (response_->head_complete() && response_->content_length() == response_->body_received()) {
    engine_->close_connection(c);
    connection_ = nullptr;
    state_ = "finished";
    return false;
  }
  return true;
}

void C_file_log_client::i_onBreak(net::conn_handle c, net::user_data) {
  engine_->close_connection(c);
  connection_ = nullptr;
  state_ = "finished";
}

}  // namespace zandrel::http
