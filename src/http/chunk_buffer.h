// The receive buffer: a chain of fixed-size chunks.
#pragma once
#include <cstdint>
#include <memory>

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

}  // namespace zandrel::http
