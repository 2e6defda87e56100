// What the store keeps about one report beside its body: where and when it
// came from, and the facts read from it.
#pragma once
#include <cstdint>
#include <string>

#include "server/report/report_facts.h"

namespace zandrel::store {

struct ReportRecord {
  std::string id;         // the report id, as ReportIdText writes it
  int64_t received = 0;   // milliseconds since 1970-01-01 UTC
  uint32_t sender = 0;    // the peer's IPv4 address, host order
  uint64_t size = 0;      // bytes of the body
  std::string md5;        // the file_flag, 32 upper-case hex digits
  std::string file;       // the body's file name in the data directory
  report::ReportFacts facts;
};

}  // namespace zandrel::store
