// UDP reachability test: five probes to the report server; any datagram
// back counts as an answer.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "net/interfaces.h"

namespace zandrel {

// Resolves a host name (an "http://" prefix and anything from the first "/"
// are dropped) and writes its IPv4 addresses as NUL-terminated dotted texts
// into out[100]; returns how many, or -1 when it does not resolve.
int ResolveHostAddresses(const char* name, char* out);

// The host name ResolveHostAddresses looks up for a name: lower case, without
// an "http://" prefix and anything from the first "/".
std::string UdpHostName(const char* name);

class CTestUDP final : public net::I_udp_handler {
 public:
  static constexpr uint16_t kLocalPort = 19536;
  static constexpr uint16_t kServerPort = 19549;
  static constexpr int kProbes = 5;

  CTestUDP();
  ~CTestUDP() override;

  void SetReceiver(net::IRecvInter* receiver) { receiver_ = receiver; }
  // Opens the endpoint and sends the probes, pausing after each. When the
  // host does not resolve nothing is sent and the wait simply runs out.
  // sleepMs pauses the calling thread and answers false once the run is being
  // cancelled: the name is looked up on a helper thread while the caller
  // pauses in short steps, so a cancelled run abandons the lookup at once.
  void StartTest(const std::string& host, const std::function<bool(uint32_t)>& sleepMs,
                 uint16_t localPort = kLocalPort, uint16_t serverPort = kServerPort);
  void Close();
  bool LoopOnce();
  bool IsOpen() const { return endpoint_ != nullptr; }

  void i_onRecv(uint32_t addr, uint16_t port, const char* data, int32_t len) override;

 private:
  net::udp_module_ptr engine_;
  net::udp_handle endpoint_ = nullptr;
  net::IRecvInter* receiver_ = nullptr;
};

}  // namespace zandrel
