#include <gtest/gtest.h>

#include <string>

#include "http/http_request.h"
#include "http/request_writer.h"
#include "http/url.h"
#include "platform/md5.h"

using namespace zandrel;
using namespace zandrel::http;

TEST(Url, HostPartExtraction) {
  std::string h;
  EXPECT_TRUE(parse_host_part("http://localhost:6001/crossdomain.xml", h));
  EXPECT_EQ(h, "localhost:6001");
  EXPECT_TRUE(parse_host_part("reports.example:5252/test_log", h));
  EXPECT_EQ(h, "reports.example:5252");
  EXPECT_TRUE(parse_host_part("http://server", h));
  EXPECT_EQ(h, "server");
  EXPECT_TRUE(parse_host_part("abchttp://h/x", h));
  EXPECT_EQ(h, "h");
  EXPECT_FALSE(parse_host_part("http:///file", h));
  EXPECT_FALSE(parse_host_part("", h));
  EXPECT_FALSE(parse_host_part("http://", h));
  EXPECT_FALSE(parse_host_part("http://" + std::string(1024, 'a') + "/x", h));
  EXPECT_TRUE(parse_host_part("http://" + std::string(1023, 'a') + "/x", h));
  EXPECT_TRUE(parse_host_part("http://" + std::string(5000, 'a'), h));  // no "/": any length
}

TEST(Url, ResolutionAndPorts) {
  uint32_t a = 0;
  uint16_t p = 0;
  ASSERT_TRUE(resolve_url("http://localhost:6001/crossdomain.xml", a, p));
  EXPECT_EQ(a, 0x7F000001u);
  EXPECT_EQ(p, 6001);
  ASSERT_TRUE(resolve_url("http://10.0.0.1/x", a, p));
  EXPECT_EQ(a, 0x0A000001u);
  EXPECT_EQ(p, 80);
  ASSERT_TRUE(resolve_url("127.0.0.1:", a, p));
  EXPECT_EQ(p, 0);
  ASSERT_TRUE(resolve_url("127.0.0.1:70000/x", a, p));
  EXPECT_EQ(p, 70000 & 0xFFFF);
  ASSERT_TRUE(resolve_url("127.0.0.1:80x", a, p));
  EXPECT_EQ(p, 80);
  EXPECT_FALSE(resolve_url("http://no-such-host.invalid/x", a, p));
  EXPECT_FALSE(resolve_url("http:///x", a, p));
}

TEST(Url, DottedQuadIsStrict) {
  for (const char* ok : {"10.0.0.1", "0.0.0.0", "255.255.255.255", "1.22.133.4"}) EXPECT_TRUE(is_dotted_quad(ok)) << ok;
  for (const char* bad : {"010.0.0.1", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1.2.3.4.", "1..2.3", "", "1.2.3.04",
                          "1234.1.1.1", "a.b.c.d", "1.2.3.4x", " 1.2.3.4"})
    EXPECT_FALSE(is_dotted_quad(bad)) << bad;
}

TEST(Url, NumberConversions) {
  EXPECT_EQ(parse_u64("  12"), 0u);
  EXPECT_EQ(parse_u64("12abc"), 12u);
  EXPECT_EQ(parse_u64("18446744073709551615"), 18446744073709551615ull);
  EXPECT_EQ(parse_u64("18446744073709551616"), 0u);  // wraps modulo 2^64
  EXPECT_EQ(parse_int(" -42z"), -42);
  EXPECT_EQ(parse_int("+7"), 7);
  EXPECT_EQ(parse_int("x"), 0);
  EXPECT_EQ(parse_int("4294967297"), 1);  // wraps, never overflows
}

TEST(Request, DefaultsAndHeaderReplacement) {
  C_http_request r("http://s/x");
  EXPECT_EQ(r.headers.size(), 6u);
  EXPECT_TRUE(r.cookies.empty());
  EXPECT_EQ(r.method, "GET");
  r.set_header("Content-Length", "12");
  EXPECT_EQ(r.headers.size(), 6u);
  EXPECT_EQ(r.headers["Content-Length"], "12");
  r.set_header("host", "a");
  EXPECT_EQ(r.headers.size(), 7u);
  EXPECT_EQ(r.headers.count("Host"), 0u);
}

TEST(Writer, GetBytesWithAndWithoutRange) {
  C_http_request r("http://server/dir/file.bin");
  char buf[4096];
  int n = write_head(r, buf, sizeof buf, 0);
  const std::string want =
      "GET /dir/file.bin HTTP/1.1\r\nAccept: */*\r\nAccept-Encoding: gzip, deflate\r\nAccept-Language: zh-cn\r\n"
      "Connection: Close\r\nContent-Length: 0\r\nHost: server\r\nUser-Agent: HTTP-TOOL\r\n\r\n";
  ASSERT_EQ(n, static_cast<int>(want.size()));
  EXPECT_EQ(std::string(buf, n), want);
  EXPECT_EQ(buf[n], '\0');
  n = write_head(r, buf, sizeof buf, 123456);
  std::string ranged = want;
  ranged.insert(ranged.find("User-Agent"), "Range: bytes=123456-\r\n");
  EXPECT_EQ(std::string(buf, n), ranged);
  // Written again: still one Host and one Range line.
  n = write_head(r, buf, sizeof buf, 123456);
  EXPECT_EQ(std::string(buf, n), ranged);
}

TEST(Writer, PathsHostsAndCookies) {
  char buf[4096];
  C_http_request bare("http://server");
  int n = write_head(bare, buf, sizeof buf, 0);
  EXPECT_EQ(std::string(buf, n).substr(0, 16), "GET / HTTP/1.1\r\n");
  C_http_request q("http://server:81/a?b=c&d=/e#f");
  n = write_head(q, buf, sizeof buf, 0);
  EXPECT_EQ(std::string(buf, n).substr(0, 30), "GET /a?b=c&d=/e#f HTTP/1.1\r\nAc");
  EXPECT_NE(std::string(buf, n).find("Host: server:81\r\n"), std::string::npos);
  C_http_request lower("http://server/");
  lower.set_header("host", "other");
  lower.cookies["b"] = "2";
  lower.cookies["a"] = "1";
  n = write_head(lower, buf, sizeof buf, 0);
  std::string text(buf, n);
  EXPECT_LT(text.find("Host: server\r\n"), text.find("User-Agent"));
  EXPECT_GT(text.find("host: other\r\n"), text.find("User-Agent"));
  EXPECT_NE(text.find("Cookie: a=1; b=2; \r\n\r\n"), std::string::npos);
  C_http_request kept("http://server/");
  kept.set_header("Host", "given");
  n = write_head(kept, buf, sizeof buf, 0);
  EXPECT_NE(std::string(buf, n).find("Host: given\r\n"), std::string::npos);
  C_http_request none("http:///x");
  EXPECT_EQ(write_head(none, buf, sizeof buf, 0), 0);
}

TEST(Writer, BufferAndWorkAreaLimits) {
  C_http_request r("http://server/x");
  char probe[4096];
  int len = write_head(r, probe, sizeof probe, 0);
  std::string exact(static_cast<size_t>(len), '#');
  EXPECT_EQ(write_head(r, exact.data(), len, 0), len);  // no room for the zero byte
  EXPECT_EQ(exact, std::string(probe, len));
  std::string shorter(static_cast<size_t>(len - 1), '#');
  EXPECT_EQ(write_head(r, shorter.data(), len - 1, 0), 0);
  EXPECT_EQ(shorter, std::string(static_cast<size_t>(len - 1), '#'));  // untouched
  C_http_request huge("http://server/" + std::string(9000, 'p'));
  std::string big(20000, '\0');
  EXPECT_EQ(write_head(huge, big.data(), static_cast<int>(big.size()), 0), 0);
}

TEST(Writer, PostHeadWithFileFlagLastThenBody) {
  const std::string body = "\r\nreport body";
  C_http_request r("reports.example:5252/test_log");
  r.method = "POST";
  r.set_header("file_flag", platform::md5_hex_upper(body.data(), body.size()));
  std::string buf(r.url.size() + body.size() + 2000, '\0');
  int n = write_post(r, buf.data(), static_cast<int>(buf.size()), body.data(), static_cast<uint32_t>(body.size()));
  const std::string want = "POST /test_log HTTP/1.1\r\nAccept: */*\r\nAccept-Encoding: gzip, deflate\r\n"
                           "Accept-Language: zh-cn\r\nConnection: Close\r\nContent-Length: 13\r\n"
                           "Host: reports.example:5252\r\nUser-Agent: HTTP-TOOL\r\nfile_flag: " +
                           platform::md5_hex_upper(body.data(), body.size()) + "\r\n\r\n" + body;
  EXPECT_EQ(std::string(buf.data(), static_cast<size_t>(n)), want);
  C_http_request empty("h:5252/test_log");
  n = write_post(empty, buf.data(), static_cast<int>(buf.size()), "", 0);
  EXPECT_NE(std::string(buf.data(), static_cast<size_t>(n)).find("Content-Length: 0\r\n"), std::string::npos);
  EXPECT_EQ(std::string(buf.data(), static_cast<size_t>(n)).substr(static_cast<size_t>(n) - 4), "\r\n\r\n");
  C_http_request tight("h:5252/test_log");
  EXPECT_EQ(write_post(tight, buf.data(), 200, std::string(300, 'x').data(), 300), 0);
}

TEST(Md5, RfcVectorsInUpperCaseHex) {
  EXPECT_EQ(platform::md5_hex_upper("", 0), "D41D8CD98F00B204E9800998ECF8427E");
  EXPECT_EQ(platform::md5_hex_upper("a", 1), "0CC175B9C0F1B6A831C399E269772661");
  EXPECT_EQ(platform::md5_hex_upper("abc", 3), "900150983CD24FB0D6963F7D28E17F72");
  EXPECT_EQ(platform::md5_hex_upper("message digest", 14), "F96B697D7CB7938D525A2F31AAF161D0");
  std::string alpha = "abcdefghijklmnopqrstuvwxyz";
  EXPECT_EQ(platform::md5_hex_upper(alpha.data(), alpha.size()), "C3FCD3D76192E4007DFB496CCA67E13B");
  std::string digits;
  for (int i = 0; i < 8; ++i) digits += "1234567890";
  EXPECT_EQ(platform::md5_hex_upper(digits.data(), digits.size()), "57EDF4A22BE3C955AC49DA2E2107B67A");
  platform::Md5 pieces;
  pieces.update("message ", 8);
  pieces.update("digest", 6);
  EXPECT_EQ(pieces.hex_upper(), "F96B697D7CB7938D525A2F31AAF161D0");
}
