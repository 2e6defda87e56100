#include "http/http_downloader.h"

#include <algorithm>
#include <limits>

#include "http/http_request.h"
#include "http/request_writer.h"
#include "platform/clock.h"

namespace zandrel::http {

C_http_downloader::C_http_downloader(std::string url, I_http_data_handler& handler)
    : C_http_downloader(std::move(url), handler, net::create_tcp_module) {}

C_http_downloader::C_http_downloader(std::string url, I_http_data_handler& handler, const engine_factory& make_engine,
                                     tick_source clock)
    : url_(std::move(url)), resolver_(url_), handler_(handler), clock_(std::move(clock)) {
  if (!clock_) clock_ = platform::TickCount;
  engine_ = make_engine(*this);
  if (engine_ && !engine_->start(true)) engine_.reset();
}

C_http_downloader::~C_http_downloader() {
  drop_record();
  engine_.reset();
}

void C_http_downloader::drop_record() {
  if (!record_) return;
  if (engine_ && record_->connection) engine_->close_connection(record_->connection);
  record_.reset();
}

void C_http_downloader::wait_before_retry() {
  retry_since_ = clock_();
  retry_for_ = retry_wait_ms_;
  retry_wait_ms_ = std::min(retry_wait_ms_ * 2, kLastRetryWaitMs);
}

bool C_http_downloader::retry_due() {
  if (retry_for_ != 0 && clock_() - retry_since_ >= retry_for_) retry_for_ = 0;
  return retry_for_ == 0;
}

bool C_http_downloader::step() {
  if (state_ == 2 || !engine_) return false;
  if (!record_ && retry_due()) {
    uint32_t addr = 0;
    uint16_t port = 0;
    // The name is looked up off this thread; a later step connects.
    C_url_resolver::result found = resolver_.poll(addr, port);
    if (found == C_url_resolver::result::ready && addr != 0) {
      record_ = std::make_unique<download_conn>();
      record_->addr = addr;
      record_->port = port;
      received_at_connect_ = received_;
      record_->connection = engine_->create_connection(addr, port, 0, 0, record_.get(), kConnectTimeoutMs);
    } else if (found != C_url_resolver::result::pending) {
      wait_before_retry();
    }
  }
  if (state_ == 0 && record_) state_ = 1;
  return engine_->loop_once();
}

void C_http_downloader::i_onConnect(net::socket_t s, net::conn_handle attempt, net::user_data user) {
  engine_->close_connection(attempt);
  download_conn* rec = record_.get();
  if (!rec || rec != user) {  // an attempt this downloader no longer tracks
    net::CloseSocket(s);
    return;
  }
  rec->connection = nullptr;
  if (!net::IsSocket(s)) return;
  net::ReserveReceiveWindow(s, kReceiveWindowBytes);
  rec->connection = engine_->attach_socket(s, rec, true);
  if (!rec->connection) {
    net::CloseSocket(s);
    return;
  }
  C_http_request req(url_);
  char head[kRequestBuffer];
  int n = write_head(req, head, sizeof head, static_cast<uint64_t>(received_));
  if (!engine_->queue_send(rec->connection, head, n)) {
    engine_->close_connection(rec->connection);
    rec->connection = nullptr;
  }
}

void C_http_downloader::finish() {
  state_ = 2;
  handler_.i_onHttpFinished();
}

bool C_http_downloader::continues_body(const C_http_response& response) const {
  const content_range* range = response.range();
  return response.status() == 206 && range && range->first == static_cast<uint64_t>(received_);
}

void C_http_downloader::deliver(const char* data, int64_t len) {
  int64_t drop = std::min(skip_, len);
  skip_ -= drop;
  len -= drop;
  if (len <= 0) return;
  received_ += len;
  handler_.i_onHttpData(data + drop, static_cast<int32_t>(len));
}

bool C_http_downloader::i_onData(net::conn_handle c, const char* data, int32_t len, net::user_data user) {
  download_conn* rec = record_.get();
  if (!rec || rec != user) {
    engine_->close_connection(c);
    return false;
  }
  if (rec->response.head_complete()) {
    deliver(data, len);
  } else {
    rec->response.feed(data, static_cast<uint32_t>(len));
    if (rec->response.head_complete()) {
      status_ = static_cast<uint16_t>(rec->response.status());
      if (received_ == 0) first_status_ = status_;
      skip_ = 0;
      if (received_ > 0 && !continues_body(rec->response)) {
        if (status_ == 206 || status_ != first_status_) {
          // Asked for a range and given another answer (a 503 page, 416 for
          // a resource that changed, a part from elsewhere in the resource):
          // nothing of this body. Asking again would bring the same answer:
          // the download stops here, without a connection, as when a connect
          // fails; the owner's time-out ends it.
          engine_->close_connection(rec->connection);
          rec->connection = nullptr;
          return false;
        }
        // Given what the first answer gave (the whole resource, or the same
        // page again): skip what was delivered.
        skip_ = received_;
      }
      if (total_ == 0) {
        // A length beyond the signed range is kept as the largest one.
        uint64_t length = rec->response.content_length();
        total_ = static_cast<int64_t>(std::min<uint64_t>(length, std::numeric_limits<int64_t>::max()));
        int32_t code = rec->response.status();
        if (code >= 300 && code <= 399) redirect_ = rec->response.find_header("Location");
        handler_.i_onHttpLength(static_cast<uint64_t>(total_));
      }
      // The bytes after the blank line are the last bytes of this read.
      uint64_t body = std::min<uint64_t>(rec->response.body_received(), static_cast<uint64_t>(len));
      if (body > 0) deliver(data + len - static_cast<int32_t>(body), static_cast<int64_t>(body));
    }
  }
  if (total_ != 0 && received_ >= total_) {
    drop_record();
    finish();
    return false;
  }
  if (record_ && record_->response.head_complete() &&
      record_->response.content_length() == record_->response.body_received()) {
    drop_record();
    finish();
  }
  return record_ != nullptr;
}

void C_http_downloader::i_onBreak(net::conn_handle c, net::user_data user) {
  if (record_ && record_.get() == user) {
    drop_record();
    // A connection that brought something new is taken up again at once;
    // one that brought nothing is not asked again straight away.
    if (received_ == received_at_connect_) {
      wait_before_retry();
    } else {
      retry_wait_ms_ = kFirstRetryWaitMs;
    }
  } else {
    engine_->close_connection(c);
  }
  if (total_ == 0 && received_ != 0) {
    finish();
  } else {
    handler_.i_onHttpData(nullptr, 0);
  }
}

uint16_t C_http_downloader::get_status(std::string& target) {
  if (!record_ || !record_->response.head_complete()) return 0;
  auto code = static_cast<uint16_t>(record_->response.status());
  if (code / 100 == 3) target = redirect_;
  return code;
}

uint16_t C_http_downloader::completed_status(std::string& target) const {
  if (state_ != 2) return 0;
  if (status_ / 100 == 3) target = redirect_;
  return status_;
}

}  // namespace zandrel::http
