// The datagram engine: bound non-blocking sockets, one datagram per ready
// socket per pass.
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

 protected:
  ~C_udp_module() override;

 private:
  SocketLayer layer_;  // first in, last out: outlives every socket below
  std::map<udp_socket*, std::unique_ptr<udp_socket>> live_;
  std::map<socket_t, udp_socket*> sockets_;
  SocketList readList_{kCapacity};
  std::unique_ptr<char[]> buffer_;
};

}  // namespace zandrel::net
