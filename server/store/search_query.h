// What the support staff ask of the report index, read from key/value
// parameters (a URL's query or a command line) into a checked query. Every
// value is bounded and validated here; the index binds them into SQL as
// parameters and never splices them into statement text.
//
// Parameters (each at most once; anything else is an error naming it):
//   q            words of the problem text: runs of Latin letters and digits
//                (whole words, case-insensitive) and runs of Chinese, Japanese
//                or Korean characters (contained anywhere, one character or more)
//   ip           an IPv4 address or CIDR block; matches the sender and every
//                adapter address
//   mac          a hardware address in any usual notation
//   module       a file name ("d3d9.dll", matched whole and case-insensitive) or,
//                when it holds a '\' or '/', a fragment of the full path
//   from, to     RFC 3339 date-times or bare dates (a date is the whole UTC day);
//                both bounds are inclusive
//   failed       a comma list of udp, speed, service, channels: every one named
//                failed (speed failed = a speed of 0 K/s)
//   slower_than  K/s: the speed was measured and is below this
//   limit        rows per page, 1..500, default 50
//   cursor       where the previous page ended (opaque, from SearchPage)
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace zandrel::store {

enum CheckBit : unsigned {
  kCheckUdp = 1,
  kCheckSpeed = 2,
  kCheckService = 4,
  kCheckChannels = 8,
};

struct Ipv4Range {
  uint32_t first = 0, last = 0;  // inclusive, host order
};

inline constexpr int kDefaultSearchLimit = 50;
inline constexpr int kMaxSearchLimit = 500;
inline constexpr std::size_t kMaxQueryBytes = 256;

struct SearchQuery {
  // q, split into words: lower-case ASCII words and runs of CJK characters (UTF-8).
  std::vector<std::string> words;
  std::optional<Ipv4Range> ip;
  std::optional<uint64_t> mac;        // 48 bits
  std::optional<std::string> module;  // lower-case ASCII, '\' as separator
  std::optional<int64_t> from_ms;     // inclusive, ms since 1970 UTC
  std::optional<int64_t> to_ms;       // exclusive
  unsigned failed = 0;                // CheckBit set; all of them failed
  std::optional<int64_t> slower_than;
  std::optional<int64_t> cursor;  // rows strictly older than this position
  int limit = kDefaultSearchLimit;
};

struct QueryError {
  std::string parameter;  // the name of the offending parameter
  std::string message;
};

using SearchParams = std::vector<std::pair<std::string, std::string>>;
std::variant<SearchQuery, QueryError> ParseSearchQuery(const SearchParams& params);

// The pieces, for callers that read one value alone.
std::optional<Ipv4Range> ParseIpv4Block(std::string_view text);  // "a.b.c.d" or "a.b.c.d/n"
std::optional<uint32_t> ParseIpv4(std::string_view text);
std::optional<uint64_t> ParseMac(std::string_view text);
// An RFC 3339 date-time, or a bare date when day_end is set: its start, or
// the start of the next day (exclusive end) when day_end is true.
std::optional<int64_t> ParseTimeMs(std::string_view text, bool day_end);

// The text the full-text index holds for a problem text, in text order:
// each lower-case ASCII word, and for each CJK run its overlapping pairs
// followed by its single characters, all separated by spaces. A phrase of
// pairs therefore never spans two runs.
std::string ProblemTokens(std::string_view utf8);
// The full-text expression for the words of a query ("" when none).
std::string MatchExpression(const std::vector<std::string>& words);

// The opaque cursor text of a position and back.
std::string CursorText(int64_t position);
std::optional<int64_t> ParseCursor(std::string_view text);

}  // namespace zandrel::store
