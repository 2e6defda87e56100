// The TCP engine: a table of non-blocking sockets driven by passes.
#pragma once
#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "net/interfaces.h"
#include "platform/thread.h"

namespace zandrel::net {

struct send_block {
  std::unique_ptr<char[]> data;
  int32_t length = 0;
  int32_t cursor = 0;  // first byte not yet sent
};

enum : uint8_t { kEventRead = 1, kEventWrite = 2, kEventError = 4 };
enum : char { kKindConnected = 'c', kKindAttempt = 'i', kKindListener = 'l' };

struct conn_info {
  socket_t socket = kNoSocket;
  user_data user = nullptr;
  std::deque<send_block> queue;
  bool* removal_guard = nullptr;  // set while i_onSent runs for this connection
  uint8_t events = 0;
  char kind = kKindConnected;
  uint32_t attempt_start = 0;
  uint32_t attempt_timeout = 0;
  // Which record this is: a new record may get the address of a freed one.
  uint64_t generation = 0;
};

class C_TcpModule final : public I_tcpModule {
 public:
  static constexpr uint32_t kCapacity = 1024;
  static constexpr int32_t kRecvBufferSize = 102400;
  // A ready connection is read until it would block, but within one pass at
  // most this many bytes per connection (10 Gbit/s at 64 passes a second)...
  static constexpr int64_t kPassByteBound = 200 * int64_t{kRecvBufferSize};
  static_assert(kPassByteBound * 64 >= 10'000'000'000 / 8);
  // ...and, past each connection's first read, only while the pass's receive
  // phase is younger than this, so a pass never holds its thread for long.
  static constexpr std::chrono::microseconds kPassTimeBound{4000};
  static constexpr std::size_t kWorkerStack = 4u * 1024 * 1024;

  explicit C_TcpModule(I_dataHandler& handler);
  ~C_TcpModule() override;

  conn_handle create_listener(uint16_t port) override;
  conn_handle attach_socket(socket_t s, user_data user, bool nagle) override;
  conn_handle create_connection(uint32_t addr, uint16_t port, uint32_t localAddr, uint16_t localPort,
                                user_data user, uint32_t timeoutMs) override;
  void close_connection(conn_handle c) override;
  bool queue_send(conn_handle c, const char* data, int32_t len) override;
  bool start(bool no_thread) override;
  bool loop_once() override;

  std::size_t connection_count() const { return live_.size(); }
  // A listener on one local address rather than every one.
  conn_handle create_listener_on(uint32_t addr, uint16_t port);
  // The local port of a listener or connection; 0 for a dead handle.
  uint16_t local_port(conn_handle c) const;
  // Bytes queued on a connection and not yet sent; -1 for a dead handle.
  int64_t queued_bytes(conn_handle c) const;
  // For a server whose table is smaller than the listeners' queues: asked
  // before each accept, and only when a connection is waiting, whether to
  // take one more now. false leaves it, and those behind it, in the
  // listener's queue until a later pass. Without a gate every waiting
  // connection is accepted in the pass.
  void set_accept_gate(std::function<bool()> gate) { acceptGate_ = std::move(gate); }
  // While held, listeners are left out of the wait: a full table does not
  // turn every pass into a busy one.
  void hold_accepts(bool held) { acceptsHeld_ = held; }
  // Reads what a connection has ready now, as a pass does (i_onData, and
  // i_onBreak when the peer has gone), without waiting for readiness. For
  // handlers that must see what a client sent before deciding about it;
  // not from inside i_onData.
  void read_now(conn_handle c);
  // Replaces the per-pass receive bounds (tests pin them this way).
  void set_pass_bounds(int64_t bytes, std::chrono::microseconds time) {
    passBytes_ = bytes;
    passTime_ = time;
  }

 private:
  conn_handle register_socket(socket_t s, user_data user, bool nagle, char kind);
  bool is_live(conn_handle c) const { return live_.count(c) != 0; }
  void forget(conn_handle c);  // removes from both tables and frees it
  bool flush_queue(conn_info& c);
  void worker_proc();

  // The pass.
  bool send_phase(conn_info& c);
  void _fill_fd();
  int _wait();
  void _handle_event();
  void recv_handle(conn_info& c);
  void _connect_handle(conn_info& c);
  void _accept_handle(conn_info& c);
  void _handle_conn_timeOut();
  void snapshot_live();

  SocketLayer layer_;  // first in, last out: outlives every socket below
  I_dataHandler& handler_;
  bool running_ = false;
  std::map<conn_info*, std::unique_ptr<conn_info>> live_;  // identity -> record
  std::map<socket_t, conn_info*> sockets_;
  std::optional<SocketList> readList_, writeList_, errorList_;
  std::unique_ptr<char[]> recvBuffer_;
  std::vector<conn_info*> scratch_;
  int64_t passBytes_ = kPassByteBound;
  std::chrono::microseconds passTime_ = kPassTimeBound;
  std::chrono::steady_clock::time_point passDeadline_;
  uint64_t generations_ = 0;
  std::function<bool()> acceptGate_;
  bool acceptsHeld_ = false;
  bool receiving_ = false;  // recv_handle is running: the receive buffer is in use

  std::atomic<bool> stopWorker_{false};
  platform::Thread worker_;
};

}  // namespace zandrel::net
