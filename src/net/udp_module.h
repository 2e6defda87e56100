// The datagram engine: bound non-blocking sockets, one datagram per ready
// socket per pass (udp_loop_once); a server that must keep up with many
// senders takes more per pass with udp_loop_drain.
#pragma once
#include <map>
#include <memory>

#include "net/interfaces.h"

namespace zandrel::net {

struct udp_socket {
  socket_t socket = kNoSocket;
  I_udp_handler* handler = nullptr;
};

class C_udp_module final : public I_udp_module {
 public:
  static constexpr uint32_t kCapacity = 256;
  static constexpr int kBufferBytes = 1048576;
  static constexpr int32_t kDatagramMax = 65536;

  C_udp_module();

  udp_handle udp_open(uint16_t port, I_udp_handler* handler) override;
  void udp_close(udp_handle h) override;
  bool udp_send(udp_handle h, const char* data, int32_t len, uint32_t addr, uint16_t port) override;
  bool udp_loop_once() override;
  void release() override;

  udp_handle udp_open_on(uint32_t addr, uint16_t port, I_udp_handler* handler) override;
  uint16_t local_port(udp_handle h) const override;

  std::size_t socket_count() const { return live_.size(); }

  // A pass like udp_loop_once that takes up to maxPerSocket datagrams from
  // each ready socket, and no more once maxMs have passed since the wait
  // ended (a socket already being read gives at least one). Returns
  // whether any socket was ready.
  bool udp_loop_drain(uint32_t maxPerSocket, uint32_t maxMs);

 protected:
  ~C_udp_module() override;

 private:
  bool Pass(uint32_t maxPerSocket, uint32_t maxMs);

  SocketLayer layer_;  // first in, last out: outlives every socket below
  std::map<udp_socket*, std::unique_ptr<udp_socket>> live_;
  std::map<socket_t, udp_socket*> sockets_;
  SocketList readList_{kCapacity};
  std::unique_ptr<char[]> buffer_;
};

// The engine with its own operations in reach, for a server's own use.
using udp_engine_ptr = std::unique_ptr<C_udp_module, UdpModuleRelease>;
udp_engine_ptr create_udp_engine();

}  // namespace zandrel::net
