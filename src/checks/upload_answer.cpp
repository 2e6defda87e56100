#include "checks/upload_answer.h"

#include <cstdio>
#include <cstring>

#include "base/format.h"
#include "base/texts.h"

namespace zandrel {
namespace {

bool IsIdDigit(char c) {
  if (c >= '0' && c <= '9') return true;
  return c >= 'A' && c <= 'Z' && c != 'I' && c != 'L' && c != 'O' && c != 'U';
}

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

// "Sun, 06 Nov 1994 08:49:37 GMT" as seconds since 1970.
bool ParseHttpDate(const std::string& text, int64_t& unix) {
  static const char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  char weekday[4] = {}, month[4] = {}, zone[4] = {};
  int day = 0, year = 0, hour = 0, minute = 0, second = 0, used = 0;
  if (std::sscanf(text.c_str(), "%3[A-Za-z], %2d %3[A-Za-z] %4d %2d:%2d:%2d %3[A-Z]%n", weekday, &day, month, &year,
                  &hour, &minute, &second, zone, &used) != 8 ||
      static_cast<size_t>(used) != text.size() || std::strcmp(zone, "GMT") != 0) {
    return false;
  }
  const char* found = std::strlen(month) == 3 ? std::strstr(kMonths, month) : nullptr;
  if (!found || (found - kMonths) % 3 != 0) return false;
  if (day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) return false;
  int64_t days = DaysFromCivil(year, (found - kMonths) / 3 + 1, day);
  unix = days * 86400 + hour * 3600 + minute * 60 + second;
  return true;
}

}  // namespace

bool IsReportIdText(const std::string& text) {
  if (text.size() != 9 || text[4] != '-') return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (i != 4 && !IsIdDigit(text[i])) return false;
  }
  return true;
}

int64_t RetryAfterSeconds(const std::string& retryAfter, const std::string& date, int64_t nowUnix) {
  if (retryAfter.empty()) return -1;
  if (retryAfter.find_first_not_of("0123456789") == std::string::npos) {
    // A wait of more than a year is as good as "later"; keep the number small.
    return retryAfter.size() > 8 ? 99999999 : std::stoll(retryAfter);
  }
  int64_t at = 0, now = nowUnix;
  if (!ParseHttpDate(retryAfter, at)) return -1;
  int64_t serverNow = 0;
  if (ParseHttpDate(date, serverNow)) now = serverNow;
  return at > now ? at - now : 0;
}

std::string UploadFailedLine(int32_t status, int64_t retrySeconds) {
  if (status <= 0) return texts::kTextUploadNoAnswer;
  if (retrySeconds <= 0) return StringPrintf(texts::kFormatUploadRefused, status);
  // Whole minutes, rounded up, from two minutes on.
  std::string wait = retrySeconds < 120 ? StringPrintf(texts::kFormatSeconds, static_cast<int>(retrySeconds))
                                        : StringPrintf(texts::kFormatMinutes, static_cast<int>((retrySeconds + 59) / 60));
  return StringPrintf(texts::kFormatUploadRefusedRetry, status, wait.c_str());
}

}  // namespace zandrel
