// Settings of the HTTP stack: deadlines and bounds per connection.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "server/http/proxy_header.h"

namespace zandrel::server {

struct HttpLimits {
  // A request's head must be complete this long after the connection.
  uint32_t headMs = 5000;
  // After headMs of grace, a body must have arrived (and a streamed answer
  // been taken) at this many bytes per second at least.
  uint64_t minRate = 1024;
  uint32_t maxPerAddress = 64;  // simultaneous connections from one address, 0: no limit
  // Connections served at once, 0: as many as the engine holds (less its
  // listeners). A quarter of them is kept for requests that are not
  // streamed answers, and one address may have at most a quarter of
  // maxPerAddress streamed answers (at least one).
  uint32_t maxConnections = 0;
  uint64_t streamBudget = 32ull << 20;  // bytes queued for every streamed answer together
  uint64_t streamRate = 0;  // bytes per second of one streamed answer, 0: unlimited
  bool quiet = false;  // no log lines
  // Load balancers that name the client in a PROXY header. A connection
  // from one of them must begin with one; from anyone else a connection
  // that begins with one is refused. Empty: no PROXY headers, and the
  // bytes are a request like any other.
  std::vector<Ipv4Range> trustedProxies;
  // Fields (each ending in CR LF) for the answers the stack makes itself: a
  // refused head, 503 for want of room.
  std::string fields;
};

// The Retry-After of a 503 for want of room.
inline constexpr unsigned kBusyRetryAfterSeconds = 5;

}  // namespace zandrel::server
