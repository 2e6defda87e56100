// The engine tests' handler that records every callback, and an engine
// driven by the test's own thread.
#pragma once
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "net/tcp_module.h"
#include "system.h"

namespace tcptest {

using namespace zandrel::net;

// Records every callback; optional hooks let a test act inside one.
struct Recorder : I_dataHandler {
  struct Connect {
    socket_t s;
    conn_handle attempt;
    user_data user;
  };
  std::vector<Connect> connects;
  std::vector<std::pair<conn_handle, int32_t>> data;
  std::string bytes;
  std::vector<conn_handle> breaks, sent;
  std::vector<std::tuple<socket_t, uint32_t, uint16_t, uint32_t, uint16_t>> accepts;
  int loops = 0;
  std::function<bool(conn_handle)> onData;
  std::function<void(conn_handle)> onSent;
  std::function<void(socket_t)> onAccept;

  void i_onAccept(conn_handle, socket_t s, uint32_t pa, uint16_t pp, uint32_t la, uint16_t lp) override {
    accepts.emplace_back(s, pa, pp, la, lp);
    if (onAccept) onAccept(s);
  }
  void i_onConnect(socket_t s, conn_handle attempt, user_data user) override {
    connects.push_back({s, attempt, user});
  }
  bool i_onData(conn_handle c, const char* d, int32_t len, user_data) override {
    data.emplace_back(c, len);
    bytes.append(d, static_cast<size_t>(len));
    return onData ? onData(c) : true;
  }
  void i_onBreak(conn_handle c, user_data) override { breaks.push_back(c); }
  void i_onSent(conn_handle c, user_data) override {
    sent.push_back(c);
    if (onSent) onSent(c);
  }
  void i_onLoop() override { ++loops; }
};

struct Engine {
  Recorder rec;
  std::unique_ptr<I_tcpModule> tcp = create_tcp_module(rec);
  C_TcpModule& impl() { return static_cast<C_TcpModule&>(*tcp); }
  Engine() { EXPECT_TRUE(tcp->start(true)); }
  // Runs passes until pred holds or the pass budget runs out.
  bool RunUntil(const std::function<bool()>& pred, int passes = 5000) {
    for (int i = 0; i < passes && !pred(); ++i) tcp->loop_once();
    return pred();
  }
};

inline size_t Pending(socket_t s) { return testsupport::PendingBytes(s); }


}  // namespace tcptest
