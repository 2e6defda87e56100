// URL host parts, dotted quads, the two number parsers and the request
// writer, each against a small model written here.
#include <cerrno>
#include <climits>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "http/http_request.h"
#include "http/request_writer.h"
#include "http/url.h"

using namespace zandrel;

namespace {

bool ModelSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool ModelDigit(char c) { return c >= '0' && c <= '9'; }

// Four groups split at '.', each of one to three digits, no leading zero, at most 255.
bool ModelQuad(std::string_view t, uint32_t* addr = nullptr) {
  uint32_t value = 0;
  size_t groups = 0;
  size_t pos = 0;
  for (;;) {
    size_t dot = t.find('.', pos);
    std::string_view g = t.substr(pos, dot == std::string_view::npos ? std::string_view::npos : dot - pos);
    if (g.empty() || g.size() > 3) return false;
    for (char c : g) {
      if (!ModelDigit(c)) return false;
    }
    if (g.size() > 1 && g[0] == '0') return false;
    unsigned long v = std::strtoul(std::string(g).c_str(), nullptr, 10);
    if (v > 255) return false;
    value = value << 8 | static_cast<uint32_t>(v);
    ++groups;
    if (dot == std::string_view::npos) break;
    pos = dot + 1;
  }
  if (groups != 4) return false;
  if (addr) *addr = value;
  return true;
}

// The leading digits modulo 2^64, worked out in blocks of up to 18 digits
// with the C library doing each block.
uint64_t ModelU64(std::string_view t) {
  size_t n = 0;
  while (n < t.size() && ModelDigit(t[n])) ++n;
  uint64_t v = 0;
  for (size_t pos = 0; pos < n; pos += 18) {
    std::string block(t.substr(pos, std::min<size_t>(18, n - pos)));
    uint64_t scale = 1;
    for (size_t i = 0; i < block.size(); ++i) scale *= 10;
    v = v * scale + std::strtoull(block.c_str(), nullptr, 10);
  }
  return v;
}

int32_t ModelInt(std::string_view t) {
  size_t i = 0;
  while (i < t.size() && ModelSpace(t[i])) ++i;
  bool negative = false;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) negative = t[i++] == '-';
  auto magnitude = static_cast<uint32_t>(ModelU64(t.substr(i)));
  return static_cast<int32_t>(negative ? 0u - magnitude : magnitude);
}

bool ModelHostPart(std::string_view url, std::string& host) {
  size_t at = url.find("http://");
  std::string_view rest = url.substr(at == std::string_view::npos ? 0 : at + 7);
  size_t slash = rest.find('/');
  if (slash == std::string_view::npos) {
    if (rest.empty()) return false;
    host = std::string(rest);
    return true;
  }
  if (slash == 0 || slash >= 1024) return false;
  host = std::string(rest.substr(0, slash));
  return true;
}

void CheckNumbers(const std::string& text) {
  const char* c = text.c_str();
  std::string_view cs(c);  // what a C-string reader sees
  FUZZ_CHECK(http::parse_u64(c) == ModelU64(cs));
  int32_t got = http::parse_int(c);
  FUZZ_CHECK(got == ModelInt(cs));
  // Within the signed 32-bit range the result is the C library's.
  errno = 0;
  char* end = nullptr;
  long long lib = std::strtoll(c, &end, 10);
  if (errno == 0 && lib >= INT32_MIN && lib <= INT32_MAX) {
    FUZZ_CHECK(got == static_cast<int32_t>(lib));
  }
  FUZZ_CHECK(http::is_dotted_quad(c) == ModelQuad(cs));
}

void CheckUrl(const std::string& url, uint32_t draw) {
  std::string host, expected;
  bool ok = http::parse_host_part(url, host);
  FUZZ_CHECK(ok == ModelHostPart(url, expected));
  if (ok) FUZZ_CHECK(host == expected);

  if (ok) {
    // The resolver sees the host part as a C string cut to 255 bytes; only
    // dotted quads are tried here, as anything else is a name lookup.
    std::string_view h(expected.c_str());
    h = h.substr(0, std::min<size_t>(255, h.size()));
    size_t colon = h.find(':');
    std::string_view name = h.substr(0, colon);
    uint32_t want = 0;
    if (ModelQuad(name, &want)) {
      uint32_t addr = 0;
      uint16_t port = 0;
      FUZZ_CHECK(http::resolve_url(url, addr, port));
      FUZZ_CHECK(addr == want);
      uint16_t wantPort = colon == std::string_view::npos
                              ? 80
                              : static_cast<uint16_t>(static_cast<uint32_t>(ModelInt(h.substr(colon + 1))) & 0xFFFFu);
      FUZZ_CHECK(port == wantPort);
    }
  }

  // The request writer: the head fits the buffer exactly or is refused.
  http::C_http_request req(url);
  int size = static_cast<int>(draw % 9000) - 8;
  uint64_t range = (draw >> 16) % 3 == 0 ? 0 : draw >> 13;
  std::vector<char> out(size > 0 ? static_cast<size_t>(size) : 0);
  int n = http::write_head(req, out.data(), size, range);
  if (!ok) FUZZ_CHECK(n == 0);
  FUZZ_CHECK(n >= 0 && n <= std::max(size, 0));
  if (n > 0) {
    std::string_view head(out.data(), static_cast<size_t>(n));
    FUZZ_CHECK(head.substr(0, 4) == "GET ");
    FUZZ_CHECK(head.size() >= 4 && head.substr(head.size() - 4) == "\r\n\r\n");
    FUZZ_CHECK(head.find("\r\nHost: " + expected + "\r\n") != std::string_view::npos);
    if (range != 0) {
      FUZZ_CHECK(head.find("\r\nRange: bytes=" + std::to_string(range) + "-\r\n") != std::string_view::npos);
    }
    if (n < size) FUZZ_CHECK(out[static_cast<size_t>(n)] == '\0');
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::SeededInput in;
  if (!fuzz::SplitInput(data, size, in)) return 0;
  std::string text(in.payload);
  CheckNumbers(text);
  CheckUrl(text, in.seed);
  return 0;
}
