#include "server/store/pg_report_store.h"

#include <algorithm>
#include <set>
#include <unordered_map>

#include "server/store/pg_schema.h"
#include "server/store/record_codec.h"
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

std::string LowerPath(std::string_view path) {
  std::string out(path);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c == '/') c = '\\';
  }
  return out;
}

// The search tokens of a problem text: ProblemTokens' words.
std::vector<std::string> Tokens(const std::optional<std::string>& problem) {
  std::vector<std::string> out;
  if (!problem) return out;
  std::string all = ProblemTokens(*problem);
  std::set<std::string> seen;
  std::size_t pos = 0;
  while (pos < all.size()) {
    std::size_t space = all.find(' ', pos);
    if (space == std::string::npos) space = all.size();
    if (space > pos && seen.insert(all.substr(pos, space - pos)).second) out.push_back(all.substr(pos, space - pos));
    pos = space + 1;
  }
  return out;
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

std::vector<std::string> AddressesOf(uint32_t sender, const std::vector<report::Adapter>& adapters) {
  std::set<uint32_t> set{sender};
  for (const auto& a : adapters) {
    if (auto ip = ParseIpv4(a.ipv4)) set.insert(*ip);
  }
  std::vector<std::string> out;
  for (uint32_t a : set) out.push_back(Dotted(a));
  return out;
}

std::vector<int64_t> MacsOf(const std::vector<report::Adapter>& adapters) {
  std::set<int64_t> set;
  for (const auto& a : adapters) {
    if (auto mac = ParseMac(a.mac)) set.insert(static_cast<int64_t>(*mac));
  }
  return {set.begin(), set.end()};
}

// Reads a row of PgHitColumns() starting at column `col`.
SearchHit ReadHit(const PgResult& rows, int row) {
  SearchHit hit;
  ReportRecord& r = hit.record;
  r.id = ReportIdText(static_cast<uint64_t>(rows.Int(row, 1)));
  r.received = rows.Int(row, 2);
  r.sender = static_cast<uint32_t>(rows.Int(row, 3));
  r.size = static_cast<uint64_t>(rows.Int(row, 4));
  r.md5 = rows.Text(row, 5);
  r.file = rows.Text(row, 6);
  report::ReportFacts& f = r.facts;
  if (!rows.IsNull(row, 7)) f.problem = rows.Text(row, 7);
  if (auto v = rows.OptionalInt(row, 8)) f.cpu_percent = static_cast<int>(*v);
  if (auto v = rows.OptionalInt(row, 9)) f.free_bytes = static_cast<uint64_t>(*v);
  f.udp_ok = rows.OptionalBool(row, 10);
  f.speed_kbps = rows.OptionalInt(row, 11);
  f.service_ok = rows.OptionalBool(row, 12);
  f.channels_ok = rows.OptionalBool(row, 13);
  f.parse_errors = static_cast<uint32_t>(rows.Int(row, 14));
  hit.module_count = static_cast<uint32_t>(rows.Int(row, 15));
  f.adapters = DecodeAdapters(rows.Bytes(row, 16));
  f.channel_ids = DecodeStrings(rows.Bytes(row, 17));
  return hit;
}

}  // namespace

std::string PgHitColumns() {
  return "r.rid, r.id, r.received, r.sender - '0.0.0.0'::inet, r.size, r.md5, r.file, r.problem, r.cpu_percent,"
         " r.free_bytes, r.udp_ok, r.speed_kbps, r.service_ok, r.channels_ok, r.parse_errors,"
         " cardinality(r.modules), r.adapters, r.channel_ids";
}

IndexStatus PgReportStore::Open(const std::string& conninfo, bool migrate) {
  std::lock_guard lock(mutex_);
  std::string error;
  if (!conn_.Connect(conninfo, &error)) return Fail("cannot connect to the database", error);
  if (migrate && !PgMigrate(conn_, &error)) return Fail("cannot bring the database's schema up to date", error);
  int version = 0;
  if (!PgSchemaVersion(conn_, version, &error)) return Fail("cannot read the database's schema version", error);
  if (version != kPgSchemaVersion) {
    conn_.Close();
    return IndexStatus::Failure(
        version == 0 ? "the database has no report schema yet (create it with: zandrel-desk --database URL migrate)"
        : version < kPgSchemaVersion
            ? "the database's schema is older (" + std::to_string(version) +
                  ") than this program's (upgrade it with: zandrel-desk --database URL migrate)"
            : "the database's schema is newer (" + std::to_string(version) + ") than this program's");
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
    count = 0;
  }
  if (added) *added = count;
  return status;
}

IndexStatus PgReportStore::InsertLocked(const std::vector<ReportRecord>& records,
                                        const std::vector<std::string>& bodies, uint64_t& added) {
  // The modules of the batch, each made known once.
  std::vector<std::string> paths, lcs, names;
  std::set<std::string> seen;
  for (const ReportRecord& r : records) {
    for (const std::string& path : r.facts.modules) {
      if (!seen.insert(path).second) continue;
      std::string lc = LowerPath(path);
      std::size_t slash = lc.rfind('\\');
      paths.push_back(path);
      names.push_back(slash == std::string::npos ? lc : lc.substr(slash + 1));
      lcs.push_back(std::move(lc));
    }
  }
  std::unordered_map<std::string, int64_t> mids;
  if (!paths.empty()) {
    std::string list = PgArrayLiteral(paths);
    PgResult made = conn_.Query(
        "INSERT INTO module(path, lc, name) SELECT * FROM unnest($1::text[], $2::text[], $3::text[])"
        " ORDER BY 1 ON CONFLICT (path) DO NOTHING",
        {Text(list), Text(PgArrayLiteral(lcs)), Text(PgArrayLiteral(names))});
    if (!made) return Fail("cannot add modules", made.error());
    PgResult found = conn_.Query("SELECT mid, path FROM module WHERE path = ANY($1::text[])", {Text(list)});
    if (!found) return Fail("cannot read modules", found.error());
    for (int i = 0; i < found.rows(); ++i) mids[found.Text(i, 1)] = found.Int(i, 0);
  }

  // Which are new: not stored, and each id once.
  std::vector<std::size_t> fresh;
  std::vector<int64_t> ids;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const ReportRecord& r = records[i];
    std::optional<uint64_t> id = ParseReportId(r.id);
    if (!id) return Fail("cannot store report " + r.id, "not a report id");
    if (r.received < 0 || r.received >= kMaxReceivedMs) {
      return Fail("cannot store report " + r.id, "received time out of range");
    }
    ids.push_back(static_cast<int64_t>(*id));
  }
  PgResult stored = conn_.Query("SELECT id FROM report WHERE id = ANY($1::bigint[])", {Text(PgArrayLiteral(ids))});
  if (!stored) return Fail("cannot store reports", stored.error());
  std::set<int64_t> taken;
  for (int i = 0; i < stored.rows(); ++i) taken.insert(stored.Int(i, 0));
  std::vector<int64_t> millis;
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (!taken.insert(ids[i]).second) continue;
    fresh.push_back(i);
    millis.push_back(records[i].received);
  }
  if (fresh.empty()) return {};
  // The next free position of each millisecond, then in order of arrival.
  PgResult last = conn_.Query(
      "SELECT m, (SELECT max(rid) FROM report WHERE rid >= m * 64 AND rid < m * 64 + 64)"
      " FROM unnest($1::bigint[]) m",
      {Text(PgArrayLiteral(millis))});
  if (!last) return Fail("cannot store reports", last.error());
  std::unordered_map<int64_t, int64_t> next;
  for (int i = 0; i < last.rows(); ++i) {
    next[last.Int(i, 0)] = last.IsNull(i, 1) ? last.Int(i, 0) * kPerMs : last.Int(i, 1) + 1;
  }

  std::string report_rows, address_rows, body_rows;
  for (std::size_t i : fresh) {
    const ReportRecord& r = records[i];
    const report::ReportFacts& f = r.facts;
    int64_t rid = next[r.received]++;
    if (rid >= (r.received + 1) * kPerMs) return Fail("cannot store report " + r.id, "too many reports in one millisecond");
    std::vector<int64_t> modules;
    for (const std::string& path : f.modules) modules.push_back(mids.at(path));
    {
      CopyRow row(report_rows);
      row.Int(rid).Int(ids[i]).Int(r.received).Text(Dotted(r.sender)).Int(static_cast<int64_t>(r.size)).Text(r.md5)
          .Text(r.file);
      if (f.problem) {
        row.Text(*f.problem);
      } else {
        row.Null();
      }
      row.Text(PgArrayLiteral(Tokens(f.problem))).Optional(f.cpu_percent).Optional(f.free_bytes).Optional(f.udp_ok)
          .Optional(f.speed_kbps).Optional(f.service_ok).Optional(f.channels_ok).Int(f.parse_errors)
          .Text(PgArrayLiteral(modules)).Text(PgArrayLiteral(MacsOf(f.adapters)))
          .Bytes(EncodeAdapters(f.adapters)).Bytes(EncodeStrings(f.channel_ids));
    }
    for (const std::string& address : AddressesOf(r.sender, f.adapters)) CopyRow(address_rows).Text(address).Int(rid);
    CopyRow(body_rows).Int(rid).Bytes(bodies[i]);
    ++added;
  }
  std::string error;
  if (!conn_.CopyIn("COPY report(rid, id, received, sender, size, md5, file, problem, tokens, cpu_percent,"
                    " free_bytes, udp_ok, speed_kbps, service_ok, channels_ok, parse_errors, modules, macs, adapters,"
                    " channel_ids) FROM STDIN",
                    report_rows, &error) ||
      !conn_.CopyIn("COPY report_address(ip, rid) FROM STDIN", address_rows, &error) ||
      !conn_.CopyIn("COPY report_body(rid, body) FROM STDIN", body_rows, &error)) {
    added = 0;
    return Fail("cannot store reports", error);
  }
  return {};
}

IndexStatus PgReportStore::AdvanceIdSequence() {
  std::lock_guard lock(mutex_);
  // Ids are shuffled sequence numbers: the largest sequence number is found
  // by reading them all (an import's cost, not a query's).
  PgResult ids = conn_.Query("SELECT id FROM report");
  if (!ids) return Fail("cannot read the report ids", ids.error());
  uint64_t last = 0;
  for (int i = 0; i < ids.rows(); ++i) {
    last = std::max(last, SequenceForReportId(static_cast<uint64_t>(ids.Int(i, 0))));
  }
  PgResult moved = conn_.Query(
      "SELECT setval('report_seq', greatest($1::bigint,"
      " (SELECT CASE WHEN is_called THEN last_value ELSE last_value - 1 END FROM report_seq)), true)",
      {Number(static_cast<int64_t>(last))});
  if (!moved) return Fail("cannot move the id sequence", moved.error());
  return {};
}

IndexStatus PgReportStore::Has(std::string_view id, bool& found) {
  std::lock_guard lock(mutex_);
  found = false;
  std::optional<uint64_t> value = ParseReportId(id);
  if (!value) return {};
  PgResult row = conn_.Query("SELECT 1 FROM report WHERE id = $1", {Number(static_cast<int64_t>(*value))});
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

IndexStatus PgReportStore::CountLocked(const Filter& filter, uint64_t& total) {
  total = 0;
  if (filter.none) return {};
  PgResult count = conn_.Query("SELECT count(*) FROM report r WHERE " + filter.where, filter.params);
  if (!count) return Fail("cannot count", count.error());
  total = static_cast<uint64_t>(count.Int(0, 0));
  return {};
}

IndexStatus PgReportStore::Search(const SearchQuery& query, SearchPage& page, bool with_total) {
  std::lock_guard lock(mutex_);
  return SearchLocked(query, page, with_total);
}

IndexStatus PgReportStore::SearchLocked(const SearchQuery& query, SearchPage& page, bool with_total) {
  page = {};
  if (!conn_.is_open()) return IndexStatus::Failure("the database is not open");
  Filter filter;
  if (IndexStatus s = BuildFilter(query, filter); !s) return s;
  if (!filter.none) {
    PgParams params = filter.params;
    params.push_back(Number(query.limit + 1));
    PgResult rows = conn_.Query("SELECT " + PgHitColumns() + " FROM report r WHERE " + filter.where +
                                    " ORDER BY r.rid DESC LIMIT $" + std::to_string(params.size()),
                                params);
    if (!rows) return Fail("cannot search", rows.error());
    for (int i = 0; i < rows.rows(); ++i) {
      if (static_cast<int>(page.hits.size()) == query.limit) {
        page.next_cursor = CursorText(rows.Int(i - 1, 0));
        break;
      }
      page.hits.push_back(ReadHit(rows, i));
    }
  }
  if (with_total) {
    SearchQuery all = query;
    all.cursor.reset();
    if (IndexStatus s = BuildFilter(all, filter); !s) return s;
    uint64_t total = 0;
    if (IndexStatus s = CountLocked(filter, total); !s) return s;
    page.total = total;
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
  PgResult row = conn_.Query("SELECT " + PgHitColumns() + " FROM report r WHERE r.id = $1",
                             {Number(static_cast<int64_t>(*value))});
  if (!row) return Fail("cannot read a report", row.error());
  if (row.rows() == 0) return {};
  SearchHit hit = ReadHit(row, 0);
  PgResult modules = conn_.Query(
      "SELECT m.path FROM report r CROSS JOIN LATERAL unnest(r.modules) WITH ORDINALITY u(mid, n)"
      " JOIN module m ON m.mid = u.mid WHERE r.rid = $1 ORDER BY u.n",
      {Number(row.Int(0, 0))});
  if (!modules) return Fail("cannot read a report's modules", modules.error());
  for (int i = 0; i < modules.rows(); ++i) hit.record.facts.modules.push_back(modules.Text(i, 0));
  record = std::move(hit.record);
  return {};
}

IndexStatus PgReportStore::Body(std::string_view id, std::optional<std::string>& body) {
  std::lock_guard lock(mutex_);
  body.reset();
  std::optional<uint64_t> value = ParseReportId(id);
  if (!value) return {};
  PgResult row = conn_.Query("SELECT b.body FROM report r JOIN report_body b ON b.rid = r.rid WHERE r.id = $1",
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
                                  " AS b, count(*) FROM report r WHERE " + filter.where + " GROUP BY b ORDER BY b",
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
          " FROM report r WHERE " + filter.where + " GROUP BY b ORDER BY b",
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
                                  "'::bigint[]) - 1 AS b, count(*) FROM report r WHERE r.speed_kbps IS NOT NULL AND " +
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
      "SELECT u.mid, count(*) FROM report r CROSS JOIN LATERAL (SELECT DISTINCT unnest(r.modules) AS mid) u"
      " WHERE " + filter.where + " GROUP BY u.mid",
      filter.params);
  if (!set) return fail(set.error());
  std::unordered_map<int64_t, uint64_t> in_set;
  for (int i = 0; i < set.rows(); ++i) in_set[set.Int(i, 0)] = static_cast<uint64_t>(set.Int(i, 1));

  // The period: the whole UTC days the query's range touches.
  int64_t first_day = filter.lo / kPerMs / kDayMs;
  int64_t end_day = filter.hi == INT64_MAX ? INT64_MAX / kPerMs / kDayMs : (filter.hi / kPerMs + kDayMs - 1) / kDayMs;
  int64_t end_rid = end_day >= INT64_MAX / kPerMs / kDayMs ? INT64_MAX : end_day * kDayMs * kPerMs;
  PgResult total = conn_.Query("SELECT count(*) FROM report WHERE rid >= $1::bigint AND rid < $2::bigint",
                               {Number(first_day * kDayMs * kPerMs), Number(end_rid)});
  if (!total) return fail(total.error());
  auto period_total = static_cast<uint64_t>(total.Int(0, 0));
  PgResult period = conn_.Query(
      "SELECT mid, sum(n) FROM module_day WHERE day >= $1::bigint AND day < $2::bigint GROUP BY mid",
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
