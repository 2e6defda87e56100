#include "http/http_response.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "http/url.h"

namespace zandrel::http {

uint32_t C_chunk_buffer::take(char* out, uint32_t n) { return consume(out, n); }
uint32_t C_chunk_buffer::drop(uint32_t n) { return consume(nullptr, n); }

uint32_t C_chunk_buffer::peek(char* out, uint32_t n) const {
  n = std::min(n, total_);
  uint32_t done = 0;
  for (const chunk* c = first_.get(); c && done < n; c = c->next.get()) {
    uint32_t k = std::min(n - done, c->unread);
    std::memcpy(out + done, c->data + c->offset, k);
    done += k;
  }
  return done;
}

uint32_t C_chunk_buffer::chunk_count() const {
  uint32_t n = 0;
  for (const chunk* c = first_.get(); c; c = c->next.get()) ++n;
  return n;
}

bool C_http_response::feed(const char* data, uint32_t len) {
  if (content_length_ != 0 && body_received_ >= content_length_) return false;
  if (head_complete_) {
    buffer_.append(data, len);
    body_received_ += len;
    return true;
  }
  // Only the first kHeadSearch bytes are ever searched for the end of the
  // head, so nothing past them is kept while the head is incomplete: a head
  // that never ends costs no more than that.
  uint32_t stored = buffer_.total();
  if (stored >= kHeadSearch) return true;
  uint32_t searchable = std::min(len, kHeadSearch - stored);
  buffer_.append(data, searchable);
  char work[kHeadSearch + 1];
  uint32_t n = buffer_.peek(work, kHeadSearch);
  work[n] = '\0';
  const char* end = std::strstr(work, "\r\n\r\n");  // a zero byte ends the search
  if (!end) return true;
  size_t headLen = static_cast<size_t>(end - work) + 4;
  head_text_.assign(work, headLen);
  buffer_.drop(static_cast<uint32_t>(headLen));
  buffer_.append(data + searchable, len - searchable);  // the rest is body
  parse_head();
  return true;
}

void C_http_response::parse_head() {
  size_t pos = 0;
  for (;;) {
    size_t eol = head_text_.find("\r\n", pos);
    if (eol == std::string::npos || eol == pos) break;
    parse_line(head_text_.substr(pos, eol - pos));
    pos = eol + 2;
  }
  content_length_ = parse_u64(skip_space(find_header("Content-Length").c_str()));
  parse_content_range();
  body_received_ = buffer_.total();
  head_complete_ = true;
}

void C_http_response::parse_line(const std::string& line) {
  if (line.compare(0, 5, "HTTP/") == 0) {
    size_t sp1 = line.find(' ');
    if (sp1 == std::string::npos) return;
    size_t code = line.find_first_not_of(' ', sp1);
    if (code == std::string::npos) return;
    size_t sp2 = line.find(' ', code);
    if (sp2 == std::string::npos) return;
    status_ = parse_int(line.substr(sp1, sp2 - sp1).c_str());
    return;
  }
  if (line.find("HTTP/") != std::string::npos) {
    if (line.find("NOTIFY") != std::string::npos) status_ = 200;
    return;
  }
  size_t colon = line.find(':');
  if (colon == std::string::npos) return;
  std::string value = line.substr(colon + 1);
  const char* b = skip_space(value.c_str());
  const char* e = end_without_space(b, value.c_str() + value.size());
  headers_[line.substr(0, colon)] = std::string(b, e);
}

void C_http_response::parse_content_range() {
  std::string header = find_header("Content-Range");
  std::string value = skip_space(header.c_str());
  if (value.size() >= 100) return;
  range_ = std::make_unique<content_range>();
  if (status_ == 416) return;
  if (value.compare(0, 6, "bytes ") != 0) return;
  std::string rest = value.substr(6);
  size_t dash = rest.find('-');
  range_->first = parse_u64(rest.c_str());
  // Without a "-" only the first byte is known: last byte and total stay 0
  // and no length is derived from them.
  if (dash == std::string::npos) return;
  std::string tail = rest.substr(dash + 1);
  size_t slash = tail.find('/');
  range_->last = parse_u64(tail.c_str());
  range_->total = parse_u64(slash == std::string::npos ? tail.c_str() : tail.c_str() + slash + 1);
  // A range whose end lies before its start gives no length.
  if (content_length_ == 0 && range_->last >= range_->first) content_length_ = range_->last - range_->first + 1;
}

std::string C_http_response::find_header(const std::string& name) const {
  for (const auto& [key, value] : headers_) {
    if (key.size() != name.size()) continue;
    bool same = true;
    for (size_t i = 0; i < key.size() && same; ++i) {
      same = std::tolower(static_cast<unsigned char>(key[i])) == std::tolower(static_cast<unsigned char>(name[i]));
    }
    if (same) return value;
  }
  return std::string();
}

}  // namespace zandrel::http
