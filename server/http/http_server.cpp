#include "server/http/http_server.h"

#include <algorithm>

#include "platform/clock.h"
#include "server/common/log.h"

namespace zandrel::server {
namespace {

constexpr uint64_t kStreamChunk = 256 * 1024;
constexpr uint64_t kStreamQueue = 1 << 20;  // per streamed answer
constexpr uint64_t kMinShare = 16 * 1024;
constexpr uint32_t kSweepMs = 100;
constexpr uint32_t kStallMs = 1000;
constexpr uint32_t kRefusalLogMs = 10000;

}  // namespace

HttpServer::HttpServer(const HttpLimits& limits, RequestHandler& handler)
    : limits_(limits), handler_(handler), tcp_(std::make_unique<net::C_TcpModule>(*this)) {
  tcp_->start(true);
}

HttpServer::~HttpServer() {
  for (auto& [id, c] : conns_) tcp_->close_connection(c->handle);
  conns_.clear();
}

uint16_t HttpServer::Listen(uint32_t addr, uint16_t port, int tag) {
  net::conn_handle h = tcp_->create_listener_on(addr, port);
  if (!h) return 0;
  listeners_[h] = tag;
  return tcp_->local_port(h);
}

void HttpServer::Poll() { tcp_->loop_once(); }

void HttpServer::StopAccepting() {
  stopping_ = true;
  std::vector<Conn*> waiting;  // for a request, or for more of a streamed answer
  for (auto& [id, c] : conns_) {
    const Exchange& x = *c->exchange;
    if (x.stream_left() > 0 || (!x.answered() && !x.busy())) waiting.push_back(id);
  }
  for (Conn* c : waiting) {
    c->exchange->ClientLeft();
    Close(*c);
  }
}

void HttpServer::i_onAccept(net::conn_handle listener, net::socket_t s, uint32_t peerAddr, uint16_t peerPort,
                            uint32_t, uint16_t) {
  if (stopping_) {
    net::CloseSocket(s);
    return;
  }
  auto known = perAddress_.find(peerAddr);
  if (limits_.maxPerAddress && known != perAddress_.end() && known->second >= limits_.maxPerAddress) {
    ++overCap_;
    net::CloseSocket(s);
    return;
  }
  // A full table makes room by dropping the request that has waited longest
  // without being answered.
  if (tcp_->connection_count() >= net::C_TcpModule::kCapacity && !DropOldestIncomplete()) {
    net::CloseSocket(s);
    return;
  }
  auto conn = std::make_unique<Conn>();
  conn->handle = tcp_->attach_socket(s, conn.get(), true);
  if (!conn->handle) {
    net::CloseSocket(s);
    return;
  }
  ++perAddress_[peerAddr];
  conn->peerAddr = peerAddr;
  Peer peer;
  peer.addr = peerAddr;
  peer.text = net::Ipv4Text(peerAddr) + ":" + std::to_string(peerPort);
  auto tag = listeners_.find(listener);
  peer.listener = tag == listeners_.end() ? 0 : tag->second;
  conn->exchange = std::make_unique<Exchange>(limits_, handler_, std::move(peer), platform::TickCount());
  Conn* id = conn.get();
  conns_.emplace(id, std::move(conn));
}

bool HttpServer::DropOldestIncomplete() {
  Conn* oldest = nullptr;
  uint32_t now = platform::TickCount();
  for (auto& [id, c] : conns_) {
    if (c->exchange->answered() || c->exchange->busy()) continue;
    if (!oldest || now - c->exchange->started() > now - oldest->exchange->started()) oldest = id;
  }
  if (!oldest) return false;
  ++dropped_;
  oldest->exchange->ClientLeft();
  Close(*oldest);
  return true;
}

void HttpServer::Close(Conn& c) {
  tcp_->close_connection(c.handle);
  auto it = perAddress_.find(c.peerAddr);
  if (it != perAddress_.end() && --it->second == 0) perAddress_.erase(it);
  conns_.erase(&c);
}

void HttpServer::i_onBreak(net::conn_handle h, net::user_data user) {
  auto it = conns_.find(static_cast<Conn*>(user));
  if (it == conns_.end()) {
    tcp_->close_connection(h);
    return;
  }
  it->second->exchange->ClientLeft();
  Close(*it->second);
}

bool HttpServer::i_onData(net::conn_handle h, const char* data, int32_t len, net::user_data user) {
  auto it = conns_.find(static_cast<Conn*>(user));
  if (it == conns_.end()) {
    tcp_->close_connection(h);
    return false;
  }
  Conn& c = *it->second;
  uint32_t now = platform::TickCount();
  c.exchange->Feed(data, static_cast<std::size_t>(len), now);
  // Closed by a later pass once the answer has left; never here, since the
  // engine may still be using the connection's record.
  Flush(c, now);
  return true;
}

void HttpServer::Flush(Conn& c, uint32_t now) {
  Exchange& x = *c.exchange;
  if (x.answered() && !c.answerStarted) {
    c.answerStarted = true;
    c.answeredAt = now;
    c.lastProgress = now;
  }
  if (x.has_output()) {
    std::string out = x.TakeOutput();
    tcp_->queue_send(c.handle, out.data(), static_cast<int32_t>(out.size()));
    c.handedOut += out.size();
  }
  // A streamed body is produced as the reader takes it. Each answer may
  // have its share of the stream budget queued (at most kStreamQueue), and
  // beyond kMinShare only while the budget lasts: memory stays bounded by
  // the budget plus kMinShare per connection, and a new reader is never
  // starved by readers that stopped reading.
  while (x.stream_left() > 0) {
    int64_t queued = tcp_->queued_bytes(c.handle);
    if (queued < 0) return;
    uint64_t share =
        std::clamp<uint64_t>(limits_.streamBudget / std::max<std::size_t>(streams_, 1), kMinShare, kStreamQueue);
    uint64_t q = static_cast<uint64_t>(queued);
    if (q >= share) return;
    uint64_t n = std::min(kStreamChunk, share - q);
    if (q + n > kMinShare) {
      uint64_t left = streamQueued_ < limits_.streamBudget ? limits_.streamBudget - streamQueued_ : 0;
      n = std::min(n, std::max(left, kMinShare > q ? kMinShare - q : 0));
      if (n == 0) return;
    }
    if (limits_.streamRate) {
      uint64_t allowed = limits_.streamRate * (now - c.answeredAt) / 1000 + 16384;
      if (c.handedOut >= allowed) return;
      n = std::min<uint64_t>(n, allowed - c.handedOut);
    }
    if (streamChunk_.size() != kStreamChunk) streamChunk_.resize(kStreamChunk);
    n = x.Produce(streamChunk_.data(), static_cast<std::size_t>(n));
    if (!tcp_->queue_send(c.handle, streamChunk_.data(), static_cast<int32_t>(n))) return;
    c.handedOut += n;
    int64_t after = tcp_->queued_bytes(c.handle);
    if (after > queued) streamQueued_ += static_cast<uint64_t>(after - queued);
  }
}

// An answer must keep moving (some of it taken every headMs while bytes
// wait) and, after headMs of grace, be taken at minRate on average.
bool HttpServer::TooSlowAnswer(Conn& c, uint32_t now) const {
  if (!c.answerStarted) return false;
  int64_t queued = tcp_->queued_bytes(c.handle);
  uint64_t taken = c.handedOut - static_cast<uint64_t>(std::max<int64_t>(queued, 0));
  if (taken > c.takenSeen || queued <= 0) {
    c.takenSeen = taken;
    c.lastProgress = now;
  } else if (now - c.lastProgress >= limits_.headMs) {
    return true;
  }
  uint32_t elapsed = now - c.answeredAt;
  if (elapsed <= limits_.headMs) return false;
  uint64_t rate = limits_.streamRate ? std::min(limits_.minRate, limits_.streamRate) : limits_.minRate;
  return taken * 1000 < rate * (elapsed - limits_.headMs);
}

void HttpServer::i_onLoop() {
  uint32_t now = platform::TickCount();
  streamQueued_ = 0;
  streams_ = 0;
  for (auto& [id, c] : conns_) {
    if (c->exchange->stream_left() == 0) continue;
    ++streams_;
    streamQueued_ += static_cast<uint64_t>(std::max<int64_t>(tcp_->queued_bytes(c->handle), 0));
  }
  // After a pass that stalled (a slow disk, say), what clients sent in the
  // meantime is read before anyone is judged against a deadline.
  bool stalled = now - lastLoop_ > kStallMs;
  lastLoop_ = now;
  bool sweep = !stalled && now - lastSweep_ >= kSweepMs;
  if (sweep) lastSweep_ = now;
  handler_.OnPass();
  std::vector<Conn*> done;
  for (auto& [id, c] : conns_) {
    Exchange& x = *c->exchange;
    if (!x.answered()) {
      x.Settle();
      if (x.answered()) Flush(*c, now);
    }
    if (x.stream_left() > 0) Flush(*c, now);
    if (x.finished() && tcp_->queued_bytes(c->handle) == 0) {
      done.push_back(id);
    } else if (sweep && (x.Overdue(now) || TooSlowAnswer(*c, now))) {
      ++overdue_;
      x.ClientLeft();
      done.push_back(id);
    }
  }
  for (Conn* c : done) Close(*c);
  ReportRefusals(now);
}

// Connections closed for missing a deadline, dropped for room or refused
// over the per-address cap are summed up, not logged one by one: a flood
// would drown the log.
void HttpServer::ReportRefusals(uint32_t now) {
  if (now - lastRefusalLog_ < kRefusalLogMs || (overdue_ == 0 && dropped_ == 0 && overCap_ == 0)) return;
  lastRefusalLog_ = now;
  LogLine(limits_.quiet,
          "in the last %u s: %llu connections closed for missing a deadline, %llu dropped to make room, "
          "%llu refused over the per-address limit of %u",
          kRefusalLogMs / 1000, static_cast<unsigned long long>(overdue_), static_cast<unsigned long long>(dropped_),
          static_cast<unsigned long long>(overCap_), limits_.maxPerAddress);
  overdue_ = dropped_ = overCap_ = 0;
}

}  // namespace zandrel::server
