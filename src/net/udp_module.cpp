#include "net/udp_module.h"

#include "net/debug_line.h"
#include "platform/clock.h"

namespace zandrel::net {

udp_module_ptr create_udp_module() { return udp_module_ptr(new C_udp_module()); }
udp_engine_ptr create_udp_engine() { return udp_engine_ptr(new C_udp_module()); }

C_udp_module::C_udp_module() : buffer_(std::make_unique<char[]>(kDatagramMax)) {}

C_udp_module::~C_udp_module() {
  for (auto& [id, rec] : live_) CloseSocket(rec->socket);
  sockets_.clear();
  live_.clear();
}

void C_udp_module::release() { delete this; }

udp_handle C_udp_module::udp_open(uint16_t port, I_udp_handler* handler) { return udp_open_on(0, port, handler); }

udp_handle C_udp_module::udp_open_on(uint32_t addr, uint16_t port, I_udp_handler* handler) {
  // The wait list holds kCapacity sockets; opening more is refused.
  if (live_.size() >= kCapacity) return nullptr;
  socket_t s = UdpSocket();
  if (!IsSocket(s)) return nullptr;
  if (!BindIpv4(s, addr, port)) {
    CloseSocket(s);
    return nullptr;
  }
  SetBufferSizes(s, kBufferBytes);
  SetNonBlocking(s);
  SetBroadcast(s);
  auto rec = std::make_unique<udp_socket>();
  rec->socket = s;
  rec->handler = handler;
  udp_socket* id = rec.get();
  sockets_[s] = id;
  live_.emplace(id, std::move(rec));
  return id;
}

uint16_t C_udp_module::local_port(udp_handle h) const {
  uint32_t addr = 0;
  uint16_t port = 0;
  if (!live_.count(h) || !LocalAddress(h->socket, addr, port)) return 0;
  return port;
}

void C_udp_module::udp_close(udp_handle h) {
  auto it = live_.find(h);
  if (it == live_.end()) return;
  CloseSocket(h->socket);
  sockets_.erase(h->socket);
  live_.erase(it);
}

bool C_udp_module::udp_send(udp_handle h, const char* data, int32_t len, uint32_t addr, uint16_t port) {
  if (!live_.count(h) || len < 0 || (!data && len > 0)) return false;
  return SendTo(h->socket, data, static_cast<std::size_t>(len), addr, port) >= 0;
}

bool C_udp_module::udp_loop_once() { return Pass(1, 0); }

bool C_udp_module::udp_loop_drain(uint32_t maxPerSocket, uint32_t maxMs) { return Pass(maxPerSocket, maxMs); }

bool C_udp_module::Pass(uint32_t maxPerSocket, uint32_t maxMs) {
  readList_.items.clear();
  for (auto& [s, rec] : sockets_) readList_.items.push_back(s);
  uint32_t t = platform::TickCount();
  int ready = readList_.items.empty() ? 0 : WaitReady(&readList_, nullptr, nullptr, 1);
  DebugIfSlow("udp_wait(1) use %d", t);
  if (ready <= 0) return false;
  t = platform::TickCount();
  for (socket_t s : readList_.items) {
    for (uint32_t taken = 0; taken < maxPerSocket; ++taken) {
      if (taken > 0 && platform::TickCount() - t >= maxMs) break;
      auto it = sockets_.find(s);
      if (it == sockets_.end()) break;  // closed by a handler earlier in this pass
      uint32_t addr = 0;
      uint16_t port = 0;
      long n = RecvFrom(s, buffer_.get(), kDatagramMax, addr, port);
      if (n < 0) break;  // nothing more waiting, or an error
      // An empty datagram is taken but not delivered.
      if (n > 0 && it->second->handler) {
        it->second->handler->i_onRecv(addr, port, buffer_.get(), static_cast<int32_t>(n));
      }
    }
  }
  DebugIfSlow("udp_handle_event(); use %d", t);
  return true;
}

}  // namespace zandrel::net
