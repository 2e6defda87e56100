// The socket side of the HTTP stack: listeners and connections on the
// system's TCP engine, each connection an Exchange, under the deadlines and
// bounds of HttpLimits. What requests mean is the RequestHandler's.
//
// The table: connections are accepted only while there is room; the rest
// wait in the listener's queue. Room is made by evicting, with a 503, the
// connection that is furthest behind: first those not keeping the minimum
// rate (a head still unfinished after a second counts as such), then
// streamed answers; among those, the address with the most connections
// gives up one first, then the one furthest from finishing at its own
// rate. What a connection has sent is read before it is judged. A request
// keeping the minimum rate, one being worked on and an answer on its way
// out are never evicted.
//
// Behind a load balancer (HttpLimits::trustedProxies), a connection from
// it is counted under the client its PROXY header names.
#pragma once
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "net/tcp_module.h"
#include "server/http/exchange.h"
#include "server/http/limits.h"

namespace zandrel::server {

class HttpServer final : public net::I_dataHandler {
 public:
  HttpServer(const HttpLimits& limits, RequestHandler& handler);
  ~HttpServer() override;
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Listens on addr:port (0: any port); the tag reaches the handler with
  // every request on it. The port bound, or 0 when it cannot be had.
  uint16_t Listen(uint32_t addr, uint16_t port, int tag);
  // One pass of the engine.
  void Poll();
  // Before going away: takes no more connections and drops requests not
  // yet whole and streamed answers. Requests at work and answers being
  // sent go on while Poll is called.
  void StopAccepting();

  std::size_t connections() const { return conns_.size(); }
  uint64_t stream_queued() const { return streamQueued_; }
  // The most streamed-answer bytes handed to the engine in one pass.
  uint64_t most_streamed_in_a_pass() const { return mostStreamed_; }

  // Per pass, streamed answers are produced for at most this long, at most
  // kPassStreamBytes in all and kConnPassStreamBytes each, so a fast reader
  // never holds up the other connections (nor the rest of the program's
  // pass).
  static constexpr uint64_t kPassStreamBytes = 4 << 20;
  static constexpr uint64_t kConnPassStreamBytes = 1 << 20;
  static constexpr std::chrono::microseconds kPassStreamTime{4000};

  void i_onAccept(net::conn_handle listener, net::socket_t s, uint32_t peerAddr, uint16_t peerPort,
                  uint32_t localAddr, uint16_t localPort) override;
  void i_onConnect(net::socket_t s, net::conn_handle, net::user_data) override { net::CloseSocket(s); }
  bool i_onData(net::conn_handle c, const char* data, int32_t len, net::user_data user) override;
  void i_onBreak(net::conn_handle c, net::user_data user) override;
  void i_onSent(net::conn_handle, net::user_data) override {}
  void i_onLoop() override;

 private:
  struct Conn {
    net::conn_handle handle = nullptr;
    uint32_t peerAddr = 0;  // the client's, once a proxy has named it
    bool counted = false;  // among perAddress_ (a proxied one once its client is known)
    std::unique_ptr<Exchange> exchange;
    uint32_t answeredAt = 0;
    bool answerStarted = false;
    uint64_t handedOut = 0;  // answer bytes given to the engine
    uint64_t takenSeen = 0;  // of those, taken from the engine by the last check
    uint32_t lastProgress = 0;
    bool streaming = false;  // counted among the streamed answers
    uint64_t pass = 0, passBytes = 0;  // streamed bytes handed out in that pass
    uint64_t readInPass = 0;  // the pass in which it was last read to be judged
  };
  // Where a connection stands when room must be made; lower goes first.
  struct Standing {
    int rank = 0;  // 0: behind the minimum rate, 1: a streamed answer keeping it
    uint32_t addressConnections = 0;
    uint64_t msToFinish = 0;  // at its own rate so far; UINT64_MAX: no progress
    uint32_t age = 0;
  };

  void Flush(Conn& c, uint32_t now);
  bool OverCap(uint32_t addr) const;
  bool CountProxied(Conn& c);
  bool TooSlowAnswer(Conn& c, uint32_t now) const;
  std::size_t TableLimit() const;
  bool MakeRoom();
  bool Judge(const Conn& c, uint32_t now, Standing& out) const;
  Conn* PickVictim(uint32_t now);
  void Evict(Conn& c);
  bool MayStream(Conn& c);
  void Close(Conn& c);
  void ReportRefusals(uint32_t now);

  const HttpLimits& limits_;
  RequestHandler& handler_;
  std::unique_ptr<net::C_TcpModule> tcp_;
  std::map<net::conn_handle, int> listeners_;  // and their tags
  bool stopping_ = false;
  std::map<Conn*, std::unique_ptr<Conn>> conns_;
  std::map<uint32_t, uint32_t> perAddress_;  // open connections by client address
  uint64_t streamQueued_ = 0;  // streamed bytes queued in the engine, all answers
  std::size_t streams_ = 0;  // streamed answers in progress
  std::size_t streaming_ = 0;  // connections counted as streamed answers
  std::map<uint32_t, uint32_t> streamsPerAddress_;
  uint64_t pass_ = 0, passStreamed_ = 0, mostStreamed_ = 0;
  std::chrono::steady_clock::time_point streamDeadline_;
  std::size_t streamTurn_ = 0;  // which streamed answer goes first in a pass
  uint32_t lastSweep_ = 0, lastLoop_ = 0, lastRefusalLog_ = 0;
  // Since the last log line about them.
  uint64_t overdue_ = 0, evicted_ = 0, overCap_ = 0, streamsRefused_ = 0;
  std::vector<char> streamChunk_;  // scratch for producing streamed bodies
};

}  // namespace zandrel::server
