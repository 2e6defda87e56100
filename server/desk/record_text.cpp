#include "server/desk/record_text.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace zandrel::desk {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// The code point at the front of text and its length in bytes; a byte that
// does not start a well-formed sequence is U+FFFD of length one.
std::pair<char32_t, std::size_t> NextCodePoint(std::string_view text) {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char b = byte(0);
  if (b < 0x80) return {b, 1};
  std::size_t n = b >= 0xF0 && b <= 0xF4 ? 4 : b >= 0xE0 ? 3 : b >= 0xC2 && b <= 0xDF ? 2 : 0;
  if (n == 0 || n > text.size()) return {kReplacement, 1};
  char32_t cp = b & (0xFF >> (n + 1));
  for (std::size_t i = 1; i < n; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return {kReplacement, 1};
    cp = cp << 6 | (byte(i) & 0x3F);
  }
  static constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kLeast[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return {kReplacement, 1};
  return {cp, n};
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | cp >> 6);
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | cp >> 12);
    out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | cp >> 18);
    out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

bool IsUnsafe(char32_t cp) {
  return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) ||     // C0, DEL, C1
         (cp >= 0x202A && cp <= 0x202E) ||              // embeddings and overrides
         (cp >= 0x2066 && cp <= 0x2069) || cp == 0x200E || cp == 0x200F || cp == 0x061C;  // isolates, marks
}

bool IsWide(char32_t cp) {
  return (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0x303E) || (cp >= 0x3041 && cp <= 0x33FF) ||
         (cp >= 0x3400 && cp <= 0x4DBF) || (cp >= 0x4E00 && cp <= 0x9FFF) || (cp >= 0xA000 && cp <= 0xA4CF) ||
         (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) || (cp >= 0xFE30 && cp <= 0xFE4F) ||
         (cp >= 0xFF00 && cp <= 0xFF60) || (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x1F300 && cp <= 0x1F64F) ||
         (cp >= 0x20000 && cp <= 0x3FFFD);
}

}  // namespace

std::string Rfc3339Ms(int64_t ms) {
  using namespace std::chrono;
  sys_time<milliseconds> t{milliseconds{ms}};
  sys_days day = floor<days>(t);
  year_month_day ymd{day};
  hh_mm_ss<milliseconds> hms{t - day};
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(ymd.year()),
                static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                static_cast<int>(hms.hours().count()), static_cast<int>(hms.minutes().count()),
                static_cast<int>(hms.seconds().count()), static_cast<int>(hms.subseconds().count()));
  return buf;
}

std::string DottedIpv4(uint32_t a) {
  return std::to_string(a >> 24) + "." + std::to_string(a >> 16 & 255) + "." + std::to_string(a >> 8 & 255) + "." +
         std::to_string(a & 255);
}

nlohmann::ordered_json RecordJson(const store::ReportRecord& r, uint32_t module_count) {
  using nlohmann::ordered_json;
  const report::ReportFacts& f = r.facts;
  auto optional = [](const auto& value) { return value ? ordered_json(*value) : ordered_json(nullptr); };
  ordered_json adapters = ordered_json::array();
  for (const report::Adapter& a : f.adapters) {
    adapters.push_back({{"name", a.name},
                        {"description", a.description},
                        {"mac", a.mac},
                        {"ipv4", a.ipv4},
                        {"mask", a.mask},
                        {"gateway", a.gateway}});
  }
  ordered_json j;
  j["id"] = r.id;
  j["received"] = Rfc3339Ms(r.received);
  j["sender"] = DottedIpv4(r.sender);
  j["size"] = r.size;
  j["md5"] = r.md5;
  j["file"] = r.file;
  j["problem"] = optional(f.problem);
  j["adapters"] = std::move(adapters);
  j["module_count"] = module_count;
  j["cpu_percent"] = optional(f.cpu_percent);
  j["free_bytes"] = optional(f.free_bytes);
  j["udp_ok"] = optional(f.udp_ok);
  j["speed_kbps"] = optional(f.speed_kbps);
  j["service_ok"] = optional(f.service_ok);
  j["channels_ok"] = optional(f.channels_ok);
  // The channel list is read only where the channel check has an outcome.
  j["channel_ids"] = f.channels_ok ? ordered_json(f.channel_ids) : ordered_json(nullptr);
  j["parse_errors"] = f.parse_errors;
  return j;
}

std::string JsonLine(const nlohmann::ordered_json& value) {
  return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::string TerminalSafe(std::string_view text, bool keep_lines) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    auto [cp, n] = NextCodePoint(text);
    if (cp == '\r' && text.size() > 1 && text[1] == '\n') {
      text.remove_prefix(1);
      continue;  // "\r\n" is read as "\n"
    }
    if (cp == '\n' || cp == '\t') {
      out += keep_lines ? static_cast<char>(cp) : ' ';
    } else {
      AppendUtf8(out, IsUnsafe(cp) ? kReplacement : cp);
    }
    text.remove_prefix(n);
  }
  return out;
}

int DisplayWidth(std::string_view text) {
  int width = 0;
  while (!text.empty()) {
    auto [cp, n] = NextCodePoint(text);
    width += IsWide(cp) ? 2 : 1;
    text.remove_prefix(n);
  }
  return width;
}

std::string FitColumns(std::string_view text, int width, bool pad) {
  std::string out;
  int used = 0;
  bool cut = DisplayWidth(text) > width;
  int room = cut ? width - 1 : width;  // one column for the "…"
  while (!text.empty()) {
    auto [cp, n] = NextCodePoint(text);
    int w = IsWide(cp) ? 2 : 1;
    if (used + w > room) break;
    AppendUtf8(out, cp);
    used += w;
    text.remove_prefix(n);
  }
  if (cut && width > 0) {
    out += "\u2026";
    ++used;
  }
  if (pad) out.append(static_cast<std::size_t>(std::max(0, width - used)), ' ');
  return out;
}

}  // namespace zandrel::desk
