#include "server/desk/web/time_zone.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zandrel::desk::web {
namespace {

constexpr char kZoneDirectory[] = "/usr/share/zoneinfo/";
constexpr std::size_t kMaxZoneFile = 1 << 20;
constexpr std::size_t kMaxCachedZones = 64;

// A rule of a POSIX TZ string ("M3.5.0/3"): the weekday-th day of the week
// (0 Sunday) of week `week` (5: the last) of month, at `seconds` local time.
struct DayRule {
  int month = 0, week = 0, weekday = 0;
  int seconds = 7200;
};

struct Zone {
  std::vector<int64_t> transitions;  // UTC seconds, ascending
  std::vector<int> offsetAfter;      // the offset from each transition on
  int offsetBefore = 0;              // before the first
  bool hasFooter = false;            // the rule beyond the last transition
  int standard = 0, daylight = 0;    // offsets east of UTC
  bool hasDaylight = false;
  DayRule start, end;
};

// The name of a POSIX TZ string: <...> or three letters or more.
bool SkipName(std::string_view& s) {
  if (!s.empty() && s.front() == '<') {
    std::size_t close = s.find('>');
    if (close == std::string_view::npos) return false;
    s.remove_prefix(close + 1);
    return true;
  }
  std::size_t n = 0;
  while (n < s.size() && ((s[n] >= 'A' && s[n] <= 'Z') || (s[n] >= 'a' && s[n] <= 'z'))) ++n;
  s.remove_prefix(n);
  return n >= 3;
}

// [+-]hh[:mm[:ss]] as seconds.
bool ReadClock(std::string_view& s, int& seconds) {
  int sign = 1;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    sign = s.front() == '-' ? -1 : 1;
    s.remove_prefix(1);
  }
  int parts[3] = {0, 0, 0};
  for (int i = 0; i < 3; ++i) {
    if (i > 0) {
      if (s.empty() || s.front() != ':') break;
      s.remove_prefix(1);
    }
    std::size_t n = 0;
    while (n < s.size() && n < 3 && s[n] >= '0' && s[n] <= '9') parts[i] = parts[i] * 10 + (s[n++] - '0');
    if (n == 0) return false;
    s.remove_prefix(n);
  }
  seconds = sign * (parts[0] * 3600 + parts[1] * 60 + parts[2]);
  return true;
}

bool ReadNumber(std::string_view& s, int& value) {
  std::size_t n = 0;
  value = 0;
  while (n < s.size() && n < 3 && s[n] >= '0' && s[n] <= '9') value = value * 10 + (s[n++] - '0');
  s.remove_prefix(n);
  return n > 0;
}

bool ReadRule(std::string_view& s, DayRule& rule) {
  if (s.empty() || s.front() != 'M') return false;  // the Julian-day forms no zone of today uses
  s.remove_prefix(1);
  if (!ReadNumber(s, rule.month) || s.empty() || s.front() != '.') return false;
  s.remove_prefix(1);
  if (!ReadNumber(s, rule.week) || s.empty() || s.front() != '.') return false;
  s.remove_prefix(1);
  if (!ReadNumber(s, rule.weekday)) return false;
  if (rule.month < 1 || rule.month > 12 || rule.week < 1 || rule.week > 5 || rule.weekday > 6) return false;
  rule.seconds = 7200;
  if (!s.empty() && s.front() == '/') {
    s.remove_prefix(1);
    if (!ReadClock(s, rule.seconds)) return false;
  }
  return true;
}

// "CST-8" or "CET-1CEST,M3.5.0,M10.5.0/3".
bool ReadFooter(std::string_view s, Zone& zone) {
  int offset = 0;
  if (!SkipName(s) || !ReadClock(s, offset)) return false;
  zone.standard = -offset;
  if (s.empty()) return true;
  if (!SkipName(s)) return false;
  zone.daylight = zone.standard + 3600;
  if (!s.empty() && s.front() != ',') {
    if (!ReadClock(s, offset)) return false;
    zone.daylight = -offset;
  }
  if (s.empty() || s.front() != ',') return false;
  s.remove_prefix(1);
  if (!ReadRule(s, zone.start) || s.empty() || s.front() != ',') return false;
  s.remove_prefix(1);
  if (!ReadRule(s, zone.end) || !s.empty()) return false;
  zone.hasDaylight = true;
  return true;
}

// Local seconds since 1970 of a rule's moment in a year.
int64_t RuleLocal(int year, const DayRule& rule) {
  using namespace std::chrono;
  std::chrono::month m{static_cast<unsigned>(rule.month)};
  sys_days first = year_month_day{std::chrono::year{year}, m, day{1}};
  int firstWeekday = static_cast<int>(weekday{first}.c_encoding());
  int date = 1 + (rule.weekday - firstWeekday + 7) % 7 + (rule.week - 1) * 7;
  int length = static_cast<int>(static_cast<unsigned>(year_month_day_last{std::chrono::year{year}, month_day_last{m}}.day()));
  while (date > length) date -= 7;
  return (first.time_since_epoch().count() + date - 1) * int64_t{86400} + rule.seconds;
}

int FooterOffset(const Zone& zone, int64_t t) {
  if (!zone.hasDaylight) return zone.standard;
  using namespace std::chrono;
  int year = static_cast<int>(year_month_day{floor<days>(sys_seconds{seconds{t + zone.standard}})}.year());
  int64_t start = RuleLocal(year, zone.start) - zone.standard;  // the start's time is standard time
  int64_t end = RuleLocal(year, zone.end) - zone.daylight;      // the end's, daylight time
  bool inDaylight = start < end ? (t >= start && t < end) : !(t >= end && t < start);
  return inDaylight ? zone.daylight : zone.standard;
}

uint32_t Be32(const std::string& b, std::size_t at) {
  return static_cast<uint32_t>(static_cast<unsigned char>(b[at])) << 24 |
         static_cast<uint32_t>(static_cast<unsigned char>(b[at + 1])) << 16 |
         static_cast<uint32_t>(static_cast<unsigned char>(b[at + 2])) << 8 |
         static_cast<uint32_t>(static_cast<unsigned char>(b[at + 3]));
}

// A zone file as read; null when it is not a TZif file of version 2 or later.
std::unique_ptr<Zone> ParseZoneFile(const std::string& b) {
  constexpr std::size_t kHeader = 44;
  auto counts = [&](std::size_t at, uint64_t c[6]) {
    for (int i = 0; i < 6; ++i) c[i] = Be32(b, at + 20 + 4 * i);
  };
  if (b.size() < kHeader || b.compare(0, 4, "TZif") != 0 || b[4] < '2') return nullptr;
  uint64_t c[6];  // isutcnt, isstdcnt, leapcnt, timecnt, typecnt, charcnt
  counts(0, c);
  uint64_t at = kHeader + c[3] * 5 + c[4] * 6 + c[5] + c[2] * 8 + c[1] + c[0];  // past the 32-bit data
  if (at + kHeader > b.size() || b.compare(at, 4, "TZif") != 0) return nullptr;
  counts(at, c);
  at += kHeader;
  uint64_t timecnt = c[3], typecnt = c[4];
  if (typecnt == 0 || typecnt > 256 || timecnt > 100000) return nullptr;
  uint64_t need = timecnt * 9 + typecnt * 6 + c[5] + c[2] * 12 + c[1] + c[0];
  if (at + need > b.size()) return nullptr;
  auto zone = std::make_unique<Zone>();
  std::vector<int> offsets(typecnt);
  std::vector<bool> isDst(typecnt);
  uint64_t types = at + timecnt * 9;
  for (uint64_t i = 0; i < typecnt; ++i) {
    offsets[i] = static_cast<int32_t>(Be32(b, types + i * 6));
    isDst[i] = b[types + i * 6 + 4] != 0;
  }
  for (uint64_t i = 0; i < timecnt; ++i) {
    auto t = static_cast<int64_t>(uint64_t{Be32(b, at + i * 8)} << 32 | Be32(b, at + i * 8 + 4));
    auto type = static_cast<unsigned char>(b[at + timecnt * 8 + i]);
    if (type >= typecnt || (!zone->transitions.empty() && t <= zone->transitions.back())) return nullptr;
    zone->transitions.push_back(t);
    zone->offsetAfter.push_back(offsets[type]);
  }
  zone->offsetBefore = offsets[0];
  for (uint64_t i = 0; i < typecnt; ++i)
    if (!isDst[i]) {
      zone->offsetBefore = offsets[i];
      break;
    }
  uint64_t footer = at + need;
  if (footer < b.size() && b[footer] == '\n') {
    std::size_t close = b.find('\n', footer + 1);
    if (close != std::string::npos)
      zone->hasFooter = ReadFooter(std::string_view(b).substr(footer + 1, close - footer - 1), *zone);
  }
  return zone;
}

// Names as the zone directory holds them ("Area/City_Name", "Etc/GMT+8");
// nothing that could leave the directory.
bool PlausibleName(std::string_view name) {
  if (name.empty() || name.size() > 64 || name.front() == '/' || name.back() == '/') return false;
  char previous = '/';
  for (char c : name) {
    bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
              c == '+' || c == '/' || (c == '.' && previous != '/' && previous != '.');
    if (!ok || (c == '/' && previous == '/')) return false;
    previous = c;
  }
  return true;
}

std::mutex g_zonesMutex;
std::map<std::string, std::shared_ptr<const Zone>, std::less<>> g_zones;  // null: not a zone

std::shared_ptr<const Zone> FindZone(std::string_view name) {
  std::lock_guard<std::mutex> lock(g_zonesMutex);
  if (auto it = g_zones.find(name); it != g_zones.end()) return it->second;
  std::shared_ptr<const Zone> zone;
  std::ifstream in(kZoneDirectory + std::string(name), std::ios::binary);
  if (in) {
    std::string bytes(kMaxZoneFile, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    zone = ParseZoneFile(bytes);
  }
  if (g_zones.size() >= kMaxCachedZones) g_zones.clear();
  g_zones.emplace(std::string(name), zone);
  return zone;
}

}  // namespace

std::optional<int> ZoneOffset(std::string_view name, int64_t t) {
  if (name == "UTC" || name == "Etc/UTC") return 0;
  if (!PlausibleName(name)) return std::nullopt;
  std::shared_ptr<const Zone> zone = FindZone(name);
  if (!zone) return std::nullopt;
  const auto& ts = zone->transitions;
  if (ts.empty()) return zone->hasFooter ? FooterOffset(*zone, t) : zone->offsetBefore;
  if (t < ts.front()) return zone->offsetBefore;
  if (t >= ts.back() && zone->hasFooter) return FooterOffset(*zone, t);
  auto i = static_cast<std::size_t>(std::upper_bound(ts.begin(), ts.end(), t) - ts.begin()) - 1;
  return zone->offsetAfter[i];
}

}  // namespace zandrel::desk::web
