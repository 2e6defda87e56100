#include "http/url.h"

#include <cstring>

#include "net/socket.h"

namespace zandrel::http {

bool parse_host_part(const std::string& url, std::string& host) {
  size_t scheme = url.find("http://");
  size_t start = scheme == std::string::npos ? 0 : scheme + 7;
  size_t slash = url.find('/', start);
  if (slash == std::string::npos) {
    if (start >= url.size()) return false;
    host = url.substr(start);
    return true;
  }
  size_t len = slash - start;
  if (len == 0 || len >= 1024) return false;
  host = url.substr(start, len);
  return true;
}

bool is_space(char c) { return c == ' ' || (c >= 9 && c <= 13); }

const char* skip_space(const char* text) {
  while (*text && is_space(*text)) ++text;
  return text;
}

const char* end_without_space(const char* begin, const char* end) {
  while (end > begin && is_space(end[-1])) --end;
  return end;
}

uint64_t parse_u64(const char* text) {
  uint64_t v = 0;
  for (; *text >= '0' && *text <= '9'; ++text) v = v * 10 + static_cast<uint64_t>(*text - '0');
  return v;
}

int32_t parse_int(const char* text) {
  text = skip_space(text);
  bool negative = false;
  if (*text == '+' || *text == '-') negative = *text++ == '-';
  uint32_t v = 0;
  for (; *text >= '0' && *text <= '9'; ++text) v = v * 10u + static_cast<uint32_t>(*text - '0');
  if (negative) v = 0u - v;
  return static_cast<int32_t>(v);
}

bool is_dotted_quad(const char* text) {
  for (int group = 0; group < 4; ++group) {
    int digits = 0, value = 0;
    for (;;) {
      char c = *text;
      if (c == '\0') break;
      if (c == '.') {
        if (group == 3) return false;
        ++text;
        break;
      }
      if (c < '0' || c > '9') return false;
      if (digits == 4) break;
      value = value * 10 + (c - '0');
      ++digits;
      ++text;
      if (value > 255) return false;
    }
    if (digits < 1 || digits > 3) return false;
    if ((digits == 2 && value < 10) || (digits == 3 && value < 100)) return false;
    if (*text == '\0') {
      // The text may end only after the fourth group, and not right after a dot.
      return group == 3 && text[-1] != '.';
    }
  }
  return false;
}

bool split_host_port(const std::string& url, std::string& name, uint16_t& port) {
  std::string host;
  if (!parse_host_part(url, host)) return false;
  char work[256] = {};
  std::strncpy(work, host.c_str(), 255);
  char* colon = std::strchr(work, ':');
  const char* portText = nullptr;
  if (colon) {
    *colon = '\0';
    portText = colon + 1;
  }
  name = work;
  port = portText ? static_cast<uint16_t>(static_cast<uint32_t>(parse_int(portText)) & 0xFFFFu) : 80;
  return true;
}

bool resolve_url(const std::string& url, uint32_t& addr, uint16_t& port) {
  std::string name;
  uint16_t p = 0;
  if (!split_host_port(url, name, p)) return false;
  uint32_t a = 0;
  if (is_dotted_quad(name.c_str())) {
    if (!net::ParseIpv4(name.c_str(), a)) return false;
  } else if (!net::ResolveFirstIpv4(name.c_str(), a)) {
    return false;
  }
  addr = a;
  port = p;
  return true;
}

}  // namespace zandrel::http
