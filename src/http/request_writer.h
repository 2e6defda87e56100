// Turns a request record into the bytes that go on the wire.
#pragma once
#include <cstdint>

#include "http/http_request.h"

namespace zandrel::http {

inline constexpr int kHeadWorkArea = 8192;

// The head (request line, headers in key order, cookie line, blank line);
// its length, or 0 when the URL has no host part or the head does not fit
// the work area or the buffer. A zero byte follows it when there is room.
int write_head(C_http_request& req, char* out, int size, uint64_t rangeStart);

// Head plus body; 0 when either does not fit.
int write_post(C_http_request& req, char* out, int size, const char* body, uint32_t bodyLen);

}  // namespace zandrel::http
