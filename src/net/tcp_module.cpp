#include "net/tcp_module.h"

#include <cstring>

#include "net/debug_line.h"
#include "platform/clock.h"

namespace zandrel::net {

std::unique_ptr<I_tcpModule> create_tcp_module(I_dataHandler& handler) {
  return std::make_unique<C_TcpModule>(handler);
}

C_TcpModule::C_TcpModule(I_dataHandler& handler) : handler_(handler) {}

C_TcpModule::~C_TcpModule() {
  // A worker started by start(false) is stopped and joined before anything
  // it uses goes away.
  stopWorker_ = true;
  worker_.Join();
  // Sockets still registered are closed rather than leaked.
  for (auto& [id, c] : live_) CloseSocket(c->socket);
  sockets_.clear();
  live_.clear();
}

bool C_TcpModule::start(bool no_thread) {
  if (running_) return true;
  readList_.emplace(kCapacity);
  writeList_.emplace(kCapacity);
  errorList_.emplace(kCapacity);
  recvBuffer_ = std::make_unique<char[]>(kRecvBufferSize);
  running_ = true;
  if (!no_thread) worker_.Start([this] { worker_proc(); }, kWorkerStack);
  return true;
}

void C_TcpModule::worker_proc() {
  while (running_ && !stopWorker_) {
    if (!loop_once()) platform::SleepMs(1);
  }
}

conn_handle C_TcpModule::register_socket(socket_t s, user_data user, bool nagle, char kind) {
  if (live_.size() >= kCapacity || !running_ || !IsSocket(s)) return nullptr;
  if (sockets_.count(s)) return nullptr;  // already registered under this value
  auto record = std::make_unique<conn_info>();
  record->socket = s;
  record->user = user;
  record->kind = kind;
  record->generation = ++generations_;
  SetNonBlocking(s);
  if (kind == kKindConnected) SetNoDelay(s, !nagle);
  conn_info* id = record.get();
  live_.emplace(id, std::move(record));
  sockets_[s] = id;
  return id;
}

conn_handle C_TcpModule::attach_socket(socket_t s, user_data user, bool nagle) {
  return register_socket(s, user, nagle, kKindConnected);
}

conn_handle C_TcpModule::create_listener(uint16_t port) { return create_listener_on(0, port); }

int64_t C_TcpModule::queued_bytes(conn_handle c) const {
  if (!is_live(c)) return -1;
  int64_t n = 0;
  for (const send_block& b : c->queue) n += b.length - b.cursor;
  return n;
}

uint16_t C_TcpModule::local_port(conn_handle c) const {
  uint32_t addr = 0;
  uint16_t port = 0;
  if (!is_live(c) || !LocalAddress(c->socket, addr, port)) return 0;
  return port;
}

conn_handle C_TcpModule::create_listener_on(uint32_t addr, uint16_t port) {
  socket_t s = TcpSocket();
  if (!IsSocket(s)) return nullptr;
  SetListenerAddressUse(s);
  SetNonBlocking(s);
  if (!BindIpv4(s, addr, port)) {
    DebugLine("bind error %d", LastError());
    CloseSocket(s);
    return nullptr;
  }
  // A queue as long as the connection table: a burst of connects waits to be
  // accepted instead of being dropped before the handler sees it.
  if (!Listen(s, static_cast<int>(kCapacity))) {
    DebugLine("listen error %d", LastError());
    CloseSocket(s);
    return nullptr;
  }
  conn_handle c = register_socket(s, nullptr, true, kKindListener);
  if (!c) CloseSocket(s);
  return c;
}

conn_handle C_TcpModule::create_connection(uint32_t addr, uint16_t port, uint32_t localAddr, uint16_t localPort,
                                           user_data user, uint32_t timeoutMs) {
  if (live_.size() >= kCapacity || !running_) return nullptr;
  socket_t s = TcpSocket();
  if (!IsSocket(s)) return nullptr;
  SetReuseAddress(s, true);
  SetNonBlocking(s);
  if (localPort != 0 || localAddr != 0) BindIpv4(s, localAddr, localPort);
  if (ConnectIpv4(s, addr, port) == 0) {
    DebugLine("connectOK");
  } else if (!IsConnectInProgress(LastError())) {
    CloseSocket(s);
    return nullptr;
  }
  if (sockets_.count(s)) {  // cannot happen for a fresh descriptor; never alias one
    CloseSocket(s);
    return nullptr;
  }
  auto record = std::make_unique<conn_info>();
  record->socket = s;
  record->user = user;
  record->kind = kKindAttempt;
  record->attempt_start = platform::TickCount();
  record->attempt_timeout = timeoutMs;
  record->generation = ++generations_;
  conn_info* id = record.get();
  live_.emplace(id, std::move(record));
  sockets_[s] = id;
  return id;
}

void C_TcpModule::forget(conn_handle c) {
  auto it = live_.find(c);
  if (it == live_.end()) return;
  auto sit = sockets_.find(c->socket);
  if (sit != sockets_.end() && sit->second == c) sockets_.erase(sit);
  live_.erase(it);  // frees the record and its queued blocks
}

void C_TcpModule::close_connection(conn_handle c) {
  if (!is_live(c)) return;
  if (c->removal_guard) *c->removal_guard = true;
  CloseSocket(c->socket);
  forget(c);
}

bool C_TcpModule::queue_send(conn_handle c, const char* data, int32_t len) {
  if (!is_live(c) || !IsSocket(c->socket)) return false;
  // A block of no bytes could never complete; it is refused.
  if (!data || len <= 0) return false;
  send_block block;
  block.data = std::make_unique<char[]>(static_cast<std::size_t>(len));
  std::memcpy(block.data.get(), data, static_cast<std::size_t>(len));
  block.length = len;
  c->queue.push_back(std::move(block));
  return flush_queue(*c);
}

bool C_TcpModule::flush_queue(conn_info& c) {
  while (!c.queue.empty()) {
    send_block& b = c.queue.front();
    long n = SendBytes(c.socket, b.data.get() + b.cursor, static_cast<std::size_t>(b.length - b.cursor));
    if (n == 0) return false;
    if (n < 0) return IsWouldBlock(LastError());
    b.cursor += static_cast<int32_t>(n);
    if (b.cursor < b.length) return true;
    c.queue.pop_front();
  }
  return true;
}

}  // namespace zandrel::net
