#include "server/http/exchange.h"

#include <algorithm>
#include <thread>

#include "server/common/log.h"

namespace zandrel::server {

bool ParseContentLength(const std::string* text, uint64_t& out) {
  if (!text || text->empty() || text->size() > 19) return false;
  out = 0;
  for (char ch : *text) {
    if (ch < '0' || ch > '9') return false;
    out = out * 10 + static_cast<uint64_t>(ch - '0');
  }
  return true;
}

Exchange::Exchange(const HttpLimits& limits, RequestHandler& handler, Peer peer, uint32_t nowMs)
    : limits_(limits), handler_(handler), peer_(std::move(peer)), started_(nowMs) {
  if (!limits_.trustedProxies.empty()) {
    proxy_ = InRanges(limits_.trustedProxies, peer_.addr) ? ProxyStage::kRequired : ProxyStage::kRefused;
  }
}

Exchange::~Exchange() = default;

void Exchange::Feed(const char* data, std::size_t len, uint32_t nowMs) {
  if (answered_) return;
  if (proxy_ != ProxyStage::kDone) {
    std::string rest;
    if (TakeProxyHeader(data, len, rest)) FeedHead(rest.data(), rest.size(), nowMs);
    return;
  }
  FeedHead(data, len, nowMs);
}

// The PROXY header, or the first bytes of a connection that may not send
// one. True once it is done with, with the bytes that follow in rest;
// false while more are needed or once the connection is answered.
bool Exchange::TakeProxyHeader(const char* data, std::size_t len, std::string& rest) {
  std::size_t take = std::min(len, kMaxProxyHeaderBytes - std::min(kMaxProxyHeaderBytes, proxyBytes_.size()));
  proxyBytes_.append(data, take);
  if (proxy_ == ProxyStage::kRefused) {
    ProxyStart start = LooksLikeProxyHeader(proxyBytes_);
    if (start == ProxyStart::kMaybe) return false;
    if (start == ProxyStart::kYes) {
      headError_ = "a PROXY header from an address that is not a trusted proxy";
      Respond(400, "Bad Request", std::string(headError_) + "\n");
      return false;
    }
    rest = std::move(proxyBytes_);
    std::string().swap(proxyBytes_);
    proxy_ = ProxyStage::kDone;
  } else {
    ProxyParse p = ParseProxyHeader(proxyBytes_);
    if (p.state == ProxyState::kIncomplete) return false;
    if (p.state == ProxyState::kBad) {
      headError_ = p.error;
      Respond(400, "Bad Request", std::string(p.error) + "\n");
      return false;
    }
    const std::string via = peer_.text;
    if (p.hasSource) peer_.addr = p.addr;
    if (!p.sourceText.empty()) peer_.text = p.sourceText + " via " + via;
    rest = proxyBytes_.substr(p.length);
    std::string().swap(proxyBytes_);
    proxy_ = ProxyStage::kDone;
    if (proxyGate_ && !proxyGate_()) {
      output_ += BusyAnswer(kBusyRetryAfterSeconds);
      answered_ = true;
      return false;
    }
  }
  rest.append(data + take, len - take);
  return true;
}

void Exchange::FeedHead(const char* data, std::size_t len, uint32_t nowMs) {
  if (headDone_) {
    TakeBody(data, len);
    return;
  }
  std::size_t take = std::min(len, kMaxHeadBytes - std::min(kMaxHeadBytes, headBytes_.size()));
  headBytes_.append(data, take);
  HeadParse p = ParseRequestHead(headBytes_, head_);
  if (p.state == HeadState::kIncomplete) return;
  if (p.state == HeadState::kBad) {
    headError_ = p.error;
    Respond(400, "Bad Request", std::string(p.error) + "\n", limits_.fields);
    return;
  }
  headDone_ = true;
  headDoneAt_ = nowMs;
  std::string early = headBytes_.substr(p.length);  // body bytes that came with the head
  std::string().swap(headBytes_);
  request_ = handler_.Open(head_, peer_, *this, nowMs);
  if (answered_ || !request_) return;
  TakeBody(early.data(), early.size());
  TakeBody(data + take, len - take);
}

void Exchange::TakeBody(const char* data, std::size_t len) {
  if (!request_ || answered_) return;
  // Bytes past the declared length are not part of the request.
  std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(len, request_->body_left()));
  if (n == 0 && len > 0) return;
  bodyTaken_ += n;
  request_->Body(data, n, *this);
}

void Exchange::Settle() {
  if (request_ && !answered_) request_->Settle(*this);
}

void Exchange::Respond(int code, const char* reason, std::string_view body, const std::string& extraFields,
                       const char* type) {
  if (answered_) return;
  output_ += "HTTP/1.1 " + std::to_string(code) + " " + reason + "\r\nContent-Type: " + type +
             "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extraFields +
             "Connection: close\r\n\r\n";
  output_ += body;
  answered_ = true;
  if (code != 200 || head_.method != "POST") {
    // The client chose these bytes: a line quotes a bounded, escaped part of
    // them, and an address gets a few lines a minute.
    std::string method = head_.method.empty() ? "-" : QuoteForLog(head_.method, 40);
    std::string target = head_.target.empty() ? "-" : QuoteForLog(head_.target);
    LogLineAbout(limits_.quiet, peer_.addr, "%s %s from %s: %d%s%s%s", method.c_str(), target.c_str(),
                 peer_.text.c_str(), code, headError_ ? " (" : "", headError_ ? headError_ : "", headError_ ? ")" : "");
  }
}

std::string BusyAnswer(unsigned retryAfterSeconds, const std::string& fields) {
  static const std::string body = "the server is busy; try again later\n";
  return "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\nRetry-After: " + std::to_string(retryAfterSeconds) + "\r\n" + fields +
         "Connection: close\r\n\r\n" + body;
}

void Exchange::RespondStreamed(std::string head) {
  if (answered_) return;
  if (streamGate_ && !streamGate_()) {
    // Counted by whoever refused it, not logged one by one.
    output_ += BusyAnswer(kBusyRetryAfterSeconds, limits_.fields);
    answered_ = true;
    return;
  }
  output_ += head;
  answered_ = true;
  streaming_ = true;
}

void Exchange::ClientLeft() {
  if (request_ && !answered_) request_->ClientLeft();
  request_.reset();
}

bool Exchange::Overdue(uint32_t nowMs) const {
  if (answered_ || busy()) return false;
  if (!headDone_) return nowMs - started_ >= limits_.headMs;
  uint32_t elapsed = nowMs - headDoneAt_;
  if (!request_ || request_->body_left() == 0 || elapsed <= limits_.headMs) return false;
  return bodyTaken_ * 1000 < limits_.minRate * (elapsed - limits_.headMs);
}

std::string Exchange::TakeOutput() {
  std::string out;
  out.swap(output_);
  return out;
}

std::string HandleInProcess(const HttpLimits& limits, RequestHandler& handler, const std::vector<std::string>& pieces,
                            Peer peer, uint64_t maxStreamBytes) {
  Exchange x(limits, handler, std::move(peer), 0);
  std::string out;
  for (const std::string& piece : pieces) {
    x.Feed(piece.data(), piece.size(), 0);
    out += x.TakeOutput();
  }
  while (x.busy() && !x.answered()) {
    handler.OnPass();
    x.Settle();
    if (!x.answered()) std::this_thread::yield();
  }
  out += x.TakeOutput();
  if (!x.answered()) x.ClientLeft();
  char chunk[4096];
  while (maxStreamBytes > 0 && x.stream_left() > 0) {
    std::size_t n = x.Produce(chunk, static_cast<std::size_t>(std::min<uint64_t>(sizeof chunk, maxStreamBytes)));
    out.append(chunk, n);
    maxStreamBytes -= n;
  }
  return out;
}

}  // namespace zandrel::server
