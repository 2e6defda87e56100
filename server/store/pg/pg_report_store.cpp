#include "server/store/pg/pg_report_store.h"

#include <algorithm>
#include <optional>
#include <set>
#include <unordered_map>

#include <nlohmann/json.hpp>

#include "server/store/pg/pg_connection.h"
#include "server/store/pg/pg_rows.h"
#include "server/store/pg/pg_schema.h"
#include "server/store/report_id.h"

namespace zandrel::store {
namespace {

constexpr int64_t kPerMs = 64;
constexpr int64_t kDayMs = 86400000;
constexpr int64_t kHourMs = 3600000;
constexpr int64_t kMaxReceivedMs = (int64_t{1} << 47) / kPerMs;

IndexStatus Fail(std::string_view what, const std::string& detail) {
  return IndexStatus::Failure(std::string(what) + ": " + detail);
}

PgParam Text(std::string s) { return PgParam{std::move(s), false}; }
PgParam Number(int64_t v) { return PgParam{std::to_string(v), false}; }
std::string Dotted(uint32_t a) {
  return std::to_string(a >> 24) + "." + std::to_string(a >> 16 & 255) + "." + std::to_string(a >> 8 & 255) + "." +
         std::to_string(a & 255);
}



// The tokens a query word must all have, as ProblemTokens splits texts: a
// Latin word itself, a CJK run's single character or its pairs.
std::vector<std::string> WordTokens(const std::string& word, bool& phrase) {
  phrase = false;
  if (static_cast<unsigned char>(word[0]) < 0x80) return {word};
  std::vector<std::string> chars;
  for (std::size_t pos = 0; pos < word.size();) {
    std::size_t len = 1;
    auto b = static_cast<unsigned char>(word[pos]);
    if (b >= 0xF0) {
      len = 4;
    } else if (b >= 0xE0) {
      len = 3;
    } else if (b >= 0xC0) {
      len = 2;
    }
    chars.push_back(word.substr(pos, len));
    pos += len;
  }
  if (chars.size() == 1) return chars;
  std::vector<std::string> pairs;
  for (std::size_t i = 0; i + 1 < chars.size(); ++i) pairs.push_back(chars[i] + chars[i + 1]);
  phrase = chars.size() > 2;  // pairs alone do not say they are in a row
  return pairs;
}



std::vector<std::string> JsonStrings(const std::string& text) {
  std::vector<std::string> out;
  nlohmann::json list = nlohmann::json::parse(text, nullptr, false);
  if (!list.is_array()) return out;
  for (const auto& item : list) out.push_back(item.is_string() ? item.get<std::string>() : std::string());
  return out;
}

std::vector<report::Adapter> JsonAdapters(const std::string& text) {
  std::vector<report::Adapter> out;
  nlohmann::json list = nlohmann::json::parse(text, nullptr, false);
  if (!list.is_array()) return out;
  for (const auto& a : list) {
    if (!a.is_object()) continue;
    auto field = [&](const char* name) { return a.value(name, std::string()); };
    out.push_back({field("name"), field("description"), field("mac"), field("ipv4"), field("mask"), field("gateway")});
  }
  return out;
}

// Reads a row of PgHitColumns().
SearchHit ReadHit(const PgResult& rows, int row) {
  SearchHit hit;
  ReportRecord& r = hit.record;
  r.id = ReportIdText(static_cast<uint64_t>(rows.Int(row, 1)));
  r.received = rows.Int(row, 2);
  r.sender = static_cast<uint32_t>(rows.Int(row, 3));
  r.size = static_cast<uint64_t>(rows.Int(row, 4));
  r.md5 = rows.Text(row, 5);
  report::ReportFacts& f = r.facts;
  if (!rows.IsNull(row, 6)) f.problem = rows.Text(row, 6);
  if (auto v = rows.OptionalInt(row, 7)) f.cpu_percent = static_cast<int>(*v);
  if (auto v = rows.OptionalInt(row, 8)) f.free_bytes = static_cast<uint64_t>(*v);
  f.udp_ok = rows.OptionalBool(row, 9);
  f.speed_kbps = rows.OptionalInt(row, 10);
  f.service_ok = rows.OptionalBool(row, 11);
  f.channels_ok = rows.OptionalBool(row, 12);
  f.parse_errors = static_cast<uint32_t>(rows.Int(row, 13));
  hit.module_count = static_cast<uint32_t>(rows.Int(row, 14));
  f.adapters = JsonAdapters(rows.Text(row, 15));
  f.channel_ids = JsonStrings(rows.Text(row, 16));
  return hit;
}

}  // namespace

std::string PgHitColumns() {
  return "s.rid, p.id, (extract(epoch FROM p.received) * 1000)::bigint, p.sender - '0.0.0.0'::inet, p.size, p.md5,"
         " p.problem, p.cpu_percent, p.free_bytes, p.udp_ok, p.speed_kbps, p.service_ok, p.channels_ok, p.parse_errors,"
         " cardinality(p.modules), p.adapters, array_to_json(p.channel_ids)";
}

IndexStatus PgReportStore::Open(const std::string& conninfo, bool migrate) {
  std::lock_guard lock(mutex_);
  if (migrate) {
    pg::Connection conn;
    pg::PgError error;
    if (!conn.Connect(conninfo, error)) return Fail("cannot connect to the database", error.message);
    if (!pg::Migrate(conn, error)) return Fail("cannot bring the database's schema up to date", error.message);
  }
  std::string error;
  if (!conn_.Connect(conninfo, &error)) return Fail("cannot connect to the database", error);
  PgResult exists = conn_.Query("SELECT to_regclass('zandrel_schema') IS NOT NULL");
  if (!exists) return Fail("cannot read the database's schema version", exists.error());
  int found = 0;
  if (exists.Text(0, 0) == "t") {
    PgResult version = conn_.Query("SELECT coalesce(max(version), 0) FROM zandrel_schema");
    if (!version) return Fail("cannot read the database's schema version", version.error());
    found = static_cast<int>(version.Int(0, 0));
  }
  if (found != pg::kSchemaVersion) {
    conn_.Close();
    return IndexStatus::Failure("the database's schema is version " + std::to_string(found) + ", this program's " +
                                std::to_string(pg::kSchemaVersion) + ": " + pg::MigrateHint());
  }
  return {};
}

IndexStatus PgReportStore::Insert(const std::vector<ReportRecord>& records, const std::vector<std::string>& bodies,
                                  uint64_t* added) {
  std::lock_guard lock(mutex_);
  if (records.size() != bodies.size()) return IndexStatus::Failure("a body for each record is needed");
  std::string error;
  if (!conn_.Exec("BEGIN", &error)) return Fail("cannot store reports", error);
  uint64_t count = 0;
  IndexStatus status = InsertLocked(records, bodies, count);
  if (status && !conn_.Exec("COMMIT", &error)) status = Fail("cannot store reports", error);
  if (!status) {
    conn_.Exec("ROLLBACK", nullptr);
    module_ids_ = {};
    count = 0;
  }
  if (added) *added = count;
  return status;
}

IndexStatus PgReportStore::InsertLocked(const std::vector<ReportRecord>& records,
                                        const std::vector<std::string>& bodies, uint64_t& added) {
  // The day partitions the reports go to.
  std::set<int64_t> days;
  for (const ReportRecord& r : records) {
    if (r.received < 0 || r.received >= kMaxReceivedMs) {
      return Fail("cannot store report " + r.id, "received time out of range");
    }
    days.insert(r.received / kDayMs);
  }
  for (int64_t day : days) {
    PgResult made = conn_.Query("SELECT zandrel_make_partition(date '1970-01-01' + $1::integer)", {Number(day)});
    if (!made) return Fail("cannot make a day partition", made.error());
  }
  // Reports stored already are left out, so that the rest's module day
  // counts, added by the statement that inserts them, are counted once.
  std::vector<uint64_t> ids;
  for (const ReportRecord& r : records) {
    std::optional<uint64_t> id = ParseReportId(r.id);
    if (!id) return Fail("cannot store report " + r.id, "not a report id");
    ids.push_back(*id);
  }
  std::set<std::pair<uint64_t, int64_t>> there;
  PgResult stored = conn_.Query(
      "SELECT id, (extract(epoch FROM received) * 1000)::bigint FROM reports WHERE id = ANY($1::bigint[])",
      {Text(PgArrayLiteral(std::vector<int64_t>(ids.begin(), ids.end())))});
  if (!stored) return Fail("cannot store reports", stored.error());
  for (int i = 0; i < stored.rows(); ++i) {
    there.insert({static_cast<uint64_t>(stored.Int(i, 0)), stored.Int(i, 1)});
  }
  std::vector<std::size_t> fresh;
  std::vector<std::vector<std::string>> paths;
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (there.count({ids[i], records[i].received})) continue;
    fresh.push_back(i);
    paths.push_back(pg::ModulePaths(records[i].facts));
  }
  // The module ids of the paths, those new added in this transaction.
  if (std::string unknown = module_ids_.Unknown(paths); !unknown.empty()) {
    PgResult learnt = conn_.Query("SELECT path, mid FROM zandrel_module_ids($1::text[])", {Text(unknown)});
    if (!learnt) return Fail("cannot store reports", learnt.error());
    for (int i = 0; i < learnt.rows(); ++i) module_ids_.Learn(learnt.Text(i, 0), static_cast<int32_t>(learnt.Int(i, 1)));
  }
  // The receivers' own row and statement, in batches within the
  // statement's limit of parameters.
  constexpr std::size_t kBatch = 500;
  std::vector<int32_t> mids;
  for (std::size_t first = 0; first < fresh.size(); first += kBatch) {
    std::size_t n = std::min(kBatch, fresh.size() - first);
    PgParams params;
    pg::ModuleDayCounts days;
    std::set<std::pair<uint64_t, int64_t>> counted;  // one report twice in the records is one row
    for (std::size_t k = first; k < first + n; ++k) {
      std::size_t i = fresh[k];
      const ReportRecord& r = records[i];
      bool known = module_ids_.Ids(paths[k], mids);
      pg::RowValues row = pg::MakeRow(ids[i], r.received, r.sender, r.md5, bodies[i], r.facts, known ? &mids : nullptr);
      if (known && counted.insert({ids[i], r.received}).second) days.Add(r.received, mids);
      for (auto& v : row.text) params.push_back(PgParam{std::move(v), false});
      params.push_back(PgParam{std::string(row.body), true});
    }
    for (std::string& list : days.Params()) params.push_back(PgParam{std::move(list), false});
    PgResult inserted = conn_.Query(pg::InsertSql(n, true), params);
    if (!inserted) return Fail("cannot store reports", inserted.error());
    added += static_cast<uint64_t>(inserted.Int(0, 0));
  }
  return {};
}

IndexStatus PgReportStore::AdvanceIdSequence() {
  std::lock_guard lock(mutex_);
  // Ids are shuffled sequence numbers: the largest sequence number is found
  // by reading them all (an import's cost, not a query's).
  PgResult ids = conn_.Query("SELECT id FROM report_search");
  if (!ids) return Fail("cannot read the report ids", ids.error());
  uint64_t last = 0;
  for (int i = 0; i < ids.rows(); ++i) {
    last = std::max(last, SequenceForReportId(static_cast<uint64_t>(ids.Int(i, 0))));
  }
  // report_seq hands out the first number of each block: its next value
  // becomes the number after the last one taken, unless it is past it already.
  PgResult moved = conn_.Query(
      "SELECT setval('report_seq', $1::bigint + 1, false)"
      " FROM report_seq WHERE (CASE WHEN is_called THEN last_value + 64 ELSE last_value END) <= $1::bigint",
      {Number(static_cast<int64_t>(last))});
  if (!moved) return Fail("cannot move the id sequence", moved.error());
  return {};
}

IndexStatus PgReportStore::Has(std::string_view id, bool& found) {
  std::lock_guard lock(mutex_);
  found = false;
  std::optional<uint64_t> value = ParseReportId(id);
  if (!value) return {};
  PgResult row = conn_.Query("SELECT 1 FROM report_search WHERE id = $1", {Number(static_cast<int64_t>(*value))});
  if (!row) return Fail("cannot look up a report", row.error());
  found = row.rows() > 0;
  return {};
}

IndexStatus PgReportStore::BuildFilter(const SearchQuery& q, Filter& filter) {
  filter = {};
  if (q.from_ms) filter.lo = std::max<int64_t>(0, *q.from_ms) * kPerMs;
  if (q.to_ms) filter.hi = std::min<int64_t>(*q.to_ms, INT64_MAX / kPerMs) * kPerMs;
  if (q.cursor) filter.hi = std::min(filter.hi, *q.cursor);
  if (filter.hi <= filter.lo) {
    filter.none = true;
    return {};
  }
  std::vector<std::string> conditions;
  auto param = [&](PgParam p) {
    filter.params.push_back(std::move(p));
    return "$" + std::to_string(filter.params.size());
  };
  if (filter.lo > 0) conditions.push_back("r.rid >= " + param(Number(filter.lo)) + "::bigint");
  if (filter.hi < INT64_MAX) conditions.push_back("r.rid < " + param(Number(filter.hi)) + "::bigint");
  if (q.failed & kCheckUdp) conditions.push_back("r.udp_ok = false");
  if (q.failed & kCheckSpeed) conditions.push_back("r.speed_kbps = 0");
  if (q.failed & kCheckService) conditions.push_back("r.service_ok = false");
  if (q.failed & kCheckChannels) conditions.push_back("r.channels_ok = false");
  if (q.slower_than) conditions.push_back("r.speed_kbps < " + param(Number(*q.slower_than)) + "::bigint");
  if (!q.words.empty()) {
    std::vector<std::string> tokens;
    for (const std::string& word : q.words) {
      bool phrase = false;
      for (std::string& t : WordTokens(word, phrase)) tokens.push_back(std::move(t));
      // Three characters or more: the pairs are there; the text says whether in a row.
      if (phrase) conditions.push_back("strpos(r.problem, " + param(Text(word)) + ") > 0");
    }
    conditions.push_back("r.tokens @> " + param(Text(PgArrayLiteral(tokens))) + "::text[]");
  }
  if (q.ip) {
    uint32_t size = q.ip->last - q.ip->first;
    int bits = 32;
    while (size != 0) {
      size >>= 1;
      --bits;
    }
    conditions.push_back("EXISTS (SELECT 1 FROM report_address a WHERE a.rid = r.rid AND a.ip <<= " +
                         param(Text(Dotted(q.ip->first) + "/" + std::to_string(bits))) + "::inet)");
  }
  if (q.mac) {
    conditions.push_back("r.macs @> ARRAY[" + param(Number(static_cast<int64_t>(*q.mac))) + "::bigint]");
  }
  if (q.module) {
    // The module table is small beside the reports: find the modules first.
    bool fragment = q.module->find('\\') != std::string::npos;
    PgResult found = fragment ? conn_.Query("SELECT mid FROM module WHERE lc LIKE $1", {Text(PgContainsPattern(*q.module))})
                              : conn_.Query("SELECT mid FROM module WHERE name = $1", {Text(*q.module)});
    if (!found) return Fail("cannot search", found.error());
    std::vector<int64_t> mids;
    for (int i = 0; i < found.rows(); ++i) mids.push_back(found.Int(i, 0));
    if (mids.empty()) {
      filter.none = true;
      return {};
    }
    conditions.push_back("r.modules && " + param(Text(PgArrayLiteral(mids))) + "::integer[]");
  }
  for (const std::string& c : conditions) filter.where += (filter.where.empty() ? "" : " AND ") + c;
  if (filter.where.empty()) filter.where = "true";
  return {};
}

IndexStatus PgReportStore::CountLocked(const Filter& filter, uint64_t& total, int64_t cap) {
  total = 0;
  if (filter.none) return {};
  std::string rows = "SELECT 1 FROM report_search r WHERE " + filter.where;
  if (cap >= 0) rows += " LIMIT " + std::to_string(cap + 1);
  PgResult count = conn_.Query("SELECT count(*) FROM (" + rows + ") c", filter.params);
  if (!count) return Fail("cannot count", count.error());
  total = static_cast<uint64_t>(count.Int(0, 0));
  return {};
}

IndexStatus PgReportStore::Search(const SearchQuery& query, SearchPage& page, bool with_total, bool cap_total) {
  std::lock_guard lock(mutex_);
  return SearchLocked(query, page, with_total, cap_total);
}

IndexStatus PgReportStore::SearchLocked(const SearchQuery& query, SearchPage& page, bool with_total, bool cap_total) {
  page = {};
  if (!conn_.is_open()) return IndexStatus::Failure("the database is not open");
  Filter filter;
  if (IndexStatus s = BuildFilter(query, filter); !s) return s;
  if (!filter.none) {
    PgParams params = filter.params;
    params.push_back(Number(query.limit + 1));
    std::string limit = " ORDER BY r.rid DESC LIMIT $" + std::to_string(params.size());
    // The page's positions first, then their rows of reports: the days
    // named as values let the planner open only those days' partitions.
    // Where many reports match, the newest walked first hold the page: if
    // a whole page (and one more) is among them, no older match can be on
    // it. The planner cannot tell such filters (a phrase, a /16) from rare
    // ones, and would read every match to sort them.
    std::optional<PgResult> page_rows;
    if (walk_rows_ > 0 && filter.where != "true") {
      std::string newest = "SELECT * FROM report_search r WHERE true";
      if (filter.lo > 0) newest += " AND r.rid >= " + std::to_string(filter.lo);
      if (filter.hi < INT64_MAX) newest += " AND r.rid < " + std::to_string(filter.hi);
      newest += " ORDER BY r.rid DESC LIMIT " + std::to_string(walk_rows_);
      page_rows = conn_.Query("SELECT r.rid, r.id, r.received FROM (" + newest + ") r WHERE " + filter.where + limit,
                              params);
      if (!*page_rows) return Fail("cannot search", page_rows->error());
      if (page_rows->rows() <= query.limit) page_rows.reset();
    }
    if (!page_rows) {
      page_rows = conn_.Query("SELECT r.rid, r.id, r.received FROM report_search r WHERE " + filter.where + limit,
                              params);
      if (!*page_rows) return Fail("cannot search", page_rows->error());
    }
    int shown = std::min(page_rows->rows(), query.limit);
    if (page_rows->rows() > query.limit) page.next_cursor = CursorText(page_rows->Int(shown - 1, 0));
    std::vector<std::string> rids, ids, received;
    for (int i = 0; i < shown; ++i) {
      rids.push_back(page_rows->Text(i, 0));
      ids.push_back(page_rows->Text(i, 1));
      received.push_back(page_rows->Text(i, 2));
    }
    if (shown > 0) {
      PgResult rows = conn_.Query("SELECT " + PgHitColumns() +
                                      " FROM unnest($1::bigint[], $2::bigint[], $3::timestamptz[]) s(rid, id, received)"
                                      " JOIN reports p ON p.id = s.id AND p.received = s.received"
                                      " WHERE p.received = ANY($3::timestamptz[]) ORDER BY s.rid DESC",
                                  {Text(PgArrayLiteral(rids)), Text(PgArrayLiteral(ids)), Text(PgArrayLiteral(received))});
      if (!rows) return Fail("cannot search", rows.error());
      for (int i = 0; i < rows.rows(); ++i) page.hits.push_back(ReadHit(rows, i));
    }
  }
  if (with_total) {
    SearchQuery all = query;
    all.cursor.reset();
    if (IndexStatus s = BuildFilter(all, filter); !s) return s;
    uint64_t total = 0;
    int64_t cap = cap_total ? std::max<int64_t>(0, count_cap_) : -1;
    if (IndexStatus s = CountLocked(filter, total, cap); !s) return s;
    page.total = total;
    if (cap_total && total > static_cast<uint64_t>(cap)) {
      page.total = static_cast<uint64_t>(cap);
      page.total_capped = true;
    }
  }
  return {};
}

IndexStatus PgReportStore::Count(const SearchQuery& query, uint64_t& total) {
  std::lock_guard lock(mutex_);
  total = 0;
  Filter filter;
  if (IndexStatus s = BuildFilter(query, filter); !s) return s;
  return CountLocked(filter, total);
}

IndexStatus PgReportStore::Get(std::string_view id, std::optional<ReportRecord>& record) {
  std::lock_guard lock(mutex_);
  record.reset();
  std::optional<uint64_t> value = ParseReportId(id);
  if (!value) return {};
  PgResult row = conn_.Query("SELECT " + PgHitColumns() + ", array_to_json(p.modules)"
                             " FROM report_search s JOIN reports p ON p.id = s.id AND p.received = s.received"
                             " WHERE s.id = $1",
                             {Number(static_cast<int64_t>(*value))});
  if (!row) return Fail("cannot read a report", row.error());
  if (row.rows() == 0) return {};
  SearchHit hit = ReadHit(row, 0);
  hit.record.facts.modules = JsonStrings(row.Text(0, 17));
  record = std::move(hit.record);
  return {};
}

IndexStatus PgReportStore::Body(std::string_view id, std::optional<std::string>& body) {
  std::lock_guard lock(mutex_);
  body.reset();
  std::optional<uint64_t> value = ParseReportId(id);
  if (!value) return {};
  PgResult row = conn_.Query("SELECT body FROM reports WHERE id = $1",
                             {Number(static_cast<int64_t>(*value))}, true);
  if (!row) return Fail("cannot read a report's body", row.error());
  if (row.rows() > 0) body = row.Text(0, 0);
  return {};
}

IndexStatus PgReportStore::CountsPer(const SearchQuery& query, TimeBucket bucket, std::vector<TimeCount>& counts) {
  std::lock_guard lock(mutex_);
  counts.clear();
  SearchQuery all = query;
  all.cursor.reset();
  Filter filter;
  if (IndexStatus s = BuildFilter(all, filter); !s || filter.none) return s;
  int64_t width = bucket == TimeBucket::kHour ? kHourMs : kDayMs;
  PgResult rows = conn_.Query("SELECT r.rid / " + std::to_string(width * kPerMs) +
                                  " AS b, count(*) FROM report_search r WHERE " + filter.where + " GROUP BY b ORDER BY b",
                              filter.params);
  if (!rows) return Fail("cannot count", rows.error());
  for (int i = 0; i < rows.rows(); ++i) counts.push_back({rows.Int(i, 0) * width, static_cast<uint64_t>(rows.Int(i, 1))});
  return {};
}

IndexStatus PgReportStore::FailuresPerDay(const SearchQuery& query, std::vector<DayFailures>& days) {
  std::lock_guard lock(mutex_);
  days.clear();
  SearchQuery all = query;
  all.cursor.reset();
  Filter filter;
  if (IndexStatus s = BuildFilter(all, filter); !s || filter.none) return s;
  PgResult rows = conn_.Query(
      "SELECT r.rid / " + std::to_string(kDayMs * kPerMs) +
          " AS b, count(*), count(r.udp_ok), count(r.speed_kbps), count(r.service_ok), count(r.channels_ok),"
          " count(*) FILTER (WHERE r.udp_ok = false), count(*) FILTER (WHERE r.speed_kbps = 0),"
          " count(*) FILTER (WHERE r.service_ok = false), count(*) FILTER (WHERE r.channels_ok = false)"
          " FROM report_search r WHERE " + filter.where + " GROUP BY b ORDER BY b",
      filter.params);
  if (!rows) return Fail("cannot count failures", rows.error());
  for (int i = 0; i < rows.rows(); ++i) {
    DayFailures d;
    d.day_ms = rows.Int(i, 0) * kDayMs;
    d.reports = static_cast<uint64_t>(rows.Int(i, 1));
    for (int k = 0; k < 4; ++k) {
      d.known[static_cast<std::size_t>(k)] = static_cast<uint64_t>(rows.Int(i, 2 + k));
      d.failed[static_cast<std::size_t>(k)] = static_cast<uint64_t>(rows.Int(i, 6 + k));
    }
    days.push_back(d);
  }
  return {};
}

IndexStatus PgReportStore::SpeedHistogram(const SearchQuery& query, std::vector<SpeedBin>& bins) {
  std::lock_guard lock(mutex_);
  bins.clear();
  bins.push_back({0, 1, 0});
  for (int64_t low = 1, high = 64; low <= 16384; low = high, high *= 2) {
    bins.push_back({low, low == 16384 ? -1 : high, 0});
    if (low == 16384) break;
  }
  SearchQuery all = query;
  all.cursor.reset();
  Filter filter;
  if (IndexStatus s = BuildFilter(all, filter); !s || filter.none) return s;
  // Bin numbers: the count of lower bounds at or below the speed, less one.
  std::vector<int64_t> lows;
  for (const SpeedBin& b : bins) lows.push_back(b.low_kbps);
  PgResult rows = conn_.Query("SELECT width_bucket(r.speed_kbps, '" + PgArrayLiteral(lows) +
                                  "'::bigint[]) - 1 AS b, count(*) FROM report_search r WHERE r.speed_kbps IS NOT NULL AND " +
                                  filter.where + " GROUP BY b",
                              filter.params);
  if (!rows) return Fail("cannot count speeds", rows.error());
  for (int i = 0; i < rows.rows(); ++i) {
    auto b = static_cast<std::size_t>(std::clamp<int64_t>(rows.Int(i, 0), 0, static_cast<int64_t>(bins.size()) - 1));
    bins[b].count += static_cast<uint64_t>(rows.Int(i, 1));
  }
  return {};
}

IndexStatus PgReportStore::OverRepresentedModules(const SearchQuery& query, std::size_t top, uint64_t min_reports,
                                                  std::vector<ModuleLift>& modules) {
  std::lock_guard lock(mutex_);
  modules.clear();
  SearchQuery all = query;
  all.cursor.reset();
  Filter filter;
  if (IndexStatus s = BuildFilter(all, filter); !s || filter.none) return s;
  auto fail = [&](const std::string& detail) { return Fail("cannot compare modules", detail); };

  uint64_t set_total = 0;
  if (IndexStatus s = CountLocked(filter, set_total); !s || set_total == 0) return s;
  PgResult set = conn_.Query(
      "SELECT u.mid, count(*) FROM report_search r CROSS JOIN LATERAL (SELECT DISTINCT unnest(r.modules) AS mid) u"
      " WHERE " + filter.where + " GROUP BY u.mid",
      filter.params);
  if (!set) return fail(set.error());
  std::unordered_map<int64_t, uint64_t> in_set;
  for (int i = 0; i < set.rows(); ++i) in_set[set.Int(i, 0)] = static_cast<uint64_t>(set.Int(i, 1));

  // The period: the whole UTC days the query's range touches.
  int64_t first_day = filter.lo / kPerMs / kDayMs;
  int64_t end_day = filter.hi == INT64_MAX ? INT64_MAX / kPerMs / kDayMs : (filter.hi / kPerMs + kDayMs - 1) / kDayMs;
  int64_t end_rid = end_day >= INT64_MAX / kPerMs / kDayMs ? INT64_MAX : end_day * kDayMs * kPerMs;
  PgResult total = conn_.Query("SELECT count(*) FROM report_search WHERE rid >= $1::bigint AND rid < $2::bigint",
                               {Number(first_day * kDayMs * kPerMs), Number(end_rid)});
  if (!total) return fail(total.error());
  auto period_total = static_cast<uint64_t>(total.Int(0, 0));
  PgResult period = conn_.Query(
      "SELECT mid, sum(n) FROM (SELECT day, mid, n FROM module_day UNION ALL"
      " SELECT a.day, u.mid, u.n FROM module_day_added a, unnest(a.mids, a.ns) u(mid, n)) d"
      " WHERE day >= $1::bigint AND day < $2::bigint GROUP BY mid",
      {Number(first_day), Number(std::min<int64_t>(end_day, INT32_MAX))});
  if (!period) return fail(period.error());
  std::unordered_map<int64_t, uint64_t> in_period;
  for (int i = 0; i < period.rows(); ++i) in_period[period.Int(i, 0)] = static_cast<uint64_t>(period.Int(i, 1));

  std::vector<std::pair<double, int64_t>> ranked;
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
  std::vector<int64_t> mids;
  for (const auto& entry : ranked) mids.push_back(entry.second);
  PgResult paths = conn_.Query("SELECT mid, path FROM module WHERE mid = ANY($1::integer[])",
                               {Text(PgArrayLiteral(mids))});
  if (!paths) return fail(paths.error());
  std::unordered_map<int64_t, std::string> path_of;
  for (int i = 0; i < paths.rows(); ++i) path_of[paths.Int(i, 0)] = paths.Text(i, 1);
  for (const auto& [lift, mid] : ranked) {
    uint64_t b = std::max(in_period[mid], in_set[mid]);
    modules.push_back({path_of[mid], in_set[mid], set_total, b, std::max(period_total, b), lift});
  }
  return {};
}

}  // namespace zandrel::store
