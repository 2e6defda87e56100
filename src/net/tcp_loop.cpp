// One pass of the TCP engine: send, fill the wait lists, wait, dispatch,
// expire connect attempts.
#include "net/debug_line.h"
#include "net/tcp_module.h"
#include "platform/clock.h"

namespace zandrel::net {

void C_TcpModule::snapshot_live() {
  scratch_.clear();
  for (auto& [id, c] : live_) scratch_.push_back(id);
}

bool C_TcpModule::loop_once() {
  handler_.i_onLoop();
  if (!running_) return false;
  uint32_t t = platform::TickCount();
  bool result = false;
  // Work from a copy of the live set, checking each record before use, so a
  // callback may close any connection, not just the current one.
  snapshot_live();
  std::vector<conn_info*> order;
  order.swap(scratch_);
  for (conn_info* c : order) {
    if (is_live(c) && send_phase(*c)) result = true;
  }
  order.swap(scratch_);
  DebugIfSlow("loop send use %d", t);

  t = platform::TickCount();
  _fill_fd();
  DebugIfSlow("_fill_fd() use %d", t);

  t = platform::TickCount();
  int ready = _wait();
  DebugIfSlow("_wait(1) use %d", t);
  if (ready <= 0) return result;

  t = platform::TickCount();
  _handle_event();
  DebugIfSlow("_handle_event(); use %d", t);

  t = platform::TickCount();
  _handle_conn_timeOut();
  DebugIfSlow("_handle_conn_timeOut(); use %d", t);
  return true;
}

bool C_TcpModule::send_phase(conn_info& c) {
  bool progress = false;
  while (!c.queue.empty()) {
    send_block& b = c.queue.front();
    long n = SendBytes(c.socket, b.data.get() + b.cursor, static_cast<std::size_t>(b.length - b.cursor));
    if (n <= 0) return progress;
    b.cursor += static_cast<int32_t>(n);
    progress = true;
    if (b.cursor < b.length) return true;
    c.queue.pop_front();
    bool removed = false;
    c.removal_guard = &removed;
    handler_.i_onSent(&c, c.user);
    if (removed) return true;
    c.removal_guard = nullptr;
  }
  return progress;
}

void C_TcpModule::_fill_fd() {
  readList_->items.clear();
  writeList_->items.clear();
  errorList_->items.clear();
  for (auto& [id, c] : live_) {
    if (!IsSocket(c->socket)) continue;
    switch (c->kind) {
      case kKindListener:
        if (!acceptsHeld_) readList_->items.push_back(c->socket);
        break;
      case kKindConnected:
        readList_->items.push_back(c->socket);
        errorList_->items.push_back(c->socket);
        break;
      case kKindAttempt:
        writeList_->items.push_back(c->socket);
        errorList_->items.push_back(c->socket);
        break;
    }
  }
}

int C_TcpModule::_wait() { return WaitReady(&*readList_, &*writeList_, &*errorList_, 1); }

void C_TcpModule::_handle_event() {
  // Ordered by identity, each once, with the generation the wait saw: a
  // record created by a callback of this phase may take the address of one
  // closed by it, and must not be handled as the one the wait marked.
  std::map<conn_info*, uint64_t> ready;
  auto mark = [&](const SocketList& list, uint8_t bit, bool exact) {
    for (socket_t s : list.items) {
      auto it = sockets_.find(s);
      if (it == sockets_.end()) continue;
      conn_info* c = it->second;
      c->events = exact ? bit : static_cast<uint8_t>(c->events | bit);
      ready[c] = c->generation;
    }
  };
  mark(*readList_, kEventRead, true);
  mark(*writeList_, kEventWrite, false);
  mark(*errorList_, kEventError, false);
  passDeadline_ = std::chrono::steady_clock::now() + passTime_;
  for (auto& [c, generation] : ready) {
    // Closed by an earlier callback of this phase, or a new record since.
    if (!is_live(c) || c->generation != generation) continue;
    switch (c->kind) {
      case kKindConnected:
        recv_handle(*c);
        break;
      case kKindAttempt:
        _connect_handle(*c);
        break;
      case kKindListener:
        _accept_handle(*c);
        break;
    }
  }
}

void C_TcpModule::read_now(conn_handle c) {
  if (!is_live(c) || c->kind != kKindConnected || receiving_) return;
  uint8_t events = c->events;
  c->events = kEventRead;
  recv_handle(*c);
  if (is_live(c)) c->events = events;
}

void C_TcpModule::recv_handle(conn_info& c) {
  conn_info* id = &c;
  bool brk = false;
  receiving_ = true;
  struct Done {
    bool& flag;
    ~Done() { flag = false; }
  } done{receiving_};
  if (!(c.events & kEventRead)) {
    brk = (c.events & kEventError) != 0;
  } else {
    bool checkError = true;
    int64_t taken = 0;
    for (;;) {
      uint32_t t = platform::TickCount();
      long n = RecvBytes(c.socket, recvBuffer_.get(), kRecvBufferSize);
      DebugIfSlow("recv() use %d", t);
      if (n == 0) {
        brk = true;
        checkError = false;
        break;
      }
      if (n < 0) {
        if (!IsWouldBlock(LastError())) {
          brk = true;
          checkError = false;
        }
        break;
      }
      t = platform::TickCount();
      bool more = handler_.i_onData(id, recvBuffer_.get(), static_cast<int32_t>(n), c.user);
      DebugIfSlow("i_onData() use %d", t);
      if (!more) {
        brk = true;
        checkError = false;
        break;
      }
      if (!is_live(id)) return;
      if (n < kRecvBufferSize) break;  // drained
      taken += n;
      if (taken >= passBytes_ || std::chrono::steady_clock::now() >= passDeadline_) break;
    }
    if (checkError && (c.events & kEventError)) brk = true;
  }
  if (!brk || !is_live(id)) return;
  uint32_t t = platform::TickCount();
  handler_.i_onBreak(id, c.user);
  DebugIfSlow("i_onBreak() use %d", t);
}

void C_TcpModule::_connect_handle(conn_info& c) {
  user_data user = c.user;
  socket_t outcome = c.socket;
  // A failed connect shows as an error condition, or as writable with a
  // pending socket error.
  if ((c.events & kEventError) || PendingError(c.socket) != 0) {
    CloseSocket(c.socket);
    outcome = kNoSocket;
  }
  conn_handle id = &c;
  forget(id);
  uint32_t t = platform::TickCount();
  handler_.i_onConnect(outcome, id, user);
  DebugIfSlow("_connect_handle() use %d", t);
}

void C_TcpModule::_accept_handle(conn_info& c) {
  if (!IsSocket(c.socket)) return;
  conn_handle id = &c;
  uint32_t t = platform::TickCount();
  for (bool first = true;; first = false) {
    if (!is_live(id)) break;  // the handler must not, but never touch a freed listener
    if (acceptGate_) {
      // The wait said a connection is waiting; after the first accept, ask
      // the listener again before the gate is asked to make room.
      if (!first) {
        SocketList one(1);
        one.items.push_back(c.socket);
        if (WaitReady(&one, nullptr, nullptr, 0) <= 0) break;
      }
      if (!acceptGate_()) break;
      if (!is_live(id)) break;
    }
    uint32_t peerAddr = 0, localAddr = 0;
    uint16_t peerPort = 0, localPort = 0;
    socket_t s = AcceptIpv4(c.socket, peerAddr, peerPort);
    if (!IsSocket(s)) break;
    LocalAddress(s, localAddr, localPort);
    handler_.i_onAccept(id, s, peerAddr, peerPort, localAddr, localPort);
  }
  DebugIfSlow("_accept_handle() use %d", t);
}

void C_TcpModule::_handle_conn_timeOut() {
  uint32_t now = platform::TickCount();
  snapshot_live();
  std::vector<conn_info*> order;
  order.swap(scratch_);
  for (conn_info* c : order) {
    if (!is_live(c) || c->kind != kKindAttempt) continue;
    if (now - c->attempt_start < c->attempt_timeout) continue;
    user_data user = c->user;
    CloseSocket(c->socket);
    forget(c);
    handler_.i_onConnect(kNoSocket, c, user);
  }
  order.swap(scratch_);
}

}  // namespace zandrel::net
