#include "server/http/proxy_header.h"

#include <algorithm>
#include <cstring>

#include "net/socket.h"

namespace zandrel::server {
namespace {

constexpr char kV1Start[] = "PROXY ";
constexpr std::size_t kV1StartLen = sizeof kV1Start - 1;
constexpr char kV2Signature[] = "\r\n\r\n\0\r\nQUIT\n";
constexpr std::size_t kV2SignatureLen = sizeof kV2Signature - 1;
static_assert(kV2SignatureLen == 12);

bool StartsWithPrefixOf(std::string_view data, std::string_view sig) {
  std::size_t n = std::min(data.size(), sig.size());
  return data.substr(0, n) == sig.substr(0, n);
}

ProxyParse Bad(int version, const char* why) {
  ProxyParse p;
  p.state = ProxyState::kBad;
  p.version = version;
  p.error = why;
  return p;
}

bool ParsePort(std::string_view text, uint16_t& out) {
  if (text.empty() || text.size() > 5 || (text.size() > 1 && text[0] == '0')) return false;
  uint32_t v = 0;
  for (char ch : text) {
    if (ch < '0' || ch > '9') return false;
    v = v * 10 + static_cast<uint32_t>(ch - '0');
  }
  if (v > 65535) return false;
  out = static_cast<uint16_t>(v);
  return true;
}

// ::ffff:a.b.c.d, an IPv4 address in IPv6 clothes.
bool MappedIpv4(const uint8_t (&a)[16], uint32_t& out) {
  static const uint8_t prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (std::memcmp(a, prefix, sizeof prefix) != 0) return false;
  out = static_cast<uint32_t>(a[12]) << 24 | static_cast<uint32_t>(a[13]) << 16 | static_cast<uint32_t>(a[14]) << 8 |
        a[15];
  return true;
}

void SetIpv4Source(ProxyParse& p, uint32_t addr, uint16_t port) {
  p.hasSource = true;
  p.addr = addr;
  p.port = port;
  p.sourceText = net::Ipv4Text(addr) + ":" + std::to_string(port);
}

void SetIpv6Source(ProxyParse& p, const uint8_t (&addr)[16], uint16_t port) {
  uint32_t v4 = 0;
  if (MappedIpv4(addr, v4)) {
    SetIpv4Source(p, v4, port);
  } else {
    p.sourceText = "[" + net::Ipv6Text(addr) + "]:" + std::to_string(port);
  }
}

// "PROXY TCP4 src dst sport dport", "PROXY TCP6 ...", "PROXY UNKNOWN ...",
// single spaces, CR LF at the end.
ProxyParse ParseV1(std::string_view data) {
  std::size_t end = data.find_first_of("\r\n");
  if (end == std::string_view::npos || (data[end] == '\r' && end + 1 >= data.size())) {
    if (data.size() >= kMaxProxyV1Bytes) return Bad(1, "PROXY line too long");
    ProxyParse p;
    p.version = 1;
    return p;
  }
  if (end + 2 > kMaxProxyV1Bytes) return Bad(1, "PROXY line too long");
  if (data[end] != '\r' || data[end + 1] != '\n') return Bad(1, "PROXY line does not end in CR LF");
  std::string_view line = data.substr(0, end);
  for (char ch : line) {
    if (ch < ' ' || ch > '~') return Bad(1, "malformed PROXY line");
  }
  std::vector<std::string_view> words;
  for (std::size_t at = 0;;) {
    std::size_t space = line.find(' ', at);
    words.push_back(line.substr(at, space == std::string_view::npos ? std::string_view::npos : space - at));
    if (space == std::string_view::npos) break;
    at = space + 1;
  }
  ProxyParse p;
  p.version = 1;
  p.length = end + 2;
  if (words.size() >= 2 && words[1] == "UNKNOWN") {
    // The balancer could not tell; whatever follows is not to be read.
    p.state = ProxyState::kComplete;
    return p;
  }
  if (words.size() != 6 || (words[1] != "TCP4" && words[1] != "TCP6")) return Bad(1, "malformed PROXY line");
  uint16_t srcPort = 0, dstPort = 0;
  if (!ParsePort(words[4], srcPort) || !ParsePort(words[5], dstPort)) return Bad(1, "malformed PROXY line");
  const std::string src(words[2]), dst(words[3]);
  if (words[1] == "TCP4") {
    uint32_t s = 0, d = 0;
    if (!net::ParseIpv4(src.c_str(), s) || !net::ParseIpv4(dst.c_str(), d)) return Bad(1, "malformed PROXY line");
    SetIpv4Source(p, s, srcPort);
  } else {
    uint8_t s[16], d[16];
    if (!net::ParseIpv6(src.c_str(), s) || !net::ParseIpv6(dst.c_str(), d)) return Bad(1, "malformed PROXY line");
    SetIpv6Source(p, s, srcPort);
  }
  p.state = ProxyState::kComplete;
  return p;
}

uint16_t Be16(const unsigned char* b) { return static_cast<uint16_t>(b[0] << 8 | b[1]); }

// Sixteen fixed bytes (signature, version and command, family and
// transport, length of the rest), then the addresses and TLVs.
ProxyParse ParseV2(std::string_view data) {
  ProxyParse p;
  p.version = 2;
  if (data.size() < 16) return p;
  const auto* b = reinterpret_cast<const unsigned char*>(data.data());
  if (b[12] >> 4 != 2) return Bad(2, "unknown PROXY header version");
  const unsigned command = b[12] & 0x0f;
  if (command > 1) return Bad(2, "unknown PROXY command");
  const std::size_t tail = Be16(b + 14);
  if (tail > kMaxProxyV2Tail) return Bad(2, "PROXY header too long");
  if (data.size() < 16 + tail) return p;
  p.length = 16 + tail;
  p.state = ProxyState::kComplete;
  if (command == 0) return p;  // LOCAL: the balancer's own connection
  const unsigned family = b[13] >> 4, transport = b[13] & 0x0f;
  if (family == 0) return p;  // UNSPEC: nothing to say about the client
  if (family > 3) return Bad(2, "unknown PROXY address family");
  if (transport != 1) return Bad(2, "a PROXY header for a transport other than a stream");
  // What follows the addresses are TLVs, which nothing here needs.
  const unsigned char* a = b + 16;
  if (family == 1) {
    if (tail < 12) return Bad(2, "PROXY header too short for its addresses");
    SetIpv4Source(p, static_cast<uint32_t>(a[0]) << 24 | static_cast<uint32_t>(a[1]) << 16 |
                         static_cast<uint32_t>(a[2]) << 8 | a[3],
                  Be16(a + 8));
  } else if (family == 2) {
    if (tail < 36) return Bad(2, "PROXY header too short for its addresses");
    uint8_t src[16];
    std::memcpy(src, a, sizeof src);
    SetIpv6Source(p, src, Be16(a + 32));
  } else if (tail < 216) {
    return Bad(2, "PROXY header too short for its addresses");
  }
  return p;
}

}  // namespace

bool ParseIpv4Range(std::string_view text, Ipv4Range& out) {
  std::size_t slash = text.find('/');
  const std::string addrText(text.substr(0, slash));
  uint32_t addr = 0;
  if (!net::ParseIpv4(addrText.c_str(), addr)) return false;
  unsigned bits = 32;
  if (slash != std::string_view::npos) {
    std::string_view n = text.substr(slash + 1);
    if (n.empty() || n.size() > 2 || (n.size() == 2 && n[0] == '0')) return false;
    bits = 0;
    for (char ch : n) {
      if (ch < '0' || ch > '9') return false;
      bits = bits * 10 + static_cast<unsigned>(ch - '0');
    }
    if (bits > 32) return false;
  }
  out.mask = bits == 0 ? 0 : ~uint32_t{0} << (32 - bits);
  out.addr = addr & out.mask;
  return true;
}

bool InRanges(const std::vector<Ipv4Range>& ranges, uint32_t addr) {
  return std::any_of(ranges.begin(), ranges.end(), [addr](const Ipv4Range& r) { return r.Contains(addr); });
}

ProxyStart LooksLikeProxyHeader(std::string_view data) {
  const std::string_view v1(kV1Start, kV1StartLen), v2(kV2Signature, kV2SignatureLen);
  bool maybe1 = StartsWithPrefixOf(data, v1), maybe2 = StartsWithPrefixOf(data, v2);
  if ((maybe1 && data.size() >= v1.size()) || (maybe2 && data.size() >= v2.size())) return ProxyStart::kYes;
  return maybe1 || maybe2 ? ProxyStart::kMaybe : ProxyStart::kNo;
}

ProxyParse ParseProxyHeader(std::string_view data) {
  switch (LooksLikeProxyHeader(data)) {
    case ProxyStart::kNo:
      return Bad(0, "a PROXY header is required from this address");
    case ProxyStart::kMaybe:
      return ProxyParse{};
    case ProxyStart::kYes:
      break;
  }
  return data[0] == 'P' ? ParseV1(data) : ParseV2(data);
}

}  // namespace zandrel::server
