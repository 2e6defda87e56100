// PROXY headers before a request. The parser decides once and for all: more
// bytes never change a decision, a header never runs past its bounds, and
// what it names is what its bytes say. The stack's exchange gives the same
// answer and the same peer however the bytes arrive, from a trusted
// balancer and from a stranger.
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "net/socket.h"
#include "server/http/exchange.h"
#include "server/http/proxy_header.h"

using namespace zandrel;
using namespace zandrel::server;

namespace {

constexpr uint32_t kBalancer = 0x7f000001;
constexpr uint32_t kStranger = 0xc0000201;

void CheckPrefixes(std::string_view data, const std::vector<size_t>& cuts) {
  ProxyParse decided;
  bool done = false;
  for (size_t cut : cuts) {
    ProxyParse p = ParseProxyHeader(data.substr(0, cut));
    if (done) {
      FUZZ_CHECK(p.state == decided.state && p.length == decided.length && p.hasSource == decided.hasSource &&
                 p.addr == decided.addr && p.port == decided.port && p.sourceText == decided.sourceText);
      FUZZ_CHECK(p.error == decided.error || std::string_view(p.error) == decided.error);
      continue;
    }
    if (p.state == ProxyState::kIncomplete) {
      // Undecided only while within the bounds.
      FUZZ_CHECK(cut < kMaxProxyHeaderBytes);
      if (cut >= kMaxProxyV1Bytes) FUZZ_CHECK(data[0] != 'P');
      continue;
    }
    done = true;
    decided = p;
    if (p.state == ProxyState::kBad) {
      FUZZ_CHECK(p.error != nullptr);
      continue;
    }
    FUZZ_CHECK(p.length > 0 && p.length <= cut && p.length <= kMaxProxyHeaderBytes);
    if (p.version == 1) {
      FUZZ_CHECK(p.length <= kMaxProxyV1Bytes);
      FUZZ_CHECK(data.substr(p.length - 2, 2) == "\r\n");
      FUZZ_CHECK(data.substr(0, 6) == "PROXY ");
      if (p.hasSource && data.substr(6, 5) == "TCP4 ") {
        // The line's own words: its source address and source port.
        std::string_view line = data.substr(0, p.length - 2);
        FUZZ_CHECK(line.substr(11, line.find(' ', 11) - 11) == net::Ipv4Text(p.addr));
        std::string_view ports = line.substr(line.rfind(' ', line.rfind(' ') - 1) + 1);
        FUZZ_CHECK(ports.substr(0, ports.find(' ')) == std::to_string(p.port));
      }
    } else {
      FUZZ_CHECK(p.version == 2 && p.length >= 16);
      const auto* b = reinterpret_cast<const unsigned char*>(data.data());
      FUZZ_CHECK(p.length == 16u + (b[14] << 8 | b[15]));
      if (p.hasSource && (b[13] >> 4) == 1) {
        FUZZ_CHECK(p.addr == (uint32_t{b[16]} << 24 | uint32_t{b[17]} << 16 | uint32_t{b[18]} << 8 | b[19]));
      }
    }
    if (p.hasSource) FUZZ_CHECK(p.sourceText == net::Ipv4Text(p.addr) + ":" + std::to_string(p.port));
  }
}

struct SeenPeers : RequestHandler {
  std::vector<Peer> seen;
  std::unique_ptr<Request> Open(const RequestHead&, const Peer& peer, Responder& out, uint32_t) override {
    seen.push_back(peer);
    out.Respond(200, "OK", "ok\n");
    return nullptr;
  }
};

void CheckExchange(const HttpLimits& limits, const std::string& data, const std::vector<std::string>& pieces,
                   uint32_t from) {
  Peer peer;
  peer.addr = from;
  peer.text = "conn";
  SeenPeers split, whole;
  std::string a = HandleInProcess(limits, split, pieces, peer);
  std::string b = HandleInProcess(limits, whole, {data}, peer);
  FUZZ_CHECK(a == b);
  FUZZ_CHECK(split.seen.size() == whole.seen.size() && split.seen.size() <= 1);
  if (split.seen.empty()) return;
  FUZZ_CHECK(split.seen[0].addr == whole.seen[0].addr && split.seen[0].text == whole.seen[0].text);
  ProxyParse p = ParseProxyHeader(data);
  if (from == kStranger) {
    // A stranger is never taken for anyone else, and never gets past a header.
    FUZZ_CHECK(split.seen[0].addr == kStranger && split.seen[0].text == "conn");
    FUZZ_CHECK(LooksLikeProxyHeader(data) == ProxyStart::kNo);
  } else {
    FUZZ_CHECK(p.state == ProxyState::kComplete);
    FUZZ_CHECK(split.seen[0].addr == (p.hasSource ? p.addr : kBalancer));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::SeededInput in;
  if (!fuzz::SplitInput(data, size, in)) return 0;
  const std::string bytes(in.payload);
  fuzz::PieceCutter cut(in.seed);
  std::vector<std::string> pieces;
  std::vector<size_t> cuts;
  for (size_t at = 0; at < bytes.size();) {
    size_t k = cut.Next(bytes.size() - at);
    pieces.push_back(bytes.substr(at, k));
    at += k;
    cuts.push_back(at);
  }
  CheckPrefixes(bytes, cuts);
  HttpLimits limits;
  limits.quiet = true;
  Ipv4Range r;
  FUZZ_CHECK(ParseIpv4Range("127.0.0.0/8", r));
  limits.trustedProxies.push_back(r);
  CheckExchange(limits, bytes, pieces, kBalancer);
  CheckExchange(limits, bytes, pieces, kStranger);
  return 0;
}
