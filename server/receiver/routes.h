// What the report server serves, and the speed-test file's byte ranges.
#pragma once
#include <cstdint>
#include <string_view>

#include "server/http/request_head.h"

namespace zandrel::server {

enum class Route { kReport, kHintPage, kSpeedFile, kNotFound };

// The route of a request. A connection accepted on the hint-page listener
// reaches the hint page and nothing else.
Route FindRoute(const RequestHead& head, std::string_view speedPath, bool hintOnly);

// The byte at offset i of the generated speed-test file.
inline char SpeedByte(uint64_t i) { return static_cast<char>((i * 7) ^ (i >> 11)); }

// The part of a file of `size` bytes that a Range field asks for.
struct ByteRange {
  enum Kind { kWhole, kPart, kUnsatisfiable } kind = kWhole;
  uint64_t first = 0, last = 0;  // inclusive, for kWhole and kPart
};

// A single "bytes=" range (first-last, first-, or -suffix) gives kPart, or
// kUnsatisfiable when it starts past the end. A missing, malformed or
// multi-part Range is ignored: the whole file is served.
ByteRange ResolveRange(const std::string* rangeField, uint64_t size);

}  // namespace zandrel::server
