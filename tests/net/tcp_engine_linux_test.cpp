// Connects that a listener's full accept queue leaves unanswered: Linux drops
// the SYN of a connect beyond the backlog, where other systems refuse it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "sockets.h"
#include "tcp_recorder.h"
#include "wait.h"

using namespace tcptest;

namespace {

// A listener with a backlog of 0 whose accept queue is full: connects beyond
// it get no answer.
class FullListener {
 public:
  FullListener() {
    for (int i = 0; i < 4; ++i) fillers_.push_back(testsock::ConnectWithoutWaiting(port()));
    // Full once one connect is done (the queue of a backlog of 0 holds one).
    EXPECT_TRUE(testsupport::WaitUntil([&] {
      SocketList done(fillers_.size());
      done.items = fillers_;
      return WaitReady(nullptr, &done, nullptr, 0) > 0;
    }));
  }
  ~FullListener() {
    for (socket_t f : fillers_) testsock::Close(f);
  }
  uint16_t port() const { return testsock::PortOf(listener_.get()); }

 private:
  testsock::Socket listener_{testsock::Listener(0)};
  std::vector<socket_t> fillers_;
};

}  // namespace

TEST(TcpEngine, UnansweredConnectEndsByTimeOutOnlyOnceSomethingIsReady) {
  Engine e;
  // A listener whose accept queue is full drops further SYNs.
  FullListener full;
  conn_handle a = e.tcp->create_connection(0x7F000001, full.port(), 0, 0, nullptr, 150);
  ASSERT_NE(a, nullptr);
  for (int i = 0; i < 100; ++i) e.tcp->loop_once();  // at least 100 ms of empty waits
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // past the attempt's time-out
  for (int i = 0; i < 10; ++i) e.tcp->loop_once();
  EXPECT_TRUE(e.rec.connects.empty()) << "no ready socket, so no time-out phase";
  // Something becomes ready: the expired attempt ends in that pass.
  auto [mine, peer] = testsock::TcpPair();
  conn_handle c = e.tcp->attach_socket(mine, nullptr, true);
  testsock::Send(peer, "x");
  ASSERT_TRUE(e.RunUntil([&] { return !e.rec.connects.empty(); }, 200));
  EXPECT_EQ(e.rec.connects[0].s, kNoSocket);
  EXPECT_EQ(e.rec.connects[0].attempt, a);
  e.tcp->close_connection(c);
  testsock::Close(peer);
}

TEST(TcpEngine, ARecordFreedAndTakenAgainInOnePassIsNotTakenForTheOldOne) {
  Engine e;
  // Connects to a listener whose accept queue is full stay pending.
  FullListener full;
  // Two connections ready in the same pass; the first callback closes the
  // other and starts an attempt, which usually gets the freed record.
  auto [m1, p1] = testsock::TcpPair();
  auto [m2, p2] = testsock::TcpPair();
  conn_handle c1 = e.tcp->attach_socket(m1, nullptr, true);
  conn_handle c2 = e.tcp->attach_socket(m2, nullptr, true);
  conn_handle closed = nullptr, fresh = nullptr;
  e.rec.onData = [&](conn_handle c) {
    if (!fresh) {
      closed = c == c1 ? c2 : c1;
      e.tcp->close_connection(closed);
      fresh = e.tcp->create_connection(0x7F000001, full.port(), 0, 0, nullptr, 60000);
    }
    return true;
  };
  testsock::Send(p1, "x");
  testsock::Send(p2, "y");
  ASSERT_TRUE(testsupport::WaitUntil([&] { return Pending(m1) == 1 && Pending(m2) == 1; }));
  e.tcp->loop_once();
  ASSERT_NE(fresh, nullptr);
  if (fresh != closed) std::printf("note: the attempt did not take the freed record this time\n");
  for (int i = 0; i < 20; ++i) e.tcp->loop_once();
  // The attempt is still connecting: nothing may report it connected.
  for (const auto& c : e.rec.connects) {
    ADD_FAILURE() << "attempt reported " << (IsSocket(c.s) ? "connected" : "failed") << " while still connecting";
    if (IsSocket(c.s)) testsock::Close(c.s);
  }
  EXPECT_EQ(e.rec.data.size(), 1u);
  EXPECT_EQ(e.impl().connection_count(), 2u);
  for (socket_t s : {p1, p2}) testsock::Close(s);
}
