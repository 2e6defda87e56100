#include "server/desk/web/html.h"

#include <chrono>
#include <cstdio>

#include "server/desk/record_text.h"
#include "server/desk/web/time_zone.h"

namespace zandrel::desk::web {
namespace {

void AppendEscaped(std::string& out, std::string_view text) {
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
}

std::string Escaped(std::string_view safe) {
  std::string out;
  out.reserve(safe.size() + safe.size() / 8);
  AppendEscaped(out, safe);
  return out;
}

}  // namespace

std::string Html(std::string_view text, bool keepLines) { return Escaped(TerminalSafe(text, keepLines)); }

std::string HtmlCut(std::string_view text, int columns) {
  // Only the front can be shown: a long value is not made safe whole.
  constexpr std::size_t kBytesPerColumn = 4;
  std::string_view front = text.substr(0, static_cast<std::size_t>(columns + 1) * kBytesPerColumn);
  std::string safe = TerminalSafe(front, false);
  std::string cut = FitColumns(safe, columns, false);
  if (front.size() < text.size() && cut.size() == safe.size()) cut += "\u2026";
  return Escaped(cut);
}

std::string Link(std::string_view path, const Params& params) {
  std::string query = QueryStringOf(params);
  std::string out(path);
  if (!query.empty()) out += "?" + query;
  return Escaped(out);
}

ShownTime ShowTime(int64_t ms, std::string_view zoneName) {
  using namespace std::chrono;
  int64_t seconds = ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
  int offset = 0;
  std::string zone = "UTC";
  if (!zoneName.empty()) {
    if (auto found = ZoneOffset(zoneName, seconds)) {
      offset = *found;
      int minutes = (offset < 0 ? -offset : offset) / 60;
      char mark[16];
      std::snprintf(mark, sizeof mark, "%c%02d:%02d", offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
      zone = mark;
    }
  }
  sys_seconds t{std::chrono::seconds{seconds + offset}};
  sys_days day = floor<days>(t);
  year_month_day ymd{day};
  hh_mm_ss<std::chrono::seconds> hms{t - day};
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02u-%02u %02d:%02d:%02d", static_cast<int>(ymd.year()),
                static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                static_cast<int>(hms.hours().count()), static_cast<int>(hms.minutes().count()),
                static_cast<int>(hms.seconds().count()));
  return {text, zone};
}

std::string TimeElement(int64_t ms, std::string_view zoneName) {
  ShownTime shown = ShowTime(ms, zoneName);
  return "<time datetime=\"" + Rfc3339Ms(ms) + "\">" + shown.text + " " + shown.zone + "</time>";
}

std::string HumanBytes(uint64_t bytes) {
  static const char* const kUnits[] = {"B", "KB", "MB", "GB", "TB", "PB"};
  double value = static_cast<double>(bytes);
  int unit = 0;
  while (value >= 1024 && unit < 5) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  if (unit == 0)
    std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(bytes));
  else
    std::snprintf(text, sizeof text, value < 10 ? "%.1f %s" : "%.0f %s", value, kUnits[unit]);
  return text;
}

std::string Grouped(uint64_t n) {
  std::string digits = std::to_string(n), out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

}  // namespace zandrel::desk::web
