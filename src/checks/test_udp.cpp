#include "checks/test_udp.h"

#include <cctype>
#include <cstring>
#include <vector>

#include "net/name_lookup.h"
#include "net/socket.h"

namespace zandrel {

std::string UdpHostName(const char* name) {
  char work[256] = {};
  std::strncpy(work, name, 255);
  for (char& ch : work) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  std::string host = work;
  size_t scheme = host.find("http://");
  if (scheme != std::string::npos) host = host.substr(scheme + 7, 249);
  size_t slash = host.find('/');
  if (slash != std::string::npos) host.resize(slash);
  return host;
}

namespace {
int WriteAddressTexts(const std::vector<uint32_t>& addrs, char* out) {
  std::memset(out, 0, 100);
  size_t used = 0;
  int count = 0;
  for (uint32_t a : addrs) {
    std::string text = net::Ipv4Text(a);
    if (used + text.size() + 1 > 100) break;  // only what fits the 100 bytes
    std::memcpy(out + used, text.c_str(), text.size() + 1);
    used += text.size() + 1;
    ++count;
  }
  return count;
}
}  // namespace

int ResolveHostAddresses(const char* name, char* out) {
  std::string host = UdpHostName(name);
  std::vector<uint32_t> addrs;
  if (host.empty() || !net::ResolveAllIpv4(host.c_str(), addrs)) return -1;
  return WriteAddressTexts(addrs, out);
}

CTestUDP::CTestUDP() : engine_(net::create_udp_module()) {}

CTestUDP::~CTestUDP() { Close(); }

void CTestUDP::StartTest(const std::string& host, const std::function<bool(uint32_t)>& sleepMs, uint16_t localPort,
                         uint16_t serverPort) {
  endpoint_ = engine_->udp_open(localPort, this);
  net::NameLookup lookup;
  lookup.Start(UdpHostName(host.c_str()));
  while (lookup.Poll() == net::NameLookup::Status::kPending) {
    if (!sleepMs(10)) return;  // cancelled: the helper finishes on its own
  }
  char addresses[100] = {};
  if (lookup.Poll() != net::NameLookup::Status::kDone || WriteAddressTexts(lookup.Addresses(), addresses) <= 0) return;
  uint32_t addr = 0;
  if (!net::ParseIpv4(addresses, addr)) return;
  static const char kPayload[] = "test_udp";
  for (int i = 0; i < kProbes; ++i) {
    engine_->udp_send(endpoint_, kPayload, 8, addr, serverPort);
    if (!sleepMs(10)) return;
  }
}

void CTestUDP::Close() {
  if (endpoint_) engine_->udp_close(endpoint_);
  endpoint_ = nullptr;
}

bool CTestUDP::LoopOnce() { return engine_->udp_loop_once(); }

void CTestUDP::i_onRecv(uint32_t, uint16_t, const char* data, int32_t) {
  if (receiver_) receiver_->OnRecv(data);
}

}  // namespace zandrel
