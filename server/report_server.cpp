#include "report_server.h"

#include <algorithm>

#include "platform/clock.h"
#include "platform/files.h"

namespace zandrel::server {
namespace {

constexpr uint64_t kStreamChunk = 256 * 1024;
constexpr uint64_t kStreamQueue = 1 << 20;  // per download
constexpr uint64_t kMinShare = 16 * 1024;
constexpr uint32_t kSweepMs = 100;
constexpr uint32_t kStallMs = 1000;
constexpr uint32_t kRefusalLogMs = 10000;

}  // namespace

ReportServer::ReportServer(ServerOptions options) : opt_(std::move(options)), store_(opt_) {}

ReportServer::~ReportServer() {
  for (auto& [id, c] : conns_) tcp_->close_connection(c->handle);
  conns_.clear();
}

bool ReportServer::Start(std::string& error) {
  if (!store_.Open(error)) return false;
  if (!store_.StartWorker()) {
    error = "cannot start the thread that stores reports";
    return false;
  }
  platform::RaiseOpenFileLimit();
  tcp_ = std::make_unique<net::C_TcpModule>(*this);
  tcp_->start(true);
  httpListener_ = tcp_->create_listener_on(opt_.bindAddr, opt_.httpPort);
  if (!httpListener_) {
    error = "cannot listen on TCP port " + std::to_string(opt_.httpPort);
    return false;
  }
  httpPort_ = tcp_->local_port(httpListener_);
  udp_ = net::create_udp_module();
  udpSocket_ = udp_->udp_open_on(opt_.bindAddr, opt_.udpPort, this);
  if (!udpSocket_) {
    error = "cannot bind UDP port " + std::to_string(opt_.udpPort);
    return false;
  }
  udpPort_ = udp_->local_port(udpSocket_);
  if (opt_.hintPort) {
    hintListener_ = tcp_->create_listener_on(opt_.bindAddr, opt_.hintPort);
    if (!hintListener_) {
      LogLine(opt_.quiet, "hint page is not served on port %u (the port cannot be bound)", opt_.hintPort);
    }
  }
  LogLine(opt_.quiet, "serving HTTP on port %u, UDP on port %u, reports in %s", httpPort_, udpPort_,
          opt_.dataDir.c_str());
  return true;
}

void ReportServer::Poll() {
  tcp_->loop_once();
  udp_->udp_loop_once();
}

void ReportServer::Shutdown(uint32_t graceMs) {
  stopping_ = true;
  std::vector<Conn*> waiting;  // for a request, or for more of the speed file
  for (auto& [id, c] : conns_) {
    const Exchange& x = *c->exchange;
    if (x.stream_left() > 0 || (!x.answered() && !x.storing())) waiting.push_back(id);
  }
  for (Conn* c : waiting) {
    c->exchange->ClientLeft();
    Close(*c);
  }
  uint32_t start = platform::TickCount();
  while ((store_.storing() > 0 || !conns_.empty()) && platform::TickCount() - start < graceMs) Poll();
}

void ReportServer::i_onRecv(uint32_t addr, uint16_t port, const char* data, int32_t len) {
  udp_->udp_send(udpSocket_, data, len, addr, port);
}

void ReportServer::i_onAccept(net::conn_handle listener, net::socket_t s, uint32_t peerAddr, uint16_t peerPort,
                              uint32_t, uint16_t) {
  if (stopping_) {
    net::CloseSocket(s);
    return;
  }
  auto known = perAddress_.find(peerAddr);
  if (opt_.maxPerAddress && known != perAddress_.end() && known->second >= opt_.maxPerAddress) {
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
  conn->exchange = std::make_unique<Exchange>(opt_, store_, peerAddr,
                                              net::Ipv4Text(peerAddr) + ":" + std::to_string(peerPort),
                                              listener == hintListener_, platform::TickCount());
  Conn* id = conn.get();
  conns_.emplace(id, std::move(conn));
}

bool ReportServer::DropOldestIncomplete() {
  Conn* oldest = nullptr;
  uint32_t now = platform::TickCount();
  for (auto& [id, c] : conns_) {
    if (c->exchange->answered() || c->exchange->storing()) continue;
    if (!oldest || now - c->exchange->started() > now - oldest->exchange->started()) oldest = id;
  }
  if (!oldest) return false;
  ++dropped_;
  oldest->exchange->ClientLeft();
  Close(*oldest);
  return true;
}

void ReportServer::Close(Conn& c) {
  tcp_->close_connection(c.handle);
  auto it = perAddress_.find(c.peerAddr);
  if (it != perAddress_.end() && --it->second == 0) perAddress_.erase(it);
  conns_.erase(&c);
}

void ReportServer::i_onBreak(net::conn_handle h, net::user_data user) {
  auto it = conns_.find(static_cast<Conn*>(user));
  if (it == conns_.end()) {
    tcp_->close_connection(h);
    return;
  }
  it->second->exchange->ClientLeft();
  Close(*it->second);
}

bool ReportServer::i_onData(net::conn_handle h, const char* data, int32_t len, net::user_data user) {
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

void ReportServer::Flush(Conn& c, uint32_t now) {
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
  // The speed-test file is generated as the reader takes it. Each download
  // may have its share of opt_.speedBudget queued (at most kStreamQueue), and
  // beyond kMinShare only while the budget lasts: memory stays bounded by the
  // budget plus kMinShare per connection, and a new reader is never starved
  // by readers that stopped reading.
  while (x.stream_left() > 0) {
    int64_t queued = tcp_->queued_bytes(c.handle);
    if (queued < 0) return;
    uint64_t share = std::clamp<uint64_t>(opt_.speedBudget / std::max<std::size_t>(streams_, 1), kMinShare, kStreamQueue);
    uint64_t q = static_cast<uint64_t>(queued);
    if (q >= share) return;
    uint64_t n = std::min(kStreamChunk, share - q);
    if (q + n > kMinShare) {
      uint64_t left = speedQueued_ < opt_.speedBudget ? opt_.speedBudget - speedQueued_ : 0;
      n = std::min(n, std::max(left, kMinShare > q ? kMinShare - q : 0));
      if (n == 0) return;
    }
    if (opt_.speedRate) {
      uint64_t allowed = opt_.speedRate * (now - c.answeredAt) / 1000 + 16384;
      if (c.handedOut >= allowed) return;
      n = std::min<uint64_t>(n, allowed - c.handedOut);
    }
    if (streamChunk_.size() != kStreamChunk) streamChunk_.resize(kStreamChunk);
    n = x.Produce(streamChunk_.data(), static_cast<std::size_t>(n));
    if (!tcp_->queue_send(c.handle, streamChunk_.data(), static_cast<int32_t>(n))) return;
    c.handedOut += n;
    int64_t after = tcp_->queued_bytes(c.handle);
    if (after > queued) speedQueued_ += static_cast<uint64_t>(after - queued);
  }
}

// An answer must keep moving (some of it taken every headMs while bytes
// wait) and, after headMs of grace, be taken at opt_.minRate on average.
bool ReportServer::TooSlowAnswer(Conn& c, uint32_t now) const {
  if (!c.answerStarted) return false;
  int64_t queued = tcp_->queued_bytes(c.handle);
  uint64_t taken = c.handedOut - static_cast<uint64_t>(std::max<int64_t>(queued, 0));
  if (taken > c.takenSeen || queued <= 0) {
    c.takenSeen = taken;
    c.lastProgress = now;
  } else if (now - c.lastProgress >= opt_.headMs) {
    return true;
  }
  uint32_t elapsed = now - c.answeredAt;
  if (elapsed <= opt_.headMs) return false;
  uint64_t rate = opt_.speedRate ? std::min(opt_.minRate, opt_.speedRate) : opt_.minRate;
  return taken * 1000 < rate * (elapsed - opt_.headMs);
}

void ReportServer::i_onLoop() {
  uint32_t now = platform::TickCount();
  speedQueued_ = 0;
  streams_ = 0;
  for (auto& [id, c] : conns_) {
    if (c->exchange->stream_left() == 0) continue;
    ++streams_;
    speedQueued_ += static_cast<uint64_t>(std::max<int64_t>(tcp_->queued_bytes(c->handle), 0));
  }
  // After a pass that stalled (a slow disk, say), what clients sent in the
  // meantime is read before anyone is judged against a deadline.
  bool stalled = now - lastLoop_ > kStallMs;
  lastLoop_ = now;
  bool sweep = !stalled && now - lastSweep_ >= kSweepMs;
  if (sweep) lastSweep_ = now;
  store_.Collect();
  std::vector<Conn*> done;
  for (auto& [id, c] : conns_) {
    if (c->exchange->storing()) {
      c->exchange->Settle();
      if (c->exchange->answered()) Flush(*c, now);
    }
    if (c->exchange->stream_left() > 0) Flush(*c, now);
    if (c->exchange->finished() && tcp_->queued_bytes(c->handle) == 0) {
      done.push_back(id);
    } else if (sweep && (c->exchange->Overdue(now) || TooSlowAnswer(*c, now))) {
      ++overdue_;
      c->exchange->ClientLeft();
      done.push_back(id);
    }
  }
  for (Conn* c : done) Close(*c);
  ReportRefusals(now);
}

// Connections closed for missing a deadline, dropped for room or refused
// over the per-address cap are summed up, not logged one by one: a flood
// would drown the log.
void ReportServer::ReportRefusals(uint32_t now) {
  if (now - lastRefusalLog_ < kRefusalLogMs || (overdue_ == 0 && dropped_ == 0 && overCap_ == 0)) return;
  lastRefusalLog_ = now;
  LogLine(opt_.quiet,
          "in the last %u s: %llu connections closed for missing a deadline, %llu dropped to make room, "
          "%llu refused over the per-address limit of %u",
          kRefusalLogMs / 1000, static_cast<unsigned long long>(overdue_), static_cast<unsigned long long>(dropped_),
          static_cast<unsigned long long>(overCap_), opt_.maxPerAddress);
  overdue_ = dropped_ = overCap_ = 0;
}

}  // namespace zandrel::server
