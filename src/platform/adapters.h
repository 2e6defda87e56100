// The machine's network adapters, loopback excluded.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace zandrel::platform {

struct AdapterInfo {
  std::string name;         // interface name
  std::string description;  // driver name, or the interface name again
  uint8_t address[8] = {};  // hardware address, zero-padded
  std::string ip = "0.0.0.0";       // first IPv4 address
  std::string mask = "0.0.0.0";     // its mask
  std::string gateway = "0.0.0.0";  // first default gateway through this adapter
};

// False when the list cannot be read at all.
bool ListAdapters(std::vector<AdapterInfo>& out);

}  // namespace zandrel::platform
