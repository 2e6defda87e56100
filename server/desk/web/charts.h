// The dashboard's charts as inline SVG, drawn here so that the browser needs
// no script for them. Each is a fixed 720×240 picture with axes, ticks and
// labels; colours come from presentation attributes and desk.css classes.
// Every text in them is escaped; with no data a chart is a short note
// instead.
#pragma once
#include <string>
#include <vector>

#include "server/desk/web/pages.h"
#include "server/store/report_index.h"

namespace zandrel::desk::web {

inline constexpr int kChartWidth = 720;
inline constexpr int kChartHeight = 240;

// Reports per hour or day: bars.
std::string CountsChart(Lang lang, store::TimeBucket bucket, const std::vector<store::TimeCount>& counts);
// The share of reports with each failed check per day, 0–100 %: one line a check.
std::string FailureChart(Lang lang, const std::vector<store::DayFailures>& days);
// Reports per speed range: bars.
std::string SpeedChart(Lang lang, const std::vector<store::SpeedBin>& bins);
// Modules most over-represented: horizontal bars of the lift, with the path
// (cut), the lift and the counts.
std::string ModuleChart(Lang lang, const std::vector<store::ModuleLift>& modules);

// The step between ticks for an axis from 0 to top: 1, 2 or 5 times a power
// of ten, giving at most about `ticks` ticks.
double NiceStep(double top, int ticks);

}  // namespace zandrel::desk::web
