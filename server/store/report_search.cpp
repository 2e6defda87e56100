// Search and aggregates of the report index: a query becomes one WHERE
// clause over the report table (alias r) with bound values only.
#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <map>
#include <unordered_map>
#include <variant>

#include "server/store/record_codec.h"
#include "server/store/report_index.h"

namespace zandrel::store {
namespace {

constexpr int64_t kPerMs = 64;
constexpr int64_t kDayMs = 86400000;
constexpr int64_t kHourMs = 3600000;

using Bound = std::variant<int64_t, std::string>;

void BindAll(SqliteStatement& stmt, const std::vector<Bound>& binds, int first = 1) {
  for (std::size_t i = 0; i < binds.size(); ++i) {
    int at = first + static_cast<int>(i);
    if (const auto* v = std::get_if<int64_t>(&binds[i])) {
      stmt.BindInt(at, *v);
    } else {
      stmt.BindText(at, std::get<std::string>(binds[i]));
    }
  }
}

}  // namespace

struct ReportIndex::Filter {
  std::vector<std::string> conditions;
  std::vector<Bound> binds;
  bool none = false;  // nothing can match
  int64_t lo = 0, hi = INT64_MAX;  // position range
  bool driven = false;      // a rare set's rows are collected first
  int words_at = -1;        // the condition testing common words row by row
  bool fts_drive = false;   // the word matches are read newest first instead
  bool time_only = false;   // no condition but the time range
  // A module condition tested on each report's own list: the modules, and
  // whether it is the only condition besides time.
  std::vector<int64_t> scanned_mids;
  bool module_only = false;
  // How many conditions besides the time range, and the rows of the last
  // set condition within the range with their values, when those rows hold
  // each report once: such a set alone is counted without reading a report.
  int tests = 0;
  std::string set_rows;
  std::vector<Bound> set_binds;

  std::string From() const {
    return fts_drive ? "problem_fts CROSS JOIN report r ON r.rid = problem_fts.rowid" : "report r";
  }
  std::string Where() const {
    std::string out;
    for (const auto& c : conditions) out += (out.empty() ? "" : " AND ") + c;
    return out.empty() ? "1" : out;
  }
};

IndexStatus ReportIndex::BuildFilter(const SearchQuery& q, Filter& filter, Plan plan) {
  filter = {};
  const bool for_page = plan != Plan::kEvery;
  bool no_other = !q.ip && !q.mac && q.failed == 0 && !q.slower_than && q.words.empty();
  filter.time_only = no_other && !q.module;
  if (q.from_ms) filter.lo = std::max<int64_t>(0, *q.from_ms) * kPerMs;
  if (q.to_ms) filter.hi = std::min<int64_t>(*q.to_ms, INT64_MAX / kPerMs) * kPerMs;
  if (q.cursor) filter.hi = std::min(filter.hi, *q.cursor);
  if (filter.hi <= filter.lo) {
    filter.none = true;
    return {};
  }
  if (filter.lo > 0) {
    filter.conditions.push_back("r.rid >= ?");
    filter.binds.push_back(filter.lo);
  }
  if (filter.hi < INT64_MAX) {
    filter.conditions.push_back("r.rid < ?");
    filter.binds.push_back(filter.hi);
  }
  filter.tests = std::popcount(q.failed) + (q.slower_than ? 1 : 0);
  if (q.failed & kCheckUdp) filter.conditions.push_back("r.udp_ok = 0");
  if (q.failed & kCheckSpeed) filter.conditions.push_back("r.speed_kbps = 0");
  if (q.failed & kCheckService) filter.conditions.push_back("r.service_ok = 0");
  if (q.failed & kCheckChannels) filter.conditions.push_back("r.channels_ok = 0");
  if (q.slower_than) {
    filter.conditions.push_back("r.speed_kbps < ?");
    filter.binds.push_back(*q.slower_than);
  }

  // A set of positions given by a subquery `select` (selecting column `col`
  // of rows matching `where` with `binds`): drives when rare, else probes.
  std::string error;
  auto add_set = [&](const std::string& table, const std::string& col, const std::string& where,
                     const std::vector<Bound>& binds, const std::string& probe_where,
                     std::optional<int64_t> known_count, bool one_per_report, bool words = false) -> IndexStatus {
    const int64_t drive_limit =
        plan == Plan::kCappedCount && !words ? options_.count_drive_limit : options_.drive_limit;
    std::string range = " AND " + col + " >= ? AND " + col + " < ?";
    std::vector<Bound> ranged = binds;
    ranged.push_back(filter.lo);
    ranged.push_back(filter.hi);
    ++filter.tests;
    // Counted straight from its rows when it holds each report once (one
    // key value): making rows distinct would have them read in position
    // order, through the whole range.
    filter.set_rows = one_per_report ? "SELECT " + col + " FROM " + table + " WHERE " + where + range : "";
    filter.set_binds = ranged;
    // Counts and aggregates visit every match: collecting each set is cheapest.
    int64_t count = 1;
    if (for_page && known_count) {
      count = *known_count;
    } else if (for_page) {
      SqliteStatement est = db_.Prepare("SELECT count(*) FROM (SELECT 1 FROM " + table + " WHERE " + where + range +
                                            " LIMIT " + std::to_string(drive_limit + 1) + ")",
                                        &error);
      if (!est.valid()) return Fail("cannot search", error);
      BindAll(est, ranged);
      if (!est.Step()) return Fail("cannot search", est.error());
      count = est.Int(0);
    }
    if (count == 0) {
      filter.none = true;
    } else if (!for_page || count <= drive_limit) {
      filter.driven = true;
      filter.conditions.push_back("r.rid IN (SELECT " + col + " FROM " + table + " WHERE " + where + range + ")");
      filter.binds.insert(filter.binds.end(), ranged.begin(), ranged.end());
    } else {
      filter.conditions.push_back("EXISTS (SELECT 1 FROM " + table + " WHERE " + probe_where + ")");
      filter.binds.insert(filter.binds.end(), binds.begin(), binds.end());
    }
    return {};
  };

  if (!q.words.empty()) {
    std::string match = MatchExpression(q.words);
    if (IndexStatus s = add_set("problem_fts", "rowid", "problem_fts MATCH ?", {match},
                                "problem_fts MATCH ? AND rowid = r.rid", std::nullopt, true, true);
        !s) {
      return s;
    }
    if (!filter.none && !filter.driven) filter.words_at = static_cast<int>(filter.conditions.size()) - 1;
  }
  if (q.ip) {
    std::vector<Bound> b{int64_t{q.ip->first}, int64_t{q.ip->last}};
    if (IndexStatus s = add_set("report_ip", "rid", "ip BETWEEN ? AND ?", b,
                                "ip BETWEEN ? AND ? AND rid = r.rid", std::nullopt, q.ip->first == q.ip->last);
        !s) {
      return s;
    }
  }
  if (q.mac) {
    if (IndexStatus s = add_set("report_mac", "rid", "mac = ?", {static_cast<int64_t>(*q.mac)},
                                "mac = ? AND rid = r.rid", std::nullopt, true);
        !s) {
      return s;
    }
  }
  if (q.module) {
    // The module table is small beside the reports: find the modules first.
    bool fragment = q.module->find('\\') != std::string::npos;
    SqliteStatement find = db_.Prepare(fragment ? "SELECT mid, reports, posted FROM module WHERE instr(lc, ?) > 0"
                                                : "SELECT mid, reports, posted FROM module WHERE name = ?",
                                       &error);
    if (!find.valid()) return Fail("cannot search", error);
    find.BindText(1, *q.module);
    std::vector<Bound> mids;
    int64_t reports = 0;
    bool all_posted = true;
    std::string list;
    while (find.Step()) {
      mids.push_back(find.Int(0));
      reports += find.Int(1);
      all_posted = all_posted && find.Int(2) != 0;
      list += list.empty() ? "?" : ",?";
    }
    if (find.failed()) return Fail("cannot search", find.error());
    if (mids.empty()) {
      filter.none = true;
    } else if (!all_posted || mids.size() > 500 ||
               (plan == Plan::kPage && reports > options_.drive_limit && mids.size() > 1)) {
      // Common modules, or many of them: each report's own list is read.
      probe_mids_.assign(probe_mids_.size(), false);
      for (const Bound& b : mids) {
        auto mid = static_cast<std::size_t>(std::get<int64_t>(b));
        if (mid >= probe_mids_.size()) probe_mids_.resize(mid + 1, false);
        probe_mids_[mid] = true;
        filter.scanned_mids.push_back(std::get<int64_t>(b));
      }
      filter.module_only = no_other;
      filter.conditions.push_back("has_module((SELECT modules FROM report_detail WHERE rid = r.rid))");
      ++filter.tests;
    } else if (IndexStatus s = add_set("report_module", "rid", "mid IN (" + list + ")", mids,
                                       "mid IN (" + list + ") AND rid = r.rid", reports, mids.size() == 1);
               !s) {
      return s;
    }
  }
  if (filter.words_at >= 0 && !filter.driven && !filter.none) {
    // Nothing rare drives and the words are common: the full-text index
    // lists their rows by position (its rowid), so walking it newest first
    // and testing the other conditions on each row stops at the page's end
    // without sorting. The condition keeps its single bound value.
    filter.fts_drive = true;
    filter.conditions[static_cast<std::size_t>(filter.words_at)] = "problem_fts MATCH ?";
    if (filter.lo > 0) {
      filter.conditions.push_back("problem_fts.rowid >= ?");
      filter.binds.push_back(filter.lo);
    }
    if (filter.hi < INT64_MAX) {
      filter.conditions.push_back("problem_fts.rowid < ?");
      filter.binds.push_back(filter.hi);
    }
  }
  return {};
}

IndexStatus ReportIndex::Search(const SearchQuery& query, SearchPage& page, bool with_total, bool cap_total) {
  Call call(*this);
  page = {};
  if (!db_.is_open()) return IndexStatus::Failure("the index is not open");
  Filter filter;
  if (IndexStatus s = BuildFilter(query, filter, Plan::kPage); !s) return s;
  std::string error;
  if (!filter.none) {
    if (IndexStatus s = ReadPage(query, filter, page); !s) return s;
  }
  if (with_total) {
    // Every match, whatever page this is.
    SearchQuery all = query;
    all.cursor.reset();
    // A capped count plans like a page (common sets tested row by row), as
    // it stops after cap + 1 matches.
    if (IndexStatus s = BuildFilter(all, filter, cap_total ? Plan::kCappedCount : Plan::kEvery); !s) return s;
    page.total = 0;
    if (filter.none) return {};
    int64_t cap = std::max<int64_t>(0, options_.count_cap);
    if (cap_total && filter.module_only) {
      // A module in most reports would be tested in report after report
      // until the cap; its own counts often settle the question at once.
      int64_t bound = 0;
      if (IndexStatus s = ModuleLowerBound(filter, bound); !s) return s;
      if (bound > cap) {
        page.total = static_cast<uint64_t>(cap);
        page.total_capped = true;
        return {};
      }
    }
    // One set alone: its own rows are counted, no report is read.
    const bool set_alone = cap_total && filter.tests == 1 && !filter.set_rows.empty();
    std::string sql = set_alone ? filter.set_rows : "SELECT r.rid FROM " + filter.From() + " WHERE " + filter.Where();
    sql = cap_total ? "SELECT count(*) FROM (" + sql + " LIMIT " + std::to_string(cap + 1) + ")"
                    : "SELECT count(*) FROM (" + sql + ")";
    SqliteStatement count = db_.Prepare(sql, &error);
    if (!count.valid()) return Fail("cannot count", error);
    BindAll(count, set_alone ? filter.set_binds : filter.binds);
    if (!count.Step()) return Fail("cannot count", count.error());
    page.total = static_cast<uint64_t>(count.Int(0));
    if (cap_total && count.Int(0) > cap) {
      page.total = static_cast<uint64_t>(cap);
      page.total_capped = true;
    }
  }
  return {};
}

IndexStatus ReportIndex::ModuleLowerBound(const Filter& filter, int64_t& bound) {
  bound = 0;
  std::string error;
  if (filter.lo == 0 && filter.hi == INT64_MAX) {
    SqliteStatement* reports = Statement("SELECT reports FROM module WHERE mid = ?", &error);
    if (!reports) return Fail("cannot count", error);
    for (int64_t mid : filter.scanned_mids) {
      reports->Reset();
      reports->BindInt(1, mid);
      if (reports->Step()) bound = std::max(bound, reports->Int(0));
      if (reports->failed()) return Fail("cannot count", reports->error());
      if (bound > options_.count_cap) break;
    }
    reports->Reset();
    return {};
  }
  // The whole days inside the range.
  const int64_t day = kDayMs * kPerMs;
  int64_t first = (filter.lo + day - 1) / day;
  int64_t end = filter.hi / day;
  if (end <= first) return {};
  SqliteStatement sums =
      db_.Prepare("SELECT mid, sum(n) FROM module_day WHERE day >= ? AND day < ? GROUP BY mid", &error);
  if (!sums.valid()) return Fail("cannot count", error);
  sums.BindInt(1, first);
  sums.BindInt(2, end);
  while (sums.Step()) {
    auto mid = static_cast<std::size_t>(sums.Int(0));
    if (mid < probe_mids_.size() && probe_mids_[mid]) bound = std::max(bound, sums.Int(1));
  }
  if (sums.failed()) return Fail("cannot count", sums.error());
  return {};
}

IndexStatus ReportIndex::ReadPage(const SearchQuery& query, const Filter& filter, SearchPage& page) {
  std::string error;
  SqliteStatement rows = db_.Prepare(
      "SELECT r.rid, r.id, r.received, r.sender, r.size, r.md5, r.file, r.problem, r.cpu_percent, r.free_bytes,"
      " r.udp_ok, r.speed_kbps, r.service_ok, r.channels_ok, r.parse_errors, r.module_count"
      " FROM " + filter.From() + " WHERE " + filter.Where() + " ORDER BY " +
          (filter.fts_drive ? "problem_fts.rowid" : "r.rid") + " DESC LIMIT ?",
      &error);
  if (!rows.valid()) return Fail("cannot search", error);
  BindAll(rows, filter.binds);
  rows.BindInt(static_cast<int>(filter.binds.size()) + 1, query.limit + 1);
  std::vector<int64_t> positions;
  while (rows.Step()) {
    if (static_cast<int>(page.hits.size()) == query.limit) {
      page.next_cursor = CursorText(positions.back());
      break;
    }
    positions.push_back(rows.Int(0));
    SearchHit hit;
    ReportRecord& r = hit.record;
    r.id = rows.Text(1);
    r.received = rows.Int(2);
    r.sender = static_cast<uint32_t>(rows.Int(3));
    r.size = static_cast<uint64_t>(rows.Int(4));
    r.md5 = rows.Text(5);
    r.file = rows.Text(6);
    report::ReportFacts& f = r.facts;
    if (!rows.IsNull(7)) f.problem = rows.Text(7);
    if (auto v = rows.OptionalInt(8)) f.cpu_percent = static_cast<int>(*v);
    if (auto v = rows.OptionalInt(9)) f.free_bytes = static_cast<uint64_t>(*v);
    if (auto v = rows.OptionalInt(10)) f.udp_ok = *v != 0;
    f.speed_kbps = rows.OptionalInt(11);
    if (auto v = rows.OptionalInt(12)) f.service_ok = *v != 0;
    if (auto v = rows.OptionalInt(13)) f.channels_ok = *v != 0;
    f.parse_errors = static_cast<uint32_t>(rows.Int(14));
    hit.module_count = static_cast<uint32_t>(rows.Int(15));
    page.hits.push_back(std::move(hit));
  }
  if (rows.failed()) return Fail("cannot search", rows.error());
  SqliteStatement* detail = Statement("SELECT adapters, channel_ids FROM report_detail WHERE rid = ?", &error);
  if (!detail) return Fail("cannot search", error);
  for (std::size_t i = 0; i < positions.size(); ++i) {
    detail->Reset();
    detail->BindInt(1, positions[i]);
    if (detail->Step()) {
      page.hits[i].record.facts.adapters = DecodeAdapters(detail->Text(0));
      page.hits[i].record.facts.channel_ids = DecodeStrings(detail->Text(1));
    }
  }
  detail->Reset();
  return {};
}

IndexStatus ReportIndex::Count(const SearchQuery& query, uint64_t& total) {
  Call call(*this);
  total = 0;
  if (!db_.is_open()) return IndexStatus::Failure("the index is not open");
  Filter filter;
  if (IndexStatus s = BuildFilter(query, filter, Plan::kEvery); !s || filter.none) return s;
  std::string error;
  SqliteStatement count = db_.Prepare("SELECT count(*) FROM report r WHERE " + filter.Where(), &error);
  if (!count.valid()) return Fail("cannot count", error);
  BindAll(count, filter.binds);
  if (!count.Step()) return Fail("cannot count", count.error());
  total = static_cast<uint64_t>(count.Int(0));
  return {};
}

namespace {

// A query with only a time range reads the whole hours inside it from the
// hourly tallies, and only the pieces of hours at either end report by
// report. Position ranges [lo, hi).
struct HourSplit {
  bool whole = false;  // some whole hour lies inside
  int64_t first_hour = 0, end_hour = 0;
  std::vector<std::pair<int64_t, int64_t>> pieces;
};

HourSplit SplitHours(int64_t lo, int64_t hi) {
  const int64_t width = kHourMs * kPerMs;
  HourSplit split;
  split.first_hour = (lo + width - 1) / width;
  split.end_hour = hi == INT64_MAX ? INT64_MAX / width : hi / width;
  if (split.first_hour >= split.end_hour) return split;
  split.whole = true;
  if (lo < split.first_hour * width) split.pieces.emplace_back(lo, split.first_hour * width);
  if (split.end_hour < INT64_MAX / width && split.end_hour * width < hi) {
    split.pieces.emplace_back(split.end_hour * width, hi);
  }
  return split;
}

constexpr const char* kPiece = "r.rid >= ? AND r.rid < ?";

}  // namespace

// Calls scan(where, binds) for the parts of the filter's set read report by
// report, and tally(first_hour, end_hour) for the whole hours read from the
// tallies when the filter has only a time range.
template <class Scan, class Tally>
IndexStatus ReportIndex::ForEachPart(const Filter& filter, Scan scan, Tally tally) {
  HourSplit split = filter.time_only ? SplitHours(filter.lo, filter.hi) : HourSplit{};
  if (!split.whole) return scan(filter.Where(), filter.binds);
  if (IndexStatus s = tally(split.first_hour, split.end_hour); !s) return s;
  for (const auto& [lo, hi] : split.pieces) {
    if (IndexStatus s = scan(std::string(kPiece), std::vector<Bound>{lo, hi}); !s) return s;
  }
  return {};
}

IndexStatus ReportIndex::CountsPer(const SearchQuery& query, TimeBucket bucket, std::vector<TimeCount>& counts) {
  Call call(*this);
  counts.clear();
  if (!db_.is_open()) return IndexStatus::Failure("the index is not open");
  SearchQuery all = query;
  all.cursor.reset();
  Filter filter;
  if (IndexStatus s = BuildFilter(all, filter, Plan::kEvery); !s || filter.none) return s;
  int64_t width = bucket == TimeBucket::kHour ? kHourMs : kDayMs;
  std::map<int64_t, uint64_t> per;
  std::string error;
  auto scan = [&](const std::string& where, const std::vector<Bound>& binds) -> IndexStatus {
    SqliteStatement rows = db_.Prepare("SELECT r.rid / " + std::to_string(width * kPerMs) +
                                           " AS b, count(*) FROM report r WHERE " + where + " GROUP BY b",
                                       &error);
    if (!rows.valid()) return Fail("cannot count", error);
    BindAll(rows, binds);
    while (rows.Step()) per[rows.Int(0) * width] += static_cast<uint64_t>(rows.Int(1));
    if (rows.failed()) return Fail("cannot count", rows.error());
    return {};
  };
  auto tally = [&](int64_t first, int64_t end) -> IndexStatus {
    SqliteStatement rows = db_.Prepare("SELECT hour / " + std::to_string(width / kHourMs) +
                                           " AS b, sum(reports) FROM hour_tally WHERE hour >= ? AND hour < ? GROUP BY b",
                                       &error);
    if (!rows.valid()) return Fail("cannot count", error);
    rows.BindInt(1, first);
    rows.BindInt(2, end);
    while (rows.Step()) {
      if (rows.Int(1) > 0) per[rows.Int(0) * width] += static_cast<uint64_t>(rows.Int(1));
    }
    if (rows.failed()) return Fail("cannot count", rows.error());
    return {};
  };
  if (IndexStatus s = ForEachPart(filter, scan, tally); !s) return s;
  for (const auto& [start, n] : per) counts.push_back({start, n});
  return {};
}

IndexStatus ReportIndex::FailuresPerDay(const SearchQuery& query, std::vector<DayFailures>& days) {
  Call call(*this);
  days.clear();
  if (!db_.is_open()) return IndexStatus::Failure("the index is not open");
  SearchQuery all = query;
  all.cursor.reset();
  Filter filter;
  if (IndexStatus s = BuildFilter(all, filter, Plan::kEvery); !s || filter.none) return s;
  std::map<int64_t, DayFailures> per;
  std::string error;
  // Both read: day, reports, known per check, failed per check.
  auto read = [&](SqliteStatement& rows) -> IndexStatus {
    while (rows.Step()) {
      if (rows.Int(1) <= 0) continue;
      DayFailures& d = per[rows.Int(0) * kDayMs];
      d.day_ms = rows.Int(0) * kDayMs;
      d.reports += static_cast<uint64_t>(rows.Int(1));
      for (int i = 0; i < 4; ++i) {
        d.known[static_cast<std::size_t>(i)] += static_cast<uint64_t>(rows.Int(2 + i));
        d.failed[static_cast<std::size_t>(i)] += static_cast<uint64_t>(rows.Int(6 + i));
      }
    }
    if (rows.failed()) return Fail("cannot count failures", rows.error());
    return {};
  };
  auto scan = [&](const std::string& where, const std::vector<Bound>& binds) -> IndexStatus {
    SqliteStatement rows = db_.Prepare(
        "SELECT r.rid / " + std::to_string(kDayMs * kPerMs) +
            " AS b, count(*), count(r.udp_ok), count(r.speed_kbps), count(r.service_ok), count(r.channels_ok),"
            " total(r.udp_ok = 0), total(r.speed_kbps = 0), total(r.service_ok = 0), total(r.channels_ok = 0)"
            " FROM report r WHERE " + where + " GROUP BY b",
        &error);
    if (!rows.valid()) return Fail("cannot count failures", error);
    BindAll(rows, binds);
    return read(rows);
  };
  auto tally = [&](int64_t first, int64_t end) -> IndexStatus {
    SqliteStatement rows = db_.Prepare(
        "SELECT hour / 24 AS b, sum(reports), sum(known_udp), sum(known_speed), sum(known_service),"
        " sum(known_channels), sum(failed_udp), sum(failed_speed), sum(failed_service), sum(failed_channels)"
        " FROM hour_tally WHERE hour >= ? AND hour < ? GROUP BY b",
        &error);
    if (!rows.valid()) return Fail("cannot count failures", error);
    rows.BindInt(1, first);
    rows.BindInt(2, end);
    return read(rows);
  };
  if (IndexStatus s = ForEachPart(filter, scan, tally); !s) return s;
  for (const auto& [day, d] : per) days.push_back(d);
  return {};
}

IndexStatus ReportIndex::SpeedHistogram(const SearchQuery& query, std::vector<SpeedBin>& bins) {
  Call call(*this);
  bins.clear();
  bins.push_back({0, 1, 0});
  for (int64_t low = 1, high = 64; low <= 16384; low = high, high *= 2) {
    bins.push_back({low, low == 16384 ? -1 : high, 0});
    if (low == 16384) break;
  }
  if (!db_.is_open()) return IndexStatus::Failure("the index is not open");
  SearchQuery all = query;
  all.cursor.reset();
  Filter filter;
  if (IndexStatus s = BuildFilter(all, filter, Plan::kEvery); !s || filter.none) return s;
  std::string error;
  auto scan = [&](const std::string& where, const std::vector<Bound>& binds) -> IndexStatus {
    SqliteStatement rows = db_.Prepare(std::string("SELECT ") + kSpeedBinSql + " AS b, count(*)" +
                                           " FROM report r WHERE r.speed_kbps IS NOT NULL AND " + where + " GROUP BY b",
                                       &error);
    if (!rows.valid()) return Fail("cannot count speeds", error);
    BindAll(rows, binds);
    while (rows.Step()) {
      auto b = static_cast<std::size_t>(std::clamp<int64_t>(rows.Int(0), 0, static_cast<int64_t>(bins.size()) - 1));
      bins[b].count += static_cast<uint64_t>(rows.Int(1));
    }
    if (rows.failed()) return Fail("cannot count speeds", rows.error());
    return {};
  };
  auto tally = [&](int64_t first, int64_t end) -> IndexStatus {
    SqliteStatement rows = db_.Prepare(
        "SELECT sum(s0), sum(s1), sum(s2), sum(s3), sum(s4), sum(s5), sum(s6), sum(s7), sum(s8), sum(s9), sum(s10)"
        " FROM hour_tally WHERE hour >= ? AND hour < ?",
        &error);
    if (!rows.valid()) return Fail("cannot count speeds", error);
    rows.BindInt(1, first);
    rows.BindInt(2, end);
    if (!rows.Step()) return Fail("cannot count speeds", rows.error());
    for (std::size_t i = 0; i < bins.size() && i < 11; ++i) {
      bins[i].count += static_cast<uint64_t>(std::max<int64_t>(0, rows.Int(static_cast<int>(i))));
    }
    return {};
  };
  return ForEachPart(filter, scan, tally);
}

IndexStatus ReportIndex::OverRepresentedModules(const SearchQuery& query, std::size_t top, uint64_t min_reports,
                                                std::vector<ModuleLift>& modules) {
  Call call(*this);
  modules.clear();
  if (!db_.is_open()) return IndexStatus::Failure("the index is not open");
  SearchQuery all = query;
  all.cursor.reset();
  Filter filter;
  if (IndexStatus s = BuildFilter(all, filter, Plan::kEvery); !s || filter.none) return s;
  std::string error;
  auto fail = [&](const std::string& detail) { return Fail("cannot compare modules", detail); };

  // The set: module ids of every matching report, each counted once per report.
  std::unordered_map<uint64_t, uint64_t> in_set;
  uint64_t set_total = 0;
  // Module ids are small numbers given in turn: counted in arrays by id,
  // each once per report (last_report holds the last report counting it).
  std::vector<uint32_t> count_of, last_report;
  uint32_t report_no = 0;
  auto read_set = [&](const std::string& where, const std::vector<Bound>& binds) -> IndexStatus {
    SqliteStatement rows =
        db_.Prepare("SELECT d.modules FROM report r JOIN report_detail d ON d.rid = r.rid WHERE " + where, &error);
    if (!rows.valid()) return fail(error);
    BindAll(rows, binds);
    while (rows.Step()) {
      ++set_total;
      ++report_no;
      std::string_view blob = rows.View(0);
      std::size_t pos = 0;
      uint64_t mid = 0;
      while (GetVarint(blob, pos, mid)) {
        if (mid >= count_of.size()) {
          if (mid > std::numeric_limits<uint32_t>::max()) return fail("module " + std::to_string(mid) + " out of range");
          count_of.resize(mid + mid / 2 + 1024);
          last_report.resize(count_of.size());
        }
        if (last_report[mid] != report_no) {
          last_report[mid] = report_no;
          ++count_of[mid];
        }
      }
    }
    if (rows.failed()) return fail(rows.error());
    return {};
  };
  const int64_t day_width = kDayMs * kPerMs;
  int64_t whole_first = (filter.lo + day_width - 1) / day_width;
  int64_t whole_end = filter.hi == INT64_MAX ? INT64_MAX / day_width : filter.hi / day_width;
  if (filter.time_only && whole_first < whole_end) {
    // Every report of the whole days inside the range is in the set: their
    // modules are counted per day already. Only the parts of days at either
    // end are read report by report.
    SqliteStatement days = db_.Prepare(
        "SELECT mid, sum(n) FROM module_day WHERE day >= ? AND day < ? GROUP BY mid", &error);
    if (!days.valid()) return fail(error);
    days.BindInt(1, whole_first);
    days.BindInt(2, whole_end);
    while (days.Step()) in_set[static_cast<uint64_t>(days.Int(0))] += static_cast<uint64_t>(days.Int(1));
    if (days.failed()) return fail(days.error());
    SqliteStatement whole = db_.Prepare("SELECT count(*) FROM report WHERE rid >= ? AND rid < ?", &error);
    if (!whole.valid()) return fail(error);
    whole.BindInt(1, whole_first * day_width);
    whole.BindInt(2, whole_end >= INT64_MAX / day_width ? INT64_MAX : whole_end * day_width);
    if (!whole.Step()) return fail(whole.error());
    set_total += static_cast<uint64_t>(whole.Int(0));
    const std::string part = "r.rid >= ? AND r.rid < ?";
    if (filter.lo < whole_first * day_width) {
      if (IndexStatus s = read_set(part, {filter.lo, whole_first * day_width}); !s) return s;
    }
    if (whole_end < INT64_MAX / day_width && whole_end * day_width < filter.hi) {
      if (IndexStatus s = read_set(part, {whole_end * day_width, filter.hi}); !s) return s;
    }
  } else if (IndexStatus s = read_set(filter.Where(), filter.binds); !s) {
    return s;
  }
  for (std::size_t mid = 0; mid < count_of.size(); ++mid) {
    if (count_of[mid] != 0) in_set[mid] += count_of[mid];
  }
  if (set_total == 0) return {};

  // The period: the whole UTC days the query's range touches.
  int64_t first_day = filter.lo / kPerMs / kDayMs;
  int64_t end_day = filter.hi == INT64_MAX ? INT64_MAX / kPerMs / kDayMs : (filter.hi / kPerMs + kDayMs - 1) / kDayMs;
  SqliteStatement total = db_.Prepare("SELECT count(*) FROM report WHERE rid >= ? AND rid < ?", &error);
  if (!total.valid()) return fail(error);
  total.BindInt(1, first_day * kDayMs * kPerMs);
  total.BindInt(2, end_day >= INT64_MAX / kPerMs / kDayMs ? INT64_MAX : end_day * kDayMs * kPerMs);
  if (!total.Step()) return fail(total.error());
  auto period_total = static_cast<uint64_t>(total.Int(0));
  SqliteStatement period = db_.Prepare(
      "SELECT mid, sum(n) FROM module_day WHERE day >= ? AND day < ? GROUP BY mid", &error);
  if (!period.valid()) return fail(error);
  period.BindInt(1, first_day);
  period.BindInt(2, end_day);
  std::unordered_map<uint64_t, uint64_t> in_period;
  while (period.Step()) in_period[static_cast<uint64_t>(period.Int(0))] = static_cast<uint64_t>(period.Int(1));
  if (period.failed()) return fail(period.error());

  std::vector<std::pair<double, uint64_t>> ranked;
  for (const auto& [mid, a] : in_set) {
    if (a < min_reports) continue;
    uint64_t b = std::max(in_period[mid], a);
    double lift = ((static_cast<double>(a) + 1) / (static_cast<double>(set_total) + 2)) /
                  ((static_cast<double>(b) + 1) / (static_cast<double>(std::max(period_total, b)) + 2));
    ranked.emplace_back(lift, mid);
  }
  std::sort(ranked.begin(), ranked.end(), [&](const auto& x, const auto& y) {
    if (x.first != y.first) return x.first > y.first;
    return in_set[x.second] != in_set[y.second] ? in_set[x.second] > in_set[y.second] : x.second < y.second;
  });
  if (ranked.size() > top) ranked.resize(top);
  SqliteStatement* path = Statement("SELECT path FROM module WHERE mid = ?", &error);
  if (!path) return fail(error);
  for (const auto& [lift, mid] : ranked) {
    path->Reset();
    path->BindInt(1, static_cast<int64_t>(mid));
    if (!path->Step()) return fail("module " + std::to_string(mid) + " missing");
    uint64_t b = std::max(in_period[mid], in_set[mid]);
    modules.push_back({path->Text(0), in_set[mid], set_total, b, std::max(period_total, b), lift});
  }
  path->Reset();
  return {};
}

}  // namespace zandrel::store
