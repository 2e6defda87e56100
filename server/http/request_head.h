// The head of an HTTP/1.x request: request line and header fields.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace zandrel::server {

// The longest head accepted, blank line included.
inline constexpr std::size_t kMaxHeadBytes = 10239;

struct HeaderField {
  std::string name, value;
};

struct RequestHead {
  std::string method, target, version;
  std::vector<HeaderField> fields;
  // The value of the first field of that name (any case); null when absent.
  const std::string* Find(std::string_view name) const;
  // The target without its query.
  std::string_view path() const;
};

enum class HeadState { kIncomplete, kComplete, kBad };

struct HeadParse {
  HeadState state = HeadState::kIncomplete;
  std::size_t length = 0;     // bytes of the head, blank line included (kComplete)
  const char* error = nullptr;  // why it was refused (kBad)
};

// Parses the head at the start of data. A head is refused as soon as its
// bytes show it cannot be valid: a NUL byte, a line end other than CR LF, more
// than kMaxHeadBytes, a malformed request line or field, or Content-Length
// fields that disagree. The first fault in byte order gives the reason, so a
// head refused in pieces is refused for the same reason as when whole. A
// refused head leaves in out what was read before the fault.
HeadParse ParseRequestHead(std::string_view data, RequestHead& out);

bool SameIgnoringCase(std::string_view a, std::string_view b);

}  // namespace zandrel::server
