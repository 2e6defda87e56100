#include "server/http/http_server.h"

#include <algorithm>
#include <climits>
#include <tuple>

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
// A request whose head has been under way for less than this is never
// evicted: its bytes may still be on their way.
constexpr uint32_t kYoungMs = 1000;
constexpr uint64_t kNoProgress = UINT64_MAX;

}  // namespace

HttpServer::HttpServer(const HttpLimits& limits, RequestHandler& handler)
    : limits_(limits), handler_(handler), tcp_(std::make_unique<net::C_TcpModule>(*this)) {
  tcp_->start(true);
  tcp_->set_accept_gate([this] { return MakeRoom(); });
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
  // A trusted proxy speaks for many clients: its connections are counted
  // under the client its header names, once it has been read.
  const bool proxied = InRanges(limits_.trustedProxies, peerAddr);
  if (!proxied && OverCap(peerAddr)) {
    ++overCap_;
    net::CloseSocket(s);
    return;
  }
  auto conn = std::make_unique<Conn>();
  conn->handle = tcp_->attach_socket(s, conn.get(), true);
  if (!conn->handle) {
    net::CloseSocket(s);
    return;
  }
  conn->peerAddr = peerAddr;
  conn->counted = !proxied;
  if (conn->counted) ++perAddress_[peerAddr];
  Peer peer;
  peer.addr = peerAddr;
  peer.text = net::Ipv4Text(peerAddr) + ":" + std::to_string(peerPort);
  auto tag = listeners_.find(listener);
  peer.listener = tag == listeners_.end() ? 0 : tag->second;
  conn->exchange = std::make_unique<Exchange>(limits_, handler_, std::move(peer), platform::TickCount());
  Conn* id = conn.get();
  conn->exchange->set_stream_gate([this, id] { return MayStream(*id); });
  if (proxied) conn->exchange->set_proxy_gate([this, id] { return CountProxied(*id); });
  conns_.emplace(id, std::move(conn));
}

std::size_t HttpServer::TableLimit() const {
  std::size_t engine = net::C_TcpModule::kCapacity - listeners_.size();
  return limits_.maxConnections ? std::min<std::size_t>(limits_.maxConnections, engine) : engine;
}

// Asked by the engine before each accept, when a connection is waiting.
bool HttpServer::MakeRoom() {
  if (stopping_ || conns_.size() < TableLimit()) return true;
  uint32_t now = platform::TickCount();
  for (;;) {
    Conn* victim = PickVictim(now);
    if (!victim) {
      // Nobody can give way: the rest wait in the listener's queue, and the
      // listeners are not waited on until the table changes or time passes.
      tcp_->hold_accepts(true);
      return false;
    }
    if (victim->readInPass != pass_) {
      // What it has sent may finish its request, or show it keeping pace.
      victim->readInPass = pass_;
      tcp_->read_now(victim->handle);
      if (conns_.size() < TableLimit()) return true;  // it left, or was answered and closed
      continue;
    }
    Evict(*victim);
    return true;
  }
}

bool HttpServer::Judge(const Conn& c, uint32_t now, Standing& out) const {
  const Exchange& x = *c.exchange;
  if (x.busy()) return false;
  auto finish = [](uint64_t left, uint64_t done, uint32_t elapsed) {
    if (done == 0) return kNoProgress;
    return static_cast<uint64_t>(std::min(static_cast<double>(left) * std::max<uint32_t>(elapsed, 1) / done, 1e18));
  };
  uint64_t floor = limits_.minRate;
  if (x.stream_left() > 0 && c.answerStarted) {
    int64_t queued = std::max<int64_t>(tcp_->queued_bytes(c.handle), 0);
    uint64_t taken = c.handedOut - static_cast<uint64_t>(queued);
    uint32_t elapsed = now - c.answeredAt;
    if (limits_.streamRate) floor = std::min(floor, limits_.streamRate);
    bool behind = elapsed > limits_.headMs && taken * 1000 < floor * (elapsed - limits_.headMs);
    out.rank = behind ? 0 : 1;
    out.msToFinish = finish(x.stream_left() + static_cast<uint64_t>(queued), taken, elapsed);
    out.age = elapsed;
  } else if (!x.answered()) {
    if (!x.head_done()) {
      out.age = now - x.started();
      if (out.age < std::min(kYoungMs, limits_.headMs)) return false;
      out.rank = 0;
      out.msToFinish = kNoProgress;
    } else {
      // A body keeping the minimum rate is never evicted: a newcomer is not
      // worth more than an upload under way, and waits in the queue.
      uint32_t elapsed = now - x.head_done_at();
      uint64_t taken = x.body_taken();
      if (elapsed < kYoungMs || taken * 1000 >= floor * elapsed) return false;
      out.rank = 0;
      out.msToFinish = finish(x.body_left(), taken, elapsed);
      out.age = now - x.started();
    }
  } else {
    return false;  // an answer on its way out: it goes by itself
  }
  auto n = perAddress_.find(c.peerAddr);
  out.addressConnections = n == perAddress_.end() ? 0 : n->second;
  return true;
}

HttpServer::Conn* HttpServer::PickVictim(uint32_t now) {
  Conn* victim = nullptr;
  Standing best;
  for (auto& [id, c] : conns_) {
    Standing st;
    if (!Judge(*c, now, st)) continue;
    auto key = [](const Standing& s) {
      return std::make_tuple(s.rank, ~s.addressConnections, ~s.msToFinish, ~s.age);
    };
    if (!victim || key(st) < key(best)) {
      victim = id;
      best = st;
    }
  }
  return victim;
}

void HttpServer::Evict(Conn& c) {
  ++evicted_;
  if (!c.exchange->answered()) {
    // Read to the end just before, so the close does not reset the answer.
    std::string busy = BusyAnswer(kBusyRetryAfterSeconds, limits_.fields);
    tcp_->queue_send(c.handle, busy.data(), static_cast<int32_t>(busy.size()));
  }
  c.exchange->ClientLeft();
  Close(c);
}

// A new streamed answer may start while streamed answers hold less than
// three quarters of the table and its address has fewer than its share.
bool HttpServer::MayStream(Conn& c) {
  std::size_t limit = TableLimit() - TableLimit() / 4;
  uint32_t perAddress = limits_.maxPerAddress ? std::max<uint32_t>(limits_.maxPerAddress / 4, 1) : 0;
  auto mine = streamsPerAddress_.find(c.peerAddr);
  if (streaming_ >= limit || (perAddress && mine != streamsPerAddress_.end() && mine->second >= perAddress)) {
    ++streamsRefused_;
    return false;
  }
  c.streaming = true;
  ++streaming_;
  ++streamsPerAddress_[c.peerAddr];
  return true;
}

bool HttpServer::OverCap(uint32_t addr) const {
  auto known = perAddress_.find(addr);
  return limits_.maxPerAddress && known != perAddress_.end() && known->second >= limits_.maxPerAddress;
}

// Once a proxied connection's header is in, it counts under its client, who
// is held to the same cap as a client that connects directly (a 503 rather
// than a silent close, since the balancer has already taken the client on).
bool HttpServer::CountProxied(Conn& c) {
  c.peerAddr = c.exchange->peer().addr;
  if (OverCap(c.peerAddr)) {
    ++overCap_;
    return false;
  }
  c.counted = true;
  ++perAddress_[c.peerAddr];
  return true;
}

void HttpServer::Close(Conn& c) {
  tcp_->close_connection(c.handle);
  auto it = c.counted ? perAddress_.find(c.peerAddr) : perAddress_.end();
  if (it != perAddress_.end() && --it->second == 0) perAddress_.erase(it);
  if (c.streaming) {
    --streaming_;
    auto s = streamsPerAddress_.find(c.peerAddr);
    if (s != streamsPerAddress_.end() && --s->second == 0) streamsPerAddress_.erase(s);
  }
  conns_.erase(&c);
  tcp_->hold_accepts(false);  // there is room now
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
  if (c.pass != pass_) {
    c.pass = pass_;
    c.passBytes = 0;
  }
  while (x.stream_left() > 0) {
    if (c.passBytes >= kConnPassStreamBytes || passStreamed_ >= kPassStreamBytes ||
        std::chrono::steady_clock::now() >= streamDeadline_) {
      return;
    }
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
    n = std::min({n, kConnPassStreamBytes - c.passBytes, kPassStreamBytes - passStreamed_});
    if (streamChunk_.size() != kStreamChunk) streamChunk_.resize(kStreamChunk);
    n = x.Produce(streamChunk_.data(), static_cast<std::size_t>(n));
    if (!tcp_->queue_send(c.handle, streamChunk_.data(), static_cast<int32_t>(n))) return;
    c.handedOut += n;
    c.passBytes += n;
    passStreamed_ += n;
    mostStreamed_ = std::max(mostStreamed_, passStreamed_);
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
  ++pass_;
  passStreamed_ = 0;
  streamDeadline_ = std::chrono::steady_clock::now() + kPassStreamTime;
  streamQueued_ = 0;
  streams_ = 0;
  std::vector<Conn*> streams;
  for (auto& [id, c] : conns_) {
    if (c->exchange->stream_left() == 0) continue;
    ++streams_;
    streams.push_back(id);
    streamQueued_ += static_cast<uint64_t>(std::max<int64_t>(tcp_->queued_bytes(c->handle), 0));
  }
  // After a pass that stalled (a slow disk, say), what clients sent in the
  // meantime is read before anyone is judged against a deadline.
  bool stalled = now - lastLoop_ > kStallMs;
  lastLoop_ = now;
  bool sweep = !stalled && now - lastSweep_ >= kSweepMs;
  if (sweep) {
    lastSweep_ = now;
    tcp_->hold_accepts(false);  // requests age: one may give way now
  }
  handler_.OnPass();
  // Streamed answers take turns at going first, since the pass's bounds
  // may leave the last ones nothing.
  if (!streams.empty()) {
    std::size_t first = streamTurn_++ % streams.size();
    std::rotate(streams.begin(), streams.begin() + static_cast<std::ptrdiff_t>(first), streams.end());
  }
  for (Conn* c : streams) Flush(*c, now);
  std::vector<Conn*> done;
  for (auto& [id, c] : conns_) {
    Exchange& x = *c->exchange;
    if (!x.answered()) {
      x.Settle();
      if (x.answered()) Flush(*c, now);
    }
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
  if (now - lastRefusalLog_ < kRefusalLogMs ||
      (overdue_ == 0 && evicted_ == 0 && overCap_ == 0 && streamsRefused_ == 0)) {
    return;
  }
  lastRefusalLog_ = now;
  LogLine(limits_.quiet,
          "in the last %u s: %llu connections closed for missing a deadline, %llu evicted to make room (503), "
          "%llu refused over the per-address limit of %u, %llu streamed answers refused for want of room (503)",
          kRefusalLogMs / 1000, static_cast<unsigned long long>(overdue_), static_cast<unsigned long long>(evicted_),
          static_cast<unsigned long long>(overCap_), limits_.maxPerAddress,
          static_cast<unsigned long long>(streamsRefused_));
  overdue_ = evicted_ = overCap_ = streamsRefused_ = 0;
}

}  // namespace zandrel::server
