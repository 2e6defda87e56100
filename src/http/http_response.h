// The response parser: a response's head, its headers and its body as it
// arrives, kept in a chunk buffer.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "http/chunk_buffer.h"

namespace zandrel::http {

struct content_range {
  uint64_t first = 0;
  uint64_t last = 0;
  uint64_t total = 0;
};

class C_http_response {
 public:
  static constexpr uint32_t kHeadSearch = 10239;

  // False when the body is already complete; the bytes are then not kept.
  // While the head is incomplete at most kHeadSearch bytes are kept.
  bool feed(const char* data, uint32_t len);
  // Value of the first header whose name matches ignoring ASCII case, or "".
  std::string find_header(const std::string& name) const;

  bool head_complete() const { return head_complete_; }
  uint64_t content_length() const { return content_length_; }
  uint64_t body_received() const { return body_received_; }
  const content_range* range() const { return range_.get(); }
  int32_t status() const { return status_; }
  const std::map<std::string, std::string>& headers() const { return headers_; }
  const std::string& head_text() const { return head_text_; }
  const C_chunk_buffer& buffer() const { return buffer_; }
  // The bytes kept after the head (the body so far), for callers that take them.
  C_chunk_buffer& body_buffer() { return buffer_; }

 private:
  void parse_head();
  void parse_line(const std::string& line);
  void parse_content_range();

  C_chunk_buffer buffer_;
  bool head_complete_ = false;
  uint64_t content_length_ = 0;
  uint64_t body_received_ = 0;
  std::unique_ptr<content_range> range_;
  int32_t status_ = 0;
  std::map<std::string, std::string> headers_;
  std::string head_text_;
};

}  // namespace zandrel::http
