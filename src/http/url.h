// URLs, host parts, name resolution, and the request record.
#pragma once
#include <cstdint>
#include <map>
#include <string>

#include "net/name_lookup.h"

namespace zandrel::http {

// The text between the end of "http://" (found anywhere) or the start of
// the URL and the first "/". Fails on an empty host part, or one of 1024
// characters or more before a "/".
bool parse_host_part(const std::string& url, std::string& host);

// Host part to host name and port (80 by default); false without a host part.
bool split_host_port(const std::string& url, std::string& name, uint16_t& port);

// Host part to IPv4 address (host order) and port (80 by default). Blocks
// while a name is looked up.
bool resolve_url(const std::string& url, uint32_t& addr, uint16_t& port);

// The address of a URL's host for a client that must not block: each poll
// either answers at once (a dotted-decimal host), starts a lookup, reports
// it still running, or hands over its result. After a result the next poll
// starts afresh, as a client that tries again looks the name up again.
class C_url_resolver {
 public:
  enum class result { pending, ready, failed };
  explicit C_url_resolver(const std::string& url);
  result poll(uint32_t& addr, uint16_t& port);

 private:
  bool valid_ = false;
  bool numeric_ = false;
  std::string name_;
  uint16_t port_ = 80;
  uint32_t addr_ = 0;
  net::NameLookup lookup_;
};

// Strict dotted-decimal test: four groups of 1-3 digits, no leading zeros,
// each at most 255.
bool is_dotted_quad(const char* text);

// Value of the leading decimal digits, wrapping modulo 2^64; no sign, no
// white space.
uint64_t parse_u64(const char* text);

// The usual signed decimal conversion: leading white space and one sign,
// stops at the first non-digit, 0 without digits; wraps instead of
// overflowing.
int32_t parse_int(const char* text);

bool is_space(char c);
const char* skip_space(const char* text);
// Position just after the last non-white character of [begin, end).
const char* end_without_space(const char* begin, const char* end);

class C_http_request {
 public:
  explicit C_http_request(std::string url);
  void set_header(const std::string& name, const std::string& value) { headers[name] = value; }

  std::string method = "GET";
  std::string version = "HTTP/1.1";
  std::string url;
  std::map<std::string, std::string> cookies;  // byte-wise key order
  std::map<std::string, std::string> headers;  // byte-wise key order
};

}  // namespace zandrel::http
