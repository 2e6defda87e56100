// The desk's pages fed hostile values in every field: what comes out must be
// escaped text, same-site links with percent-encoded queries, no script but
// the site's file, no bidirectional controls; the charts well-formed for any
// data.
#include <gtest/gtest.h>

#include <string>

#include "server/desk/record_text.h"
#include "server/desk/web/charts.h"
#include "server/desk/web/html.h"
#include "server/desk/web/pages.h"
#include "server/desk/web/time_zone.h"
#include "tests/desk/html_scan.h"

namespace zandrel::desk::web {
namespace {

using test::ScanHtml;

// One value that tries every way out of a text node or an attribute.
const std::string kHostile =
    "<script>window.x=1</script>\"><img src=x onerror=alert(1)>' onmouseover='alert(2)' "
    "javascript:alert(3) </textarea><svg onload=alert(4)>&amp; \xE2\x80\xAE" "evil\xE2\x81\xA6 \x01\x1B[31m "
    "\xFF\xFE bad-utf8";

std::string Hostile(const std::string& tag) { return tag + kHostile; }
// The value as a form field shows it: controls and overrides replaced.
std::string Shown(const std::string& tag) { return TerminalSafe(Hostile(tag), false); }

store::ReportRecord HostileRecord() {
  store::ReportRecord r;
  r.id = Hostile("id");
  r.received = 1714550400123;  // 2024-05-01T08:00:00.123Z
  r.sender = 0x0A000007;
  r.size = 123456;
  r.md5 = Hostile("md5");
  r.file = Hostile("file");
  report::ReportFacts& f = r.facts;
  f.problem = Hostile("problem 卡顿\n");
  f.adapters.push_back({Hostile("name"), Hostile("desc"), Hostile("mac"), Hostile("ip"), Hostile("mask"),
                        Hostile("gw")});
  f.adapters.push_back({"eth0", "Intel", "02-5a-64-72-65-6c", "10.0.0.7", "255.255.255.0", "10.0.0.1"});
  f.modules = {"C:\\Windows\\system32\\d3d9.dll", Hostile("C:\\evil\\"), Hostile("nodir"),
               "C:\\Windows\\system32\\" + Hostile("x")};
  f.udp_ok = false;
  f.speed_kbps = 0;
  f.service_ok = true;
  f.channels_ok = true;
  f.channel_ids = {Hostile("ch"), "CCTV-1"};
  f.parse_errors = 3;
  return r;
}

PageContext HostileContext(Lang lang = Lang::kZh) {
  PageContext context;
  context.lang = lang;
  context.user = Hostile("user");
  context.csrf = Hostile("csrf");
  return context;
}

Params HostileFilters() {
  return {{"q", Hostile("q")},           {"ip", Hostile("ip")},    {"mac", Hostile("mac")},
          {"module", Hostile("module")}, {"from", Hostile("from")}, {"to", Hostile("to")},
          {"failed", "udp,speed"},        {"failed", "channels"},   {"slower_than", Hostile("slow")},
          {"cursor", "old"}};
}

void ExpectSafe(const std::string& html) {
  test::HtmlScan scan = ScanHtml(html);
  EXPECT_TRUE(scan.ok()) << scan.problem;
  EXPECT_EQ(html.find("\xE2\x80\xAE"), std::string::npos);
  EXPECT_EQ(scan.Count("img"), 0);
  EXPECT_LE(scan.Count("script"), 1);
}

TEST(DeskPagesEscape, HostileReportPageIsTextOnly) {
  store::ReportRecord r = HostileRecord();
  for (Lang lang : {Lang::kZh, Lang::kEn}) {
    std::string html = ReportPage(HostileContext(lang), r);
    ExpectSafe(html);
    test::HtmlScan scan = ScanHtml(html);
    // Shown as text: the payload's words are there, made harmless.
    EXPECT_NE(scan.text.find("problem 卡顿"), std::string::npos);
    EXPECT_NE(scan.text.find("<script>window.x=1</script>"), std::string::npos);
    EXPECT_NE(scan.text.find("chCCTV") == std::string::npos ? scan.text.find("CCTV-1") : 0, std::string::npos);
    // The links: raw download, this sender, each MAC, each module, all encoded.
    std::vector<std::string> hrefs = scan.Values("a", "href");
    auto has = [&](const std::string& href) { return std::find(hrefs.begin(), hrefs.end(), href) != hrefs.end(); };
    EXPECT_TRUE(has("/reports/" + PercentEncode(r.id) + "/raw"));
    EXPECT_TRUE(has("/?ip=10.0.0.7"));
    EXPECT_TRUE(has("/?mac=" + PercentEncode(Hostile("mac"))));
    EXPECT_TRUE(has("/?mac=02-5a-64-72-65-6c"));
    EXPECT_TRUE(has("/?module=d3d9.dll"));
    // Four modules in three directories, and the filter box.
    EXPECT_EQ(scan.Count("details"), 3);
    EXPECT_EQ(scan.Values("input", "id"), std::vector<std::string>{"module-filter"});
  }
}

TEST(DeskPagesEscape, ReportPageMarksFailuresAndUnknowns) {
  store::ReportRecord r = HostileRecord();
  std::string html = ReportPage(PageContext{}, r);
  test::HtmlScan scan = ScanHtml(html);
  ASSERT_TRUE(scan.ok()) << scan.problem;
  EXPECT_NE(scan.text.find("UDP 连通\u2717 失败"), std::string::npos);
  EXPECT_NE(scan.text.find("下载速度\u2717 0 K/s"), std::string::npos);
  EXPECT_NE(scan.text.find("服务\u2713 通过"), std::string::npos);
  EXPECT_NE(scan.text.find("CPU 占用未知"), std::string::npos);
  EXPECT_NE(scan.text.find("跳过了 3 处"), std::string::npos);

  r.facts = {};
  r.facts.speed_kbps = 2048;
  r.facts.cpu_percent = 37;
  r.facts.free_bytes = uint64_t{3} << 30;
  scan = ScanHtml(ReportPage(PageContext{}, r));
  ASSERT_TRUE(scan.ok()) << scan.problem;
  EXPECT_NE(scan.text.find("UDP 连通未知"), std::string::npos);
  EXPECT_NE(scan.text.find("\u2713 2,048 K/s"), std::string::npos);
  EXPECT_NE(scan.text.find("37 %"), std::string::npos);
  EXPECT_NE(scan.text.find("3.0 GB"), std::string::npos);
  EXPECT_NE(scan.text.find("未检查频道列表"), std::string::npos);
  EXPECT_EQ(scan.text.find("跳过了"), std::string::npos);
}

TEST(DeskPagesEscape, LongProblemIsWholeOnTheReportAndCutInTheList) {
  store::ReportRecord r = HostileRecord();
  std::string line(100 * 1024, 'a');
  line += "<END>";
  r.facts.problem = line;
  std::string report = ReportPage(PageContext{}, r);
  EXPECT_NE(report.find("aaaa&lt;END&gt;"), std::string::npos);

  store::SearchPage page;
  page.hits.push_back({r, 4});
  page.total = 1;
  std::string list = ListPage(PageContext{}, {}, page, "");
  ExpectSafe(list);
  EXPECT_EQ(list.find("END"), std::string::npos);
  EXPECT_NE(list.find("a\u2026"), std::string::npos);
  EXPECT_LT(list.size(), 20000u);
}

// A total past the index's cap is shown as "more than", an exact one as is.
TEST(DeskPagesEscape, ListPageTellsACappedTotalFromAnExactOne) {
  store::SearchPage page;
  page.total = 10000;
  page.total_capped = true;
  PageContext en;
  en.lang = Lang::kEn;
  EXPECT_NE(ListPage(PageContext{}, {}, page, "").find("超过 <b class=\"total\">10,000</b> 份报告"), std::string::npos);
  EXPECT_NE(ListPage(en, {}, page, "").find("<b class=\"total\">10,000+</b> reports"), std::string::npos);
  page.total_capped = false;
  std::string exact = ListPage(PageContext{}, {}, page, "");
  EXPECT_NE(exact.find("共 <b class=\"total\">10,000</b> 份报告"), std::string::npos);
  EXPECT_EQ(exact.find("超过"), std::string::npos);
  EXPECT_EQ(ListPage(en, {}, page, "").find("10,000+"), std::string::npos);
}

TEST(DeskPagesEscape, ListPageKeepsHostileFiltersEncoded) {
  store::SearchPage page;
  page.hits.push_back({HostileRecord(), 4});
  store::ReportRecord quiet;
  quiet.id = "20240501-000002";
  page.hits.push_back({quiet, 0});
  page.total = 1234567;
  page.next_cursor = Hostile("cursor");
  std::string html = ListPage(HostileContext(), HostileFilters(), page, "");
  ExpectSafe(html);
  test::HtmlScan scan = ScanHtml(html);

  // The form: every field refilled as given, the three checks ticked.
  std::vector<std::string> names = scan.Values("input", "name"), values = scan.Values("input", "value");
  EXPECT_NE(std::find(values.begin(), values.end(), Shown("q")), values.end());
  EXPECT_NE(std::find(values.begin(), values.end(), Shown("slow")), values.end());
  EXPECT_EQ(std::count(names.begin(), names.end(), "failed"), 4);
  EXPECT_EQ(scan.Values("input", "checked").size(), 3u);
  EXPECT_EQ(scan.Values("form", "action"), (std::vector<std::string>{"/logout", "/"}));
  EXPECT_NE(std::find(values.begin(), values.end(), Shown("csrf")), values.end());

  // The next page: the filters once each, failed joined, the new cursor, all encoded.
  std::vector<std::string> next;
  for (const auto& tag : scan.tags)
    for (const auto& [a, v] : tag.attributes)
      if (a == "rel" && v == "next") next.push_back(tag.attributes[2].second);
  ASSERT_EQ(next.size(), 1u);
  auto parsed = ParseQueryString(next[0].substr(next[0].find('?') + 1));
  ASSERT_TRUE(parsed);
  Params expected = {{"q", Hostile("q")},         {"ip", Hostile("ip")},         {"mac", Hostile("mac")},
                     {"module", Hostile("module")}, {"from", Hostile("from")},     {"to", Hostile("to")},
                     {"failed", "udp,speed,channels"}, {"slower_than", Hostile("slow")}, {"cursor", Hostile("cursor")}};
  EXPECT_EQ(*parsed, expected);
  EXPECT_EQ(next[0], "/?" + QueryStringOf(expected));

  // The rows: count, time, links to each report, marks in words.
  EXPECT_NE(scan.text.find("1,234,567"), std::string::npos);
  EXPECT_EQ(scan.Values("time", "datetime")[0], "2024-05-01T08:00:00.123Z");
  EXPECT_NE(scan.text.find("2024-05-01 08:00:00 UTC"), std::string::npos);
  std::vector<std::string> hrefs = scan.Values("a", "href");
  EXPECT_NE(std::find(hrefs.begin(), hrefs.end(), "/reports/" + PercentEncode(Hostile("id"))), hrefs.end());
  EXPECT_NE(std::find(hrefs.begin(), hrefs.end(), "/reports/20240501-000002"), hrefs.end());
  EXPECT_NE(scan.text.find("UDP \u2717"), std::string::npos);
  EXPECT_NE(scan.text.find("速度 \u2717"), std::string::npos);
  EXPECT_EQ(scan.text.find("服务 \u2717"), std::string::npos);
}

TEST(DeskPagesEscape, ListPageErrorShowsTheFormAndNoRows) {
  store::SearchPage page;
  page.hits.push_back({HostileRecord(), 4});
  page.next_cursor = "next";
  std::string html = ListPage(PageContext{}, HostileFilters(), page, Hostile("error"));
  ExpectSafe(html);
  test::HtmlScan scan = ScanHtml(html);
  EXPECT_NE(scan.text.find(Hostile("error").substr(0, 40)), std::string::npos);
  EXPECT_EQ(scan.Count("table"), 0);
  EXPECT_EQ(scan.Count("time"), 0);
  EXPECT_EQ(scan.Count("form"), 1);  // no user: no logout form
}

TEST(DeskPagesEscape, AuditLoginAndErrorPages) {
  std::vector<AuditEntry> entries = {
      {1714550400000, Hostile("user"), Hostile("from"), "report", Hostile("detail")},
      {1714550300000, "", "10.0.0.9", "login_failed", Hostile("tried")},
      {1714550200000, "li", "10.0.0.9", Hostile("action"), ""},
  };
  std::string audit = AuditPage(HostileContext(), entries, Hostile("cursor"));
  ExpectSafe(audit);
  test::HtmlScan scan = ScanHtml(audit);
  EXPECT_NE(scan.text.find("查看报告"), std::string::npos);
  EXPECT_NE(scan.text.find("登录失败"), std::string::npos);
  std::vector<std::string> hrefs = scan.Values("a", "href");
  EXPECT_NE(std::find(hrefs.begin(), hrefs.end(), "/audit?cursor=" + PercentEncode(Hostile("cursor"))), hrefs.end());
  EXPECT_NE(std::find(hrefs.begin(), hrefs.end(), "/reports/" + PercentEncode(Hostile("detail"))), hrefs.end());
  EXPECT_EQ(scan.Count("time"), 3);

  std::string login = LoginPage(HostileContext(Lang::kEn), Hostile("name"), true, false);
  ExpectSafe(login);
  scan = ScanHtml(login);
  EXPECT_NE(scan.text.find("Wrong name or password"), std::string::npos);
  EXPECT_NE(std::find(scan.Values("input", "value").begin(), scan.Values("input", "value").end(), Shown("name")),
            scan.Values("input", "value").end());
  EXPECT_EQ(ScanHtml(LoginPage(PageContext{}, "", false, true)).text.find("用户名或密码错误"), std::string::npos);
  EXPECT_NE(ScanHtml(LoginPage(PageContext{}, "", false, true)).text.find("尝试次数过多"), std::string::npos);

  std::string error = ErrorPage(HostileContext(), 404, Hostile("message"));
  ExpectSafe(error);
  EXPECT_NE(ScanHtml(error).text.find("404 找不到"), std::string::npos);
}

TEST(DeskPagesLinks, FramesAndLinks) {
  PageContext context;
  context.user = "wang";
  context.csrf = "tok";
  context.timeZone = "Asia/Shanghai";
  std::vector<AuditEntry> entries = {{1714550400000, "wang", "10.0.0.9", "login", ""}};
  test::HtmlScan scan = ScanHtml(AuditPage(context, entries, ""));
  ASSERT_TRUE(scan.ok()) << scan.problem;
  std::vector<std::string> hrefs = scan.Values("a", "href");
  for (const char* link : {"/", "/dashboard", "/audit"})
    EXPECT_NE(std::find(hrefs.begin(), hrefs.end(), link), hrefs.end()) << link;
  EXPECT_EQ(scan.Values("html", "data-zone"), std::vector<std::string>{"Asia/Shanghai"});
  EXPECT_NE(scan.text.find("2024-05-01 16:00:00 +08:00"), std::string::npos);
  EXPECT_EQ(scan.Values("script", "src"), std::vector<std::string>{"/static/desk.js"});
  EXPECT_EQ(scan.Values("link", "href"), (std::vector<std::string>{"/static/desk.css", "/static/favicon.svg"}));
  for (const std::string& href : scan.Values("link", "href")) EXPECT_TRUE(FindStatic(href.substr(8))) << href;
  EXPECT_EQ(scan.Count("a") - static_cast<int>(hrefs.size()), 0);
  EXPECT_EQ(scan.Values("html", "lang"), std::vector<std::string>{"zh-CN"});

  // A zone the system does not know: times in UTC, left to the reader's script.
  context.timeZone = "Mars/Olympus";
  scan = ScanHtml(AuditPage(context, entries, ""));
  EXPECT_TRUE(scan.Values("html", "data-zone").empty());
  EXPECT_NE(scan.text.find("2024-05-01 08:00:00 UTC"), std::string::npos);
}

store::ModuleLift Lift(std::string path, double lift) {
  return {std::move(path), 12, 40, 30, 1000, lift};
}

TEST(DeskCharts, EmptyDataIsANote) {
  for (const std::string& chart :
       {CountsChart(Lang::kZh, store::TimeBucket::kDay, {}), CountsChart(Lang::kZh, store::TimeBucket::kDay, {{0, 0}}),
        FailureChart(Lang::kZh, {}), FailureChart(Lang::kZh, {store::DayFailures{}}), SpeedChart(Lang::kZh, {}),
        ModuleChart(Lang::kZh, {})}) {
    test::HtmlScan scan = ScanHtml(chart);
    ASSERT_TRUE(scan.ok()) << scan.problem;
    EXPECT_EQ(scan.Count("svg"), 0);
    EXPECT_EQ(scan.text, "无数据\n");
  }
  DashboardData empty;
  std::string page = DashboardPage(HostileContext(), HostileFilters(), empty, "");
  ExpectSafe(page);
  EXPECT_EQ(ScanHtml(page).Count("svg"), 0);

  DashboardData some;
  some.counts = {{1714521600000, 3}};
  page = DashboardPage(PageContext{}, HostileFilters(), some, Hostile("refused"));
  ExpectSafe(page);
  EXPECT_EQ(ScanHtml(page).Count("svg"), 0);
  EXPECT_NE(ScanHtml(page).text.find("refused<script>"), std::string::npos);
}

TEST(DeskCharts, OneAndManyPointsAreWellFormed) {
  constexpr int64_t kDay = 86400000, kStart = 1714521600000;
  for (std::size_t n : {1u, 2u, 31u, 24u * 14u}) {
    std::vector<store::TimeCount> counts;
    std::vector<store::DayFailures> days;
    for (std::size_t i = 0; i < n; ++i) {
      counts.push_back({kStart + static_cast<int64_t>(i) * kDay, (i * 37) % 101 + 1});
      store::DayFailures d;
      d.day_ms = kStart + static_cast<int64_t>(i) * kDay;
      d.reports = 100;
      d.known = {100, 90, i % 3 == 0 ? 0u : 50u, 100};
      d.failed = {i % 100, 90, 25, 0};
      days.push_back(d);
    }
    std::string bars = CountsChart(Lang::kEn, n > 31 ? store::TimeBucket::kHour : store::TimeBucket::kDay, counts);
    test::HtmlScan scan = ScanHtml(bars);
    ASSERT_TRUE(scan.ok()) << scan.problem;
    EXPECT_EQ(scan.Count("svg"), 1);
    EXPECT_EQ(scan.Count("rect"), static_cast<int>(n));
    for (const std::string& y : scan.Values("rect", "y")) EXPECT_GE(std::stod(y), 0.0);
    for (const std::string& h : scan.Values("rect", "height")) EXPECT_LE(std::stod(h), kChartHeight);
    std::vector<std::string> xs = scan.Values("rect", "x"), widths = scan.Values("rect", "width");
    for (std::size_t i = 0; i < xs.size(); ++i) {
      EXPECT_GE(std::stod(xs[i]), 0.0);
      EXPECT_LE(std::stod(xs[i]) + std::stod(widths[i]), kChartWidth);
      if (i > 0) {
        EXPECT_GT(std::stod(xs[i]), std::stod(xs[i - 1]));  // in time order, apart
      }
    }

    scan = ScanHtml(FailureChart(Lang::kZh, days));
    ASSERT_TRUE(scan.ok()) << scan.problem;
    EXPECT_EQ(scan.Count("svg"), 1);
    // A dot for every known share; the service check is unknown every third day.
    EXPECT_EQ(scan.Count("circle"), static_cast<int>(3 * n + (n - (n + 2) / 3)));
    for (const std::string& cy : scan.Values("circle", "cy")) {
      EXPECT_GE(std::stod(cy), 0.0);
      EXPECT_LE(std::stod(cy), kChartHeight);
    }
  }
  std::vector<store::SpeedBin> bins = {{0, 100, 5}, {100, 500, 0}, {500, 2000, 40}, {2000, -1, 7}};
  test::HtmlScan scan = ScanHtml(SpeedChart(Lang::kZh, bins));
  ASSERT_TRUE(scan.ok()) << scan.problem;
  EXPECT_EQ(scan.Count("rect"), 4);
  EXPECT_NE(scan.text.find("\u22652000"), std::string::npos);
  EXPECT_NE(scan.text.find("500\u20132000"), std::string::npos);
}

TEST(DeskCharts, HostileModulePathsAreEscapedAndCut) {
  std::vector<store::ModuleLift> modules;
  for (int i = 0; i < 20; ++i) modules.push_back(Lift(Hostile("C:\\m" + std::to_string(i) + "\\"), 20.0 - i));
  modules.push_back(Lift(std::string(100 * 1024, 'p'), 1.5));
  modules[3].lift = std::numeric_limits<double>::infinity();
  std::string chart = ModuleChart(Lang::kZh, modules);
  ExpectSafe(chart);
  test::HtmlScan scan = ScanHtml(chart);
  EXPECT_EQ(scan.Count("svg"), 1);
  EXPECT_EQ(scan.Count("g"), 12);  // the first rows only
  EXPECT_NE(scan.text.find("20\u00d7 (12/40 \u00b7 30/1,000)"), std::string::npos);
  EXPECT_LT(chart.size(), 40000u);
  for (const std::string& w : scan.Values("rect", "width")) EXPECT_LE(std::stod(w), kChartWidth);

  DashboardData data;
  data.modules = modules;
  data.counts = {{1714521600000, 3}};
  data.total = 3;
  std::string page = DashboardPage(HostileContext(Lang::kEn), HostileFilters(), data, "");
  ExpectSafe(page);
  scan = ScanHtml(page);
  EXPECT_EQ(scan.Count("svg"), 2);
  EXPECT_NE(scan.text.find("No data"), std::string::npos);
}

TEST(DeskCharts, NiceSteps) {
  EXPECT_EQ(NiceStep(100, 5), 20);
  EXPECT_EQ(NiceStep(7, 5), 2);
  EXPECT_EQ(NiceStep(1, 5), 1);
  EXPECT_EQ(NiceStep(123456, 5), 50000);
  EXPECT_EQ(NiceStep(0, 5), 1);
}

TEST(DeskPagesLang, PickLang) {
  auto pick = [](const char* header) {
    std::string h = header;
    return PickLang(&h);
  };
  EXPECT_EQ(PickLang(nullptr), Lang::kZh);
  EXPECT_EQ(pick(""), Lang::kZh);
  EXPECT_EQ(pick("en-US,en;q=0.9"), Lang::kEn);
  EXPECT_EQ(pick("zh-CN,zh;q=0.9,en;q=0.8"), Lang::kZh);
  EXPECT_EQ(pick("en-GB;q=0.8, zh-TW;q=0.9"), Lang::kZh);
  EXPECT_EQ(pick("EN, zh"), Lang::kEn);
  EXPECT_EQ(pick("zh, en"), Lang::kZh);
  EXPECT_EQ(pick("fr-FR,fr;q=0.9"), Lang::kZh);
  EXPECT_EQ(pick("fr, en;q=0.5"), Lang::kEn);
  EXPECT_EQ(pick("en;q=0, zh;q=0.1"), Lang::kZh);
  EXPECT_EQ(pick("en;q=garbage"), Lang::kZh);
  EXPECT_EQ(pick(",,;;=,en"), Lang::kEn);
}

TEST(DeskTexts, CuttingAndNumbers) {
  EXPECT_EQ(HtmlCut("卡顿卡顿卡顿", 7), "卡顿卡\u2026");
  EXPECT_EQ(HtmlCut("a<b", 10), "a&lt;b");
  EXPECT_EQ(HtmlCut("line\nnext", 20), "line next");
  EXPECT_EQ(HtmlCutFront("C:\\Windows\\d3d9.dll", 12), "\u2026ws\\d3d9.dll");
  EXPECT_EQ(HtmlCutFront("C:\\d3d9.dll", 12), "C:\\d3d9.dll");
  EXPECT_EQ(HtmlCutFront("路径\\卡顿.dll", 10), "\u2026\\卡顿.dll");
  EXPECT_EQ(HtmlCutFront(std::string(5000, 'a') + "<b>", 5), "\u2026a&lt;b&gt;");
  EXPECT_EQ(Html("a\xE2\x80\xAE" "b\x07" "c\n", true), "a\uFFFDb\uFFFDc\n");
  EXPECT_EQ(Html("\"'&"), "&quot;&#39;&amp;");
  EXPECT_EQ(Link("/", {{"q", "a b&c"}, {"ip", ""}}), "/?q=a%20b%26c");
  EXPECT_EQ(Grouped(0), "0");
  EXPECT_EQ(Grouped(1234567), "1,234,567");
  EXPECT_EQ(HumanBytes(900), "900 B");
  EXPECT_EQ(HumanBytes(1536), "1.5 KB");
  EXPECT_EQ(HumanBytes(uint64_t{312} << 20), "312 MB");
}

TEST(DeskTimeZones, OffsetsFromTheSystemsZones) {
  constexpr int64_t kWinter = 1705320000, kSummer = 1719835200;  // 2024-01-15, 2024-07-01 12:00 UTC
  EXPECT_EQ(ZoneOffset("UTC", kSummer), 0);
  EXPECT_EQ(ZoneOffset("Asia/Shanghai", kSummer), 8 * 3600);
  EXPECT_EQ(ZoneOffset("Europe/Berlin", kWinter), 3600);
  EXPECT_EQ(ZoneOffset("Europe/Berlin", kSummer), 7200);
  EXPECT_EQ(ZoneOffset("America/New_York", kSummer), -4 * 3600);
  EXPECT_EQ(ZoneOffset("Australia/Sydney", kSummer), 10 * 3600);
  EXPECT_EQ(ZoneOffset("Australia/Sydney", kWinter), 11 * 3600);
  // Beyond the files' tables the zone's rule applies: 2100-07-01, 2100-01-15.
  EXPECT_EQ(ZoneOffset("Europe/Berlin", 4118083200 + 12 * 3600), 7200);
  EXPECT_EQ(ZoneOffset("Europe/Berlin", 4103697600), 3600);
  // The switch itself: 2024-03-31 01:00 UTC in Berlin.
  EXPECT_EQ(ZoneOffset("Europe/Berlin", 1711846800 - 1), 3600);
  EXPECT_EQ(ZoneOffset("Europe/Berlin", 1711846800), 7200);
  for (const char* bad : {"", "Nowhere/City", "../../etc/passwd", "/etc/passwd", "Asia", "Asia//Shanghai", "a/./b"})
    EXPECT_FALSE(ZoneOffset(bad, kSummer)) << bad;

  EXPECT_EQ(ShowTime(1714550400123, "Asia/Shanghai").text, "2024-05-01 16:00:00");
  EXPECT_EQ(ShowTime(1714550400123, "Asia/Shanghai").zone, "+08:00");
  EXPECT_EQ(ShowTime(1714550400123, "America/St_Johns").zone, "-02:30");
  EXPECT_EQ(ShowTime(1714550400123, "Nowhere/City").zone, "UTC");
  EXPECT_EQ(ShowTime(-1, "").text, "1969-12-31 23:59:59");
}

TEST(DeskStaticFiles, StyleAndScript) {
  const StaticFile* css = FindStatic("desk.css");
  const StaticFile* js = FindStatic("desk.js");
  ASSERT_TRUE(css && js);
  EXPECT_EQ(std::string(css->type), "text/css; charset=utf-8");
  EXPECT_EQ(std::string(js->type), "text/javascript; charset=utf-8");
  EXPECT_NE(css->body.find(".mark.bad"), std::string_view::npos);
  EXPECT_NE(js->body.find("module-filter"), std::string_view::npos);
  // The script writes text only, never markup.
  EXPECT_EQ(js->body.find("innerHTML"), std::string_view::npos);
  EXPECT_EQ(js->body.find("eval("), std::string_view::npos);
  EXPECT_EQ(FindStatic("../desk.css"), nullptr);
  EXPECT_EQ(FindStatic("desk.css.map"), nullptr);
  EXPECT_EQ(FindStatic(""), nullptr);
}

}  // namespace
}  // namespace zandrel::desk::web
