#include "server/store/report_file.h"

#include <cstdio>
#include <ctime>

#include "platform/files.h"
#include "server/report/report_facts.h"
#include "server/store/report_id.h"
#include "server/store/report_record.h"

namespace zandrel::store {
namespace {

bool Digits(std::string_view s, std::size_t n, uint64_t& out) {
  if (s.size() != n) return false;
  out = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    out = out * 10 + static_cast<uint64_t>(c - '0');
  }
  return true;
}

}  // namespace

int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

std::string ReportFileNameText(const ReportFileName& f) {
  std::time_t secs = static_cast<std::time_t>(f.received / 1000);
  std::tm tm = *std::gmtime(&secs);  // names are made on one thread only
  char buf[160];
  std::snprintf(buf, sizeof buf, "report-%04d%02d%02d-%02d%02d%02d-%03d-%06llu-%s-%u.%u.%u.%u-%s.txt",
                tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                static_cast<int>(f.received % 1000), static_cast<unsigned long long>(f.sequence),
                ReportIdText(f.id).c_str(), f.sender >> 24, (f.sender >> 16) & 255, (f.sender >> 8) & 255,
                f.sender & 255, f.md5.c_str());
  return buf;
}

std::optional<ReportFileName> ParseReportFileName(std::string_view name) {
  // report-YYYYMMDD-HHMMSS-mmm-SEQ-XXXX-XXXX-A.B.C.D-MD5.txt
  constexpr std::string_view kPrefix = "report-", kSuffix = ".txt";
  if (name.size() < kPrefix.size() + kSuffix.size() || name.substr(0, kPrefix.size()) != kPrefix ||
      name.substr(name.size() - kSuffix.size()) != kSuffix) {
    return std::nullopt;
  }
  std::string_view rest = name.substr(kPrefix.size(), name.size() - kPrefix.size() - kSuffix.size());
  std::string_view parts[8];
  for (int i = 0; i < 7; ++i) {
    std::size_t dash = rest.find('-');
    if (dash == std::string_view::npos) return std::nullopt;
    parts[i] = rest.substr(0, dash);
    rest = rest.substr(dash + 1);
  }
  parts[7] = rest;
  uint64_t date = 0, time = 0, ms = 0, seq = 0;
  if (!Digits(parts[0], 8, date) || !Digits(parts[1], 6, time) || !Digits(parts[2], 3, ms)) return std::nullopt;
  if (parts[3].empty() || parts[3].size() > 19 || !Digits(parts[3], parts[3].size(), seq)) return std::nullopt;
  unsigned y = static_cast<unsigned>(date / 10000), mo = static_cast<unsigned>(date / 100 % 100),
           d = static_cast<unsigned>(date % 100);
  unsigned h = static_cast<unsigned>(time / 10000), mi = static_cast<unsigned>(time / 100 % 100),
           s = static_cast<unsigned>(time % 100);
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60) return std::nullopt;
  ReportFileName f;
  f.received = (DaysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s) * 1000 + static_cast<int64_t>(ms);
  f.sequence = seq;
  std::string idText = std::string(parts[4]) + "-" + std::string(parts[5]);
  auto id = ParseReportId(idText);
  if (!id || ReportIdText(*id) != idText) return std::nullopt;
  f.id = *id;
  unsigned a = 0, b = 0, c = 0, e = 0;
  char tail = 0;
  std::string addr(parts[6]);
  if (std::sscanf(addr.c_str(), "%3u.%3u.%3u.%3u%c", &a, &b, &c, &e, &tail) != 4 || a > 255 || b > 255 || c > 255 ||
      e > 255) {
    return std::nullopt;
  }
  f.sender = a << 24 | b << 16 | c << 8 | e;
  if (parts[7].size() != 32) return std::nullopt;
  for (char ch : parts[7]) {
    if (!((ch >= '0' && ch <= '9') || (ch >= 'A' && ch <= 'F'))) return std::nullopt;
  }
  f.md5 = std::string(parts[7]);
  return f;
}

}  // namespace zandrel::store

namespace zandrel::store {

bool RecordFromFile(const std::string& dir, const std::string& name, ReportRecord& out) {
  auto f = ParseReportFileName(name);
  if (!f) return false;
  std::string body;
  if (!platform::ReadWholeFile(dir + "/" + name, body)) return false;
  out.id = ReportIdText(f->id);
  out.received = f->received;
  out.sender = f->sender;
  out.size = body.size();
  out.md5 = f->md5;
  out.file = name;
  out.facts = report::ReadReport(body);
  return true;
}

}  // namespace zandrel::store
