// The address of a URL's host, found without blocking the caller.
#pragma once
#include <cstdint>
#include <string>

#include "net/name_lookup.h"

namespace zandrel::http {

// The address of a URL's host for a client that must not block: each poll
// either answers at once (a dotted-decimal host), starts a lookup, reports
// it still running, or hands over its result. After a result the next poll
// starts afresh, as a client that tries again looks the name up again.
class C_url_resolver {
 public:
  enum class result { pending, ready, failed };
  explicit C_url_resolver(const std::string& url);
  result poll(uint32_t& addr, uint16_t& port);

 private:
  bool valid_ = false;
  bool numeric_ = false;
  std::string name_;
  uint16_t port_ = 80;
  uint32_t addr_ = 0;
  net::NameLookup lookup_;
};

}  // namespace zandrel::http
