#include "http/chunk_buffer.h"

#include <algorithm>
#include <cstring>

namespace zandrel::http {

C_chunk_buffer::~C_chunk_buffer() {
  // Unlink iteratively so a long chain cannot exhaust the stack.
  while (first_) first_ = std::move(first_->next);
}

std::unique_ptr<C_chunk_buffer::chunk> C_chunk_buffer::build_chain(const char* data, uint32_t len, chunk*& last) {
  std::unique_ptr<chunk> head;
  chunk* tail = nullptr;
  while (len > 0) {
    auto c = std::make_unique<chunk>();
    uint32_t n = std::min(len, kChunkSize);
    std::memcpy(c->data, data, n);
    c->unread = n;
    data += n;
    len -= n;
    chunk* raw = c.get();
    if (tail) {
      tail->next = std::move(c);
    } else {
      head = std::move(c);
    }
    tail = raw;
  }
  last = tail;
  return head;
}

void C_chunk_buffer::append(const char* data, uint32_t len) {
  if (len == 0) return;
  if (!first_) {
    first_ = build_chain(data, len, last_);
  } else if (last_->unread + len <= kChunkSize) {
    std::memmove(last_->data, last_->data + last_->offset, last_->unread);
    last_->offset = 0;
    std::memcpy(last_->data + last_->unread, data, len);
    last_->unread += len;
  } else {
    chunk* newLast = nullptr;
    last_->next = build_chain(data, len, newLast);
    last_ = newLast;
  }
  total_ += len;
}

uint32_t C_chunk_buffer::consume(char* out, uint32_t n) {
  n = std::min(n, total_);
  uint32_t done = 0;
  while (done < n) {
    chunk* c = first_.get();
    uint32_t k = std::min(n - done, c->unread);
    if (out) std::memcpy(out + done, c->data + c->offset, k);
    c->offset += k;
    c->unread -= k;
    done += k;
    if (c->unread == 0) first_ = std::move(first_->next);
  }
  if (!first_) last_ = nullptr;
  total_ -= n;
  return n;
}

}  // namespace zandrel::http
