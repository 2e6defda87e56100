// Fixed-capacity byte buffer that collects the report and the channel reply.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

namespace zandrel {

// Appends never write past the capacity: a text that does not fit is cut to
// the free space, and the last byte always stays free, so the content is
// NUL-terminated whenever the buffer has been reset.
class CReportBuffer {
 public:
  explicit CReportBuffer(int32_t capacity);

  void Reset();
  void Append(const char* text);
  void AppendBytes(const void* bytes, int32_t count);
  void Terminate();

  const char* Data() const { return storage_.get(); }
  int32_t Length() const { return length_; }
  int32_t Capacity() const { return capacity_; }
  // Bytes an append can still take (one byte stays free for the terminator).
  int32_t Room() const;

  // Gives the storage back; the buffer is then empty with no room.
  void Release();

 private:
  std::unique_ptr<char[]> storage_;
  int32_t length_ = 0;
  int32_t capacity_;
};

}  // namespace zandrel
