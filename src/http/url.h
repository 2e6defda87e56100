// URLs and their host parts, and the text helpers of the HTTP parsers.
#pragma once
#include <cstdint>
#include <string>

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

}  // namespace zandrel::http
