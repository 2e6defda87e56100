#include <gtest/gtest.h>

#include <string>

#include "http/http_response.h"

using namespace zandrel::http;

namespace {
C_http_response Parse(const std::string& text) {
  C_http_response r;
  r.feed(text.data(), static_cast<uint32_t>(text.size()));
  return r;
}
}  // namespace

TEST(Response, StatusLines) {
  EXPECT_EQ(Parse("HTTP/1.1 200 OK\r\n\r\n").status(), 200);
  EXPECT_EQ(Parse("HTTP/1.1  404  Not Found\r\n\r\n").status(), 404);
  EXPECT_EQ(Parse("HTTP/1.1 200\r\n\r\n").status(), 0);
  EXPECT_EQ(Parse("HTTP/1.1\r\n\r\n").status(), 0);
  EXPECT_EQ(Parse("NOTIFY * HTTP/1.1\r\n\r\n").status(), 200);
  EXPECT_EQ(Parse("GET / HTTP/1.1\r\n\r\n").status(), 0);
  EXPECT_TRUE(Parse("HTTP/1.1 200\r\n\r\n").head_complete());
}

TEST(Response, HeaderLines) {
  auto r = Parse(
      "HTTP/1.1 200 OK\r\nVia: HTTP/1.1 proxy\r\nName : value\r\nX-A: 1\r\nX-A:  2  \r\nx-a: 3\r\nnocolon\r\n"
      "content-length: 5\r\nContent-Length: 7\r\n\r\n");
  EXPECT_EQ(r.headers().count("Via"), 0u);
  EXPECT_EQ(r.headers().count("Name "), 1u);
  EXPECT_EQ(r.find_header("Name"), "");
  EXPECT_EQ(r.find_header("name "), "value");
  EXPECT_EQ(r.headers().at("X-A"), "2");
  EXPECT_EQ(r.headers().at("x-a"), "3");
  EXPECT_EQ(r.find_header("x-A"), "2");  // upper case sorts first
  EXPECT_EQ(r.content_length(), 7u);
  EXPECT_EQ(r.headers().size(), 5u);
}

TEST(Response, HeadSplitAcrossFeedsAndBodyWithHead) {
  C_http_response r;
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n";
  for (size_t i = 0; i < head.size() - 1; ++i) {
    r.feed(&head[i], 1);
    ASSERT_FALSE(r.head_complete()) << i;
  }
  std::string last = head.substr(head.size() - 1) + "abcd";
  EXPECT_TRUE(r.feed(last.data(), static_cast<uint32_t>(last.size())));
  EXPECT_TRUE(r.head_complete());
  EXPECT_EQ(r.head_text(), head);
  EXPECT_EQ(r.body_received(), 4u);
  EXPECT_TRUE(r.feed("efghij", 6));
  EXPECT_EQ(r.body_received(), 10u);
  EXPECT_FALSE(r.feed("extra", 5));  // complete: refused, not stored
  EXPECT_EQ(r.body_received(), 10u);
  EXPECT_EQ(r.buffer().total(), 10u);
}

TEST(Response, NoContentLength) {
  auto r = Parse("HTTP/1.1 200 OK\r\n\r\n");
  EXPECT_EQ(r.content_length(), 0u);
  EXPECT_EQ(r.body_received(), 0u);
  EXPECT_TRUE(r.feed("more", 4));  // no length: never refused
}

TEST(Response, ContentRange) {
  auto a = Parse("HTTP/1.1 206 Partial\r\nContent-Range: bytes 100-199/1000\r\n\r\n");
  ASSERT_NE(a.range(), nullptr);
  EXPECT_EQ(a.content_length(), 100u);
  EXPECT_EQ(a.range()->first, 100u);
  EXPECT_EQ(a.range()->last, 199u);
  EXPECT_EQ(a.range()->total, 1000u);
  auto b = Parse("HTTP/1.1 206 Partial\r\nContent-Range: bytes 100-199\r\n\r\n");
  EXPECT_EQ(b.range()->total, 199u);
  auto c = Parse("HTTP/1.1 416 Bad\r\nContent-Range: bytes 100-199/1000\r\nContent-Length: 3\r\n\r\n");
  EXPECT_EQ(c.range()->first, 0u);
  EXPECT_EQ(c.content_length(), 3u);
  auto noDash = Parse("HTTP/1.1 206 Partial\r\nContent-Range: bytes 500\r\n\r\n");
  ASSERT_NE(noDash.range(), nullptr);
  EXPECT_EQ(noDash.range()->first, 500u);
  EXPECT_EQ(noDash.range()->last, 0u);
  EXPECT_EQ(noDash.range()->total, 0u);
  EXPECT_EQ(noDash.content_length(), 0u);
  auto backwards = Parse("HTTP/1.1 206 Partial\r\nContent-Range: bytes 200-100/1000\r\n\r\n");
  EXPECT_EQ(backwards.content_length(), 0u);
  auto absent = Parse("HTTP/1.1 200 OK\r\n\r\n");
  ASSERT_NE(absent.range(), nullptr);
  auto tooLong = Parse("HTTP/1.1 200 OK\r\nContent-Range: bytes " + std::string(100, '1') + "\r\n\r\n");
  EXPECT_EQ(tooLong.range(), nullptr);
  EXPECT_EQ(Parse("HTTP/1.1 206 P\r\nContent-Range: items 1-2/3\r\n\r\n").range()->last, 0u);
}

TEST(Response, ChunkChain) {
  C_chunk_buffer b;
  std::string a(1000, 'a'), c(100, 'c');
  b.append(a.data(), 1000);
  b.append(c.data(), 100);
  EXPECT_EQ(b.chunk_count(), 2u);
  EXPECT_EQ(b.total(), 1100u);
  char out[1100];
  EXPECT_EQ(b.take(out, 990), 990u);
  EXPECT_EQ(b.chunk_count(), 2u);
  b.append("xyz", 3);  // fits the last chunk after moving its bytes
  EXPECT_EQ(b.chunk_count(), 2u);
  EXPECT_EQ(b.take(out, 5000), 113u);
  EXPECT_EQ(std::string(out, 113), std::string(10, 'a') + c + "xyz");
  EXPECT_EQ(b.chunk_count(), 0u);
  EXPECT_EQ(b.total(), 0u);
  std::string big(5000, 'z');
  b.append(big.data(), 5000);
  EXPECT_EQ(b.chunk_count(), 5u);
}

TEST(Response, BadInputNeverOverrunsOrCompletesAHead) {
  C_http_response longHead;
  std::string junk = "HTTP/1.1 200 OK\r\n" + std::string(20000, 'h');
  for (size_t i = 0; i < junk.size(); i += 1000) longHead.feed(junk.data() + i, 1000);
  longHead.feed("\r\n\r\n", 4);  // beyond the first 10239 bytes: never seen
  EXPECT_FALSE(longHead.head_complete());
  // An endless head is kept only as far as it can be searched.
  for (int i = 0; i < 200; ++i) longHead.feed(junk.data(), 10000);
  EXPECT_EQ(longHead.buffer().total(), C_http_response::kHeadSearch);

  // A head that ends inside the searchable bytes keeps the whole rest of the
  // read as body, even where it reaches past them.
  C_http_response nearLimit;
  std::string filler(10000, 'f');
  nearLimit.feed(filler.data(), static_cast<uint32_t>(filler.size()));
  std::string tail = "\r\n\r\n" + std::string(5000, 'b');
  nearLimit.feed(tail.data(), static_cast<uint32_t>(tail.size()));
  ASSERT_TRUE(nearLimit.head_complete());
  EXPECT_EQ(nearLimit.head_text().size(), 10004u);
  EXPECT_EQ(nearLimit.body_received(), 5000u);
  EXPECT_EQ(nearLimit.buffer().total(), 5000u);

  auto huge = Parse("HTTP/1.1 200 OK\r\nContent-Length: 18446744073709551615\r\n\r\nab");
  EXPECT_EQ(huge.content_length(), 18446744073709551615ull);
  EXPECT_EQ(huge.body_received(), 2u);

  std::string nul("HTTP/1.1 200 OK\r\nX: a\0b\r\n\r\n", 27);
  EXPECT_FALSE(Parse(nul).head_complete());
}
