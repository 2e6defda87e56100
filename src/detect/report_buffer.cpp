#include "detect/report_buffer.h"

#include <cstring>

namespace zandrel {

CReportBuffer::CReportBuffer(int32_t capacity)
    : storage_(capacity > 0 ? new char[static_cast<size_t>(capacity)] : nullptr),
      capacity_(capacity > 0 ? capacity : 0) {}

void CReportBuffer::Reset() {
  if (storage_) std::memset(storage_.get(), 0, static_cast<size_t>(capacity_));
  length_ = 0;
}

int32_t CReportBuffer::Room() const {
  if (!storage_ || capacity_ <= 0) return 0;
  int32_t room = capacity_ - 1 - length_;
  return room > 0 ? room : 0;
}

void CReportBuffer::Append(const char* text) {
  if (!text) return;
  AppendBytes(text, static_cast<int32_t>(std::strlen(text)));
}

void CReportBuffer::AppendBytes(const void* bytes, int32_t count) {
  if (!bytes || count <= 0) return;
  int32_t n = count < Room() ? count : Room();
  if (n <= 0) return;
  std::memcpy(storage_.get() + length_, bytes, static_cast<size_t>(n));
  length_ += n;
}

void CReportBuffer::Terminate() {
  if (storage_ && length_ < capacity_) storage_[static_cast<size_t>(length_)] = '\0';
}

void CReportBuffer::Release() {
  storage_.reset();
  length_ = 0;
  capacity_ = 0;
}

}  // namespace zandrel
