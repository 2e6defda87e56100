// PROXY headers before the request: the parser on whole headers, on every
// prefix and on broken ones; the stack's exchange with trusted and
// untrusted peers; the stored report's sender; the per-address cap counted
// by client behind a balancer.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/md5.h"
#include "platform/store.h"
#include "running_server.h"
#include "server/http/exchange.h"
#include "server/http/proxy_header.h"
#include "server/receiver/receiver.h"
#include "server/store/report_file.h"
#include "server/store/report_store.h"
#include "sockets.h"
#include "temp_dir.h"
#include "wait.h"

using namespace zandrel;
using namespace zandrel::server;

namespace {

constexpr uint32_t kBalancer = 0x7f000001;  // 127.0.0.1

const std::string kSignature("\r\n\r\n\0\r\nQUIT\n", 12);

// A version 2 header: command (0 LOCAL, 1 PROXY), family and transport byte,
// then the bytes after the sixteen fixed ones.
std::string V2(unsigned command, unsigned familyTransport, const std::string& tail) {
  std::string h = kSignature;
  h += static_cast<char>(0x20 | command);
  h += static_cast<char>(familyTransport);
  h += static_cast<char>(tail.size() >> 8);
  h += static_cast<char>(tail.size() & 0xff);
  return h + tail;
}

// Addresses of a TCP over IPv4 client and server, with extra bytes (TLVs).
std::string V2Inet(uint32_t src, uint16_t srcPort, const std::string& tlvs = "") {
  std::string a;
  for (uint32_t v : {src, 0x0a000001u}) {
    for (int shift = 24; shift >= 0; shift -= 8) a += static_cast<char>((v >> shift) & 0xff);
  }
  a += static_cast<char>(srcPort >> 8);
  a += static_cast<char>(srcPort & 0xff);
  a += std::string("\x14\x74", 2);  // 5236
  return V2(1, 0x11, a + tlvs);
}

std::string V2Inet6(const std::string& src16, uint16_t srcPort) {
  std::string a = src16 + std::string(15, '\0') + '\x01';
  a += static_cast<char>(srcPort >> 8);
  a += static_cast<char>(srcPort & 0xff);
  a += std::string("\x14\x74", 2);
  return V2(1, 0x21, a);
}

ProxyParse Parse(const std::string& bytes) { return ParseProxyHeader(bytes); }

// Every proper prefix is incomplete and the whole reads as expected; the
// bytes after the header are not taken.
ProxyParse ParseInPieces(const std::string& header) {
  for (std::size_t n = 0; n < header.size(); ++n) {
    ProxyParse p = Parse(header.substr(0, n));
    EXPECT_EQ(p.state, ProxyState::kIncomplete) << "after " << n << " bytes: " << (p.error ? p.error : "");
  }
  ProxyParse whole = Parse(header + "GET / HTTP/1.1\r\n\r\n");
  EXPECT_EQ(whole.state, ProxyState::kComplete) << (whole.error ? whole.error : "");
  EXPECT_EQ(whole.length, header.size());
  return whole;
}

TEST(ProxyHeader, Version1WholeAndInPieces) {
  ProxyParse p = ParseInPieces("PROXY TCP4 203.0.113.9 10.0.0.1 51234 5252\r\n");
  EXPECT_EQ(p.version, 1);
  EXPECT_TRUE(p.hasSource);
  EXPECT_EQ(p.addr, 0xcb007109u);
  EXPECT_EQ(p.port, 51234);
  EXPECT_EQ(p.sourceText, "203.0.113.9:51234");

  // An IPv4 client carried as IPv6 is that IPv4 client.
  p = ParseInPieces("PROXY TCP6 ::ffff:198.51.100.7 ::1 65535 5252\r\n");
  EXPECT_TRUE(p.hasSource);
  EXPECT_EQ(p.addr, 0xc6336407u);
  EXPECT_EQ(p.port, 65535);

  // Any other IPv6 client is named for the log only.
  p = ParseInPieces("PROXY TCP6 2001:db8::17 2001:db8::1 0 5252\r\n");
  EXPECT_FALSE(p.hasSource);
  EXPECT_EQ(p.sourceText, "[2001:db8::17]:0");

  p = ParseInPieces("PROXY UNKNOWN whatever follows\r\n");
  EXPECT_FALSE(p.hasSource);
  EXPECT_TRUE(p.sourceText.empty());

  // The longest line there may be, 107 bytes with its CR LF.
  std::string longest = "PROXY UNKNOWN " + std::string(107 - 16, 'x') + "\r\n";
  ASSERT_EQ(longest.size(), kMaxProxyV1Bytes);
  EXPECT_EQ(Parse(longest).state, ProxyState::kComplete);
}

TEST(ProxyHeader, Version2WholeAndInPieces) {
  ProxyParse p = ParseInPieces(V2Inet(0xc0000201, 40000));
  EXPECT_EQ(p.version, 2);
  EXPECT_TRUE(p.hasSource);
  EXPECT_EQ(p.addr, 0xc0000201u);
  EXPECT_EQ(p.port, 40000);

  // TLVs after the addresses are skipped, up to the bound.
  std::string tlvs = std::string("\x04\x00\x05", 3) + "abcde";  // NOOP
  tlvs += std::string(kMaxProxyV2Tail - 12 - tlvs.size(), '\0');
  p = ParseInPieces(V2Inet(0xc0000202, 1, tlvs));
  EXPECT_EQ(p.addr, 0xc0000202u);
  EXPECT_EQ(p.length, kMaxProxyHeaderBytes);

  std::string mapped(10, '\0');
  mapped += "\xff\xff\xc6\x33\x64\x08";
  p = ParseInPieces(V2Inet6(mapped, 443));
  EXPECT_TRUE(p.hasSource);
  EXPECT_EQ(p.addr, 0xc6336408u);

  p = ParseInPieces(V2Inet6(std::string("\x20\x01\x0d\xb8", 4) + std::string(11, '\0') + "\x17", 443));
  EXPECT_FALSE(p.hasSource);
  EXPECT_EQ(p.sourceText, "[2001:db8::17]:443");

  // LOCAL (a health check): whatever addresses follow, none is the client.
  p = ParseInPieces(V2(0, 0x11, V2Inet(0xc0000203, 5).substr(16)));
  EXPECT_FALSE(p.hasSource);
  p = ParseInPieces(V2(0, 0x00, ""));
  EXPECT_FALSE(p.hasSource);
  p = ParseInPieces(V2(1, 0x00, "xyz"));  // UNSPEC
  EXPECT_FALSE(p.hasSource);
  p = ParseInPieces(V2(1, 0x31, std::string(216, '/')));  // UNIX
  EXPECT_FALSE(p.hasSource);
}

TEST(ProxyHeader, MalformedHeadersAreRefused) {
  const std::string good = "PROXY TCP4 203.0.113.9 10.0.0.1 51234 5252\r\n";
  const std::vector<std::string> bad = {
      "GET / HTTP/1.1\r\n\r\n",
      "PROXY TCP4 203.0.113.9 10.0.0.1 51234 5252\n",
      "PROXY TCP4 203.0.113.9 10.0.0.1 51234 5252\rX\n",
      "PROXY TCP4 203.0.113.9  10.0.0.1 51234 5252\r\n",
      "PROXY TCP4 203.0.113.9 10.0.0.1 51234\r\n",
      "PROXY TCP4 203.0.113.9 10.0.0.1 51234 5252 7\r\n",
      "PROXY TCP4 203.0.113.9 10.0.0.1 65536 5252\r\n",
      "PROXY TCP4 203.0.113.9 10.0.0.1 05123 5252\r\n",
      "PROXY TCP4 203.0.113 10.0.0.1 51234 5252\r\n",
      "PROXY TCP4 2001:db8::1 10.0.0.1 51234 5252\r\n",
      "PROXY TCP6 203.0.113.9 ::1 51234 5252\r\n",
      "PROXY UDP4 203.0.113.9 10.0.0.1 51234 5252\r\n",
      std::string("PROXY TCP4 203.0.113.9\0 10.0.0.1 51234 5252\r\n", 46),
      "PROXY TCP4 " + std::string(120, '1') + "\r\n",
      "PROXY UNKNOWN " + std::string(107 - 15, 'x') + "\r\n",  // 108 bytes
      V2Inet(1, 1).replace(12, 1, "\x11"),                     // version 1 in binary
      V2Inet(1, 1).replace(12, 1, "\x22"),                     // command 2
      V2Inet(1, 1).replace(13, 1, "\x41"),                     // family 4
      V2Inet(1, 1).replace(13, 1, "\x12"),                     // datagrams
      V2(1, 0x11, std::string(11, '\1')),                      // addresses cut short
      V2(1, 0x21, std::string(35, '\1')),
      V2(1, 0x31, std::string(215, '\1')),
      V2(1, 0x11, std::string(kMaxProxyV2Tail + 1, '\1')),
  };
  EXPECT_EQ(Parse(good).state, ProxyState::kComplete);
  for (const std::string& b : bad) {
    ProxyParse whole = Parse(b);
    EXPECT_EQ(whole.state, ProxyState::kBad) << testing::PrintToString(b);
    EXPECT_NE(whole.error, nullptr);
    // In pieces, the same refusal for the same reason, once the bytes show it.
    std::optional<ProxyParse> first;
    for (std::size_t n = 1; n <= b.size() && !first; ++n) {
      ProxyParse p = Parse(b.substr(0, n));
      if (p.state != ProxyState::kIncomplete) first = p;
    }
    ASSERT_TRUE(first) << testing::PrintToString(b);
    EXPECT_EQ(first->state, ProxyState::kBad);
    EXPECT_STREQ(first->error, whole.error);
  }
  // A v2 length over the bound is refused from the fixed bytes alone.
  EXPECT_EQ(Parse(V2(1, 0x11, std::string(kMaxProxyV2Tail + 1, '\1')).substr(0, 16)).state, ProxyState::kBad);
}

TEST(ProxyHeader, StartsAndRanges) {
  EXPECT_EQ(LooksLikeProxyHeader("PROX"), ProxyStart::kMaybe);
  EXPECT_EQ(LooksLikeProxyHeader("PROXY "), ProxyStart::kYes);
  EXPECT_EQ(LooksLikeProxyHeader("POST "), ProxyStart::kNo);
  EXPECT_EQ(LooksLikeProxyHeader(kSignature.substr(0, 11)), ProxyStart::kMaybe);
  EXPECT_EQ(LooksLikeProxyHeader(kSignature), ProxyStart::kYes);
  EXPECT_EQ(LooksLikeProxyHeader("\r\n\r\n\r\n"), ProxyStart::kNo);

  Ipv4Range r;
  ASSERT_TRUE(ParseIpv4Range("10.1.2.3/8", r));
  EXPECT_TRUE(r.Contains(0x0aff0000));
  EXPECT_FALSE(r.Contains(0x0b000000));
  ASSERT_TRUE(ParseIpv4Range("192.0.2.5", r));
  EXPECT_TRUE(r.Contains(0xc0000205));
  EXPECT_FALSE(r.Contains(0xc0000204));
  ASSERT_TRUE(ParseIpv4Range("0.0.0.0/0", r));
  EXPECT_TRUE(r.Contains(0xffffffff));
  ASSERT_TRUE(ParseIpv4Range("192.0.2.0/31", r));
  EXPECT_TRUE(r.Contains(0xc0000201));
  EXPECT_FALSE(r.Contains(0xc0000202));
  for (const char* wrong : {"10.0.0.0/33", "10.0.0.0/", "10.0.0.0/08", "10.0.0/8", "10.0.0.0/8x", "host", ""}) {
    EXPECT_FALSE(ParseIpv4Range(wrong, r)) << wrong;
  }
}

// Records who the stack says is asking, and answers 200.
struct SeenPeers : RequestHandler {
  std::vector<Peer> seen;
  std::unique_ptr<Request> Open(const RequestHead&, const Peer& peer, Responder& out, uint32_t) override {
    seen.push_back(peer);
    out.Respond(200, "OK", "ok\n");
    return nullptr;
  }
};

class ProxiedExchange : public ::testing::Test {
 protected:
  ProxiedExchange() {
    limits_.quiet = true;
    Ipv4Range r;
    EXPECT_TRUE(ParseIpv4Range("127.0.0.0/30", r));
    limits_.trustedProxies.push_back(r);
  }
  std::string Run(const std::vector<std::string>& pieces, uint32_t from) {
    Peer peer;
    peer.addr = from;
    peer.text = "conn";
    return HandleInProcess(limits_, handler_, pieces, peer);
  }
  static std::vector<std::string> Bytes(const std::string& s) {
    std::vector<std::string> out;
    for (char ch : s) out.emplace_back(1, ch);
    return out;
  }
  static std::string Status(const std::string& answer) { return answer.substr(0, 12); }

  HttpLimits limits_;
  SeenPeers handler_;
  const std::string request_ = "GET /x HTTP/1.1\r\n\r\n";
};

TEST_F(ProxiedExchange, TheHeaderNamesThePeerWhateverThePieces) {
  const std::string v1 = "PROXY TCP4 203.0.113.9 10.0.0.1 51234 5252\r\n";
  EXPECT_EQ(Status(Run(Bytes(v1 + request_), kBalancer)), "HTTP/1.1 200");
  EXPECT_EQ(Status(Run({v1 + request_}, kBalancer + 2)), "HTTP/1.1 200");
  EXPECT_EQ(Status(Run(Bytes(V2Inet(0xc6336401, 7) + request_), kBalancer)), "HTTP/1.1 200");
  // Health check: the connection's own address stays.
  EXPECT_EQ(Status(Run({V2(0, 0, ""), request_}, kBalancer + 1)), "HTTP/1.1 200");
  EXPECT_EQ(Status(Run({"PROXY UNKNOWN\r\n" + request_}, kBalancer + 2)), "HTTP/1.1 200");
  ASSERT_EQ(handler_.seen.size(), 5u);
  EXPECT_EQ(handler_.seen[0].addr, 0xcb007109u);
  EXPECT_EQ(handler_.seen[0].text, "203.0.113.9:51234 via conn");
  EXPECT_EQ(handler_.seen[1].addr, 0xcb007109u);
  EXPECT_EQ(handler_.seen[2].addr, 0xc6336401u);
  EXPECT_EQ(handler_.seen[3].addr, kBalancer + 1);
  EXPECT_EQ(handler_.seen[3].text, "conn");
  EXPECT_EQ(handler_.seen[4].addr, kBalancer + 2);
}

TEST_F(ProxiedExchange, RefusedWithoutTrustOrWithoutHeader) {
  const std::string v1 = "PROXY TCP4 203.0.113.9 10.0.0.1 51234 5252\r\n";
  const uint32_t stranger = 0xc0000299;
  // A header from an address that is not trusted, in either version.
  std::string answer = Run(Bytes(v1 + request_), stranger);
  EXPECT_EQ(Status(answer), "HTTP/1.1 400");
  EXPECT_NE(answer.find("not a trusted proxy"), std::string::npos);
  EXPECT_EQ(Status(Run({V2Inet(1, 1) + request_}, stranger)), "HTTP/1.1 400");
  // Its plain requests are served as ever, also when they start like a header.
  EXPECT_EQ(Status(Run(Bytes(request_), stranger)), "HTTP/1.1 200");
  EXPECT_EQ(Status(Run({"PROX", "Z / HTTP/1.1\r\n\r\n"}, stranger)), "HTTP/1.1 200");
  // A trusted address must send one; a broken one is refused as well.
  answer = Run({request_}, kBalancer);
  EXPECT_EQ(Status(answer), "HTTP/1.1 400");
  EXPECT_NE(answer.find("PROXY header is required"), std::string::npos);
  EXPECT_EQ(Status(Run(Bytes("PROXY TCP4 1.2.3.4 5.6.7.8 1 2\n" + request_), kBalancer)), "HTTP/1.1 400");
  ASSERT_EQ(handler_.seen.size(), 2u);
  EXPECT_EQ(handler_.seen[0].addr, stranger);

  // With no trusted proxies the bytes are a request like any other.
  limits_.trustedProxies.clear();
  RequestHead head;
  HeadParse asRequest = ParseRequestHead(v1 + request_, head);
  ASSERT_EQ(asRequest.state, HeadState::kBad);
  answer = Run({v1 + request_}, kBalancer);
  EXPECT_EQ(Status(answer), "HTTP/1.1 400");
  EXPECT_NE(answer.find(asRequest.error), std::string::npos);
  EXPECT_EQ(handler_.seen.size(), 2u);
}

// The header is part of the head's time: it neither gets time of its own
// nor starts the head's clock again.
TEST_F(ProxiedExchange, TheHeaderCountsAgainstTheHeadDeadline) {
  Peer peer;
  peer.addr = kBalancer;
  Exchange slow(limits_, handler_, peer, 1000);
  slow.Feed("PROXY TCP4 1.2.3.4", 18, 1000);
  EXPECT_FALSE(slow.Overdue(1000 + limits_.headMs - 1));
  EXPECT_TRUE(slow.Overdue(1000 + limits_.headMs));
  Exchange done(limits_, handler_, peer, 1000);
  const std::string header = V2Inet(0xc0000201, 1);
  done.Feed(header.data(), header.size(), 1000 + limits_.headMs - 1);
  EXPECT_EQ(done.peer().addr, 0xc0000201u);
  EXPECT_TRUE(done.Overdue(1000 + limits_.headMs));
  EXPECT_FALSE(done.answered());
}

TEST(ProxiedReport, TheStoredSenderIsTheHeadersClient) {
  testsupport::TempDir dir("zandrel-proxied");
  ServerOptions opt;
  opt.dataDir = dir.path();
  opt.quiet = true;
  opt.minFreeBytes = 0;
  opt.reportsPerMinute = 1;
  Ipv4Range r;
  ASSERT_TRUE(ParseIpv4Range("127.0.0.1", r));
  opt.trustedProxies.push_back(r);
  store::ReportStore store(opt.store());
  std::string error;
  ASSERT_TRUE(store.Open(error)) << error;
  auto post = [](const std::string& body) {
    return "POST /test_log HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nfile_flag: " + platform::md5_hex_upper(body.data(), body.size()) + "\r\n\r\n" + body;
  };
  auto send = [&](uint32_t client, const std::string& body) {
    return HandleInProcess(opt, store, {V2Inet(client, 1000) + post(body)}, kBalancer, false, 0).substr(0, 12);
  };
  EXPECT_EQ(send(0xcb007101, "first"), "HTTP/1.1 200");
  // The rate limit is the client's, not the balancer's.
  EXPECT_EQ(send(0xcb007101, "again"), "HTTP/1.1 429");
  EXPECT_EQ(send(0xcb007102, "other"), "HTTP/1.1 200");

  std::vector<platform::DirectoryEntry> files;
  platform::ListDirectory(dir.path(), files);
  std::vector<uint32_t> senders;
  for (const auto& f : files) {
    if (auto name = store::ParseReportFileName(f.name)) senders.push_back(name->sender);
  }
  std::sort(senders.begin(), senders.end());
  EXPECT_EQ(senders, (std::vector<uint32_t>{0xcb007101, 0xcb007102}));
}

// Behind a balancer every connection comes from its address: the
// per-address cap holds each client, not the balancer.
TEST(ProxiedConnections, ThePerAddressCapCountsClients) {
  testsupport::RunningServer server([](ServerOptions& o) {
    o.maxPerAddress = 1;
    Ipv4Range r;
    ParseIpv4Range("127.0.0.1", r);
    o.trustedProxies.push_back(r);
  });
  ASSERT_TRUE(server.started()) << server.error();
  // The first client's download holds its one connection: its answer has
  // begun, so the connection counts under that client.
  testsock::Socket a(testsock::Connect(server.port()));
  ASSERT_TRUE(testsock::SendAll(a.get(), V2Inet(0xc0000201, 1) + "GET /speedtest/zandrel-speed.bin HTTP/1.1\r\n\r\n"));
  std::string begun;
  char buf[512];
  while (begun.size() < 12 && testsock::WaitReadable(a.get(), 10000)) {
    long n = testsock::Recv(a.get(), buf, sizeof buf);
    if (n <= 0) break;
    begun.append(buf, static_cast<std::size_t>(n));
  }
  ASSERT_EQ(begun.substr(0, 12), "HTTP/1.1 200");
  // A second connection of that client is over its cap; another client,
  // through the same balancer, is not.
  auto hint = [&](const std::string& header) {
    testsock::Socket s(testsock::Connect(server.port()));
    if (!testsock::SendAll(s.get(), header + "GET /Hint.html HTTP/1.1\r\n\r\n")) return std::string();
    return testsock::ReadUntilClosed(s.get()).substr(0, 12);
  };
  EXPECT_EQ(hint(V2Inet(0xc0000201, 3)), "HTTP/1.1 503");
  EXPECT_EQ(hint("PROXY TCP4 192.0.2.1 10.0.0.1 4 5252\r\n"), "HTTP/1.1 503");
  EXPECT_EQ(hint("PROXY TCP4 192.0.2.2 10.0.0.1 5 5252\r\n"), "HTTP/1.1 200");
  a.reset();
  // Once it is gone, the first client is served again.
  EXPECT_TRUE(testsupport::WaitUntil([&] { return hint(V2Inet(0xc0000201, 6)) == "HTTP/1.1 200"; }, 10000));
}

}  // namespace
