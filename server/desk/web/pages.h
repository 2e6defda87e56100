// The desk's pages as HTML text, and the files they use (style sheet,
// scripts, under /static/). Everything shown that comes from a report, a
// query or an account is escaped here: callers pass raw values. Pages carry
// no inline script or style (the Content-Security-Policy forbids them);
// charts are SVG drawn here.
//
// Chinese is the first language; English where the browser asks for it
// first. Times are written as UTC in <time datetime="…"> and turned into
// the reader's zone by a script file (or shown as UTC without it), unless
// PageContext::timeZone names a zone to show them in.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/desk/web/query_string.h"
#include "server/store/report_index.h"
#include "server/store/report_record.h"

namespace zandrel::desk::web {

enum class Lang { kZh, kEn };
// Chinese unless the Accept-Language field (null when absent) ranks English
// above Chinese.
Lang PickLang(const std::string* acceptLanguage);

struct PageContext {
  Lang lang = Lang::kZh;
  std::string user;      // who is signed in; empty on the login page
  std::string csrf;      // the token every form that changes state carries (field "csrf")
  std::string timeZone;  // an IANA zone to show times in; empty: the reader's own
};

// The form posting to /login (fields "user", "password", "csrf"); failed
// adds the "wrong name or password" line; tooMany the "too many tries,
// wait" line instead.
std::string LoginPage(const PageContext& context, std::string_view user, bool failed, bool tooMany);

// "/": the filter form (q, ip, mac, module, from, to, failed, slower_than)
// filled from filters as given, the count of matches, the rows of the page
// and a link to the next page (the filters plus cursor=next_cursor). error:
// why the filters were refused (the page then shows the form and the error,
// no rows).
std::string ListPage(const PageContext& context, const Params& filters, const store::SearchPage& page,
                     std::string_view error);

// "/reports/ID": the record read whole (modules included): problem text,
// the checks with failures marked in colour and words, adapters, modules
// grouped by directory with a filter box, links to other reports of the same
// sender and of each MAC, and to /reports/ID/raw.
std::string ReportPage(const PageContext& context, const store::ReportRecord& record);

struct DashboardData {
  store::TimeBucket bucket = store::TimeBucket::kDay;
  std::vector<store::TimeCount> counts;
  std::vector<store::DayFailures> failures;
  std::vector<store::SpeedBin> speeds;
  std::vector<store::ModuleLift> modules;
  uint64_t total = 0;
  int64_t asOfMs = 0;  // when the figures were made, ms since 1970 UTC; 0: not said
};
// "/dashboard": the filter form and four SVG charts of the filtered set.
std::string DashboardPage(const PageContext& context, const Params& filters, const DashboardData& data,
                          std::string_view error);

struct AuditEntry {
  int64_t at_ms = 0;   // ms since 1970 UTC
  std::string user;    // empty when nobody was signed in (a failed login names the name tried in detail)
  std::string from;    // the client's address
  std::string action;  // "login", "login_failed", "logout", "report", "raw", "export", "api"
  std::string detail;  // the report id, the export's query, the name tried...
};
// "/audit": newest first; a link to the next page when nextCursor is set.
std::string AuditPage(const PageContext& context, const std::vector<AuditEntry>& entries,
                      std::string_view nextCursor);

// 403, 404, 429, 500 and the like, in the page's frame.
std::string ErrorPage(const PageContext& context, int status, std::string_view message);

struct StaticFile {
  const char* type;  // Content-Type
  std::string_view body;
};
// A file under /static/ by its name ("desk.css", "desk.js"); null when none.
const StaticFile* FindStatic(std::string_view name);

}  // namespace zandrel::desk::web
