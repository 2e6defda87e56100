#include "server/receiver/udp_echo.h"

#include <algorithm>

namespace zandrel::server {
namespace {

// A source a datagram can be sent back to as to one host.
bool IsOneHost(uint32_t addr) {
  uint32_t first = addr >> 24;
  return first != 0 && first < 224;  // not 0.0.0.0/8, multicast, 240/4 or 255.255.255.255
}

}  // namespace

void UdpEcho::SetOwnPorts(std::vector<uint16_t> ports) {
  ports.erase(std::remove(ports.begin(), ports.end(), uint16_t{0}), ports.end());
  ownPorts_ = std::move(ports);
}

bool UdpEcho::ShouldAnswer(uint32_t addr, uint16_t port, std::string_view data, uint32_t nowMs) {
  bool yes = Admit(addr, data, port, nowMs);
  ++(yes ? answered_ : ignored_);
  return yes;
}

bool UdpEcho::Admit(uint32_t addr, std::string_view data, uint16_t port, uint32_t nowMs) {
  if (data != kProbe || port == 0 || !IsOneHost(addr)) return false;
  if (std::find(ownPorts_.begin(), ownPorts_.end(), port) != ownPorts_.end()) return false;
  if (!started_ || nowMs - secondStart_ >= 1000) {
    answersThisSecond_.clear();
    secondStart_ = nowMs;
    started_ = true;
  }
  auto it = answersThisSecond_.find(addr);
  if (it == answersThisSecond_.end()) {
    if (answersThisSecond_.size() >= settings_.maxSources) return false;
    it = answersThisSecond_.emplace(addr, 0).first;
  }
  if (it->second >= settings_.perSourcePerSecond) return false;
  ++it->second;
  return true;
}

}  // namespace zandrel::server
