// Whom the report server's UDP port answers. The tool's reachability check
// sends the 8 bytes "test_udp" and counts any datagram back as success; the
// echo sends those bytes back, to their source, and nothing else:
// - only the probe is answered, with the probe itself (never more bytes
//   than came in);
// - never a datagram from a port the server itself serves on (its UDP,
//   HTTP and hint ports, from any address), which is how a spoofed source
//   would make it answer itself or another server forever;
// - never a source that is not one host (0.0.0.0/8, multicast, the
//   reserved block and the broadcast address), nor port 0;
// - at most perSourcePerSecond answers to one address in one second.
// No sockets: ReportServer asks, and sends.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace zandrel::server {

class UdpEcho {
 public:
  static constexpr std::string_view kProbe{"test_udp", 8};

  struct Settings {
    // A run of the tool sends five probes; an address (a NAT with several
    // users behind it) gets a few runs' worth a second.
    uint32_t perSourcePerSecond = 20;
    // Addresses told apart in one second; past them, new ones wait for the
    // next second.
    std::size_t maxSources = 65536;
  };

  UdpEcho() : UdpEcho(Settings{}) {}
  explicit UdpEcho(Settings settings) : settings_(settings) {}

  // The ports the server serves on; datagrams from them are never answered.
  void SetOwnPorts(std::vector<uint16_t> ports);
  // True when the datagram, from addr:port in host order, is to be sent
  // back as it came.
  bool ShouldAnswer(uint32_t addr, uint16_t port, std::string_view data, uint32_t nowMs);

  uint64_t answered() const { return answered_; }
  uint64_t ignored() const { return ignored_; }

 private:
  bool Admit(uint32_t addr, std::string_view data, uint16_t port, uint32_t nowMs);

  Settings settings_;
  std::vector<uint16_t> ownPorts_;
  std::unordered_map<uint32_t, uint32_t> answersThisSecond_;
  uint32_t secondStart_ = 0;
  bool started_ = false;
  uint64_t answered_ = 0, ignored_ = 0;
};

}  // namespace zandrel::server
