// The downloader driven in process through an engine without sockets and
// with a clock of the harness's own: one response arrives in pieces, the peer
// may close at any point, and after a break the downloader reconnects, at
// once when the connection brought new body bytes and otherwise after a wait
// (0.5 s, then 1 s).
#include <limits>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "http/http_downloader.h"

using namespace zandrel;

namespace {

char attemptTag, dataTag;
const auto kAttempt = reinterpret_cast<net::conn_handle>(&attemptTag);
const auto kData = reinterpret_cast<net::conn_handle>(&dataTag);
// Above any descriptor limit: the engine is fake, and what the downloader
// asks of the socket itself fails harmlessly.
constexpr net::socket_t kSocket = 0x3FFFFFFF;

struct Wire {
  net::user_data user = nullptr;
  int attempts = 0;
  bool attemptOpen = false;
  bool open = false;
  std::string sent;
};

// Records what the downloader asks of its engine; no sockets, no passes.
class FakeEngine final : public net::I_tcpModule {
 public:
  explicit FakeEngine(Wire& w) : w_(w) {}
  net::conn_handle create_listener(uint16_t) override { return nullptr; }
  net::conn_handle attach_socket(net::socket_t s, net::user_data user, bool) override {
    FUZZ_CHECK(s == kSocket && user == w_.user && !w_.open);
    w_.open = true;
    w_.sent.clear();
    return kData;
  }
  net::conn_handle create_connection(uint32_t addr, uint16_t port, uint32_t, uint16_t, net::user_data user,
                                     uint32_t) override {
    FUZZ_CHECK(addr == 0x7F000001u && port == 8080);
    FUZZ_CHECK(!w_.attemptOpen && !w_.open);
    w_.user = user;
    ++w_.attempts;
    w_.attemptOpen = true;
    return kAttempt;
  }
  void close_connection(net::conn_handle c) override {
    if (c == kAttempt) {
      FUZZ_CHECK(w_.attemptOpen);
      w_.attemptOpen = false;
    } else {
      FUZZ_CHECK(c == kData && w_.open);  // never a stale or unknown handle
      w_.open = false;
    }
  }
  bool queue_send(net::conn_handle c, const char* data, int32_t len) override {
    FUZZ_CHECK(c == kData && w_.open && len > 0);
    w_.sent.append(data, static_cast<size_t>(len));
    return true;
  }
  bool start(bool no_thread) override { return no_thread; }
  bool loop_once() override { return true; }

 private:
  Wire& w_;
};

struct Sink final : http::I_http_data_handler {
  int lengths = 0, finishes = 0, empties = 0;
  uint64_t length = 0;
  std::string body;
  void i_onHttpLength(uint64_t total) override {
    FUZZ_CHECK(finishes == 0);
    ++lengths;
    length = total;
  }
  void i_onHttpData(const char* data, int32_t len) override {
    FUZZ_CHECK(finishes == 0);
    if (!data) {
      FUZZ_CHECK(len == 0);
      ++empties;
      return;
    }
    FUZZ_CHECK(len > 0);
    body.append(data, static_cast<size_t>(len));
  }
  void i_onHttpFinished() override { ++finishes; }
};

// After a break: the next attempt comes after waitMs on the downloader's
// clock (at once for 0), and not a millisecond earlier.
void Reconnect(http::C_http_downloader& dl, Wire& w, uint32_t& now, uint32_t waitMs) {
  FUZZ_CHECK(dl.waiting_to_retry() == (waitMs != 0));
  if (waitMs == 0) return;
  const int attempts = w.attempts;
  now += waitMs - 1;
  FUZZ_CHECK(dl.step());
  FUZZ_CHECK(w.attempts == attempts && !w.attemptOpen && dl.waiting_to_retry());
  now += 1;
}

void Connect(http::C_http_downloader& dl, Wire& w, int64_t received) {
  FUZZ_CHECK(dl.step());
  FUZZ_CHECK(w.attemptOpen);
  dl.i_onConnect(kSocket, kAttempt, w.user);
  FUZZ_CHECK(!w.attemptOpen && w.open);
  FUZZ_CHECK(w.sent.compare(0, 27, "GET /file.bin HTTP/1.1\r\nAcc") == 0);
  bool ranged = w.sent.find("\r\nRange: bytes=" + std::to_string(received) + "-\r\n") != std::string::npos;
  FUZZ_CHECK(ranged == (received != 0));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::SeededInput in;
  if (!fuzz::SplitInput(data, size, in)) return 0;
  const std::string_view bytes = in.payload;
  fuzz::PieceCutter cut(in.seed);

  Wire w;
  Sink sink;
  uint32_t now = cut.Draw();  // any start, the wrap-around included
  http::C_http_downloader dl(
      "http://127.0.0.1:8080/file.bin", sink, [&w](net::I_dataHandler&) { return std::make_unique<FakeEngine>(w); },
      [&now] { return now; });
  Connect(dl, w, 0);

  // The peer may close after any piece. As the engine does, a read the
  // downloader refuses, or a close by the peer, is reported as a break unless
  // the downloader closed the connection itself; it must close it then.
  const uint32_t closeOdds = 8 + cut.Draw() % 120;
  size_t fed = 0;
  while (fed < bytes.size() && w.open) {
    size_t k = cut.Next(bytes.size() - fed);
    bool more = dl.i_onData(kData, bytes.data() + fed, static_cast<int32_t>(k), w.user);
    fed += k;
    std::string target;
    uint16_t code = dl.get_status(target);
    FUZZ_CHECK(code == 0 || sink.lengths == 1);
    if (!more || cut.Draw() % closeOdds == 0) break;
  }
  const bool finishedByData = sink.finishes == 1;
  const int emptiesBefore = sink.empties;
  if (w.open) {
    dl.i_onBreak(kData, w.user);
    FUZZ_CHECK(!w.open);
  }

  // Delivered bytes are exactly those after the head among the bytes fed.
  const std::string_view given = bytes.substr(0, fed);
  const size_t headLen = fuzz::ExpectedHeadLength(given, http::C_http_response::kHeadSearch);
  FUZZ_CHECK(sink.lengths == (headLen != 0 ? 1 : 0));
  FUZZ_CHECK(sink.body == (headLen != 0 ? given.substr(headLen) : std::string_view()));
  FUZZ_CHECK(dl.received() == static_cast<int64_t>(sink.body.size()));
  FUZZ_CHECK(sink.finishes <= 1);
  if (sink.lengths) {
    http::C_http_response head;
    head.feed(given.data(), static_cast<uint32_t>(headLen));
    uint64_t cl = head.content_length();
    FUZZ_CHECK(sink.length == std::min<uint64_t>(cl, std::numeric_limits<int64_t>::max()));
    FUZZ_CHECK(dl.total() == static_cast<int64_t>(sink.length));
    // Finished while reading: the length has arrived, or the response had
    // no length and no body at all.
    if (finishedByData && cl != 0) FUZZ_CHECK(static_cast<uint64_t>(dl.received()) >= cl);
    if (finishedByData && cl == 0) FUZZ_CHECK(dl.received() == 0);
  }
  if (!finishedByData) {
    // A break either ends a body of unknown length or asks for a resume.
    bool endsBody = dl.total() == 0 && dl.received() != 0;
    FUZZ_CHECK(sink.finishes == (endsBody ? 1 : 0));
    FUZZ_CHECK(sink.empties == emptiesBefore + (endsBody ? 0 : 1));
  }
  FUZZ_CHECK((dl.state() == 2) == (sink.finishes == 1));
  std::string target;
  if (sink.finishes) {
    FUZZ_CHECK(!dl.step());
    FUZZ_CHECK(dl.get_status(target) == 0);
    http::C_http_response head;
    head.feed(given.data(), static_cast<uint32_t>(headLen));
    FUZZ_CHECK(dl.completed_status(target) == static_cast<uint16_t>(head.status()));
    FUZZ_CHECK(w.attempts == 1);
    return 0;
  }
  // Not done: the next attempt asks for the rest when some bytes came; it
  // waits when the connection brought none.
  const bool firstWaited = dl.received() == 0;
  Reconnect(dl, w, now, firstWaited ? 500 : 0);
  Connect(dl, w, dl.received());
  FUZZ_CHECK(w.attempts == 2);
  FUZZ_CHECK(dl.get_status(target) == 0);
  // The rest of the input is the second response, in one read. Sent in
  // answer to a range, a 206 whose range starts where it was asked is the
  // rest of the body. Otherwise the first answer's status again (the whole
  // resource, or the same page) is not delivered again from its start: the
  // bytes already delivered are skipped. Any other answer (a 206 from
  // elsewhere included) delivers nothing and leaves the download stopped
  // without a connection.
  const std::string rest(bytes.substr(fed));
  const std::string before = sink.body;
  const int64_t had = dl.received();
  const int empties = sink.empties;
  if (!rest.empty()) dl.i_onData(kData, rest.data(), static_cast<int32_t>(rest.size()), w.user);
  const size_t head2 = fuzz::ExpectedHeadLength(rest, http::C_http_response::kHeadSearch);
  std::string body2;
  bool refused = false;
  if (head2 != 0) {
    http::C_http_response first, second;
    first.feed(given.data(), static_cast<uint32_t>(headLen));
    second.feed(rest.data(), static_cast<uint32_t>(head2));
    body2 = rest.substr(head2);
    const auto status = static_cast<uint16_t>(second.status());
    const bool continues = status == 206 && second.range() && second.range()->first == static_cast<uint64_t>(had);
    if (had > 0 && !continues && status != 206 && status == static_cast<uint16_t>(first.status())) {
      body2.erase(0, std::min<size_t>(body2.size(), static_cast<size_t>(had)));
    } else if (had > 0 && !continues) {
      body2.clear();
      refused = true;
    }
  }
  FUZZ_CHECK(sink.body == before + body2);
  FUZZ_CHECK(sink.finishes <= 1);
  FUZZ_CHECK((dl.state() == 2) == (sink.finishes == 1));
  FUZZ_CHECK(sink.empties == empties);
  FUZZ_CHECK(w.open == (sink.finishes == 0 && !refused));
  FUZZ_CHECK(dl.stalled() == refused);
  if (refused) {
    FUZZ_CHECK(dl.step());  // an empty pass: no new attempt
    FUZZ_CHECK(w.attempts == 2);
  }
  if (w.open) {
    // The peer closes the second connection too. The waits grow while
    // connections bring nothing and start over after one that brought
    // something.
    dl.i_onBreak(kData, w.user);
    FUZZ_CHECK(!w.open);
    if (dl.state() != 2) {
      const bool nothingNew = dl.received() == had;
      Reconnect(dl, w, now, nothingNew ? (firstWaited ? 1000 : 500) : 0);
      Connect(dl, w, dl.received());
      FUZZ_CHECK(w.attempts == 3);
    }
  }
  return 0;
}
