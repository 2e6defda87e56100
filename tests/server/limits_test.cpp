// The report server against clients that hold connections, drip bytes,
// stop reading or post too much: deadlines, per-address limits, the full
// connection table and the speed-file budget, over loopback sockets.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/md5.h"
#include "platform/store.h"
#include "server/receiver/report_server.h"
#include "sockets.h"
#include "running_server.h"
#include "temp_dir.h"

using namespace zandrel;
using Clock = std::chrono::steady_clock;

namespace {

// A server polled by the test's own thread: the test steps it while it
// waits, so it may read the server's figures without a race.
class SteppedServer {
 public:
  explicit SteppedServer(const std::function<void(server::ServerOptions&)>& adjust) {
    opt_ = testsupport::TestServerOptions(dir_.path());
    adjust(opt_);
    server_ = std::make_unique<server::ReportServer>(opt_);
    std::string error;
    EXPECT_TRUE(server_->Start(error)) << error;
  }
  ~SteppedServer() { server_.reset(); }
  server::ReportServer& operator*() { return *server_; }
  server::ReportServer* operator->() { return server_.get(); }
  // Polls the server until done() holds or the limit passes.
  bool StepUntil(const std::function<bool()>& done, int limitMs = 10000) {
    auto end = Clock::now() + std::chrono::milliseconds(limitMs);
    while (Clock::now() < end) {
      server_->Poll();
      if (done()) return true;
    }
    return false;
  }
  size_t FileCount() const { return Names().size(); }
  std::vector<std::string> Names() const {
    std::vector<platform::DirectoryEntry> files;
    platform::ListDirectory(opt_.dataDir, files);
    std::vector<std::string> names;
    for (const auto& f : files) names.push_back(f.name);
    return names;
  }
  void Destroy() { server_.reset(); }

 private:
  testsupport::TempDir dir_{"zandrel-limits"};
  server::ServerOptions opt_;
  std::unique_ptr<server::ReportServer> server_;
};

using testsock::socket_t;

// A connected socket that never blocks the test.
socket_t Connect(uint16_t port, uint32_t from = 0) {
  socket_t s = testsock::Connect(port, from);
  testsock::SetNonBlocking(s);
  return s;
}

void Send(socket_t s, const std::string& data) { testsock::Send(s, data); }

// What has arrived on s, and whether the server has closed it.
struct Seen {
  std::string bytes;
  bool closed = false;
};
void Drain(socket_t s, Seen& seen) {
  char buf[65536];
  for (;;) {
    long n = testsock::Recv(s, buf, sizeof buf);
    if (n > 0) {
      seen.bytes.append(buf, static_cast<size_t>(n));
      continue;
    }
    if (n == 0 || !net::IsWouldBlock(net::LastError())) seen.closed = true;
    return;
  }
}

std::string Post(const std::string& body) {
  return "POST /test_log HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nfile_flag: " + platform::md5_hex_upper(body.data(), body.size()) + "\r\n\r\n" + body;
}

// Posts from the given address while stepping the server; the answer.
std::string PostFrom(SteppedServer& srv, uint32_t from, const std::string& body) {
  socket_t s = Connect(srv->http_port(), from);
  Send(s, Post(body));
  Seen seen;
  srv.StepUntil([&] {
    Drain(s, seen);
    return seen.closed;
  });
  testsock::Close(s);
  return seen.bytes;
}

constexpr uint32_t kLoop1 = 0x7f000001, kLoop2 = 0x7f000002;

}  // namespace

TEST(ServerLimits, HeadDeadlineAndMinimumBodyRate) {
  SteppedServer srv([](server::ServerOptions& o) {
    o.headMs = 300;
    o.minRate = 1 << 20;
  });
  // A head that is dripped and never ends, and a body that stops after a
  // few bytes: each connection is closed with nothing stored.
  socket_t head = Connect(srv->http_port());
  Send(head, "POST /test_log HTTP/1.1\r\n");
  std::string body(100000, 'b');
  socket_t slow = Connect(srv->http_port());
  Send(slow, Post(body).substr(0, 200));
  auto t0 = Clock::now();
  Seen h, b;
  ASSERT_TRUE(srv.StepUntil([&] {
    Send(head, "X");  // activity alone does not keep a connection
    Drain(head, h);
    Drain(slow, b);
    return h.closed && b.closed;
  }));
  EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(300));
  EXPECT_EQ(h.bytes, "");
  EXPECT_EQ(b.bytes, "");
  testsock::Close(head);
  testsock::Close(slow);
  EXPECT_EQ(srv.FileCount(), 0u);  // no temporary left either
  EXPECT_EQ(PostFrom(srv, kLoop1, body).substr(0, 12), "HTTP/1.1 200");
  EXPECT_EQ(srv.FileCount(), 1u);
}

TEST(ServerLimits, PerAddressCapAndRateLimit) {
  SteppedServer srv([](server::ServerOptions& o) {
    o.maxPerAddress = 2;
    o.reportsPerMinute = 2;
  });
  socket_t a = Connect(srv->http_port(), kLoop1), b = Connect(srv->http_port(), kLoop1);
  socket_t c = Connect(srv->http_port(), kLoop1);
  Seen sa, sb, sc;
  ASSERT_TRUE(srv.StepUntil([&] {
    Drain(c, sc);
    return sc.closed;
  }));
  EXPECT_EQ(sc.bytes, "");
  // Another address is not held back by the first one's connections.
  EXPECT_EQ(PostFrom(srv, kLoop2, "other").substr(0, 12), "HTTP/1.1 200");
  // The two held connections are still served.
  Send(a, "GET /Hint.html HTTP/1.1\r\n\r\n");
  Send(b, "GET /Hint.html HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(srv.StepUntil([&] {
    Drain(a, sa);
    Drain(b, sb);
    return sa.closed && sb.closed;
  }));
  EXPECT_EQ(sa.bytes.substr(0, 12), "HTTP/1.1 200");
  EXPECT_EQ(sb.bytes.substr(0, 12), "HTTP/1.1 200");
  for (socket_t s : {a, b, c}) testsock::Close(s);

  // Two reports a minute from one address, then 429 with Retry-After.
  EXPECT_EQ(PostFrom(srv, kLoop1, "one").substr(0, 12), "HTTP/1.1 200");
  EXPECT_EQ(PostFrom(srv, kLoop1, "two").substr(0, 12), "HTTP/1.1 200");
  std::string refused = PostFrom(srv, kLoop1, "three");
  EXPECT_EQ(refused.substr(0, 12), "HTTP/1.1 429");
  EXPECT_NE(refused.find("\r\nRetry-After: "), std::string::npos);
  EXPECT_EQ(PostFrom(srv, kLoop2, "again").substr(0, 12), "HTTP/1.1 200");
  EXPECT_EQ(srv.FileCount(), 4u);
}

TEST(ServerLimits, FullTableDropsTheOldestIncompleteRequest) {
  SteppedServer srv([](server::ServerOptions& o) {
    o.maxPerAddress = 0;
    o.headMs = 600000;  // only the full table closes anything here
  });
  const size_t flood = net::C_TcpModule::kCapacity + 60;
  std::vector<socket_t> held;
  for (size_t i = 0; i < flood; ++i) {
    held.push_back(Connect(srv->http_port()));
    srv->Poll();
  }
  EXPECT_EQ(PostFrom(srv, kLoop1, "honest").substr(0, 12), "HTTP/1.1 200");
  EXPECT_EQ(srv.FileCount(), 1u);
  // The table has one listener; the connections dropped to make room are
  // among the earliest.
  size_t closed = 0, closedEarly = 0;
  for (size_t i = 0; i < held.size(); ++i) {
    Seen s;
    Drain(held[i], s);
    closed += s.closed;
    closedEarly += s.closed && i < flood / 2;
    testsock::Close(held[i]);
  }
  EXPECT_GE(closed, flood + 1 - (net::C_TcpModule::kCapacity - 1));
  EXPECT_EQ(closedEarly, closed);
}

TEST(ServerLimits, DownloadsThatStopReadingAreBoundedThenClosed) {
  const uint64_t budget = 512 * 1024;
  SteppedServer srv([&](server::ServerOptions& o) {
    o.headMs = 500;
    o.speedBudget = budget;
    o.speedSize = 1ull << 30;
  });
  const char* get = "GET /speedtest/zandrel-speed.bin HTTP/1.1\r\n\r\n";
  std::vector<socket_t> stalled;
  for (int i = 0; i < 8; ++i) {
    // A small receive window, set before the connection is made.
    socket_t s = net::TcpSocket();
    net::SetBufferSizes(s, 4096);
    net::ConnectIpv4(s, testsock::kLoopback, srv->http_port());
    Send(s, get);
    stalled.push_back(s);
  }
  // A reader that keeps reading gets its bytes while the others hold theirs.
  socket_t reader = Connect(srv->http_port());
  Send(reader, "GET /speedtest/zandrel-speed.bin HTTP/1.1\r\nRange: bytes=0-3999999\r\n\r\n");
  Seen r;
  uint64_t peakQueued = 0;
  ASSERT_TRUE(srv.StepUntil([&] {
    peakQueued = std::max(peakQueued, srv->speed_queued());
    Drain(reader, r);
    return r.closed;
  }));
  EXPECT_EQ(r.bytes.size() - (r.bytes.find("\r\n\r\n") + 4), 4000000u);
  // At most the budget plus the small share each download may always have.
  EXPECT_LE(peakQueued, budget + 9 * 16 * 1024);
  EXPECT_GT(peakQueued, 0u);
  // The stalled ones are closed once they stop taking bytes.
  ASSERT_TRUE(srv.StepUntil([&] { return srv->connections() == 0; }));
  for (socket_t s : stalled) testsock::Close(s);
}

namespace {

// A disk that takes as long as the test wants: each flush and rename waits
// until the test opens the gate. The wait is bounded so that a server that
// stored on its loop's thread fails the test rather than hanging it.
struct SlowDisk {
  std::promise<void> gate;
  std::shared_future<void> opened = gate.get_future().share();
  std::atomic<int> entered{0};
  bool fail = false;
  std::function<bool()> Hook() {
    return [this] {
      ++entered;
      opened.wait_for(std::chrono::seconds(20));
      return !fail;
    };
  }
};

size_t Temporaries(SteppedServer& srv) {
  size_t n = 0;
  for (const auto& name : srv.Names()) n += name[0] == '.';
  return n;
}

}  // namespace

TEST(ServerStoring, ASlowDiskHoldsUpNoOtherConnection) {
  SteppedServer srv([](server::ServerOptions&) {});
  SlowDisk disk;
  srv->SetBeforeCommit(disk.Hook());
  socket_t first = Connect(srv->http_port());
  Send(first, Post("first report"));
  ASSERT_TRUE(srv.StepUntil([&] { return disk.entered == 1; }));
  // While the first report is being flushed: a page, a refused report and a
  // second report are all taken in, and nothing is answered 200 yet.
  socket_t page = Connect(srv->http_port()), bad = Connect(srv->http_port()), second = Connect(srv->http_port());
  Send(page, "GET /Hint.html HTTP/1.1\r\n\r\n");
  Send(bad, "POST /test_log HTTP/1.1\r\nContent-Length: 3\r\nfile_flag: 0\r\n\r\nabc");
  Send(second, Post("second report"));
  Seen p, b, f, s;
  ASSERT_TRUE(srv.StepUntil([&] {
    Drain(page, p);
    Drain(bad, b);
    return p.closed && b.closed && srv->storing() == 2;
  }));
  EXPECT_EQ(p.bytes.substr(0, 12), "HTTP/1.1 200");
  EXPECT_EQ(b.bytes.substr(0, 12), "HTTP/1.1 400");
  for (int i = 0; i < 20; ++i) srv->Poll();
  Drain(first, f);
  Drain(second, s);
  EXPECT_EQ(f.bytes, "");
  EXPECT_EQ(s.bytes, "");
  EXPECT_FALSE(f.closed || s.closed);
  EXPECT_EQ(srv.FileCount() - Temporaries(srv), 0u);  // nothing in place before its flush

  disk.gate.set_value();
  ASSERT_TRUE(srv.StepUntil([&] {
    Drain(first, f);
    Drain(second, s);
    return f.closed && s.closed;
  }));
  EXPECT_EQ(f.bytes.substr(0, 15), "HTTP/1.1 200 OK");
  EXPECT_EQ(s.bytes.substr(0, 15), "HTTP/1.1 200 OK");
  EXPECT_EQ(srv->stored(), 2u);
  EXPECT_EQ(srv.FileCount(), 2u);
  EXPECT_EQ(Temporaries(srv), 0u);
  for (socket_t sock : {first, page, bad, second}) testsock::Close(sock);
}

TEST(ServerStoring, AFailedFlushIsAnswered507AndLeavesNoFile) {
  SteppedServer srv([](server::ServerOptions&) {});
  SlowDisk disk;
  disk.fail = true;
  disk.gate.set_value();
  srv->SetBeforeCommit(disk.Hook());
  EXPECT_EQ(PostFrom(srv, kLoop1, "lost to a full disk").substr(0, 12), "HTTP/1.1 507");
  EXPECT_EQ(srv->stored(), 0u);
  EXPECT_EQ(srv.FileCount(), 0u);
}

TEST(ServerStoring, ShutdownAnswersReportsBeingStoredAndDropsTheRest) {
  SteppedServer srv([](server::ServerOptions&) {});
  SlowDisk disk;
  srv->SetBeforeCommit(disk.Hook());
  socket_t a = Connect(srv->http_port()), b = Connect(srv->http_port()), half = Connect(srv->http_port());
  Send(a, Post("report a"));
  Send(b, Post("report b"));
  Send(half, Post(std::string(5000, 'h')).substr(0, 2000));
  // Behind the stuck flush, the disk has not even begun the other uploads' files.
  ASSERT_TRUE(srv.StepUntil([&] { return disk.entered == 1 && srv->storing() == 2; }));
  // Both reports are still being stored when the server is told to stop;
  // the disk finishes some time during the shutdown.
  std::thread disk_catches_up([&] { disk.gate.set_value(); });
  srv->Shutdown(10000);
  disk_catches_up.join();
  EXPECT_EQ(srv->storing(), 0u);
  EXPECT_EQ(srv->connections(), 0u);
  Seen sa, sb, sh;
  Drain(a, sa);
  Drain(b, sb);
  Drain(half, sh);
  EXPECT_EQ(sa.bytes.substr(0, 15), "HTTP/1.1 200 OK");
  EXPECT_EQ(sb.bytes.substr(0, 15), "HTTP/1.1 200 OK");
  EXPECT_EQ(sh.bytes, "");
  EXPECT_TRUE(sh.closed);
  // New connections are not served any more.
  socket_t late = Connect(srv->http_port());
  Send(late, "GET /Hint.html HTTP/1.1\r\n\r\n");
  srv->Poll();
  srv->Poll();
  Seen sl;
  Drain(late, sl);
  EXPECT_EQ(sl.bytes, "");
  srv.Destroy();
  EXPECT_EQ(srv.FileCount(), 2u);
  EXPECT_EQ(Temporaries(srv), 0u);
  for (socket_t sock : {a, b, half, late}) testsock::Close(sock);
}

TEST(ServerStoring, AServerDestroyedMidFlushStillPutsTheReportInPlace) {
  SteppedServer srv([](server::ServerOptions&) {});
  SlowDisk disk;
  srv->SetBeforeCommit(disk.Hook());
  socket_t a = Connect(srv->http_port());
  Send(a, Post("report a"));
  ASSERT_TRUE(srv.StepUntil([&] { return disk.entered == 1; }));
  std::thread disk_catches_up([&] { disk.gate.set_value(); });
  srv.Destroy();  // waits for the flush: the report is whole on disk, if unanswered
  disk_catches_up.join();
  auto names = srv.Names();
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(names[0].substr(0, 7), "report-");
  testsock::Close(a);
}

namespace {

// The HTTP stack alone, with a table of a few connections and a handler of
// the test's own: a POST takes Content-Length bytes and is answered 200, a
// GET is answered with a streamed body that does not end during a test.
class TableHandler final : public server::RequestHandler {
 public:
  std::unique_ptr<server::Request> Open(const server::RequestHead& head, const server::Peer&,
                                        server::Responder& out, uint32_t) override {
    if (head.method == "GET") {
      out.RespondStreamed("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kStreamBytes) + "\r\n\r\n");
      return std::make_unique<Stream>();
    }
    uint64_t length = 0;
    server::ParseContentLength(head.Find("Content-Length"), length);
    if (length == 0) {
      out.Respond(200, "OK", "OK\n");
      return nullptr;
    }
    return std::make_unique<Upload>(length);
  }

 private:
  static constexpr uint64_t kStreamBytes = 1ull << 40;
  struct Upload final : server::Request {
    explicit Upload(uint64_t n) : left(n) {}
    uint64_t body_left() const override { return left; }
    void Body(const char*, std::size_t len, server::Responder& out) override {
      left -= len;
      if (left == 0) out.Respond(200, "OK", "OK\n");
    }
    uint64_t left;
  };
  struct Stream final : server::Request {
    uint64_t stream_left() const override { return kStreamBytes - next; }
    std::size_t Produce(char* out, std::size_t max) override {
      for (std::size_t i = 0; i < max; ++i) out[i] = static_cast<char>('a' + (next + i) % 26);
      next += max;
      return max;
    }
    uint64_t next = 0;
  };
};

class SteppedStack {
 public:
  explicit SteppedStack(const std::function<void(server::HttpLimits&)>& adjust) {
    limits_.quiet = true;
    adjust(limits_);
    http_ = std::make_unique<server::HttpServer>(limits_, handler_);
    port_ = http_->Listen(testsock::kLoopback, 0, 0);
    EXPECT_NE(port_, 0);
  }
  server::HttpServer* operator->() { return http_.get(); }
  uint16_t port() const { return port_; }
  bool StepUntil(const std::function<bool()>& done, int limitMs = 10000) {
    auto end = Clock::now() + std::chrono::milliseconds(limitMs);
    while (Clock::now() < end) {
      http_->Poll();
      if (done()) return true;
    }
    return false;
  }
  // Steps for ms: connections' heads age past the stack's first second.
  void StepFor(int ms) { StepUntil([] { return false; }, ms); }

 private:
  server::HttpLimits limits_;
  TableHandler handler_;
  std::unique_ptr<server::HttpServer> http_;
  uint16_t port_ = 0;
};

std::string SmallPost() { return "POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello"; }

// Reads what has arrived, keeping at most the first bytes of it.
void Skim(socket_t s, Seen& seen) {
  char buf[65536];
  for (;;) {
    long n = testsock::Recv(s, buf, sizeof buf);
    if (n > 0) {
      if (seen.bytes.size() < 256) seen.bytes.append(buf, static_cast<size_t>(std::min<long>(n, 256)));
      continue;
    }
    if (n == 0 || !net::IsWouldBlock(net::LastError())) seen.closed = true;
    return;
  }
}

bool Busy503(const Seen& s) {
  return s.closed && s.bytes.substr(0, 12) == "HTTP/1.1 503" && s.bytes.find("\r\nRetry-After: ") != std::string::npos;
}

}  // namespace

TEST(ServerTable, ABurstWaitsInTheQueueAndAnEvictedConnectionIsReadThenAnswered503) {
  SteppedStack stack([](server::HttpLimits& l) {
    l.maxConnections = 8;
    l.maxPerAddress = 0;
    l.headMs = 600000;
  });
  // Three tables' worth of whole requests, all in the listener's queue
  // before the first pass: every one is read and answered.
  std::vector<socket_t> burst;
  for (int i = 0; i < 24; ++i) {
    burst.push_back(Connect(stack.port()));
    Send(burst.back(), SmallPost());
  }
  std::vector<Seen> seen(burst.size());
  ASSERT_TRUE(stack.StepUntil([&] {
    bool all = true;
    for (size_t i = 0; i < burst.size(); ++i) {
      Skim(burst[i], seen[i]);
      all = all && seen[i].closed;
    }
    return all;
  }));
  for (size_t i = 0; i < burst.size(); ++i) EXPECT_EQ(seen[i].bytes.substr(0, 12), "HTTP/1.1 200") << i;
  for (socket_t s : burst) testsock::Close(s);

  // A full table of silent connections; the two oldest then send whole
  // requests as a newcomer arrives. They are read before anyone is judged:
  // answered, and the next oldest gives way with a 503.
  ASSERT_TRUE(stack.StepUntil([&] { return stack->connections() == 0; }));
  std::vector<socket_t> held;
  for (int i = 0; i < 8; ++i) {
    held.push_back(Connect(stack.port()));
    ASSERT_TRUE(stack.StepUntil([&] { return stack->connections() == held.size(); }));
    stack.StepFor(3);  // each a little older than the next
  }
  stack.StepFor(1100);
  Send(held[0], SmallPost());
  Send(held[1], SmallPost());
  socket_t late = Connect(stack.port());
  Send(late, SmallPost());
  std::vector<Seen> h(held.size());
  Seen l;
  ASSERT_TRUE(stack.StepUntil([&] {
    for (size_t i = 0; i < held.size(); ++i) Skim(held[i], h[i]);
    Skim(late, l);
    return l.closed && h[0].closed && h[1].closed;
  }));
  EXPECT_EQ(l.bytes.substr(0, 12), "HTTP/1.1 200");
  EXPECT_EQ(h[0].bytes.substr(0, 12), "HTTP/1.1 200");
  EXPECT_EQ(h[1].bytes.substr(0, 12), "HTTP/1.1 200");
  EXPECT_TRUE(Busy503(h[2])) << h[2].bytes;
  for (size_t i = 3; i < held.size(); ++i) EXPECT_FALSE(h[i].closed) << i;
  for (socket_t s : held) testsock::Close(s);
  testsock::Close(late);
}

TEST(ServerTable, StreamedAnswersLeaveAQuarterToRequestsAndTheBusiestAddressGivesOneUp) {
  const uint32_t kLoop[] = {0x7f000001, 0x7f000002, 0x7f000003, 0x7f000004, 0x7f000005,
                            0x7f000006, 0x7f000007, 0x7f000008, 0x7f000009};
  SteppedStack stack([](server::HttpLimits& l) {
    l.maxConnections = 8;  // streamed answers: 6 at most
    l.maxPerAddress = 8;   // streamed answers: 2 per address
    l.headMs = 600000;
    l.minRate = 1;
  });
  const char* get = "GET / HTTP/1.1\r\n\r\n";
  auto open = [&](uint32_t from, const std::string& request, Seen& seen) {
    socket_t s = Connect(stack.port(), from);
    Send(s, request);
    EXPECT_TRUE(stack.StepUntil([&] {
      Skim(s, seen);
      return seen.bytes.size() >= 12;
    }));
    return s;
  };
  // Two from the first address stream; its third is refused.
  std::vector<socket_t> streams;
  std::vector<Seen> st(6);
  Seen refused;
  streams.push_back(open(kLoop[0], get, st[0]));
  streams.push_back(open(kLoop[0], get, st[1]));
  socket_t third = open(kLoop[0], get, refused);
  ASSERT_TRUE(stack.StepUntil([&] {
    Skim(third, refused);
    return refused.closed;
  }));
  EXPECT_TRUE(Busy503(refused)) << refused.bytes;
  // Four more addresses fill the streams' three quarters; the next is refused.
  for (int i = 1; i <= 4; ++i) streams.push_back(open(kLoop[i], get, st[streams.size()]));
  Seen over;
  socket_t seventh = open(kLoop[5], get, over);
  ASSERT_TRUE(stack.StepUntil([&] {
    Skim(seventh, over);
    return over.closed;
  }));
  EXPECT_TRUE(Busy503(over)) << over.bytes;
  for (size_t i = 0; i < streams.size(); ++i) EXPECT_EQ(st[i].bytes.substr(0, 12), "HTTP/1.1 200") << i;
  // Two uploads under way fill the table; a request that arrives now takes
  // the place of a stream of the address with the most of them.
  std::string upload = "POST / HTTP/1.1\r\nContent-Length: 100000\r\n\r\n" + std::string(1000, 'u');
  socket_t up1 = Connect(stack.port(), kLoop[6]), up2 = Connect(stack.port(), kLoop[7]);
  Send(up1, upload);
  Send(up2, upload);
  ASSERT_TRUE(stack.StepUntil([&] { return stack->connections() == 8; }));
  Seen late;
  socket_t newcomer = Connect(stack.port(), kLoop[8]);
  Send(newcomer, SmallPost());
  ASSERT_TRUE(stack.StepUntil([&] {
    Skim(newcomer, late);
    return late.closed;
  }));
  EXPECT_EQ(late.bytes.substr(0, 12), "HTTP/1.1 200");
  for (size_t i = 0; i < streams.size(); ++i) Skim(streams[i], st[i]);
  EXPECT_EQ(st[0].closed + st[1].closed, 1);
  for (size_t i = 2; i < streams.size(); ++i) EXPECT_FALSE(st[i].closed) << i;
  Seen u1, u2;
  Skim(up1, u1);
  Skim(up2, u2);
  EXPECT_FALSE(u1.closed || u2.closed);
  for (socket_t s : streams) testsock::Close(s);
  for (socket_t s : {third, seventh, up1, up2, newcomer}) testsock::Close(s);
}

TEST(ServerTable, AnUploadKeepingPaceOutlivesConnectionsBehindIt) {
  const uint32_t kHonest = 0x7f00000a, kA = 0x7f000002, kB = 0x7f000003, kNew = 0x7f000004;
  SteppedStack stack([](server::HttpLimits& l) {
    l.maxConnections = 8;
    l.maxPerAddress = 0;
    l.headMs = 600000;
    l.minRate = 1000;
  });
  // The honest upload is the oldest connection; it sends 1 KB every 50 ms.
  const size_t total = 200 * 1024;
  socket_t honest = Connect(stack.port(), kHonest);
  Send(honest, "POST / HTTP/1.1\r\nContent-Length: " + std::to_string(total) + "\r\n\r\n" + std::string(4096, 'h'));
  size_t sent = 4096;
  auto last = Clock::now();
  std::vector<socket_t> stay;  // newcomers that upload at the same pace
  auto keepPace = [&] {
    if (Clock::now() - last < std::chrono::milliseconds(50) || sent + 1024 >= total) return;
    Send(honest, std::string(1024, 'h'));
    for (socket_t s : stay) Send(s, std::string(1024, 's'));
    sent += 1024;
    last = Clock::now();
  };
  // B's two silent connections, then A's five, fill the table.
  std::vector<socket_t> a, b;
  for (int i = 0; i < 2; ++i) b.push_back(Connect(stack.port(), kB));
  ASSERT_TRUE(stack.StepUntil([&] { return stack->connections() == 3; }));
  for (int i = 0; i < 5; ++i) a.push_back(Connect(stack.port(), kA));
  ASSERT_TRUE(stack.StepUntil([&] {
    keepPace();
    return stack->connections() == 8;
  }));
  auto quiet = Clock::now();
  stack.StepUntil([&] {
    keepPace();
    return Clock::now() - quiet > std::chrono::milliseconds(1100);
  });
  // A newcomer needs a place: it is given up by A, whose connections are the
  // most, though B's are older.
  std::vector<Seen> sa(a.size()), sb(b.size());
  auto skimAll = [&] {
    for (size_t i = 0; i < a.size(); ++i) Skim(a[i], sa[i]);
    for (size_t i = 0; i < b.size(); ++i) Skim(b[i], sb[i]);
  };
  socket_t first = Connect(stack.port(), kNew);
  Send(first, SmallPost());
  Seen f;
  ASSERT_TRUE(stack.StepUntil([&] {
    keepPace();
    Skim(first, f);
    return f.closed;
  }));
  EXPECT_EQ(f.bytes.substr(0, 12), "HTTP/1.1 200");
  skimAll();
  size_t aGone = 0;
  for (const Seen& x : sa) aGone += x.closed;
  EXPECT_EQ(aGone, 1u);
  EXPECT_FALSE(sb[0].closed || sb[1].closed);
  // Newcomers that stay take the other places; the upload keeps its own.
  for (int n = 0; n < 7; ++n) {
    stay.push_back(Connect(stack.port(), kNew));
    Send(stay.back(), "POST / HTTP/1.1\r\nContent-Length: 100000000\r\n\r\n" + std::string(4096, 's'));
    ASSERT_TRUE(stack.StepUntil([&] {
      keepPace();
      skimAll();
      size_t gone = 0;
      for (const Seen& x : sa) gone += x.closed;
      for (const Seen& x : sb) gone += x.closed;
      return gone >= static_cast<size_t>(n) + 1;
    }));
  }
  // Everyone that gave way was told so with a 503.
  for (const Seen& x : sa) EXPECT_TRUE(Busy503(x)) << x.bytes;
  for (const Seen& x : sb) EXPECT_TRUE(Busy503(x)) << x.bytes;
  Send(honest, std::string(total - sent, 'h'));
  Seen h;
  ASSERT_TRUE(stack.StepUntil([&] {
    Skim(honest, h);
    return h.closed;
  }));
  EXPECT_EQ(h.bytes.substr(0, 12), "HTTP/1.1 200");
  for (const std::vector<socket_t>* v : {&a, &b, &stay}) {
    for (socket_t s : *v) testsock::Close(s);
  }
  testsock::Close(honest);
  testsock::Close(first);
}

TEST(ServerTable, AFastReaderGetsABoundedShareOfEachPass) {
  SteppedStack stack([](server::HttpLimits&) {});
  socket_t reader = Connect(stack.port());
  Send(reader, "GET / HTTP/1.1\r\n\r\n");
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> got{0};
  std::thread drain([&] {
    char buf[1 << 16];
    while (!stop) {
      long n = testsock::Recv(reader, buf, sizeof buf);
      if (n > 0) got += static_cast<uint64_t>(n);
      if (n == 0) return;
    }
  });
  ASSERT_TRUE(stack.StepUntil([&] { return got > (64u << 20); }, 60000));
  // An upload beside it is answered while the reader keeps taking bytes.
  socket_t up = Connect(stack.port());
  Send(up, "POST / HTTP/1.1\r\nContent-Length: 65536\r\n\r\n" + std::string(65536, 'u'));
  Seen u;
  ASSERT_TRUE(stack.StepUntil([&] {
    Skim(up, u);
    return u.closed;
  }, 60000));
  stop = true;
  drain.join();
  EXPECT_EQ(u.bytes.substr(0, 12), "HTTP/1.1 200");
  EXPECT_GT(stack->most_streamed_in_a_pass(), 0u);
  EXPECT_LE(stack->most_streamed_in_a_pass(), server::HttpServer::kConnPassStreamBytes);
  testsock::Close(reader);
  testsock::Close(up);
}
