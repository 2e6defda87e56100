// The engine and callback interfaces. Addresses and ports cross them in host
// byte order; connection handles and user data are opaque to the user.
#pragma once
#include <cstdint>
#include <memory>

#include "net/socket.h"

namespace zandrel::net {

struct conn_info;                   // owned by the TCP engine
using conn_handle = conn_info*;     // null means none
struct udp_socket;                  // owned by the UDP engine
using udp_handle = udp_socket*;     // null means none
using user_data = void*;

// Callbacks of the TCP engine; every one runs inside a pass.
class I_dataHandler {
 public:
  virtual ~I_dataHandler() = default;
  virtual void i_onAccept(conn_handle listener, socket_t s, uint32_t peerAddr, uint16_t peerPort,
                          uint32_t localAddr, uint16_t localPort) = 0;
  // s is kNoSocket when the attempt failed or ran out of time.
  virtual void i_onConnect(socket_t s, conn_handle attempt, user_data user) = 0;
  // Return false to stop reading; the engine then reports i_onBreak unless
  // the handler closed the connection itself.
  virtual bool i_onData(conn_handle c, const char* data, int32_t len, user_data user) = 0;
  virtual void i_onBreak(conn_handle c, user_data user) = 0;
  virtual void i_onSent(conn_handle c, user_data user) = 0;
  virtual void i_onLoop() = 0;
};

class I_tcpModule {
 public:
  virtual ~I_tcpModule() = default;
  virtual conn_handle create_listener(uint16_t port) = 0;
  virtual conn_handle attach_socket(socket_t s, user_data user, bool nagle) = 0;
  virtual conn_handle create_connection(uint32_t addr, uint16_t port, uint32_t localAddr, uint16_t localPort,
                                        user_data user, uint32_t timeoutMs) = 0;
  virtual void close_connection(conn_handle c) = 0;
  virtual bool queue_send(conn_handle c, const char* data, int32_t len) = 0;
  virtual bool start(bool no_thread) = 0;
  virtual bool loop_once() = 0;
};

// The handler is not owned and must outlive the engine.
std::unique_ptr<I_tcpModule> create_tcp_module(I_dataHandler& handler);

class I_udp_handler {
 public:
  virtual ~I_udp_handler() = default;
  virtual void i_onRecv(uint32_t srcAddr, uint16_t srcPort, const char* data, int32_t len) = 0;
};

class I_udp_module {
 public:
  virtual udp_handle udp_open(uint16_t port, I_udp_handler* handler) = 0;
  // A socket bound to one local address (0: every one); port 0 picks a free port.
  virtual udp_handle udp_open_on(uint32_t addr, uint16_t port, I_udp_handler* handler) = 0;
  // The local port a socket is bound to; 0 for a dead handle.
  virtual uint16_t local_port(udp_handle h) const = 0;
  virtual void udp_close(udp_handle h) = 0;
  virtual bool udp_send(udp_handle h, const char* data, int32_t len, uint32_t addr, uint16_t port) = 0;
  virtual bool udp_loop_once() = 0;
  virtual void release() = 0;  // destroys the engine

 protected:
  virtual ~I_udp_module() = default;
};

struct UdpModuleRelease {
  void operator()(I_udp_module* m) const {
    if (m) m->release();
  }
};
using udp_module_ptr = std::unique_ptr<I_udp_module, UdpModuleRelease>;
udp_module_ptr create_udp_module();

// Told by the UDP tester that an answer arrived.
class IRecvInter {
 public:
  virtual void OnRecv(const char* data) = 0;

 protected:
  ~IRecvInter() = default;
};

}  // namespace zandrel::net
