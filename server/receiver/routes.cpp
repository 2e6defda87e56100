#include "server/receiver/routes.h"

#include <string>

namespace zandrel::server {
namespace {

struct RouteEntry {
  const char* method;
  const char* path;  // null: the configured speed-file path
  Route route;
  bool onHintListener;
};

constexpr RouteEntry kRoutes[] = {
    {"POST", "/test_log", Route::kReport, false},
    {"GET", "/Hint.html", Route::kHintPage, true},
    {"GET", nullptr, Route::kSpeedFile, false},
};

// Digits only, at most 19 of them (fits in 64 bits).
bool ParseDigits(std::string_view s, uint64_t& out) {
  if (s.empty() || s.size() > 19) return false;
  out = 0;
  for (char ch : s) {
    if (ch < '0' || ch > '9') return false;
    out = out * 10 + static_cast<uint64_t>(ch - '0');
  }
  return true;
}

}  // namespace

Route FindRoute(const RequestHead& head, std::string_view speedPath, bool hintOnly) {
  std::string_view path = head.path();
  for (const RouteEntry& r : kRoutes) {
    if (hintOnly && !r.onHintListener) continue;
    if (head.method == r.method && path == (r.path ? std::string_view(r.path) : speedPath)) return r.route;
  }
  return Route::kNotFound;
}

ByteRange ResolveRange(const std::string* rangeField, uint64_t size) {
  ByteRange whole;
  whole.first = 0;
  whole.last = size ? size - 1 : 0;
  if (!rangeField) return whole;
  std::string_view text = *rangeField;
  if (text.size() < 6 || !SameIgnoringCase(text.substr(0, 6), "bytes=")) return whole;
  text.remove_prefix(6);
  size_t dash = text.find('-');
  if (dash == std::string_view::npos || text.find(',') != std::string_view::npos) return whole;
  std::string_view a = text.substr(0, dash), b = text.substr(dash + 1);
  uint64_t first = 0, last = 0;
  ByteRange r;
  r.kind = ByteRange::kPart;
  if (a.empty()) {  // the last b bytes
    if (!ParseDigits(b, last)) return whole;
    if (last == 0 || size == 0) return ByteRange{ByteRange::kUnsatisfiable, 0, 0};
    r.first = last >= size ? 0 : size - last;
    r.last = size - 1;
    return r;
  }
  if (!ParseDigits(a, first)) return whole;
  if (b.empty()) {
    last = UINT64_MAX;
  } else if (!ParseDigits(b, last) || last < first) {
    return whole;
  }
  if (first >= size) return ByteRange{ByteRange::kUnsatisfiable, 0, 0};
  r.first = first;
  r.last = last >= size ? size - 1 : last;
  return r;
}

}  // namespace zandrel::server
