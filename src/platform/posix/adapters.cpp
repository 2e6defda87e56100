#include "platform/adapters.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

namespace zandrel::platform {
namespace {

std::string DottedQuad(const sockaddr* sa) {
  char text[INET_ADDRSTRLEN] = "0.0.0.0";
  if (sa) inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(sa)->sin_addr, text, sizeof text);
  return text;
}

std::string DriverName(const std::string& ifname) {
  std::string link = "/sys/class/net/" + ifname + "/device/driver";
  char target[PATH_MAX];
  ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
  if (n <= 0) return ifname;
  target[n] = '\0';
  const char* slash = std::strrchr(target, '/');
  return slash ? slash + 1 : target;
}

// Default gateways by interface from the kernel's IPv4 routing table.
std::map<std::string, std::string> DefaultGateways() {
  std::map<std::string, std::string> result;
  std::ifstream routes("/proc/net/route");
  std::string line;
  std::getline(routes, line);  // column titles
  while (std::getline(routes, line)) {
    std::istringstream fields(line);
    std::string iface;
    unsigned long dest = 0, gateway = 0;
    fields >> iface >> std::hex >> dest >> gateway;
    if (!fields || dest != 0 || gateway == 0 || result.count(iface)) continue;
    in_addr addr{};
    addr.s_addr = static_cast<in_addr_t>(gateway);  // the table holds network order
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &addr, text, sizeof text);
    result[iface] = text;
  }
  return result;
}

}  // namespace

bool ListAdapters(std::vector<AdapterInfo>& out) {
  out.clear();
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  std::map<unsigned, AdapterInfo> byIndex;  // interface index keeps the kernel's order
  for (ifaddrs* it = list; it; it = it->ifa_next) {
    if (!it->ifa_name || (it->ifa_flags & IFF_LOOPBACK)) continue;
    unsigned index = if_nametoindex(it->ifa_name);
    auto [entry, fresh] = byIndex.try_emplace(index);
    AdapterInfo& info = entry->second;
    if (fresh) {
      info.name = it->ifa_name;
      info.description = DriverName(info.name);
    }
    if (!it->ifa_addr) continue;
    if (it->ifa_addr->sa_family == AF_PACKET) {
      auto* ll = reinterpret_cast<const sockaddr_ll*>(it->ifa_addr);
      size_t n = std::min<size_t>(ll->sll_halen, sizeof info.address);
      std::memcpy(info.address, ll->sll_addr, n);
    } else if (it->ifa_addr->sa_family == AF_INET && info.ip == "0.0.0.0") {
      info.ip = DottedQuad(it->ifa_addr);
      info.mask = DottedQuad(it->ifa_netmask);
    }
  }
  freeifaddrs(list);
  auto gateways = DefaultGateways();
  for (auto& [index, info] : byIndex) {
    auto gw = gateways.find(info.name);
    if (gw != gateways.end()) info.gateway = gw->second;
    out.push_back(std::move(info));
  }
  return true;
}

}  // namespace zandrel::platform
