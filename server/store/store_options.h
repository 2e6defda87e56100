// Settings of the report store.
#pragma once
#include <cstdint>
#include <string>

namespace zandrel::store {

struct StoreOptions {
  std::string dataDir = "./reports";
  uint32_t reportsPerMinute = 60;  // per address, 0: no limit
  uint64_t minFreeBytes = 256ull << 20;  // refuse reports below this much free space
  uint64_t maxStoreBytes = 0;  // total size of stored reports, 0: no limit
  bool quiet = false;  // no log lines
};

}  // namespace zandrel::store
