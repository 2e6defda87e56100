// The response parser fed one whole response and the same bytes in pieces:
// both must agree on the head, and the body bytes must come out unchanged.
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "http/http_response.h"

using namespace zandrel;
using zandrel::http::C_http_response;

namespace {

std::string Contents(const http::C_chunk_buffer& buf) {
  std::string out(buf.total(), '\0');
  FUZZ_CHECK(buf.peek(out.data(), buf.total()) == buf.total());
  return out;
}

// Takes the buffer's bytes out in pieces of the cutter's choosing.
std::string Drain(http::C_chunk_buffer& buf, fuzz::PieceCutter& cut) {
  std::string out;
  while (buf.total() > 0) {
    uint32_t before = buf.total();
    size_t n = cut.Next(before);
    std::string piece(n, '\0');
    if (cut.Draw() % 5 == 0) {
      FUZZ_CHECK(buf.peek(piece.data(), static_cast<uint32_t>(n)) == n);
      FUZZ_CHECK(buf.drop(static_cast<uint32_t>(n)) == n);
    } else {
      FUZZ_CHECK(buf.take(piece.data(), static_cast<uint32_t>(n)) == n);
    }
    FUZZ_CHECK(buf.total() == before - n);
    out += piece;
  }
  FUZZ_CHECK(buf.chunk_count() == 0);
  char spare;
  FUZZ_CHECK(buf.take(&spare, 1) == 0);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::SeededInput in;
  if (!fuzz::SplitInput(data, size, in)) return 0;
  const std::string_view bytes = in.payload;
  const auto n = static_cast<uint32_t>(bytes.size());

  C_http_response whole;
  FUZZ_CHECK(whole.feed(bytes.data(), n));  // a fresh response takes everything

  C_http_response split;
  fuzz::PieceCutter cut(in.seed);
  size_t accepted = 0;
  bool refused = false;
  for (size_t fed = 0; fed < bytes.size();) {
    size_t k = cut.Next(bytes.size() - fed);
    bool took = split.feed(bytes.data() + fed, static_cast<uint32_t>(k));
    FUZZ_CHECK(!(refused && took));  // once the body is complete it stays complete
    if (took) {
      accepted += k;
    } else {
      refused = true;
    }
    fed += k;
  }

  const size_t headLen = fuzz::ExpectedHeadLength(bytes, C_http_response::kHeadSearch);
  FUZZ_CHECK(whole.head_complete() == (headLen != 0));
  FUZZ_CHECK(split.head_complete() == whole.head_complete());

  if (!whole.head_complete()) {
    // Nothing is taken away from an incomplete head, and nothing past the
    // bytes that are searched for its end is kept.
    FUZZ_CHECK(!refused);
    FUZZ_CHECK(Contents(whole.buffer()) == bytes.substr(0, C_http_response::kHeadSearch));
    FUZZ_CHECK(Contents(split.buffer()) == bytes.substr(0, C_http_response::kHeadSearch));
    return 0;
  }

  FUZZ_CHECK(whole.head_text() == bytes.substr(0, headLen));
  FUZZ_CHECK(split.head_text() == whole.head_text());
  FUZZ_CHECK(split.status() == whole.status());
  FUZZ_CHECK(split.content_length() == whole.content_length());
  FUZZ_CHECK(split.headers() == whole.headers());
  FUZZ_CHECK((split.range() == nullptr) == (whole.range() == nullptr));
  if (whole.range()) {
    FUZZ_CHECK(split.range()->first == whole.range()->first);
    FUZZ_CHECK(split.range()->last == whole.range()->last);
    FUZZ_CHECK(split.range()->total == whole.range()->total);
  }
  for (const auto& [name, value] : whole.headers()) {
    // The first of the names equal but for case wins; whichever it is, the
    // lookup gives the value of one of them, the same for both parses.
    FUZZ_CHECK(split.find_header(name) == whole.find_header(name));
    FUZZ_CHECK(value.find("\r\n") == std::string::npos);
  }

  // Body bytes: everything after the head in the whole parse; in the split
  // parse, everything after the head up to the piece that completed the body.
  const std::string_view body = bytes.substr(headLen);
  FUZZ_CHECK(whole.body_received() == body.size());
  FUZZ_CHECK(split.body_received() == accepted - headLen);
  if (refused) {
    FUZZ_CHECK(split.content_length() != 0 && split.body_received() >= split.content_length());
  } else {
    FUZZ_CHECK(accepted == bytes.size());
  }
  FUZZ_CHECK(Contents(whole.buffer()) == body);
  FUZZ_CHECK(Drain(split.body_buffer(), cut) == body.substr(0, accepted - headLen));
  FUZZ_CHECK(Drain(whole.body_buffer(), cut) == body);
  return 0;
}
