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
