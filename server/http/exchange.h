// One connection's request handling, without sockets: bytes from the client
// go in, the answer's bytes come out. The head is parsed here; what a request
// means is the program's, reached through RequestHandler. The socket side
// (HttpServer) and in-process drivers such as tests use the same code.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "server/http/limits.h"
#include "server/http/request_head.h"

namespace zandrel::server {

// Where a request's answer goes.
class Responder {
 public:
  // A whole answer: status line, Content-Type, Content-Length, the extra
  // fields (each ending in CR LF), "Connection: close", then the body.
  virtual void Respond(int code, const char* reason, std::string_view body, const std::string& extraFields = {},
                       const char* type = "text/plain") = 0;
  // An answer whose head is given whole; its body is what the request
  // produces (Request::Produce).
  virtual void RespondStreamed(std::string head) = 0;

 protected:
  ~Responder() = default;
};

// The work one request asks for, made by the program once its head is in.
class Request {
 public:
  virtual ~Request() = default;
  // Body bytes still expected; the exchange hands over exactly that many.
  virtual uint64_t body_left() const { return 0; }
  // The next piece of the body.
  virtual void Body(const char* data, std::size_t len, Responder& out) {
    (void)data, (void)len, (void)out;
  }
  // Asked once a pass while unanswered, for work finished elsewhere.
  virtual void Settle(Responder& out) { (void)out; }
  // Work is under way that must finish before the connection may go (a
  // report being stored): such a request is never dropped.
  virtual bool busy() const { return false; }
  // The client went away, or the connection is dropped, before the answer.
  virtual void ClientLeft() {}
  // A streamed answer's body: bytes still to produce, and producing them.
  virtual uint64_t stream_left() const { return 0; }
  virtual std::size_t Produce(char* out, std::size_t max) {
    (void)out, (void)max;
    return 0;
  }
};

// Who is asking, and on which of the program's listeners.
struct Peer {
  uint32_t addr = 0;
  std::string text;  // "a.b.c.d:port", for the log
  int listener = 0;  // the tag the listener was made with
};

// The program's side of the stack: one per server.
class RequestHandler {
 public:
  // A request's head is in: answer it through out at once (and return null),
  // or return the work that will.
  virtual std::unique_ptr<Request> Open(const RequestHead& head, const Peer& peer, Responder& out,
                                        uint32_t nowMs) = 0;
  // Once a pass, before the connections are settled.
  virtual void OnPass() {}

 protected:
  ~RequestHandler() = default;
};

class Exchange final : public Responder {
 public:
  Exchange(const HttpLimits& limits, RequestHandler& handler, Peer peer, uint32_t nowMs);
  ~Exchange();
  Exchange(const Exchange&) = delete;
  Exchange& operator=(const Exchange&) = delete;

  // Bytes from the client; what follows the request is ignored. From a
  // trusted proxy they begin with a PROXY header, whose client becomes the
  // peer (peer() from then on).
  void Feed(const char* data, std::size_t len, uint32_t nowMs);
  // The client went away.
  void ClientLeft();
  bool busy() const { return request_ && request_->busy(); }
  // Lets the request answer what was finished elsewhere; nothing once answered.
  void Settle();

  // Answer bytes not yet taken. A streamed body is not included: it is
  // taken with Produce.
  std::string TakeOutput();
  bool has_output() const { return !output_.empty(); }
  uint64_t stream_left() const { return request_ && streaming_ ? request_->stream_left() : 0; }
  std::size_t Produce(char* out, std::size_t max) { return stream_left() ? request_->Produce(out, max) : 0; }

  // Asked when the request starts a streamed answer: false answers 503
  // (BusyAnswer) instead, and the request's stream is never produced.
  void set_stream_gate(std::function<bool()> gate) { streamGate_ = std::move(gate); }

  bool answered() const { return answered_; }
  // Asked once a PROXY header has named the client (peer() is then the
  // client), before its request is read: false answers 503 (BusyAnswer),
  // not logged, for the gate counts its refusals.
  void set_proxy_gate(std::function<bool()> gate) { proxyGate_ = std::move(gate); }
  // How far the request has come: its head, and the body bytes taken and
  // still expected.
  bool head_done() const { return headDone_; }
  uint32_t head_done_at() const { return headDoneAt_; }
  uint64_t body_taken() const { return bodyTaken_; }
  uint64_t body_left() const { return request_ && !answered_ ? request_->body_left() : 0; }
  // Every byte of the answer has been handed out (the connection may close
  // once they have been sent).
  bool finished() const { return answered_ && output_.empty() && stream_left() == 0; }
  // The request has not met its deadlines: the head within headMs of the
  // connection, the body at minRate after that.
  bool Overdue(uint32_t nowMs) const;
  uint32_t started() const { return started_; }
  const Peer& peer() const { return peer_; }

  void Respond(int code, const char* reason, std::string_view body, const std::string& extraFields = {},
               const char* type = "text/plain") override;
  void RespondStreamed(std::string head) override;

 private:
  enum class ProxyStage { kDone, kRequired, kRefused };
  bool TakeProxyHeader(const char* data, std::size_t len, std::string& rest);
  void FeedHead(const char* data, std::size_t len, uint32_t nowMs);
  void TakeBody(const char* data, std::size_t len);

  const HttpLimits& limits_;
  RequestHandler& handler_;
  Peer peer_;
  uint32_t started_, headDoneAt_ = 0;
  ProxyStage proxy_ = ProxyStage::kDone;
  std::string proxyBytes_;
  std::string headBytes_;
  bool headDone_ = false, answered_ = false, streaming_ = false;
  RequestHead head_;
  const char* headError_ = nullptr;  // why the head was refused
  std::unique_ptr<Request> request_;
  uint64_t bodyTaken_ = 0;
  std::string output_;
  std::function<bool()> streamGate_, proxyGate_;
};

// The answer of a server that has no room for a request now: 503 with the
// seconds after which to try again, and the extra fields given.
std::string BusyAnswer(unsigned retryAfterSeconds, const std::string& fields = {});

// Drives one connection in process: the pieces are fed in order, and the
// bytes the server would send are returned (a streamed body up to
// maxStreamBytes of it). Work finished elsewhere is waited for.
std::string HandleInProcess(const HttpLimits& limits, RequestHandler& handler, const std::vector<std::string>& pieces,
                            Peer peer, uint64_t maxStreamBytes = 65536);

// A Content-Length value: digits only, at most 19 of them.
bool ParseContentLength(const std::string* text, uint64_t& out);

}  // namespace zandrel::server
