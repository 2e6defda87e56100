// Where the network checks and the upload go.
#pragma once
#include <cstdint>
#include <string>

#include "checks/test_udp.h"

namespace zandrel {

struct CheckTargets {
  std::string reportHost;  // UDP probes
  uint16_t udpLocalPort = CTestUDP::kLocalPort;
  uint16_t udpServerPort = CTestUDP::kServerPort;
  std::string uploadUrl;  // host:5252/test_log
  std::string serviceUrl = "http://localhost:6001/crossdomain.xml";
  std::string channelUrl = "http://localhost:6001/qchannels.xml";
};

}  // namespace zandrel
