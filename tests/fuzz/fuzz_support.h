// Helpers shared by the fuzz targets: an input split into a seed and a
// payload, piece sizes drawn from that seed, and the head boundary as the
// response parser is expected to find it.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string_view>

#define FUZZ_CHECK(cond)                                                      \
  do {                                                                        \
    if (!(cond)) {                                                            \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                           \
    }                                                                         \
  } while (0)

namespace zandrel::fuzz {

// The first four bytes seed the piece sizes; the rest is the payload.
struct SeededInput {
  uint32_t seed = 0;
  std::string_view payload;
};

inline bool SplitInput(const uint8_t* data, size_t size, SeededInput& out) {
  if (size < 4) return false;
  out.seed = static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
             static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24;
  out.payload = std::string_view(reinterpret_cast<const char*>(data) + 4, size - 4);
  return true;
}

// Piece sizes: mostly single bytes and small runs, sometimes large blocks,
// so that every boundary (inside a line end, inside the blank line, right
// after the head) gets hit.
class PieceCutter {
 public:
  explicit PieceCutter(uint32_t seed) : rng_(seed) {}
  size_t Next(size_t remaining) {
    uint32_t r = static_cast<uint32_t>(rng_());
    size_t n = 1;
    switch (r & 3) {
      case 0: n = 1; break;
      case 1: n = 1 + (r >> 2) % 8; break;
      case 2: n = 1 + (r >> 2) % 300; break;
      default: n = 1 + (r >> 2) % 5000; break;
    }
    return std::min(n, remaining);
  }
  uint32_t Draw() { return static_cast<uint32_t>(rng_()); }

 private:
  std::minstd_rand rng_;
};

// Length of the response head (through the blank line) that a parser
// searching the first `window` bytes for CR LF CR LF finds, the search ending
// at a zero byte; 0 when there is none.
inline size_t ExpectedHeadLength(std::string_view bytes, size_t window) {
  std::string_view w = bytes.substr(0, std::min(window, bytes.size()));
  size_t nul = w.find('\0');
  if (nul != std::string_view::npos) w = w.substr(0, nul);
  size_t at = w.find("\r\n\r\n");
  return at == std::string_view::npos ? 0 : at + 4;
}

}  // namespace zandrel::fuzz
