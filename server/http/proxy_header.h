// The header a TCP load balancer puts before a connection's own bytes to
// name the client it came from: the PROXY protocol, version 1 (one text
// line) and version 2 (binary). Only addresses the operator trusts may send
// one; the stack asks for it before the request head (Exchange).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zandrel::server {

// A block of IPv4 addresses: those whose bits under mask equal addr's.
struct Ipv4Range {
  uint32_t addr = 0;
  uint32_t mask = 0;
  bool Contains(uint32_t a) const { return (a & mask) == addr; }
};

// "a.b.c.d/n" (n from 0 to 32) or a bare address, which is a /32. Bits of
// the address past the prefix are dropped (10.1.2.3/8 is 10.0.0.0/8).
bool ParseIpv4Range(std::string_view text, Ipv4Range& out);
bool InRanges(const std::vector<Ipv4Range>& ranges, uint32_t addr);

// The longest version 1 line, CR LF included, and the most address and
// TLV bytes accepted after a version 2 header's 16 fixed bytes. The
// protocol allows up to 65535 of the latter; balancers send a few dozen.
inline constexpr std::size_t kMaxProxyV1Bytes = 107;
inline constexpr std::size_t kMaxProxyV2Tail = 536;
inline constexpr std::size_t kMaxProxyHeaderBytes = 16 + kMaxProxyV2Tail;

// Whether bytes begin a PROXY header: "PROXY " or version 2's twelve-byte
// signature. kMaybe while they are too few to tell.
enum class ProxyStart { kNo, kMaybe, kYes };
ProxyStart LooksLikeProxyHeader(std::string_view data);

enum class ProxyState { kIncomplete, kComplete, kBad };

struct ProxyParse {
  ProxyState state = ProxyState::kIncomplete;
  std::size_t length = 0;       // bytes of the header (kComplete)
  const char* error = nullptr;  // why it was refused (kBad)
  int version = 0;              // 1 or 2, once the bytes show which
  // kComplete: the header names an IPv4 client (also an IPv4 address
  // carried in IPv6 as ::ffff:a.b.c.d), which takes the place of the
  // connection's own address. Otherwise the connection's own address
  // stands: a version 2 LOCAL header (the balancer's health check), version
  // 1 "UNKNOWN", version 2 UNSPEC or UNIX, and any other IPv6 client, since
  // the server keeps IPv4 senders only.
  bool hasSource = false;
  uint32_t addr = 0;
  uint16_t port = 0;
  // The client as the header names it ("a.b.c.d:port", "[v6]:port"), for
  // the log; empty when it names none.
  std::string sourceText;
};

// Parses the header at the start of data. Bytes that do not begin one are
// refused at once; so is a header as soon as its bytes show it cannot be
// valid. The decision depends only on the bytes up to the header's end (or
// the fault), so a header in pieces reads as it does whole.
ProxyParse ParseProxyHeader(std::string_view data);

}  // namespace zandrel::server
