// The receive buffer and the response parser.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace zandrel::http {

// A chain of 1024-byte chunks; what it holds is never moved as a whole.
class C_chunk_buffer {
 public:
  static constexpr uint32_t kChunkSize = 1024;

  C_chunk_buffer() = default;
  ~C_chunk_buffer();
  C_chunk_buffer(const C_chunk_buffer&) = delete;
  C_chunk_buffer& operator=(const C_chunk_buffer&) = delete;
  C_chunk_buffer(C_chunk_buffer&& other) noexcept
      : total_(other.total_), first_(std::move(other.first_)), last_(other.last_) {
    other.total_ = 0;
    other.last_ = nullptr;
  }

  void append(const char* data, uint32_t len);
  // Copies and removes up to n bytes from the front; returns how many.
  uint32_t take(char* out, uint32_t n);
  // Removes up to n bytes from the front without copying them.
  uint32_t drop(uint32_t n);
  // Copies up to n bytes from the front without removing them.
  uint32_t peek(char* out, uint32_t n) const;
  uint32_t total() const { return total_; }
  uint32_t chunk_count() const;

 private:
  struct chunk {
    std::unique_ptr<chunk> next;
    uint32_t unread = 0;
    uint32_t offset = 0;
    char data[kChunkSize];
  };
  std::unique_ptr<chunk> build_chain(const char* data, uint32_t len, chunk*& last);
  uint32_t consume(char* out, uint32_t n);

  uint32_t total_ = 0;
  std::unique_ptr<chunk> first_;
  chunk* last_ = nullptr;
};

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
