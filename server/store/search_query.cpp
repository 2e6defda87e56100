#include "server/store/search_query.h"

#include <charconv>
#include <cstdio>

#include "server/store/report_file.h"

namespace zandrel::store {
namespace {

constexpr std::size_t kMaxWords = 16;
constexpr std::size_t kMaxValueBytes = 256;

// One code point of UTF-8 at pos; invalid bytes read as U+FFFD one at a time.
char32_t NextCodePoint(std::string_view s, std::size_t& pos) {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  unsigned char b = byte(pos);
  if (b < 0x80) {
    ++pos;
    return b;
  }
  int extra = (b >> 5) == 6 ? 1 : (b >> 4) == 14 ? 2 : (b >> 3) == 30 ? 3 : -1;
  if (extra < 0 || pos + static_cast<std::size_t>(extra) >= s.size()) {
    ++pos;
    return 0xFFFD;
  }
  char32_t cp = b & (0x3F >> extra);
  for (int i = 1; i <= extra; ++i) {
    unsigned char c = byte(pos + static_cast<std::size_t>(i));
    if ((c & 0xC0) != 0x80) {
      ++pos;
      return 0xFFFD;
    }
    cp = cp << 6 | (c & 0x3F);
  }
  pos += static_cast<std::size_t>(extra) + 1;
  return cp;
}

bool IsCjk(char32_t c) {
  return (c >= 0x3040 && c <= 0x30FF) ||    // kana
         (c >= 0x3400 && c <= 0x4DBF) ||    // extension A
         (c >= 0x4E00 && c <= 0x9FFF) ||    // unified ideographs
         (c >= 0xAC00 && c <= 0xD7AF) ||    // hangul
         (c >= 0xF900 && c <= 0xFAFF) ||    // compatibility ideographs
         (c >= 0x20000 && c <= 0x3FFFF);    // extensions B and later
}

bool IsWordByte(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Calls word(text) for each ASCII word (lower-cased) and cjk(text) for each
// CJK run, in order.
template <class Word, class Cjk>
void SplitText(std::string_view s, Word word, Cjk cjk) {
  std::size_t pos = 0;
  while (pos < s.size()) {
    std::size_t start = pos;
    char32_t c = NextCodePoint(s, pos);
    if (c < 0x80 && IsWordByte(static_cast<char>(c))) {
      while (pos < s.size() && IsWordByte(s[pos])) ++pos;
      std::string w(s.substr(start, pos - start));
      for (char& ch : w) ch = Lower(ch);
      word(w);
    } else if (IsCjk(c)) {
      std::vector<std::string_view> chars{s.substr(start, pos - start)};
      for (;;) {
        std::size_t next = pos;
        if (next >= s.size() || !IsCjk(NextCodePoint(s, next))) break;
        chars.push_back(s.substr(pos, next - pos));
        pos = next;
      }
      cjk(chars);
    }
  }
}

std::optional<int64_t> ParseInt(std::string_view text, int64_t lo, int64_t hi) {
  int64_t v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || v < lo || v > hi) return std::nullopt;
  return v;
}

bool Digits(std::string_view s, std::size_t pos, std::size_t n, int& out) {
  if (pos + n > s.size()) return false;
  out = 0;
  for (std::size_t i = pos; i < pos + n; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    out = out * 10 + (s[i] - '0');
  }
  return true;
}

int DaysInMonth(int y, int m) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return m == 2 && leap ? 29 : kDays[m - 1];
}

constexpr char kCursorDigits[] = "0123456789abcdefghjkmnpqrstvwxyz";

}  // namespace

std::optional<uint32_t> ParseIpv4(std::string_view text) {
  uint32_t value = 0;
  std::size_t pos = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (pos >= text.size() || text[pos] != '.') return std::nullopt;
      ++pos;
    }
    std::size_t start = pos;
    while (pos < text.size() && pos - start < 4 && text[pos] >= '0' && text[pos] <= '9') ++pos;
    auto octet = ParseInt(text.substr(start, pos - start), 0, 255);
    if (!octet || pos - start > 3) return std::nullopt;
    value = value << 8 | static_cast<uint32_t>(*octet);
  }
  if (pos != text.size()) return std::nullopt;
  return value;
}

std::optional<Ipv4Range> ParseIpv4Block(std::string_view text) {
  std::size_t slash = text.find('/');
  auto address = ParseIpv4(text.substr(0, slash));
  if (!address) return std::nullopt;
  int64_t bits = 32;
  if (slash != std::string_view::npos) {
    std::string_view prefix = text.substr(slash + 1);
    auto parsed = prefix.size() <= 2 ? ParseInt(prefix, 0, 32) : std::nullopt;
    if (!parsed) return std::nullopt;
    bits = *parsed;
  }
  uint32_t mask = bits == 0 ? 0 : ~uint32_t{0} << (32 - bits);
  return Ipv4Range{*address & mask, (*address & mask) | ~mask};
}

std::optional<uint64_t> ParseMac(std::string_view text) {
  if (text.size() > 17) return std::nullopt;
  uint64_t value = 0;
  int digits = 0;
  for (char c : text) {
    if (c == '-' || c == ':' || c == '.') continue;
    int d = c >= '0' && c <= '9' ? c - '0' : Lower(c) >= 'a' && Lower(c) <= 'f' ? Lower(c) - 'a' + 10 : -1;
    if (d < 0 || ++digits > 12) return std::nullopt;
    value = value << 4 | static_cast<uint64_t>(d);
  }
  if (digits != 12) return std::nullopt;
  return value;
}

std::optional<int64_t> ParseTimeMs(std::string_view s, bool day_end) {
  int y, mo, d;
  if (!Digits(s, 0, 4, y) || s.size() < 10 || s[4] != '-' || !Digits(s, 5, 2, mo) || s[7] != '-' ||
      !Digits(s, 8, 2, d) || y < 1970 || mo < 1 || mo > 12 || d < 1 || d > DaysInMonth(y, mo)) {
    return std::nullopt;
  }
  int64_t day_ms = DaysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) * 86400000;
  if (s.size() == 10) return day_ms + (day_end ? 86400000 : 0);
  int h, mi, sec;
  char t = s[10];
  if ((t != 'T' && t != 't' && t != ' ') || !Digits(s, 11, 2, h) || s.size() < 19 || s[13] != ':' ||
      !Digits(s, 14, 2, mi) || s[16] != ':' || !Digits(s, 17, 2, sec) || h > 23 || mi > 59 || sec > 59) {
    return std::nullopt;
  }
  int64_t ms = day_ms + (int64_t{h} * 3600 + mi * 60 + sec) * 1000;
  std::size_t pos = 19;
  if (pos < s.size() && s[pos] == '.') {
    std::size_t start = ++pos;
    int64_t frac = 0, scale = 1000;
    while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9' && pos - start < 9) {
      scale /= 10;
      frac += (s[pos] - '0') * scale;  // digits past the millisecond add 0
      ++pos;
    }
    if (pos == start) return std::nullopt;
    ms += frac;
  }
  if (pos >= s.size()) return std::nullopt;  // an offset is required
  if ((s[pos] == 'Z' || s[pos] == 'z') && pos + 1 == s.size()) {
    return ms + (day_end ? 1 : 0);
  }
  int oh, om;
  if ((s[pos] != '+' && s[pos] != '-') || pos + 6 != s.size() || !Digits(s, pos + 1, 2, oh) || s[pos + 3] != ':' ||
      !Digits(s, pos + 4, 2, om) || oh > 23 || om > 59) {
    return std::nullopt;
  }
  int64_t offset = (int64_t{oh} * 60 + om) * 60000;
  ms += s[pos] == '+' ? -offset : offset;
  if (ms < 0) return std::nullopt;
  return ms + (day_end ? 1 : 0);
}

std::string ProblemTokens(std::string_view utf8) {
  std::string out;
  auto add = [&](std::string_view token) {
    if (!out.empty()) out += ' ';
    out += token;
  };
  SplitText(
      utf8, [&](const std::string& w) { add(w); },
      [&](const std::vector<std::string_view>& chars) {
        for (std::size_t i = 0; i + 1 < chars.size(); ++i) add(std::string(chars[i]) + std::string(chars[i + 1]));
        for (auto c : chars) add(c);
      });
  return out;
}

std::string MatchExpression(const std::vector<std::string>& words) {
  std::string out;
  for (const std::string& word : words) {
    if (!out.empty()) out += " AND ";
    out += '"';
    if (!word.empty() && static_cast<unsigned char>(word[0]) < 0x80) {
      out += word;
    } else {
      // A CJK run: its single character, or the phrase of its overlapping pairs.
      std::vector<std::string_view> chars;
      std::size_t pos = 0;
      while (pos < word.size()) {
        std::size_t start = pos;
        NextCodePoint(word, pos);
        chars.push_back(std::string_view(word).substr(start, pos - start));
      }
      if (chars.size() == 1) out += word;
      for (std::size_t i = 0; i + 1 < chars.size(); ++i) {
        if (i > 0) out += ' ';
        out += chars[i];
        out += chars[i + 1];
      }
    }
    out += '"';
  }
  return out;
}

std::string CursorText(int64_t position) {
  std::string out;
  auto v = static_cast<uint64_t>(position);
  do {
    out.insert(out.begin(), kCursorDigits[v & 31]);
    v >>= 5;
  } while (v != 0);
  return "c" + out;
}

std::optional<int64_t> ParseCursor(std::string_view text) {
  if (text.size() < 2 || text.size() > 14 || text[0] != 'c') return std::nullopt;
  uint64_t v = 0;
  for (char c : text.substr(1)) {
    const char* at = std::char_traits<char>::find(kCursorDigits, 32, c);
    if (at == nullptr) return std::nullopt;
    v = v << 5 | static_cast<uint64_t>(at - kCursorDigits);
  }
  if (v > static_cast<uint64_t>(INT64_MAX)) return std::nullopt;
  return static_cast<int64_t>(v);
}

std::variant<SearchQuery, QueryError> ParseSearchQuery(const SearchParams& params) {
  SearchQuery query;
  std::vector<std::string> seen;
  for (const auto& param : params) {
    const std::string& key = param.first;
    const std::string& value = param.second;
    auto error = [&key](std::string message) { return QueryError{key, std::move(message)}; };
    for (const std::string& s : seen) {
      if (s == key) return error("given more than once");
    }
    seen.push_back(key);
    if (value.size() > (key == "q" ? kMaxQueryBytes : kMaxValueBytes)) return error("too long");
    if (key == "q") {
      SplitText(
          value, [&](const std::string& w) { query.words.push_back(w); },
          [&](const std::vector<std::string_view>& chars) {
            std::string run;
            for (auto c : chars) run += c;
            query.words.push_back(run);
          });
      if (query.words.size() > kMaxWords) return error("more than 16 words");
      if (query.words.empty()) return error("no word to search for (letters, digits or CJK characters)");
    } else if (key == "ip") {
      auto block = ParseIpv4Block(value);
      if (!block) return error("not an IPv4 address or CIDR block (a.b.c.d or a.b.c.d/0..32)");
      query.ip = block;
    } else if (key == "mac") {
      auto mac = ParseMac(value);
      if (!mac) return error("not a hardware address (twelve hex digits, optionally with - : or .)");
      query.mac = mac;
    } else if (key == "module") {
      std::string m;
      for (char c : value) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return error("control character");
        m += c == '/' ? '\\' : Lower(c);
      }
      if (m.empty()) return error("empty");
      query.module = m;
    } else if (key == "from" || key == "to") {
      auto ms = ParseTimeMs(value, key == "to");
      if (!ms) return error("not an RFC 3339 date-time (2024-05-01T08:00:00Z) or date (2024-05-01)");
      (key == "from" ? query.from_ms : query.to_ms) = ms;
    } else if (key == "failed") {
      std::size_t pos = 0;
      while (pos <= value.size()) {
        std::size_t comma = value.find(',', pos);
        std::string_view name = std::string_view(value).substr(pos, comma == std::string::npos ? value.npos : comma - pos);
        static const std::pair<std::string_view, unsigned> kChecks[] = {
            {"udp", kCheckUdp}, {"speed", kCheckSpeed}, {"service", kCheckService}, {"channels", kCheckChannels}};
        unsigned bit = 0;
        for (const auto& [check, b] : kChecks) {
          if (name == check) bit = b;
        }
        if (bit == 0) return error("not a check: use udp, speed, service or channels");
        query.failed |= bit;
        if (comma == std::string::npos) break;
        pos = comma + 1;
      }
    } else if (key == "slower_than") {
      auto v = ParseInt(value, 1, int64_t{1} << 40);
      if (!v) return error("not a positive whole number of K/s");
      query.slower_than = v;
    } else if (key == "limit") {
      auto v = ParseInt(value, 1, kMaxSearchLimit);
      if (!v) return error("not a whole number from 1 to 500");
      query.limit = static_cast<int>(*v);
    } else if (key == "cursor") {
      auto v = ParseCursor(value);
      if (!v) return error("not a cursor of this index");
      query.cursor = v;
    } else {
      return error("unknown parameter");
    }
  }
  if (query.from_ms && query.to_ms && *query.to_ms <= *query.from_ms) {
    return QueryError{"to", "before from"};
  }
  return query;
}

}  // namespace zandrel::store
