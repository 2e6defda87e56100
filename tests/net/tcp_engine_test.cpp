#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "net/debug_line.h"
#include "net/tcp_module.h"
#include "sockets.h"
#include "tcp_recorder.h"
#include "wait.h"

using namespace tcptest;

TEST(TcpEngine, IdlePassAndCreationsBeforeStart) {
  Recorder rec;
  auto tcp = create_tcp_module(rec);
  EXPECT_EQ(tcp->create_connection(0x7F000001, 1, 0, 0, nullptr, 100), nullptr);
  EXPECT_EQ(tcp->create_listener(0), nullptr);
  EXPECT_FALSE(tcp->loop_once());
  ASSERT_TRUE(tcp->start(true));
  EXPECT_FALSE(tcp->loop_once());
  EXPECT_EQ(rec.loops, 2);
  EXPECT_TRUE(rec.connects.empty() && rec.data.empty() && rec.breaks.empty());
}

// The engines' diagnostic lines are written only when asked for, to
// standard error, one whole line each; standard output never has them.
TEST(TcpEngine, DiagnosticLinesOnlyWhenAskedAndOnStandardError) {
  testsock::Socket taken(testsock::Listener());
  const uint16_t port = testsock::PortOf(taken.get());
  Recorder rec;
  auto tcp = create_tcp_module(rec);
  const bool was = DebugLinesOn();
  std::string out[2], err[2];
  for (int on = 0; on < 2; ++on) {
    SetDebugLines(on == 1);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(tcp->create_listener(port), nullptr);  // the port is in use
    out[on] = testing::internal::GetCapturedStdout();
    err[on] = testing::internal::GetCapturedStderr();
  }
  SetDebugLines(was);
  EXPECT_EQ(out[0] + out[1] + err[0], "");
  EXPECT_EQ(err[1].compare(0, 11, "bind error "), 0) << err[1];
  EXPECT_EQ(err[1].find('\n'), err[1].size() - 1) << err[1];
}

// A pass reads a ready connection until it would block, within the pass's
// byte bound and time bound; each ready connection gets at least one read.
TEST(TcpEngine, PassDrainsAReadyConnectionWithinItsBounds) {
  using std::chrono::microseconds;
  std::string payload(400000, '\0');
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7 + i / 251);
  struct Case {
    int64_t bytes;
    microseconds time;
    std::vector<int32_t> firstPass;  // read sizes of the first pass
  };
  const Case cases[] = {
      // Default byte bound, a time bound no machine reaches: everything at once.
      {C_TcpModule::kPassByteBound, microseconds(60'000'000), {102400, 102400, 102400, 400000 - 3 * 102400}},
      // The byte bound stops the pass after the read that reaches it.
      {3 * 102400, microseconds(60'000'000), {102400, 102400, 102400}},
      {150000, microseconds(60'000'000), {102400, 102400}},
      // A spent time bound still leaves one read per pass.
      {C_TcpModule::kPassByteBound, microseconds(0), {102400}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.bytes);
    Engine e;
    e.impl().set_pass_bounds(k.bytes, k.time);
    auto [mine, peer] = testsock::TcpPair();
    testsock::SetBuffers(mine, 4 << 20);
    testsock::SetBuffers(peer, 4 << 20);
    conn_handle c = e.tcp->attach_socket(mine, reinterpret_cast<user_data>(7), true);
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(testsock::Send(peer, payload), 400000);
    ASSERT_TRUE(testsupport::WaitUntil([&] { return Pending(mine) == 400000; }));
    EXPECT_TRUE(e.tcp->loop_once());
    std::vector<int32_t> sizes;
    for (auto& [h, n] : e.rec.data) {
      EXPECT_EQ(h, c);
      sizes.push_back(n);
    }
    EXPECT_EQ(sizes, k.firstPass);
    // Later passes deliver the rest, in order, without a break.
    EXPECT_TRUE(e.RunUntil([&] { return e.rec.bytes.size() >= payload.size(); }, 50));
    EXPECT_EQ(e.rec.bytes, payload);
    EXPECT_TRUE(e.rec.breaks.empty());
    e.tcp->close_connection(c);
    testsock::Close(peer);
  }
}

TEST(TcpEngine, PeerCloseGivesDataThenBreakInALaterPassUntilClosed) {
  Engine e;
  auto [mine, peer] = testsock::TcpPair();
  conn_handle c = e.tcp->attach_socket(mine, nullptr, true);
  testsock::Send(peer, "0123456789");
  testsock::Close(peer);
  ASSERT_TRUE(testsupport::WaitUntil([&] { return Pending(mine) == 10; }));
  e.tcp->loop_once();
  ASSERT_EQ(e.rec.data.size(), 1u);
  EXPECT_EQ(e.rec.bytes, "0123456789");
  EXPECT_TRUE(e.rec.breaks.empty());
  e.tcp->loop_once();
  ASSERT_EQ(e.rec.breaks.size(), 1u);
  EXPECT_EQ(e.rec.breaks[0], c);
  // Not closed by the handler: reported again at the next readable pass.
  e.tcp->loop_once();
  EXPECT_EQ(e.rec.breaks.size(), 2u);
  e.tcp->close_connection(c);
  e.tcp->loop_once();
  EXPECT_EQ(e.rec.breaks.size(), 2u);
  EXPECT_EQ(e.impl().connection_count(), 0u);
}

TEST(TcpEngine, ConnectOutcomes) {
  Engine e;
  // Success: the socket is handed over; the attempt handle is dead.
  socket_t l = testsock::Listener();
  auto* user = reinterpret_cast<user_data>(0x1234);
  conn_handle a = e.tcp->create_connection(0x7F000001, testsock::PortOf(l), 0, 0, user, 4000);
  ASSERT_NE(a, nullptr);
  ASSERT_TRUE(e.RunUntil([&] { return !e.rec.connects.empty(); }));
  EXPECT_TRUE(IsSocket(e.rec.connects[0].s));
  EXPECT_EQ(e.rec.connects[0].attempt, a);
  EXPECT_EQ(e.rec.connects[0].user, user);
  e.tcp->close_connection(a);  // harmless
  EXPECT_FALSE(e.tcp->queue_send(a, "x", 1));
  conn_handle c = e.tcp->attach_socket(e.rec.connects[0].s, nullptr, true);
  ASSERT_NE(c, nullptr);
  EXPECT_FALSE(GetNoDelay(e.rec.connects[0].s));
  EXPECT_TRUE(e.tcp->queue_send(c, "hi", 2));
  socket_t srv = testsock::Accept(l);
  char buf[4] = {};
  EXPECT_EQ(testsock::Recv(srv, buf, sizeof buf), 2);
  testsock::Close(srv);
  testsock::Close(l);

  // Refused: socket none, the attempt's handle and user data.
  conn_handle r = e.tcp->create_connection(0x7F000001, testsock::ClosedPort(), 0, 0, user, 4000);
  ASSERT_NE(r, nullptr);
  ASSERT_TRUE(e.RunUntil([&] { return e.rec.connects.size() == 2; }));
  EXPECT_EQ(e.rec.connects[1].s, kNoSocket);
  EXPECT_EQ(e.rec.connects[1].attempt, r);
  EXPECT_EQ(e.rec.connects[1].user, user);
  e.tcp->close_connection(c);
}

TEST(TcpEngine, AttemptClosedByItsOwnerEndsSilently) {
  Engine e;
  conn_handle r = e.tcp->create_connection(0x7F000001, testsock::ClosedPort(), 0, 0, nullptr, 4000);
  ASSERT_NE(r, nullptr);
  e.tcp->close_connection(r);
  for (int i = 0; i < 50; ++i) e.tcp->loop_once();
  EXPECT_TRUE(e.rec.connects.empty());
}

TEST(TcpEngine, HandlerClosingConnectionsInsideCallbacks) {
  Engine e;
  // i_onData that closes its own connection and returns false: no break.
  auto [m1, p1] = testsock::TcpPair();
  conn_handle c1 = e.tcp->attach_socket(m1, nullptr, true);
  e.rec.onData = [&](conn_handle c) {
    e.tcp->close_connection(c);
    return false;
  };
  testsock::Send(p1, "abc");
  ASSERT_TRUE(e.RunUntil([&] { return !e.rec.data.empty(); }));
  for (int i = 0; i < 5; ++i) e.tcp->loop_once();
  EXPECT_TRUE(e.rec.breaks.empty());
  EXPECT_EQ(e.impl().connection_count(), 0u);
  (void)c1;

  // Returning false without closing: break at once, in the same pass.
  auto [m2, p2] = testsock::TcpPair();
  conn_handle c2 = e.tcp->attach_socket(m2, nullptr, true);
  e.rec.onData = [](conn_handle) { return false; };
  testsock::Send(p2, "abc");
  ASSERT_TRUE(e.RunUntil([&] { return !e.rec.breaks.empty(); }));
  EXPECT_EQ(e.rec.breaks[0], c2);
  e.tcp->close_connection(c2);

  // Two ready connections, the first callback closes the second.
  auto [m3, p3] = testsock::TcpPair();
  auto [m4, p4] = testsock::TcpPair();
  conn_handle c3 = e.tcp->attach_socket(m3, nullptr, true);
  conn_handle c4 = e.tcp->attach_socket(m4, nullptr, true);
  e.rec.data.clear();
  e.rec.onData = [&](conn_handle c) {
    e.tcp->close_connection(c == c3 ? c4 : c3);
    return true;
  };
  testsock::Send(p3, "x");
  testsock::Send(p4, "y");
  ASSERT_TRUE(testsupport::WaitUntil([&] { return Pending(m3) == 1 && Pending(m4) == 1; }));
  e.tcp->loop_once();
  EXPECT_EQ(e.rec.data.size(), 1u);
  EXPECT_EQ(e.impl().connection_count(), 1u);
  for (socket_t s : {p1, p2, p3, p4}) testsock::Close(s);
}

TEST(TcpEngine, LargeBlockLeavesOverSeveralPassesInOrderAndIsReportedOnce) {
  Engine e;
  auto [mine, peer] = testsock::TcpPair();
  testsock::SetBuffers(peer, 64 << 10);
  conn_handle c = e.tcp->attach_socket(mine, nullptr, true);
  testsock::SetBuffers(mine, 64 << 10);
  std::string big(8 << 20, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 31) ^ (i >> 13));
  EXPECT_TRUE(e.tcp->queue_send(c, big.data(), static_cast<int32_t>(big.size())));
  EXPECT_TRUE(e.tcp->queue_send(c, "END", 3));  // waits behind the big block
  EXPECT_TRUE(e.rec.sent.empty());
  std::string got;
  std::thread reader([&] {
    char buf[65536];
    while (got.size() < big.size() + 3) {
      long n = testsock::Recv(peer, buf, sizeof buf);
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
    }
  });
  e.RunUntil([&] { return e.rec.sent.size() >= 2; }, 200000);
  reader.join();
  EXPECT_EQ(e.rec.sent.size(), 2u);
  EXPECT_TRUE(got == big + "END") << "bytes arrived out of order or incomplete: " << got.size();
  e.tcp->close_connection(c);
  testsock::Close(peer);
}

TEST(TcpEngine, ClosingInsideOnSentDiscardsTheRestSafely) {
  Engine e;
  auto [mine, peer] = testsock::TcpPair();
  testsock::SetBuffers(peer, 64 << 10);
  conn_handle c = e.tcp->attach_socket(mine, nullptr, true);
  testsock::SetBuffers(mine, 64 << 10);
  std::string big(4 << 20, 'b');
  ASSERT_TRUE(e.tcp->queue_send(c, big.data(), static_cast<int32_t>(big.size())));
  ASSERT_TRUE(e.tcp->queue_send(c, "tail", 4));
  e.rec.onSent = [&](conn_handle h) { e.tcp->close_connection(h); };
  std::atomic<size_t> total{0};
  std::thread reader([&] {
    char buf[65536];
    long n;
    while ((n = testsock::Recv(peer, buf, sizeof buf)) > 0) total += static_cast<size_t>(n);
  });
  e.RunUntil([&] { return !e.rec.sent.empty(); }, 200000);
  reader.join();
  EXPECT_EQ(e.rec.sent.size(), 1u);
  EXPECT_EQ(total.load(), big.size());  // "tail" was discarded with the connection
  EXPECT_EQ(e.impl().connection_count(), 0u);
  EXPECT_FALSE(e.tcp->queue_send(c, "x", 1));
  testsock::Close(peer);
}

TEST(TcpEngine, QueueSendRefusesDeadHandlesAndEmptyBlocks) {
  Engine e;
  auto [mine, peer] = testsock::TcpPair();
  conn_handle c = e.tcp->attach_socket(mine, nullptr, false);
  EXPECT_TRUE(GetNoDelay(mine));
  EXPECT_FALSE(e.tcp->queue_send(c, "", 0));
  EXPECT_FALSE(e.tcp->queue_send(c, nullptr, 5));
  EXPECT_TRUE(e.tcp->queue_send(c, "ok", 2));
  e.tcp->close_connection(c);
  e.tcp->close_connection(c);
  EXPECT_FALSE(e.tcp->queue_send(c, "x", 1));
  EXPECT_EQ(e.tcp->attach_socket(kNoSocket, nullptr, true), nullptr);
  testsock::Close(peer);
}

TEST(TcpEngine, ListenerAcceptsEveryPendingConnectionInOnePass) {
  Engine e;
  conn_handle l = e.tcp->create_listener(0);
  ASSERT_NE(l, nullptr);
  uint16_t port = testsock::PortOf(l->socket);
  // A second listener on the same port is refused with a bind error.
  EXPECT_EQ(e.tcp->create_listener(port), nullptr);
  std::vector<socket_t> clients;
  for (int i = 0; i < 5; ++i) {
    socket_t s = testsock::Connect(port);
    ASSERT_TRUE(IsSocket(s));
    clients.push_back(s);
  }
  // A finished connect is in the listener's queue.
  ASSERT_TRUE(testsock::WaitReadable(l->socket, 5000));
  e.tcp->loop_once();
  ASSERT_EQ(e.rec.accepts.size(), 5u);
  for (size_t i = 0; i < clients.size(); ++i) {
    auto [s, pa, pp, la, lp] = e.rec.accepts[i];
    EXPECT_EQ(pa, 0x7F000001u);
    EXPECT_EQ(la, 0x7F000001u);
    EXPECT_EQ(lp, port);
    bool known = false;
    for (socket_t cl : clients) known |= testsock::PortOf(cl) == pp;
    EXPECT_TRUE(known);
    testsock::Close(s);
  }
  for (socket_t s : clients) testsock::Close(s);
}

TEST(TcpEngine, ABurstOfConnectsWaitsInTheListenersQueue) {
  if (!testsupport::AllowOpenSockets(400)) GTEST_SKIP() << "cannot raise the descriptor limit";
  Engine e;
  conn_handle l = e.tcp->create_listener(0);
  ASSERT_NE(l, nullptr);
  const uint16_t port = testsock::PortOf(l->socket);
  // 150 connects while no pass runs (fewer than the 200 that Windows may cap a
  // queue at): every one completes, queued for accept.
  std::vector<socket_t> clients;
  for (int i = 0; i < 150; ++i) clients.push_back(testsock::ConnectWithoutWaiting(port));
  auto connected = [&] {
    SocketList done(clients.size());
    done.items = clients;
    return WaitReady(nullptr, &done, nullptr, 0) == static_cast<int>(clients.size());
  };
  EXPECT_TRUE(testsupport::WaitUntil(connected, 10000)) << "connects beyond the listener's queue were dropped";
  ASSERT_TRUE(e.RunUntil([&] { return e.rec.accepts.size() == clients.size(); }, 100));
  for (auto& a : e.rec.accepts) CloseSocket(std::get<0>(a));
  for (socket_t s : clients) testsock::Close(s);
}

TEST(TcpEngine, CapacityOf1024ForAllKinds) {
  if (!testsupport::AllowOpenSockets(1100)) GTEST_SKIP() << "cannot raise the descriptor limit";
  Engine e;
  std::vector<conn_handle> handles;
  for (int i = 0; i < 1024; ++i) {
    socket_t s = TcpSocket();
    conn_handle h = e.tcp->attach_socket(s, nullptr, true);
    ASSERT_NE(h, nullptr) << i;
    handles.push_back(h);
  }
  socket_t extra = TcpSocket();
  EXPECT_EQ(e.tcp->attach_socket(extra, nullptr, true), nullptr);
  EXPECT_EQ(e.tcp->create_connection(0x7F000001, 9, 0, 0, nullptr, 100), nullptr);
  EXPECT_EQ(e.tcp->create_listener(0), nullptr);
  e.tcp->close_connection(handles.back());
  handles.pop_back();
  conn_handle again = e.tcp->attach_socket(extra, nullptr, true);  // the socket stayed ours
  EXPECT_NE(again, nullptr);
  e.tcp->close_connection(again);
  EXPECT_NE(e.tcp->create_listener(0), nullptr);
  // Destruction closes everything still registered.
}

TEST(TcpEngine, DestructionClosesSocketsStillRegistered) {
  auto [mine, peer] = testsock::TcpPair();
  {
    Engine e;
    ASSERT_NE(e.tcp->attach_socket(mine, nullptr, true), nullptr);
  }
  char b;
  EXPECT_EQ(testsock::Recv(peer, &b, 1), 0) << "the engine closed the socket it still held";
  testsock::Close(peer);
}

namespace {
// In worker mode the engine may be called only from inside its callbacks, so
// the listener is made from the first i_onLoop.
struct WorkerHandler : I_dataHandler {
  I_tcpModule* tcp = nullptr;
  std::atomic<uint16_t> port{0};
  std::atomic<int> accepted{0};
  std::atomic<int> loops{0};
  void i_onLoop() override {
    if (loops++ == 0) {
      conn_handle l = tcp->create_listener(0);
      if (l) port = testsock::PortOf(l->socket);
    }
  }
  void i_onAccept(conn_handle, socket_t s, uint32_t, uint16_t, uint32_t, uint16_t) override {
    CloseSocket(s);
    ++accepted;
  }
  void i_onConnect(socket_t, conn_handle, user_data) override {}
  bool i_onData(conn_handle, const char*, int32_t, user_data) override { return true; }
  void i_onBreak(conn_handle, user_data) override {}
  void i_onSent(conn_handle, user_data) override {}
};
}  // namespace

TEST(TcpEngine, WorkerRunsPassesAndIsJoinedOnDestruction) {
  WorkerHandler h;
  {
    auto tcp = create_tcp_module(h);
    h.tcp = tcp.get();
    ASSERT_TRUE(tcp->start(false));
    ASSERT_TRUE(testsupport::WaitUntil([&] { return h.port != 0; }));
    socket_t s = testsock::Connect(h.port);
    ASSERT_TRUE(IsSocket(s));
    ASSERT_TRUE(testsupport::WaitUntil([&] { return h.accepted != 0; }));
    EXPECT_EQ(h.accepted.load(), 1);
    testsock::Close(s);
  }
  int loops = h.loops;
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // time for a stray pass to show
  EXPECT_EQ(h.loops.load(), loops) << "no pass may run after destruction";
}
