#include "server/desk/web/pages.h"

#include <algorithm>
#include <cctype>
#include <map>

#include "server/desk/record_text.h"
#include "server/desk/web/charts.h"
#include "server/desk/web/html.h"
#include "server/desk/web/time_zone.h"

namespace zandrel::desk::web {
namespace {

constexpr int kProblemColumns = 90;  // of the problem text in a list row

// The filters the index reads, in the order the form shows them.
const char* const kFilterNames[] = {"q", "ip", "mac", "module", "from", "to", "failed", "slower_than", "limit"};
const char* const kCheckNames[] = {"udp", "speed", "service", "channels"};

const char* CheckLabel(Lang lang, int check) {
  static const char* const kZh[] = {"UDP", "速度", "服务", "频道"};
  static const char* const kEn[] = {"UDP", "Speed", "Service", "Channels"};
  return lang == Lang::kEn ? kEn[check] : kZh[check];
}

// The checks named by every "failed" value (each a comma list).
std::vector<std::string> FailedChecks(const Params& filters) {
  std::vector<std::string> out;
  for (const auto& [name, value] : filters) {
    if (name != "failed") continue;
    std::size_t start = 0;
    while (start <= value.size()) {
      std::size_t comma = value.find(',', start);
      std::string piece = value.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
      if (!piece.empty() && std::find(out.begin(), out.end(), piece) == out.end()) out.push_back(piece);
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
  }
  return out;
}

// The filters as the server reads them again: the known ones, once each,
// failed joined with commas; cursor left out.
Params CleanFilters(const Params& filters) {
  Params out;
  for (const char* name : kFilterNames) {
    if (std::string_view(name) == "failed") {
      std::vector<std::string> checks = FailedChecks(filters);
      std::string joined;
      for (const auto& c : checks) joined += (joined.empty() ? "" : ",") + c;
      if (!joined.empty()) out.emplace_back(name, joined);
    } else if (const std::string* value = FindParam(filters, name); value && !value->empty()) {
      out.emplace_back(name, *value);
    }
  }
  return out;
}

std::string Value(const Params& filters, const char* name) {
  const std::string* value = FindParam(filters, name);
  return value ? Html(*value) : std::string();
}

std::string Head(const PageContext& context, std::string_view title) {
  Lang lang = context.lang;
  std::string out = "<!DOCTYPE html>\n<html lang=\"";
  out += lang == Lang::kEn ? "en" : "zh-CN";
  out += "\"";
  // A zone the server shows times in; an unknown one leaves them to the reader's browser.
  if (!context.timeZone.empty() && ZoneOffset(context.timeZone, 0))
    out += " data-zone=\"" + Html(context.timeZone) + "\"";
  out += ">\n<head>\n<meta charset=\"utf-8\">\n<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
         "<meta name=\"referrer\" content=\"no-referrer\">\n<title>" +
         Html(title) + " \u00b7 Zandrel</title>\n<link rel=\"stylesheet\" href=\"/static/desk.css\">\n"
         "<link rel=\"icon\" href=\"/static/favicon.svg\" type=\"image/svg+xml\">\n"
         "<script src=\"/static/desk.js\" defer></script>\n</head>\n<body>\n<header class=\"top\">\n"
         "<a class=\"brand\" href=\"/\">Zandrel</a>\n";
  if (!context.user.empty()) {
    out += "<nav>\n<a href=\"/\">" + std::string(Tr(lang, "列表", "List")) + "</a>\n<a href=\"/dashboard\">" +
           Tr(lang, "仪表盘", "Dashboard") + "</a>\n<a href=\"/audit\">" + Tr(lang, "审计", "Audit") + "</a>\n</nav>\n";
    out += "<span class=\"user\">" + std::string(Tr(lang, "用户：", "Signed in: ")) + "<b>" + HtmlCut(context.user, 40) +
           "</b></span>\n<form class=\"logout\" method=\"post\" action=\"/logout\">\n"
           "<input type=\"hidden\" name=\"csrf\" value=\"" +
           Html(context.csrf) + "\">\n<button type=\"submit\">" + Tr(lang, "退出", "Log out") + "</button>\n</form>\n";
  }
  out += "</header>\n<main>\n";
  return out;
}

std::string Foot() { return "</main>\n</body>\n</html>\n"; }

std::string Field(const char* name, const char* label, const std::string& value, const char* type,
                  const char* placeholder) {
  return "<label class=\"field\"><span>" + Html(label) + "</span><input type=\"" + type + "\" name=\"" + name +
         "\" value=\"" + value + "\" placeholder=\"" + Html(placeholder) + "\" maxlength=\"256\"></label>\n";
}

std::string FilterForm(const PageContext& context, const Params& filters, const char* action) {
  Lang lang = context.lang;
  std::string out = "<form class=\"filters\" method=\"get\" action=\"" + std::string(action) + "\">\n";
  out += Field("q", Tr(lang, "问题描述", "Problem text"), Value(filters, "q"), "search",
               Tr(lang, "例如：卡顿", "e.g. stutter"));
  out += Field("ip", Tr(lang, "IP 地址", "IP address"), Value(filters, "ip"), "text", "10.0.0.7 / 10.0.0.0/24");
  out += Field("mac", "MAC", Value(filters, "mac"), "text", "02-5a-64-72-65-6c");
  out += Field("module", Tr(lang, "模块", "Module"), Value(filters, "module"), "text", "d3d9.dll");
  out += Field("from", Tr(lang, "起始", "From"), Value(filters, "from"), "text", "2024-05-01");
  out += Field("to", Tr(lang, "截止", "To"), Value(filters, "to"), "text", "2024-05-31");
  out += Field("slower_than", Tr(lang, "速度低于 (K/s)", "Slower than (K/s)"), Value(filters, "slower_than"),
               "number", "100");
  std::vector<std::string> failed = FailedChecks(filters);
  out += "<fieldset class=\"failed\"><legend>" + std::string(Tr(lang, "失败的检查", "Failed checks")) + "</legend>\n";
  for (int i = 0; i < 4; ++i) {
    bool on = std::find(failed.begin(), failed.end(), kCheckNames[i]) != failed.end();
    out += "<label><input type=\"checkbox\" name=\"failed\" value=\"" + std::string(kCheckNames[i]) + "\"" +
           (on ? " checked" : "") + "> " + CheckLabel(lang, i) + "</label>\n";
  }
  out += "</fieldset>\n";
  if (const std::string* limit = FindParam(filters, "limit"); limit && !limit->empty())
    out += "<input type=\"hidden\" name=\"limit\" value=\"" + Html(*limit) + "\">\n";
  out += "<div class=\"buttons\"><button type=\"submit\">" + std::string(Tr(lang, "查找", "Search")) +
         "</button> <a href=\"" + action + "\">" + Tr(lang, "清除", "Clear") + "</a></div>\n</form>\n";
  return out;
}

std::string ErrorNote(Lang lang, std::string_view error) {
  return "<p class=\"error\" role=\"alert\">" + std::string(Tr(lang, "无法查询：", "Cannot search: ")) +
         Html(error) + "</p>\n";
}

// Marks of the failed checks of a record ("UDP ✗"), in words and colour.
std::string FailureMarks(Lang lang, const report::ReportFacts& f) {
  bool failed[4] = {f.udp_ok && !*f.udp_ok, f.speed_kbps && *f.speed_kbps == 0, f.service_ok && !*f.service_ok,
                    f.channels_ok && !*f.channels_ok};
  std::string out;
  for (int i = 0; i < 4; ++i)
    if (failed[i])
      out += "<span class=\"mark bad\">" + std::string(CheckLabel(lang, i)) + " \u2717</span> ";
  if (out.empty()) {
    bool allKnown = f.udp_ok && f.speed_kbps && f.service_ok && f.channels_ok;
    out = allKnown ? "<span class=\"mark ok\">" + std::string(Tr(lang, "全部通过 \u2713", "all passed \u2713")) + "</span>"
                   : "<span class=\"mark unknown\">\u2014</span>";
  }
  return out;
}

std::string Speed(Lang lang, const std::optional<int64_t>& kbps) {
  if (!kbps) return "<span class=\"unknown\">" + std::string(Tr(lang, "未知", "unknown")) + "</span>";
  std::string text = Grouped(static_cast<uint64_t>(std::max<int64_t>(*kbps, 0))) + " K/s";
  return *kbps == 0 ? "<span class=\"bad\">" + text + "</span>" : text;
}

std::string ReportHref(const std::string& id) { return "/reports/" + Html(PercentEncode(id)); }

// A link to the list of reports with one filter set.
std::string FilterLink(const char* name, std::string_view value, const std::string& text) {
  return "<a href=\"" + Link("/", {{name, std::string(value)}}) + "\">" + text + "</a>";
}

std::string Outcome(Lang lang, const std::optional<bool>& ok) {
  if (!ok) return "<td class=\"unknown\">" + std::string(Tr(lang, "未知", "unknown")) + "</td>";
  if (*ok) return "<td class=\"ok\">" + std::string(Tr(lang, "\u2713 通过", "\u2713 passed")) + "</td>";
  return "<td class=\"bad\">" + std::string(Tr(lang, "\u2717 失败", "\u2717 failed")) + "</td>";
}

std::string ChecksTable(Lang lang, const report::ReportFacts& f) {
  std::string out = "<table class=\"checks\">\n<tbody>\n";
  auto row = [&](const char* label, const std::string& cell) {
    out += "<tr><th scope=\"row\">" + std::string(label) + "</th>" + cell + "</tr>\n";
  };
  row(Tr(lang, "UDP 连通", "UDP"), Outcome(lang, f.udp_ok));
  if (!f.speed_kbps)
    row(Tr(lang, "下载速度", "Download speed"), Outcome(lang, std::nullopt));
  else if (*f.speed_kbps == 0)
    row(Tr(lang, "下载速度", "Download speed"),
        "<td class=\"bad\">\u2717 0 K/s " + std::string(Tr(lang, "（失败）", "(failed)")) + "</td>");
  else
    row(Tr(lang, "下载速度", "Download speed"), "<td class=\"ok\">\u2713 " + Speed(lang, f.speed_kbps) + "</td>");
  row(Tr(lang, "服务", "Service"), Outcome(lang, f.service_ok));
  row(Tr(lang, "频道列表", "Channel list"), Outcome(lang, f.channels_ok));
  row(Tr(lang, "CPU 占用", "CPU use"),
      f.cpu_percent ? "<td>" + std::to_string(*f.cpu_percent) + " %</td>"
                    : "<td class=\"unknown\">" + std::string(Tr(lang, "未知", "unknown")) + "</td>");
  row(Tr(lang, "C 盘可用空间", "Free on drive C:"),
      f.free_bytes ? "<td>" + HumanBytes(*f.free_bytes) + "</td>"
                   : "<td class=\"unknown\">" + std::string(Tr(lang, "未知", "unknown")) + "</td>");
  return out + "</tbody>\n</table>\n";
}

std::string AdaptersTable(Lang lang, const std::vector<report::Adapter>& adapters) {
  if (adapters.empty()) return "<p class=\"unknown\">" + std::string(Tr(lang, "无网卡信息", "No adapters")) + "</p>\n";
  std::string out = "<div class=\"scroll\"><table class=\"adapters\">\n<thead><tr><th>" +
                    std::string(Tr(lang, "名称", "Name")) + "</th><th>" + Tr(lang, "描述", "Description") +
                    "</th><th>MAC</th><th>IPv4</th><th>" + Tr(lang, "子网掩码", "Mask") + "</th><th>" +
                    Tr(lang, "网关", "Gateway") + "</th></tr></thead>\n<tbody>\n";
  for (const auto& a : adapters) {
    out += "<tr><td class=\"text\">" + Html(a.name) + "</td><td class=\"text\">" + Html(a.description) + "</td><td>";
    if (!a.mac.empty()) {
      out += "<span class=\"mono\">" + Html(a.mac) + "</span>";
      out += " <a class=\"more\" href=\"" + Link("/", {{"mac", a.mac}}) + "\">" +
             Tr(lang, "此 MAC 的其他报告", "other reports of this MAC") + "</a>";
    }
    out += "</td><td>";
    if (!a.ipv4.empty()) out += FilterLink("ip", a.ipv4, Html(a.ipv4));
    out += "</td><td>" + Html(a.mask) + "</td><td>" + Html(a.gateway) + "</td></tr>\n";
  }
  return out + "</tbody>\n</table></div>\n";
}

std::string ModulesSection(Lang lang, const std::vector<std::string>& modules) {
  std::string out = "<section class=\"modules\">\n<h2>" + std::string(Tr(lang, "模块", "Modules")) +
                    " <span class=\"count\">(" + Grouped(modules.size()) + ")</span></h2>\n";
  if (modules.empty())
    return out + "<p class=\"unknown\">" + Tr(lang, "无模块清单", "No module inventory") + "</p>\n</section>\n";
  out += "<label class=\"module-filter\"><span>" + std::string(Tr(lang, "筛选模块", "Filter modules")) +
         "</span> <input type=\"search\" id=\"module-filter\" placeholder=\"" +
         Tr(lang, "文件名或路径的一部分", "part of a name or path") + "\" autocomplete=\"off\"></label>\n";
  std::map<std::string, std::vector<std::string>> byDirectory;
  for (const std::string& path : modules) {
    std::size_t cut = path.rfind('\\');
    if (cut == std::string::npos)
      byDirectory[""].push_back(path);
    else
      byDirectory[path.substr(0, cut)].push_back(path.substr(cut + 1));
  }
  bool open = byDirectory.size() <= 3;
  for (auto& [directory, files] : byDirectory) {
    std::sort(files.begin(), files.end());
    out += "<details class=\"directory\"" + std::string(open ? " open" : "") + "><summary><span class=\"path\">" +
           (directory.empty() ? std::string(Tr(lang, "（无目录）", "(no directory)")) : Html(directory)) +
           "</span> <span class=\"count\">(" + Grouped(files.size()) + ")</span></summary>\n<ul>\n";
    for (const std::string& file : files)
      out += "<li>" + FilterLink("module", file, Html(file)) + "</li>\n";
    out += "</ul>\n</details>\n";
  }
  return out + "</section>\n";
}

std::string ActionWords(Lang lang, const std::string& action) {
  static const std::pair<const char*, std::pair<const char*, const char*>> kActions[] = {
      {"login", {"登录", "logged in"}},
      {"login_failed", {"登录失败", "failed login"}},
      {"logout", {"退出", "logged out"}},
      {"report", {"查看报告", "opened a report"}},
      {"raw", {"下载原始报告", "downloaded a raw report"}},
      {"export", {"导出", "exported"}},
      {"api", {"API 调用", "API call"}},
  };
  for (const auto& [name, words] : kActions)
    if (action == name) return Tr(lang, words.first, words.second);
  return Html(action);
}

const char* StatusText(Lang lang, int status) {
  switch (status) {
    case 400: return Tr(lang, "请求有误", "Bad request");
    case 401: return Tr(lang, "需要登录", "Sign-in required");
    case 403: return Tr(lang, "禁止访问", "Forbidden");
    case 404: return Tr(lang, "找不到", "Not found");
    case 405: return Tr(lang, "不允许的方法", "Method not allowed");
    case 413: return Tr(lang, "请求过大", "Request too large");
    case 429: return Tr(lang, "尝试次数过多", "Too many requests");
    case 500: return Tr(lang, "服务器内部错误", "Internal server error");
    case 503: return Tr(lang, "服务暂不可用", "Service unavailable");
    default: return status >= 500 ? Tr(lang, "服务器错误", "Server error") : Tr(lang, "请求失败", "Request failed");
  }
}

}  // namespace

Lang PickLang(const std::string* acceptLanguage) {
  if (!acceptLanguage) return Lang::kZh;
  double zh = -1, en = -1;  // the highest weight of each, -1: not named
  std::size_t zhAt = 0, enAt = 0, at = 0;
  std::string_view rest = *acceptLanguage;
  while (!rest.empty()) {
    std::size_t comma = rest.find(',');
    std::string_view item = rest.substr(0, comma);
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    ++at;
    std::size_t semi = item.find(';');
    std::string_view tag = item.substr(0, semi);
    while (!tag.empty() && (tag.front() == ' ' || tag.front() == '\t')) tag.remove_prefix(1);
    while (!tag.empty() && (tag.back() == ' ' || tag.back() == '\t')) tag.remove_suffix(1);
    std::string primary;
    for (char c : tag.substr(0, tag.find('-'))) primary += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    double weight = 1;
    if (semi != std::string_view::npos) {
      std::string_view params = item.substr(semi + 1);
      std::size_t q = params.find("q=");
      if (q == std::string_view::npos) q = params.find("Q=");
      if (q != std::string_view::npos) {
        std::string number(params.substr(q + 2, 5));
        char* end = nullptr;
        weight = std::strtod(number.c_str(), &end);
        if (end == number.c_str() || !(weight >= 0) || weight > 1) weight = 0;
      }
    }
    if (weight <= 0) continue;
    if (primary == "zh" && weight > zh) zh = weight, zhAt = at;
    if (primary == "en" && weight > en) en = weight, enAt = at;
  }
  if (en > zh || (en == zh && en > 0 && enAt < zhAt)) return Lang::kEn;
  return Lang::kZh;
}

std::string LoginPage(const PageContext& context, std::string_view user, bool failed, bool tooMany) {
  Lang lang = context.lang;
  std::string out = Head(context, Tr(lang, "登录", "Sign in"));
  out += "<section class=\"login\">\n<h1>" + std::string(Tr(lang, "登录", "Sign in")) + "</h1>\n";
  if (tooMany)
    out += "<p class=\"error\" role=\"alert\">" +
           std::string(Tr(lang, "尝试次数过多，请 15 分钟后再试。", "Too many tries; wait 15 minutes and try again.")) +
           "</p>\n";
  else if (failed)
    out += "<p class=\"error\" role=\"alert\">" + std::string(Tr(lang, "用户名或密码错误。", "Wrong name or password.")) +
           "</p>\n";
  out += "<form method=\"post\" action=\"/login\">\n<input type=\"hidden\" name=\"csrf\" value=\"" + Html(context.csrf) +
         "\">\n<label class=\"field\"><span>" + Tr(lang, "用户名", "Name") +
         "</span><input type=\"text\" name=\"user\" value=\"" + Html(user) +
         "\" autocomplete=\"username\" required autofocus maxlength=\"256\"></label>\n<label class=\"field\"><span>" +
         Tr(lang, "密码", "Password") +
         "</span><input type=\"password\" name=\"password\" autocomplete=\"current-password\" required></label>\n"
         "<div class=\"buttons\"><button type=\"submit\">" +
         Tr(lang, "登录", "Sign in") + "</button></div>\n</form>\n</section>\n";
  return out + Foot();
}

std::string ListPage(const PageContext& context, const Params& filters, const store::SearchPage& page,
                     std::string_view error) {
  Lang lang = context.lang;
  Params clean = CleanFilters(filters);
  std::string out = Head(context, Tr(lang, "报告列表", "Reports"));
  out += "<h1>" + std::string(Tr(lang, "报告", "Reports")) + "</h1>\n";
  out += FilterForm(context, filters, "/");
  if (!error.empty()) return out + ErrorNote(lang, error) + Foot();
  out += "<p class=\"summary\">";
  if (page.total && page.total_capped)
    out += std::string(Tr(lang, "超过 ", "")) + "<b class=\"total\">" + Grouped(*page.total) +
           Tr(lang, "", "+") + "</b>" + Tr(lang, " 份报告", " reports");
  else if (page.total)
    out += std::string(Tr(lang, "共 ", "")) + "<b class=\"total\">" + Grouped(*page.total) + "</b>" +
           Tr(lang, " 份报告", *page.total == 1 ? " report" : " reports");
  out += " <a class=\"dashboard-link\" href=\"" + Link("/dashboard", clean) + "\">" +
         Tr(lang, "查看这些报告的仪表盘", "Dashboard of these reports") + "</a></p>\n";
  if (page.hits.empty()) {
    out += "<p class=\"nodata\">" + std::string(Tr(lang, "没有符合条件的报告。", "No reports match.")) + "</p>\n";
  } else {
    out += "<div class=\"scroll\"><table class=\"reports\">\n<thead><tr><th>" + std::string(Tr(lang, "接收时间", "Received")) +
           "</th><th>" + Tr(lang, "发送方", "Sender") + "</th><th>" + Tr(lang, "问题描述", "Problem") + "</th><th>" +
           Tr(lang, "检查", "Checks") + "</th><th>" + Tr(lang, "速度", "Speed") + "</th></tr></thead>\n<tbody>\n";
    for (const store::SearchHit& hit : page.hits) {
      const store::ReportRecord& r = hit.record;
      std::string href = ReportHref(r.id);
      std::string sender = DottedIpv4(r.sender);
      out += "<tr><td class=\"when\"><a href=\"" + href + "\">" + TimeElement(r.received, context.timeZone) +
             "</a></td><td class=\"sender\">" + FilterLink("ip", sender, sender) + "</td><td class=\"problem\"><a href=\"" +
             href + "\">";
      if (r.facts.problem && !r.facts.problem->empty())
        out += HtmlCut(*r.facts.problem, kProblemColumns);
      else
        out += "<span class=\"unknown\">" + std::string(Tr(lang, "（无描述）", "(no text)")) + "</span>";
      out += "</a></td><td class=\"marks\">" + FailureMarks(lang, r.facts) + "</td><td class=\"speed\">" +
             Speed(lang, r.facts.speed_kbps) + "</td></tr>\n";
    }
    out += "</tbody>\n</table></div>\n";
  }
  if (!page.next_cursor.empty()) {
    Params next = clean;
    next.emplace_back("cursor", page.next_cursor);
    out += "<p class=\"pages\"><a class=\"next\" rel=\"next\" href=\"" + Link("/", next) + "\">" +
           Tr(lang, "下一页 \u2192", "Next page \u2192") + "</a></p>\n";
  }
  return out + Foot();
}

std::string ReportPage(const PageContext& context, const store::ReportRecord& record) {
  Lang lang = context.lang;
  const report::ReportFacts& f = record.facts;
  std::string out = Head(context, std::string(Tr(lang, "报告 ", "Report ")) + record.id);
  out += "<h1>" + std::string(Tr(lang, "报告 ", "Report ")) + "<span class=\"id\">" + Html(record.id) + "</span></h1>\n";
  out += "<section class=\"problem-text\">\n<h2>" + std::string(Tr(lang, "问题描述", "Problem")) + "</h2>\n";
  if (f.problem && !f.problem->empty())
    out += "<div class=\"problem-body\">" + Html(*f.problem, true) + "</div>\n";
  else
    out += "<p class=\"unknown\">" + std::string(Tr(lang, "（用户没有填写描述）", "(the user wrote nothing)")) + "</p>\n";
  out += "</section>\n";

  std::string sender = DottedIpv4(record.sender);
  std::string base = ReportHref(record.id);
  out += "<section class=\"facts\">\n<dl class=\"meta\">\n<dt>" + std::string(Tr(lang, "接收时间", "Received")) +
         "</dt><dd>" + TimeElement(record.received, context.timeZone) + "</dd>\n<dt>" + Tr(lang, "发送方", "Sender") +
         "</dt><dd>" + Html(sender) + " <a href=\"" + Link("/", {{"ip", sender}}) + "\">" +
         Tr(lang, "此发送方的其他报告", "other reports from this sender") + "</a></dd>\n<dt>" +
         Tr(lang, "大小", "Size") + "</dt><dd>" + HumanBytes(record.size) + "</dd>\n<dt>MD5</dt><dd class=\"mono\">" +
         Html(record.md5) + "</dd>\n</dl>\n<p><a class=\"raw\" href=\"" + base + "/raw\" download>" +
         Tr(lang, "下载原始报告", "Download raw report") + "</a></p>\n</section>\n";

  out += "<section class=\"summary-checks\">\n<h2>" + std::string(Tr(lang, "检查结果", "Checks")) + "</h2>\n" +
         ChecksTable(lang, f) + "</section>\n";
  if (f.parse_errors > 0)
    out += "<p class=\"warning\">" + std::string(Tr(lang, "读取报告时跳过了 ", "Parts skipped while reading: ")) +
           Grouped(f.parse_errors) + Tr(lang, " 处无法识别的内容。", ".") + "</p>\n";

  out += "<section class=\"adapters\">\n<h2>" + std::string(Tr(lang, "网卡", "Adapters")) + "</h2>\n" +
         AdaptersTable(lang, f.adapters) + "</section>\n";

  out += "<section class=\"channels\">\n<h2>" + std::string(Tr(lang, "频道", "Channels")) + "</h2>\n";
  if (!f.channels_ok)
    out += "<p class=\"unknown\">" + std::string(Tr(lang, "未检查频道列表", "The channel list was not checked")) + "</p>\n";
  else if (f.channel_ids.empty())
    out += "<p>" + std::string(Tr(lang, "频道列表为空", "The channel list is empty")) + "</p>\n";
  else {
    out += "<ul class=\"channel-ids\">\n";
    for (const std::string& id : f.channel_ids) out += "<li>" + Html(id) + "</li>\n";
    out += "</ul>\n";
  }
  out += "</section>\n";
  out += ModulesSection(lang, f.modules);
  return out + Foot();
}

std::string DashboardPage(const PageContext& context, const Params& filters, const DashboardData& data,
                          std::string_view error) {
  Lang lang = context.lang;
  std::string out = Head(context, Tr(lang, "仪表盘", "Dashboard"));
  out += "<h1>" + std::string(Tr(lang, "仪表盘", "Dashboard")) + "</h1>\n";
  out += FilterForm(context, filters, "/dashboard");
  if (!error.empty()) return out + ErrorNote(lang, error) + Foot();
  out += "<p class=\"summary\">" + std::string(Tr(lang, "共 ", "")) + "<b class=\"total\">" + Grouped(data.total) +
         "</b>" + Tr(lang, " 份报告", data.total == 1 ? " report" : " reports") + " <a href=\"" +
         Link("/", CleanFilters(filters)) + "\">" + Tr(lang, "列出这些报告", "List these reports") + "</a>";
  if (data.asOfMs > 0)
    out += " <span class=\"as-of\">" + std::string(Tr(lang, "统计于 ", "figures as of ")) +
           TimeElement(data.asOfMs, context.timeZone) + "</span>";
  out += "</p>\n";
  bool hour = data.bucket == store::TimeBucket::kHour;
  out += "<section class=\"chart-box\">\n<h2>" +
         std::string(hour ? Tr(lang, "每小时报告数", "Reports per hour") : Tr(lang, "每日报告数", "Reports per day")) +
         "</h2>\n" + CountsChart(lang, data.bucket, data.counts) + "</section>\n";
  out += "<section class=\"chart-box\">\n<h2>" +
         std::string(Tr(lang, "每日各项检查失败比例", "Share of each failed check per day")) + "</h2>\n" +
         FailureChart(lang, data.failures) + "</section>\n";
  out += "<section class=\"chart-box\">\n<h2>" + std::string(Tr(lang, "下载速度分布", "Speed distribution")) + "</h2>\n" +
         SpeedChart(lang, data.speeds) + "</section>\n";
  out += "<section class=\"chart-box\">\n<h2>" +
         std::string(Tr(lang, "相对同期最突出的模块", "Modules most over-represented against the same days")) +
         "</h2>\n" + ModuleChart(lang, data.modules) + "</section>\n";
  return out + Foot();
}

std::string AuditPage(const PageContext& context, const std::vector<AuditEntry>& entries,
                      std::string_view nextCursor) {
  Lang lang = context.lang;
  std::string out = Head(context, Tr(lang, "审计日志", "Audit log"));
  out += "<h1>" + std::string(Tr(lang, "审计日志", "Audit log")) + "</h1>\n";
  if (entries.empty()) {
    out += "<p class=\"nodata\">" + std::string(Tr(lang, "没有记录。", "No entries.")) + "</p>\n";
  } else {
    out += "<div class=\"scroll\"><table class=\"audit\">\n<thead><tr><th>" + std::string(Tr(lang, "时间", "Time")) +
           "</th><th>" + Tr(lang, "用户", "User") + "</th><th>" + Tr(lang, "来源", "From") + "</th><th>" +
           Tr(lang, "操作", "Action") + "</th><th>" + Tr(lang, "详情", "Detail") + "</th></tr></thead>\n<tbody>\n";
    for (const AuditEntry& e : entries) {
      bool failedLogin = e.action == "login_failed";
      out += std::string("<tr") + (failedLogin ? " class=\"bad\"" : "") + "><td class=\"when\">" +
             TimeElement(e.at_ms, context.timeZone) + "</td><td>" +
             (e.user.empty() ? "<span class=\"unknown\">\u2014</span>" : HtmlCut(e.user, 40)) + "</td><td>" +
             HtmlCut(e.from, 60) + "</td><td class=\"action\">" + ActionWords(lang, e.action) + "</td><td class=\"text\">";
      if ((e.action == "report" || e.action == "raw") && !e.detail.empty())
        out += "<a href=\"" + ReportHref(e.detail) + "\">" + HtmlCut(e.detail, 80) + "</a>";
      else
        out += HtmlCut(e.detail, 200);
      out += "</td></tr>\n";
    }
    out += "</tbody>\n</table></div>\n";
  }
  if (!nextCursor.empty())
    out += "<p class=\"pages\"><a class=\"next\" rel=\"next\" href=\"" +
           Link("/audit", {{"cursor", std::string(nextCursor)}}) + "\">" + Tr(lang, "下一页 \u2192", "Next page \u2192") +
           "</a></p>\n";
  return out + Foot();
}

std::string ErrorPage(const PageContext& context, int status, std::string_view message) {
  Lang lang = context.lang;
  std::string title = std::to_string(status) + " " + StatusText(lang, status);
  std::string out = Head(context, title);
  out += "<section class=\"error-page\">\n<h1>" + Html(title) + "</h1>\n";
  if (!message.empty()) out += "<p class=\"error\">" + Html(message) + "</p>\n";
  if (status == 401)
    out += "<p><a href=\"/login\">" + std::string(Tr(lang, "去登录", "Sign in")) + "</a></p>\n";
  else
    out += "<p><a href=\"/\">" + std::string(Tr(lang, "返回报告列表", "Back to the reports")) + "</a></p>\n";
  return out + "</section>\n" + Foot();
}

}  // namespace zandrel::desk::web
