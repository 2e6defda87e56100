#include "server/store/report_index.h"

#include <sqlite3.h>

#include <algorithm>
#include <charconv>
#include <initializer_list>
#include <set>

#include "server/store/record_codec.h"

namespace zandrel::store {
namespace {

constexpr int64_t kPerMs = 64;  // positions per millisecond
constexpr int64_t kDayMs = 86400000;
constexpr int64_t kHourMs = 3600000;
constexpr int64_t kMaxReceivedMs = (int64_t{1} << 47) / kPerMs;  // six-byte positions, to 2039
constexpr std::size_t kModuleCacheLimit = 200000;
constexpr std::size_t kRemoveBatch = 500;

// The tallies of each hour (version 3); kHourTallies counts its columns
// after the hour.
constexpr const char* kHourTallySchema =
  "CREATE TABLE hour_tally(hour INTEGER PRIMARY KEY, reports INTEGER NOT NULL,"
  " known_udp INTEGER NOT NULL, known_speed INTEGER NOT NULL, known_service INTEGER NOT NULL,"
  " known_channels INTEGER NOT NULL, failed_udp INTEGER NOT NULL, failed_speed INTEGER NOT NULL,"
  " failed_service INTEGER NOT NULL, failed_channels INTEGER NOT NULL,"
  " s0 INTEGER NOT NULL, s1 INTEGER NOT NULL, s2 INTEGER NOT NULL, s3 INTEGER NOT NULL,"
  " s4 INTEGER NOT NULL, s5 INTEGER NOT NULL, s6 INTEGER NOT NULL, s7 INTEGER NOT NULL,"
  " s8 INTEGER NOT NULL, s9 INTEGER NOT NULL, s10 INTEGER NOT NULL);";

// Fills hour_tally from the reports (an index upgraded from version 2).
const std::string kFillHourTally =
    "INSERT INTO hour_tally SELECT h, count(*), count(udp_ok), count(speed_kbps), count(service_ok),"
    " count(channels_ok), coalesce(sum(udp_ok = 0), 0), coalesce(sum(speed_kbps = 0), 0),"
    " coalesce(sum(service_ok = 0), 0), coalesce(sum(channels_ok = 0), 0),"
    " coalesce(sum(b = 0), 0), coalesce(sum(b = 1), 0), coalesce(sum(b = 2), 0), coalesce(sum(b = 3), 0),"
    " coalesce(sum(b = 4), 0), coalesce(sum(b = 5), 0), coalesce(sum(b = 6), 0), coalesce(sum(b = 7), 0),"
    " coalesce(sum(b = 8), 0), coalesce(sum(b = 9), 0), coalesce(sum(b = 10), 0)"
    " FROM (SELECT r.rid / 230400000 AS h, udp_ok, speed_kbps, service_ok, channels_ok,"
    " CASE WHEN r.speed_kbps IS NULL THEN NULL ELSE " + std::string(kSpeedBinSql) + " END AS b FROM report r)"
    " GROUP BY h";

// Version 3 (version 1 lacked module.posted, 2 the hourly tallies).
// Positions (rid) are described in the header.
constexpr const char* kSchema = R"sql(
CREATE TABLE report(
  rid INTEGER PRIMARY KEY,
  id TEXT NOT NULL UNIQUE,
  received INTEGER NOT NULL,
  sender INTEGER NOT NULL,
  size INTEGER NOT NULL,
  md5 TEXT NOT NULL,
  file TEXT NOT NULL,
  problem TEXT,
  cpu_percent INTEGER,
  free_bytes INTEGER,
  udp_ok INTEGER,
  speed_kbps INTEGER,
  service_ok INTEGER,
  channels_ok INTEGER,
  module_count INTEGER NOT NULL,
  parse_errors INTEGER NOT NULL);
CREATE INDEX report_udp_failed ON report(rid) WHERE udp_ok = 0;
CREATE INDEX report_speed_failed ON report(rid) WHERE speed_kbps = 0;
CREATE INDEX report_service_failed ON report(rid) WHERE service_ok = 0;
CREATE INDEX report_channels_failed ON report(rid) WHERE channels_ok = 0;
CREATE INDEX report_speed ON report(speed_kbps) WHERE speed_kbps IS NOT NULL;
CREATE TABLE report_detail(
  rid INTEGER PRIMARY KEY,
  adapters BLOB NOT NULL,
  modules BLOB NOT NULL,
  channel_ids BLOB NOT NULL);
CREATE TABLE module(
  mid INTEGER PRIMARY KEY,
  path TEXT NOT NULL UNIQUE,
  lc TEXT NOT NULL,
  name TEXT NOT NULL,
  reports INTEGER NOT NULL DEFAULT 0,
  posted INTEGER NOT NULL DEFAULT 1);
CREATE INDEX module_name ON module(name);
CREATE TABLE report_module(mid INTEGER NOT NULL, rid INTEGER NOT NULL, PRIMARY KEY(mid, rid)) WITHOUT ROWID;
CREATE TABLE module_day(day INTEGER NOT NULL, mid INTEGER NOT NULL, n INTEGER NOT NULL,
  PRIMARY KEY(day, mid)) WITHOUT ROWID;
CREATE TABLE report_ip(ip INTEGER NOT NULL, rid INTEGER NOT NULL, PRIMARY KEY(ip, rid)) WITHOUT ROWID;
CREATE INDEX report_ip_by_report ON report_ip(rid, ip);
CREATE TABLE report_mac(mac INTEGER NOT NULL, rid INTEGER NOT NULL, PRIMARY KEY(mac, rid)) WITHOUT ROWID;
CREATE VIRTUAL TABLE problem_fts USING fts5(tokens, content='', tokenize='ascii');
)sql";

// Rows of whole numbers as one JSON text, [[a, b], [c, d], ...], which a
// statement reads back with json_each: the upserts of a whole transaction
// go as one statement, where a statement per row cost more in its own start
// and end than in the row's write. (Reading a row back costs about as much
// as a plain insert's own statement: the postings keep theirs.)
class JsonRows {
 public:
  void Add(std::initializer_list<int64_t> row) {
    text_ += text_.empty() ? '[' : ',';
    char sep = '[';
    for (int64_t v : row) {
      text_ += sep;
      sep = ',';
      char digits[24];
      auto end = std::to_chars(digits, digits + sizeof digits, v).ptr;
      text_.append(digits, end);
    }
    text_ += ']';
  }
  // The whole list ("[]" when there are no rows); the rows go with it.
  std::string Finish() {
    text_ += text_.empty() ? "[]" : "]";
    return std::move(text_);
  }

 private:
  std::string text_;
};

std::string LowerPath(std::string_view path) {
  std::string out(path);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c == '/') c = '\\';
  }
  return out;
}

// The addresses a report is found under: the sender and each adapter's.
std::set<uint32_t> AddressesOf(uint32_t sender, const std::vector<report::Adapter>& adapters) {
  std::set<uint32_t> out{sender};
  for (const auto& a : adapters) {
    if (auto ip = ParseIpv4(a.ipv4)) out.insert(*ip);
  }
  return out;
}

std::set<uint64_t> MacsOf(const std::vector<report::Adapter>& adapters) {
  std::set<uint64_t> out;
  for (const auto& a : adapters) {
    if (auto mac = ParseMac(a.mac)) out.insert(*mac);
  }
  return out;
}

}  // namespace

ReportIndex::ReportIndex() = default;
ReportIndex::~ReportIndex() { Close(); }

ReportIndex::Call::~Call() { index_.ResetStatements(); }

void ReportIndex::ResetStatements() {
  for (auto& [sql, statement] : statements_) statement.Reset();
}

IndexStatus ReportIndex::Fail(std::string_view what, const std::string& detail) {
  return IndexStatus::Failure(std::string(what) + ": " + detail);
}

SqliteStatement* ReportIndex::Statement(const char* sql, std::string* error) {
  auto it = statements_.find(sql);
  if (it == statements_.end()) {
    SqliteStatement stmt = db_.Prepare(sql, error);
    if (!stmt.valid()) return nullptr;
    it = statements_.emplace(sql, std::move(stmt)).first;
  }
  it->second.Reset();
  return &it->second;
}

IndexStatus ReportIndex::Open(const std::string& path, const IndexOptions& options) {
  std::lock_guard lock(mutex_);
  statements_.clear();
  module_ids_.clear();
  options_ = options;
  std::string error;
  if (!db_.Open(path, &error)) return Fail("cannot open the index", error);
  auto fail = [&](std::string_view what) {
    IndexStatus status = Fail(what, error);
    statements_.clear();
    db_.Close();
    return status;
  };
  std::string setup = "PRAGMA busy_timeout = " + std::to_string(options.busy_timeout_ms) +
                      "; PRAGMA cache_size = -" + std::to_string(options.cache_kib) +
                      "; PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL; PRAGMA temp_store = MEMORY;";
  if (!db_.Exec(setup, &error)) return fail("cannot set up the index");
  SqliteStatement version = db_.Prepare("PRAGMA user_version", &error);
  if (!version.valid() || !version.Step()) return fail("cannot read the index version");
  int64_t found = version.Int(0);
  version = {};
  if (found > kIndexSchemaVersion) {
    error = "made by a newer version (" + std::to_string(found) + "); rebuild it or upgrade";
    return fail("cannot use the index");
  }
  if (found == 0) {
    // A new file, or one left by a creation that did not finish.
    if (!db_.Exec("BEGIN IMMEDIATE", &error)) return fail("cannot create the index");
    if (!db_.Exec(std::string(kSchema) + kHourTallySchema, &error) ||
        !db_.Exec("PRAGMA user_version = " + std::to_string(kIndexSchemaVersion), &error) ||
        !db_.Exec("COMMIT", &error)) {
      db_.Exec("ROLLBACK", nullptr);
      return fail("cannot create the index");
    }
  }
  if (found == 1) {
    // Every module of version 1 has its list of reports; the common ones
    // lose theirs at their next report.
    if (!db_.Exec("BEGIN IMMEDIATE; ALTER TABLE module ADD COLUMN posted INTEGER NOT NULL DEFAULT 1;"
                  " PRAGMA user_version = 2; COMMIT",
                  &error)) {
      db_.Exec("ROLLBACK", nullptr);
      return fail("cannot upgrade the index");
    }
    found = 2;
  }
  if (found == 2) {
    // One pass over the reports (seconds for a million).
    if (!db_.Exec(std::string("BEGIN IMMEDIATE; ") + kHourTallySchema + kFillHourTally +
                      "; PRAGMA user_version = 3; COMMIT",
                  &error)) {
      db_.Exec("ROLLBACK", nullptr);
      return fail("cannot upgrade the index");
    }
  }
  // Later versions add their upgrade steps here, one per version.
  if (sqlite3_create_function(db_.handle(), "has_module", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, this,
                              &ReportIndex::HasModule, nullptr, nullptr) != SQLITE_OK) {
    error = db_.last_error();
    return fail("cannot set up the index");
  }
  return {};
}

void ReportIndex::Close() {
  std::lock_guard lock(mutex_);
  statements_.clear();
  module_ids_.clear();
  if (db_.is_open()) db_.Exec("PRAGMA optimize", nullptr);
  db_.Close();
}

IndexStatus ReportIndex::Add(const std::vector<ReportRecord>& records) {
  Call call(*this);
  if (!db_.is_open()) return IndexStatus::Failure("the index is not open");
  std::string error;
  if (!db_.Exec("BEGIN IMMEDIATE", &error)) return Fail("cannot add to the index", error);
  module_day_delta_.clear();
  postings_.clear();
  hour_delta_.clear();
  IndexStatus status = AddLocked(records);
  if (status) status = FlushPostings();
  if (status) status = FlushModuleDays();
  if (status) status = FlushHours();
  // A statement left on a row would keep the connection reading, and the
  // checkpoint that follows a commit cannot run while it reads: the
  // write-ahead log would grow without end.
  ResetStatements();
  if (status && !db_.Exec("COMMIT", &error)) status = Fail("cannot add to the index", error);
  if (!status) {
    db_.Exec("ROLLBACK", nullptr);
    module_ids_.clear();  // may hold ids the rollback took back
  }
  return status;
}

IndexStatus ReportIndex::AddLocked(const std::vector<ReportRecord>& records) {
  for (const ReportRecord& record : records) {
    if (IndexStatus s = AddOne(record); !s) return s;
  }
  return {};
}

IndexStatus ReportIndex::ModuleId(const std::string& path, ModuleEntry& entry) {
  if (auto it = module_ids_.find(path); it != module_ids_.end()) {
    entry = it->second;
    return {};
  }
  std::string error;
  SqliteStatement* find = Statement("SELECT mid, posted FROM module WHERE path = ?", &error);
  if (!find) return Fail("cannot read modules", error);
  find->BindText(1, path);
  if (find->Step()) {
    entry = {find->Int(0), find->Int(1) != 0};
  } else {
    if (find->failed()) return Fail("cannot read modules", find->error());
    SqliteStatement* insert = Statement("INSERT INTO module(path, lc, name) VALUES (?, ?, ?)", &error);
    if (!insert) return Fail("cannot add a module", error);
    std::string lc = LowerPath(path);
    std::size_t slash = lc.rfind('\\');
    insert->BindText(1, path);
    insert->BindText(2, lc);
    insert->BindText(3, slash == std::string::npos ? lc : lc.substr(slash + 1));
    if (!insert->Run()) return Fail("cannot add a module", insert->error());
    entry = {db_.last_insert_rowid(), true};
  }
  if (module_ids_.size() >= kModuleCacheLimit) module_ids_.clear();
  module_ids_.emplace(path, entry);
  return {};
}

IndexStatus ReportIndex::AddOne(const ReportRecord& r) {
  std::string error;
  auto fail = [&](const std::string& detail) { return Fail("cannot add report " + r.id, detail); };
  if (r.id.empty()) return fail("no id");
  if (r.received < 0 || r.received >= kMaxReceivedMs) return fail("received time out of range");
  SqliteStatement* has = Statement("SELECT 1 FROM report WHERE id = ?", &error);
  if (!has) return fail(error);
  has->BindText(1, r.id);
  if (has->Step()) return {};  // indexed already
  if (has->failed()) return fail(has->error());

  // The first free position of its millisecond.
  SqliteStatement* last = Statement("SELECT max(rid) FROM report WHERE rid >= ? AND rid < ?", &error);
  if (!last) return fail(error);
  int64_t base = r.received * kPerMs;
  last->BindInt(1, base);
  last->BindInt(2, base + kPerMs);
  if (!last->Step()) return fail(last->error());
  int64_t rid = last->IsNull(0) ? base : last->Int(0) + 1;
  if (rid >= base + kPerMs) return fail("too many reports in one millisecond");

  const report::ReportFacts& f = r.facts;
  SqliteStatement* insert = Statement(
      "INSERT INTO report(rid, id, received, sender, size, md5, file, problem, cpu_percent, free_bytes, udp_ok,"
      " speed_kbps, service_ok, channels_ok, module_count, parse_errors)"
      " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
      &error);
  if (!insert) return fail(error);
  insert->BindInt(1, rid);
  insert->BindText(2, r.id);
  insert->BindInt(3, r.received);
  insert->BindInt(4, r.sender);
  insert->BindInt(5, static_cast<int64_t>(r.size));
  insert->BindText(6, r.md5);
  insert->BindText(7, r.file);
  if (f.problem) {
    insert->BindText(8, *f.problem);
  } else {
    insert->BindNull(8);
  }
  insert->BindOptional(9, f.cpu_percent);
  insert->BindOptional(10, f.free_bytes);
  insert->BindOptional(11, f.udp_ok);
  insert->BindOptional(12, f.speed_kbps);
  insert->BindOptional(13, f.service_ok);
  insert->BindOptional(14, f.channels_ok);
  insert->BindInt(15, static_cast<int64_t>(f.modules.size()));
  insert->BindInt(16, f.parse_errors);
  if (!insert->Run()) return fail(insert->error());

  std::string module_blob;
  std::vector<ModuleEntry> mids;
  mids.reserve(f.modules.size());
  for (const std::string& path : f.modules) {
    ModuleEntry m;
    if (IndexStatus s = ModuleId(path, m); !s) return s;
    PutVarint(module_blob, static_cast<uint64_t>(m.mid));
    mids.push_back(m);
  }
  auto by_mid = [](const ModuleEntry& a, const ModuleEntry& b) { return a.mid < b.mid; };
  std::sort(mids.begin(), mids.end(), by_mid);
  mids.erase(std::unique(mids.begin(), mids.end(), [](const auto& a, const auto& b) { return a.mid == b.mid; }),
             mids.end());

  SqliteStatement* detail =
      Statement("INSERT INTO report_detail(rid, adapters, modules, channel_ids) VALUES (?, ?, ?, ?)", &error);
  if (!detail) return fail(error);
  detail->BindInt(1, rid);
  detail->BindBlob(2, EncodeAdapters(f.adapters));
  detail->BindBlob(3, module_blob);
  detail->BindBlob(4, EncodeStrings(f.channel_ids));
  if (!detail->Run()) return fail(detail->error());

  TallyHour(r.received, f, 1);
  int64_t day = r.received / kDayMs;
  for (const ModuleEntry& m : mids) {
    if (m.posted) postings_.emplace_back(m.mid, rid);
    module_day_delta_[day << 40 | m.mid] += 1;
  }
  SqliteStatement* ip = Statement("INSERT INTO report_ip(ip, rid) VALUES (?, ?)", &error);
  if (!ip) return fail(error);
  for (uint32_t address : AddressesOf(r.sender, f.adapters)) {
    ip->Reset();
    ip->BindInt(1, address);
    ip->BindInt(2, rid);
    if (!ip->Run()) return fail(ip->error());
  }
  SqliteStatement* mac = Statement("INSERT INTO report_mac(mac, rid) VALUES (?, ?)", &error);
  if (!mac) return fail(error);
  for (uint64_t m : MacsOf(f.adapters)) {
    mac->Reset();
    mac->BindInt(1, static_cast<int64_t>(m));
    mac->BindInt(2, rid);
    if (!mac->Run()) return fail(mac->error());
  }
  if (f.problem) {
    std::string tokens = ProblemTokens(*f.problem);
    if (!tokens.empty()) {
      SqliteStatement* fts = Statement("INSERT INTO problem_fts(rowid, tokens) VALUES (?, ?)", &error);
      if (!fts) return fail(error);
      fts->BindInt(1, rid);
      fts->BindText(2, tokens);
      if (!fts->Run()) return fail(fts->error());
    }
  }
  return {};
}

// The transaction's postings, in key order: each module's new rows land
// on the same few pages.
IndexStatus ReportIndex::FlushPostings() {
  std::string error;
  SqliteStatement* posting = Statement("INSERT INTO report_module(mid, rid) VALUES (?, ?)", &error);
  if (!posting) return Fail("cannot list modules", error);
  std::sort(postings_.begin(), postings_.end());
  for (const auto& [mid, rid] : postings_) {
    posting->Reset();
    posting->BindInt(1, mid);
    posting->BindInt(2, rid);
    if (!posting->Run()) return Fail("cannot list modules", posting->error());
  }
  postings_.clear();
  return {};
}

// The transaction's changes to the per-day counts and to the modules'
// totals, one statement each.
IndexStatus ReportIndex::FlushModuleDays() {
  std::string error;
  SqliteStatement* day = Statement(
      "INSERT INTO module_day(day, mid, n) SELECT value->>0, value->>1, value->>2 FROM json_each(?) WHERE true"
      " ON CONFLICT(day, mid) DO UPDATE SET n = n + excluded.n",
      &error);
  SqliteStatement* total = Statement(
      "UPDATE module SET reports = reports + d.value->>1 FROM json_each(?) AS d WHERE module.mid = d.value->>0"
      " RETURNING module.mid, module.reports, module.posted",
      &error);
  SqliteStatement* unpost = Statement("UPDATE module SET posted = 0 WHERE mid = ?", &error);
  SqliteStatement* drop = Statement("DELETE FROM report_module WHERE mid = ?", &error);
  if (!day || !total || !unpost || !drop) return Fail("cannot count modules", error);
  if (module_day_delta_.empty()) return {};
  constexpr int64_t kMidMask = (int64_t{1} << 40) - 1;
  std::unordered_map<int64_t, int64_t> per_module;
  JsonRows days;
  for (const auto& [key, n] : module_day_delta_) {
    days.Add({key >> 40, key & kMidMask, n});
    per_module[key & kMidMask] += n;
  }
  day->BindText(1, days.Finish());
  if (!day->Run()) return Fail("cannot count modules", day->error());
  JsonRows totals;
  for (const auto& [mid, n] : per_module) totals.Add({mid, n});
  total->BindText(1, totals.Finish());
  std::vector<int64_t> too_common;
  while (total->Step()) {
    if (total->Int(2) != 0 && total->Int(1) > options_.posting_limit) too_common.push_back(total->Int(0));
  }
  if (total->failed()) return Fail("cannot count modules", total->error());
  total->Reset();
  // Modules grown too common for a list of their reports lose it for good.
  for (int64_t mid : too_common) {
    unpost->Reset();
    unpost->BindInt(1, mid);
    drop->Reset();
    drop->BindInt(1, mid);
    if (!unpost->Run() || !drop->Run()) return Fail("cannot count modules", db_.last_error());
  }
  if (!too_common.empty()) {
    for (auto& [path, entry] : module_ids_) {
      if (entry.posted && std::find(too_common.begin(), too_common.end(), entry.mid) != too_common.end()) {
        entry.posted = false;
      }
    }
  }
  module_day_delta_.clear();
  return {};
}

int SpeedBinOf(int64_t kbps) {
  if (kbps <= 0) return 0;
  if (kbps < 64) return 1;
  int bin = 2;
  for (int64_t v = kbps / 64; v >= 2 && bin < 10; v >>= 1) ++bin;
  return bin;
}

void ReportIndex::TallyHour(int64_t received, const report::ReportFacts& f, int sign) {
  auto& t = hour_delta_.try_emplace(received / kHourMs).first->second;
  t[0] += sign;
  const std::optional<bool> checks[] = {f.udp_ok, f.speed_kbps ? std::optional<bool>(*f.speed_kbps != 0) : std::nullopt,
                                        f.service_ok, f.channels_ok};
  for (std::size_t i = 0; i < 4; ++i) {
    if (!checks[i]) continue;
    t[1 + i] += sign;
    if (!*checks[i]) t[5 + i] += sign;
  }
  if (f.speed_kbps) t[9 + static_cast<std::size_t>(SpeedBinOf(*f.speed_kbps))] += sign;
}

IndexStatus ReportIndex::FlushHours() {
  std::string error;
  SqliteStatement* upsert = Statement(
      "INSERT INTO hour_tally VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17,"
      " ?18, ?19, ?20, ?21) ON CONFLICT(hour) DO UPDATE SET reports = reports + ?2, known_udp = known_udp + ?3,"
      " known_speed = known_speed + ?4, known_service = known_service + ?5, known_channels = known_channels + ?6,"
      " failed_udp = failed_udp + ?7, failed_speed = failed_speed + ?8, failed_service = failed_service + ?9,"
      " failed_channels = failed_channels + ?10, s0 = s0 + ?11, s1 = s1 + ?12, s2 = s2 + ?13, s3 = s3 + ?14,"
      " s4 = s4 + ?15, s5 = s5 + ?16, s6 = s6 + ?17, s7 = s7 + ?18, s8 = s8 + ?19, s9 = s9 + ?20, s10 = s10 + ?21",
      &error);
  if (!upsert) return Fail("cannot count reports", error);
  for (const auto& [hour, t] : hour_delta_) {
    upsert->Reset();
    upsert->BindInt(1, hour);
    for (int i = 0; i < kHourTallies; ++i) upsert->BindInt(2 + i, t[static_cast<std::size_t>(i)]);
    if (!upsert->Run()) return Fail("cannot count reports", upsert->error());
  }
  hour_delta_.clear();
  return {};
}

void ReportIndex::HasModule(sqlite3_context* context, int argc, sqlite3_value** argv) {
  auto* self = static_cast<ReportIndex*>(sqlite3_user_data(context));
  if (argc != 1 || sqlite3_value_type(argv[0]) == SQLITE_NULL) {
    sqlite3_result_int(context, 0);
    return;
  }
  std::string_view blob(static_cast<const char*>(sqlite3_value_blob(argv[0])),
                        static_cast<std::size_t>(sqlite3_value_bytes(argv[0])));
  const std::vector<bool>& want = self->probe_mids_;
  std::size_t pos = 0;
  uint64_t mid = 0;
  while (GetVarint(blob, pos, mid)) {
    if (mid < want.size() && want[mid]) {
      sqlite3_result_int(context, 1);
      return;
    }
  }
  sqlite3_result_int(context, 0);
}

IndexStatus ReportIndex::Has(std::string_view id, bool& found) {
  Call call(*this);
  found = false;
  if (!db_.is_open()) return IndexStatus::Failure("the index is not open");
  std::string error;
  SqliteStatement* has = Statement("SELECT 1 FROM report WHERE id = ?", &error);
  if (!has) return Fail("cannot read the index", error);
  has->BindText(1, id);
  found = has->Step();
  if (has->failed()) return Fail("cannot read the index", has->error());
  has->Reset();
  return {};
}

IndexStatus ReportIndex::List(std::vector<IndexedFile>& files) {
  Call call(*this);
  files.clear();
  if (!db_.is_open()) return IndexStatus::Failure("the index is not open");
  std::string error;
  SqliteStatement* list = Statement("SELECT id, file, received FROM report ORDER BY rid", &error);
  if (!list) return Fail("cannot list the index", error);
  while (list->Step()) files.push_back({list->Text(0), list->Text(1), list->Int(2)});
  if (list->failed()) return Fail("cannot list the index", list->error());
  list->Reset();
  return {};
}

IndexStatus ReportIndex::Remove(const std::vector<std::string>& ids, std::vector<IndexedFile>& removed) {
  Call call(*this);
  removed.clear();
  if (!db_.is_open()) return IndexStatus::Failure("the index is not open");
  std::string error;
  std::vector<int64_t> positions;
  SqliteStatement* find = Statement("SELECT rid FROM report WHERE id = ?", &error);
  if (!find) return Fail("cannot remove from the index", error);
  for (const std::string& id : ids) {
    find->Reset();
    find->BindText(1, id);
    if (find->Step()) positions.push_back(find->Int(0));
    if (find->failed()) return Fail("cannot remove from the index", find->error());
  }
  find->Reset();
  std::sort(positions.begin(), positions.end());
  positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
  return RemoveLocked(positions, removed);
}

IndexStatus ReportIndex::RemoveReceivedBefore(int64_t ms, std::vector<IndexedFile>& removed) {
  Call call(*this);
  removed.clear();
  if (!db_.is_open()) return IndexStatus::Failure("the index is not open");
  std::string error;
  SqliteStatement* old = Statement("SELECT rid FROM report WHERE rid < ? ORDER BY rid", &error);
  if (!old) return Fail("cannot remove from the index", error);
  old->BindInt(1, std::clamp<int64_t>(ms, 0, kMaxReceivedMs) * kPerMs);
  std::vector<int64_t> positions;
  while (old->Step()) positions.push_back(old->Int(0));
  if (old->failed()) return Fail("cannot remove from the index", old->error());
  old->Reset();
  return RemoveLocked(positions, removed);
}

// Removes in transactions of a bounded size, so that a writer waiting for
// the lock (the receiver) waits for one batch at most.
IndexStatus ReportIndex::RemoveLocked(const std::vector<int64_t>& positions, std::vector<IndexedFile>& removed) {
  std::string error;
  auto fail = [&](const std::string& detail) {
    db_.Exec("ROLLBACK", nullptr);
    module_day_delta_.clear();
    hour_delta_.clear();
    return Fail("cannot remove from the index", detail);
  };
  for (std::size_t start = 0; start < positions.size(); start += kRemoveBatch) {
    if (!db_.Exec("BEGIN IMMEDIATE", &error)) return Fail("cannot remove from the index", error);
    module_day_delta_.clear();
    hour_delta_.clear();
    std::vector<IndexedFile> batch;
    std::size_t end = std::min(positions.size(), start + kRemoveBatch);
    for (std::size_t i = start; i < end; ++i) {
      int64_t rid = positions[i];
      SqliteStatement* read = Statement(
          "SELECT r.id, r.file, r.received, r.sender, r.problem, d.adapters, d.modules,"
          " r.udp_ok, r.speed_kbps, r.service_ok, r.channels_ok"
          " FROM report r JOIN report_detail d ON d.rid = r.rid WHERE r.rid = ?",
          &error);
      if (!read) return fail(error);
      read->BindInt(1, rid);
      if (!read->Step()) {
        if (read->failed()) return fail(read->error());
        continue;  // gone already
      }
      IndexedFile file{read->Text(0), read->Text(1), read->Int(2)};
      auto sender = static_cast<uint32_t>(read->Int(3));
      std::optional<std::string> problem;
      if (!read->IsNull(4)) problem = read->Text(4);
      std::vector<report::Adapter> adapters = DecodeAdapters(read->Text(5));
      std::vector<uint64_t> mids = DecodeVarints(read->Text(6));
      report::ReportFacts checks;
      if (auto v = read->OptionalInt(7)) checks.udp_ok = *v != 0;
      checks.speed_kbps = read->OptionalInt(8);
      if (auto v = read->OptionalInt(9)) checks.service_ok = *v != 0;
      if (auto v = read->OptionalInt(10)) checks.channels_ok = *v != 0;
      TallyHour(file.received, checks, -1);
      read->Reset();
      std::sort(mids.begin(), mids.end());
      mids.erase(std::unique(mids.begin(), mids.end()), mids.end());

      int64_t day = file.received / kDayMs;
      SqliteStatement* posting = Statement("DELETE FROM report_module WHERE mid = ? AND rid = ?", &error);
      if (!posting) return fail(error);
      for (uint64_t mid : mids) {
        posting->Reset();
        posting->BindInt(1, static_cast<int64_t>(mid));
        posting->BindInt(2, rid);
        if (!posting->Run()) return fail(posting->error());
        module_day_delta_[day << 40 | static_cast<int64_t>(mid)] -= 1;
      }
      SqliteStatement* ip = Statement("DELETE FROM report_ip WHERE ip = ? AND rid = ?", &error);
      if (!ip) return fail(error);
      for (uint32_t address : AddressesOf(sender, adapters)) {
        ip->Reset();
        ip->BindInt(1, address);
        ip->BindInt(2, rid);
        if (!ip->Run()) return fail(ip->error());
      }
      SqliteStatement* mac = Statement("DELETE FROM report_mac WHERE mac = ? AND rid = ?", &error);
      if (!mac) return fail(error);
      for (uint64_t m : MacsOf(adapters)) {
        mac->Reset();
        mac->BindInt(1, static_cast<int64_t>(m));
        mac->BindInt(2, rid);
        if (!mac->Run()) return fail(mac->error());
      }
      if (problem) {
        std::string tokens = ProblemTokens(*problem);
        if (!tokens.empty()) {
          SqliteStatement* fts = Statement(
              "INSERT INTO problem_fts(problem_fts, rowid, tokens) VALUES ('delete', ?, ?)", &error);
          if (!fts) return fail(error);
          fts->BindInt(1, rid);
          fts->BindText(2, tokens);
          if (!fts->Run()) return fail(fts->error());
        }
      }
      for (const char* sql : {"DELETE FROM report_detail WHERE rid = ?", "DELETE FROM report WHERE rid = ?"}) {
        SqliteStatement* del = Statement(sql, &error);
        if (!del) return fail(error);
        del->BindInt(1, rid);
        if (!del->Run()) return fail(del->error());
      }
      batch.push_back(std::move(file));
    }
    if (IndexStatus s = FlushModuleDays(); !s) return fail(s.message);
    if (IndexStatus s = FlushHours(); !s) return fail(s.message);
    ResetStatements();
    if (!db_.Exec("DELETE FROM module_day WHERE n <= 0; DELETE FROM hour_tally WHERE reports <= 0; COMMIT", &error)) {
      return fail(error);
    }
    removed.insert(removed.end(), batch.begin(), batch.end());
  }
  return {};
}

IndexStatus ReportIndex::Get(std::string_view id, std::optional<ReportRecord>& record) {
  Call call(*this);
  record.reset();
  if (!db_.is_open()) return IndexStatus::Failure("the index is not open");
  std::string error;
  SqliteStatement* read = Statement(
      "SELECT r.id, r.received, r.sender, r.size, r.md5, r.file, r.problem, r.cpu_percent, r.free_bytes,"
      " r.udp_ok, r.speed_kbps, r.service_ok, r.channels_ok, r.parse_errors, d.adapters, d.modules, d.channel_ids"
      " FROM report r JOIN report_detail d ON d.rid = r.rid WHERE r.id = ?",
      &error);
  if (!read) return Fail("cannot read the index", error);
  read->BindText(1, id);
  if (!read->Step()) {
    if (read->failed()) return Fail("cannot read the index", read->error());
    return {};
  }
  ReportRecord r;
  r.id = read->Text(0);
  r.received = read->Int(1);
  r.sender = static_cast<uint32_t>(read->Int(2));
  r.size = static_cast<uint64_t>(read->Int(3));
  r.md5 = read->Text(4);
  r.file = read->Text(5);
  report::ReportFacts& f = r.facts;
  if (!read->IsNull(6)) f.problem = read->Text(6);
  if (auto v = read->OptionalInt(7)) f.cpu_percent = static_cast<int>(*v);
  if (auto v = read->OptionalInt(8)) f.free_bytes = static_cast<uint64_t>(*v);
  if (auto v = read->OptionalInt(9)) f.udp_ok = *v != 0;
  f.speed_kbps = read->OptionalInt(10);
  if (auto v = read->OptionalInt(11)) f.service_ok = *v != 0;
  if (auto v = read->OptionalInt(12)) f.channels_ok = *v != 0;
  f.parse_errors = static_cast<uint32_t>(read->Int(13));
  f.adapters = DecodeAdapters(read->Text(14));
  std::vector<uint64_t> mids = DecodeVarints(read->Text(15));
  f.channel_ids = DecodeStrings(read->Text(16));
  read->Reset();
  SqliteStatement* path = Statement("SELECT path FROM module WHERE mid = ?", &error);
  if (!path) return Fail("cannot read the index", error);
  std::unordered_map<uint64_t, std::string> paths;
  for (uint64_t mid : mids) {
    auto it = paths.find(mid);
    if (it == paths.end()) {
      path->Reset();
      path->BindInt(1, static_cast<int64_t>(mid));
      if (!path->Step()) return Fail("cannot read the index", "module " + std::to_string(mid) + " missing");
      it = paths.emplace(mid, path->Text(0)).first;
    }
    f.modules.push_back(it->second);
  }
  path->Reset();
  record = std::move(r);
  return {};
}

}  // namespace zandrel::store
