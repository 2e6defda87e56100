#include "server/desk/web/charts.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

#include "server/desk/web/html.h"

namespace zandrel::desk::web {
namespace {

constexpr double kLeft = 64, kRight = kChartWidth - 16, kTop = 28, kBottom = kChartHeight - 44;

std::string Num(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", v);
  std::string out = text;
  if (out.size() > 2 && out.compare(out.size() - 2, 2, ".0") == 0) out.resize(out.size() - 2);
  return out;
}

std::string NoData(Lang lang) {
  return std::string("<p class=\"nodata\">") + Tr(lang, "无数据", "No data") + "</p>\n";
}

std::string Open(const char* label, int height = kChartHeight) {
  std::string h = std::to_string(height), w = std::to_string(kChartWidth);
  return "<svg class=\"chart\" xmlns=\"http://www.w3.org/2000/svg\" width=\"" + w + "\" height=\"" + h +
         "\" viewBox=\"0 0 " + w + " " + h + "\" role=\"img\" aria-label=\"" + Html(label) + "\">\n";
}

std::string Text(double x, double y, std::string_view escaped, const char* anchor = "middle",
                 const char* cls = "label") {
  return "<text x=\"" + Num(x) + "\" y=\"" + Num(y) + "\" text-anchor=\"" + anchor + "\" class=\"" + cls +
         "\" font-size=\"12\" fill=\"#333\">" + std::string(escaped) + "</text>\n";
}

std::string Line(double x1, double y1, double x2, double y2, const char* cls, const char* stroke = "#999") {
  return "<line x1=\"" + Num(x1) + "\" y1=\"" + Num(y1) + "\" x2=\"" + Num(x2) + "\" y2=\"" + Num(y2) +
         "\" class=\"" + cls + "\" stroke=\"" + stroke + "\"/>\n";
}

// Ticks, grid lines and labels of a vertical axis from 0 to top.
std::string YAxis(double top, double step, bool percent, const char* caption) {
  std::string out;
  for (double v = 0; v <= top + step / 1000; v += step) {
    double y = kBottom - (kBottom - kTop) * v / top;
    out += Line(kLeft, y, kRight, y, "grid", "#e4e4e4");
    out += Line(kLeft - 4, y, kLeft, y, "tick");
    std::string label = percent ? Num(v) + " %" : v >= 1e6 ? Num(v / 1e6) + "M" : Grouped(static_cast<uint64_t>(v));
    out += Text(kLeft - 7, y + 4, label, "end");
  }
  out += Line(kLeft, kTop, kLeft, kBottom, "axis", "#555");
  out += Line(kLeft, kBottom, kRight, kBottom, "axis", "#555");
  out += Text(8, 14, Html(caption), "start", "caption");
  return out;
}

std::string DayLabel(int64_t ms, bool hour) {
  using namespace std::chrono;
  sys_time<milliseconds> t{milliseconds{ms}};
  sys_days day = floor<days>(t);
  year_month_day ymd{day};
  char text[32];
  if (hour)
    std::snprintf(text, sizeof text, "%02u-%02u %02d:00", static_cast<unsigned>(ymd.month()),
                  static_cast<unsigned>(ymd.day()), static_cast<int>(floor<hours>(t - day).count()));
  else
    std::snprintf(text, sizeof text, "%02u-%02u", static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()));
  return text;
}

std::string FullDay(int64_t ms, bool hour) {
  std::string text = ShowTime(ms, "").text;
  return hour ? text.substr(0, 13) + ":00 UTC" : text.substr(0, 10) + " UTC";
}

// Labels under n evenly spread slots, as many as fit.
template <typename LabelOf>
std::string XLabels(std::size_t n, double slot, int maxLabels, LabelOf labelOf) {
  std::string out;
  std::size_t every = std::max<std::size_t>(1, (n + maxLabels - 1) / maxLabels);
  for (std::size_t i = 0; i < n; i += every) {
    double x = kLeft + slot * (static_cast<double>(i) + 0.5);
    out += Line(x, kBottom, x, kBottom + 4, "tick");
    out += Text(x, kBottom + 17, labelOf(i));
  }
  return out;
}

std::string Bars(const std::vector<uint64_t>& values, const std::vector<std::string>& titles, double top) {
  std::string out;
  double slot = (kRight - kLeft) / static_cast<double>(values.size());
  double gap = slot > 6 ? std::min(slot * 0.2, 8.0) : 0;
  for (std::size_t i = 0; i < values.size(); ++i) {
    double h = (kBottom - kTop) * static_cast<double>(values[i]) / top;
    double x = kLeft + slot * static_cast<double>(i) + gap / 2;
    out += "<rect class=\"bar\" x=\"" + Num(x) + "\" y=\"" + Num(kBottom - h) + "\" width=\"" +
           Num(std::max(slot - gap, 0.5)) + "\" height=\"" + Num(h) + "\" fill=\"#3a6ea5\"><title>" + titles[i] +
           "</title></rect>\n";
  }
  return out;
}

double TopOf(double max, double step) { return std::max(step, std::ceil(max / step) * step); }

const char* const kCheckColours[4] = {"#c0392b", "#d68910", "#7d3c98", "#1f7a4d"};

const char* CheckName(Lang lang, int i) {
  static const char* const kZh[] = {"UDP", "速度", "服务", "频道"};
  static const char* const kEn[] = {"UDP", "Speed", "Service", "Channels"};
  return lang == Lang::kEn ? kEn[i] : kZh[i];
}

std::string SpeedRange(const store::SpeedBin& bin) {
  if (bin.high_kbps < 0) return "\u2265" + std::to_string(bin.low_kbps);
  return std::to_string(bin.low_kbps) + "\u2013" + std::to_string(bin.high_kbps);
}

}  // namespace

double NiceStep(double top, int ticks) {
  if (!(top > 0) || ticks < 1) return 1;
  double raw = top / ticks;
  double power = std::pow(10.0, std::floor(std::log10(raw)));
  for (double m : {1.0, 2.0, 5.0, 10.0})
    if (m * power >= raw) return std::max(1.0, m * power);
  return std::max(1.0, 10 * power);
}

std::string CountsChart(Lang lang, store::TimeBucket bucket, const std::vector<store::TimeCount>& counts) {
  uint64_t max = 0;
  for (const auto& c : counts) max = std::max(max, c.count);
  if (counts.empty() || max == 0) return NoData(lang);
  bool hour = bucket == store::TimeBucket::kHour;
  double step = NiceStep(static_cast<double>(max), 5), top = TopOf(static_cast<double>(max), step);
  std::vector<uint64_t> values;
  std::vector<std::string> titles;
  for (const auto& c : counts) {
    values.push_back(c.count);
    titles.push_back(FullDay(c.start_ms, hour) + ": " + Grouped(c.count));
  }
  std::string out = Open(Tr(lang, "报告数", "Reports"));
  out += YAxis(top, step, false, Tr(lang, "报告数", "Reports"));
  out += Bars(values, titles, top);
  double slot = (kRight - kLeft) / static_cast<double>(counts.size());
  out += XLabels(counts.size(), slot, hour ? 7 : 12, [&](std::size_t i) { return DayLabel(counts[i].start_ms, hour); });
  out += Text((kLeft + kRight) / 2, kChartHeight - 6,
              Html(hour ? Tr(lang, "小时 (UTC)", "Hour (UTC)") : Tr(lang, "日期 (UTC)", "Day (UTC)")));
  return out + "</svg>\n";
}

std::string FailureChart(Lang lang, const std::vector<store::DayFailures>& days) {
  bool any = false;
  for (const auto& d : days)
    for (uint64_t k : d.known) any = any || k > 0;
  if (!any) return NoData(lang);
  std::string out = Open(Tr(lang, "失败比例", "Failure share"));
  out += YAxis(100, 25, true, Tr(lang, "失败比例", "Failed share"));
  double slot = (kRight - kLeft) / static_cast<double>(days.size());
  for (int check = 0; check < 4; ++check) {
    std::string path, dots;
    bool pen = false;
    for (std::size_t i = 0; i < days.size(); ++i) {
      const auto& d = days[i];
      if (d.known[check] == 0) {
        pen = false;
        continue;
      }
      double share = 100.0 * static_cast<double>(d.failed[check]) / static_cast<double>(d.known[check]);
      double x = kLeft + slot * (static_cast<double>(i) + 0.5), y = kBottom - (kBottom - kTop) * share / 100;
      path += (pen ? " L" : " M") + Num(x) + " " + Num(y);
      pen = true;
      dots += "<circle cx=\"" + Num(x) + "\" cy=\"" + Num(y) + "\" r=\"3\" fill=\"" + kCheckColours[check] +
              "\"><title>" + Html(CheckName(lang, check)) + " " + FullDay(d.day_ms, false) + ": " + Num(share) +
              " % (" + Grouped(d.failed[check]) + "/" + Grouped(d.known[check]) + ")</title></circle>\n";
    }
    if (!path.empty())
      out += "<path class=\"series check-" + std::to_string(check) + "\" d=\"" + path.substr(1) +
             "\" fill=\"none\" stroke-width=\"2\" stroke=\"" + kCheckColours[check] + "\"/>\n";
    out += dots;
    double lx = kRight - 4 * 86 + check * 86.0;
    out += "<rect x=\"" + Num(lx) + "\" y=\"6\" width=\"12\" height=\"12\" fill=\"" + kCheckColours[check] + "\"/>\n";
    out += Text(lx + 16, 16, Html(CheckName(lang, check)), "start");
  }
  out += XLabels(days.size(), slot, 12, [&](std::size_t i) { return DayLabel(days[i].day_ms, false); });
  out += Text((kLeft + kRight) / 2, kChartHeight - 6, Html(Tr(lang, "日期 (UTC)", "Day (UTC)")));
  return out + "</svg>\n";
}

std::string SpeedChart(Lang lang, const std::vector<store::SpeedBin>& bins) {
  uint64_t max = 0;
  for (const auto& b : bins) max = std::max(max, b.count);
  if (bins.empty() || max == 0) return NoData(lang);
  double step = NiceStep(static_cast<double>(max), 5), top = TopOf(static_cast<double>(max), step);
  std::vector<uint64_t> values;
  std::vector<std::string> titles;
  for (const auto& b : bins) {
    values.push_back(b.count);
    titles.push_back(Html(SpeedRange(b)) + " K/s: " + Grouped(b.count));
  }
  std::string out = Open(Tr(lang, "速度分布", "Speed distribution"));
  out += YAxis(top, step, false, Tr(lang, "报告数", "Reports"));
  out += Bars(values, titles, top);
  double slot = (kRight - kLeft) / static_cast<double>(bins.size());
  out += XLabels(bins.size(), slot, 10, [&](std::size_t i) { return Html(SpeedRange(bins[i])); });
  out += Text((kLeft + kRight) / 2, kChartHeight - 6, Html(Tr(lang, "速度 (K/s)", "Speed (K/s)")));
  return out + "</svg>\n";
}

std::string ModuleChart(Lang lang, const std::vector<store::ModuleLift>& modules) {
  if (modules.empty()) return NoData(lang);
  constexpr std::size_t kRows = 12;
  constexpr double kRowHeight = 22, kBarLeft = 300, kBarRight = 520, kHead = 30;
  std::size_t n = std::min(modules.size(), kRows);
  double max = 1;
  for (std::size_t i = 0; i < n; ++i)
    if (std::isfinite(modules[i].lift)) max = std::max(max, modules[i].lift);
  double step = NiceStep(max, 4), top = TopOf(max, step);
  int height = static_cast<int>(kHead + kRowHeight * static_cast<double>(n) + 28);
  double bottom = kHead + kRowHeight * static_cast<double>(n);
  std::string out = Open(Tr(lang, "最突出的模块", "Most over-represented modules"), height);
  out += Text(4, 14, Html(Tr(lang, "模块路径", "Module path")), "start", "caption");
  out += Text(kBarLeft, 14, Html(Tr(lang, "提升倍数 (本组/同期)", "Lift (this set / same days)")), "start", "caption");
  auto xOf = [&](double v) { return kBarLeft + (kBarRight - kBarLeft) * std::clamp(v, 0.0, top) / top; };
  for (double v = 0; v <= top + step / 1000; v += step) {
    out += Line(xOf(v), kHead - 4, xOf(v), bottom, "grid", "#e4e4e4");
    out += Text(xOf(v), bottom + 16, Num(v) + "\u00d7");
  }
  out += Line(xOf(1), kHead - 4, xOf(1), bottom, "one", "#555");
  for (std::size_t i = 0; i < n; ++i) {
    const auto& m = modules[i];
    double y = kHead + kRowHeight * static_cast<double>(i);
    double lift = std::isfinite(m.lift) ? m.lift : 0;
    std::string counts = Grouped(m.in_set) + "/" + Grouped(m.set_total) + " \u00b7 " + Grouped(m.in_period) + "/" +
                         Grouped(m.period_total);
    out += "<g class=\"module\"><title>" + HtmlCut(m.path, 400) + "\n" + Num(lift) + "\u00d7 \u2014 " +
           Tr(lang, "本组 ", "this set ") + Grouped(m.in_set) + "/" + Grouped(m.set_total) + ", " +
           Tr(lang, "同期 ", "same days ") + Grouped(m.in_period) + "/" + Grouped(m.period_total) + "</title>\n";
    out += Text(4, y + 15, HtmlCut(m.path, 44), "start", "path");
    out += "<rect class=\"bar\" x=\"" + Num(kBarLeft) + "\" y=\"" + Num(y + 4) + "\" width=\"" +
           Num(std::max(1.0, xOf(lift) - kBarLeft)) + "\" height=\"" + Num(kRowHeight - 8) + "\" fill=\"#3a6ea5\"/>\n";
    out += Text(kBarRight + 8, y + 15, Num(lift) + "\u00d7 (" + counts + ")", "start");
    out += "</g>\n";
  }
  return out + "</svg>\n";
}

}  // namespace zandrel::desk::web
