// Settings of the report server, as its command line gives them. Each room
// it is built of takes its own part of them.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "server/http/limits.h"
#include "server/store/store_options.h"

namespace zandrel::server {

struct ServerOptions {
  std::string dataDir = "./reports";
  uint32_t bindAddr = 0;  // 0: every local address
  uint16_t httpPort = 5252;
  uint16_t udpPort = 19549;
  uint16_t hintPort = 80;  // 0: no second hint listener
  // Large enough that a 1 Gbit/s link is still busy after the 10 s a
  // speed test lasts.
  uint64_t speedSize = 2ull << 30;
  uint64_t speedRate = 0;  // bytes per second, 0: unlimited
  uint64_t maxBody = 1ull << 20;  // at most kMaxBodyLimit
  // A request's head must be complete this long after the connection.
  uint32_t headMs = 5000;
  // After headMs of grace, a body must have arrived (and a speed-file
  // download been taken) at this many bytes per second at least.
  uint64_t minRate = 1024;
  uint32_t maxPerAddress = 64;  // simultaneous connections from one address
  uint32_t reportsPerMinute = 60;  // per address, 0: no limit
  uint64_t minFreeBytes = 256ull << 20;  // refuse reports below this much free space
  uint64_t maxStoreBytes = 0;  // total size of stored reports, 0: no limit
  uint64_t speedBudget = 32ull << 20;  // bytes queued for every speed download together
  std::string speedPath = "/speedtest/zandrel-speed.bin";
  uint32_t keepDays = 0;  // remove reports older than this many days, 0: keep every report
  bool index = true;  // keep the report index beside the files, where the system has one
  // A PostgreSQL store's URL: reports go there instead of the data
  // directory (which then holds only an operator's Hint.html).
  std::string database;
  bool quiet = false;  // no log lines
  // Load balancers whose PROXY header names the client (HttpLimits).
  std::vector<Ipv4Range> trustedProxies;

  HttpLimits http() const {
    HttpLimits l;
    l.headMs = headMs;
    l.minRate = minRate;
    l.maxPerAddress = maxPerAddress;
    l.streamBudget = speedBudget;
    l.streamRate = speedRate;
    l.quiet = quiet;
    l.trustedProxies = trustedProxies;
    return l;
  }
  store::StoreOptions store() const {
    store::StoreOptions s;
    s.dataDir = dataDir;
    s.reportsPerMinute = reportsPerMinute;
    s.minFreeBytes = minFreeBytes;
    s.maxStoreBytes = maxStoreBytes;
    s.quiet = quiet;
    return s;
  }
};

// The largest report any server accepts.
inline constexpr uint64_t kMaxBodyLimit = 1ull << 30;

}  // namespace zandrel::server
