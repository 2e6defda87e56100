// The index of stored reports: one SQLite database (WAL) in the data
// directory beside the body files. The body files are the record of truth;
// every row here can be rebuilt from them, so the index may be deleted and
// filled again at any time.
//
// Rows are ordered by a position that is the received time in milliseconds
// times 64 plus a sequence number among reports of the same millisecond:
// "newest first" is the position descending, a time range is a range of
// positions, and a page cursor is the last position shown.
//
// Every call reports failure as a false IndexStatus with a message; nothing
// throws. One object may be shared by threads (calls are serialized); other
// processes may open the same file at once (SQLite's locking, with a short
// busy wait).
#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "server/store/report_record.h"
#include "server/store/search_query.h"
#include "server/store/sqlite_db.h"

struct sqlite3_context;
struct sqlite3_value;

namespace zandrel::store {

inline constexpr int kIndexSchemaVersion = 3;
// How long a call waits for another process's write lock before failing.
inline constexpr int kIndexBusyTimeoutMs = 200;

struct IndexStatus {
  bool ok = true;
  std::string message;
  explicit operator bool() const { return ok; }
  static IndexStatus Failure(std::string message) { return {false, std::move(message)}; }
};

struct IndexOptions {
  int cache_kib = 16 * 1024;  // SQLite's page cache
  int busy_timeout_ms = kIndexBusyTimeoutMs;
  // A search condition matching at most this many rows drives the search
  // (its rows are collected, then ordered); a more common one is tested on
  // the newest rows in turn.
  int64_t drive_limit = 20000;
  // The same for a capped count, which visits up to count_cap matches:
  // collecting a set this large costs less than testing the newest rows
  // until count_cap of them match. (Words keep drive_limit: their matches
  // are read newest first from the full-text index either way.)
  int64_t count_drive_limit = 200000;
  // A module found in more reports than this keeps no list of its reports:
  // such a list would be most of the index's writes and size, and a search
  // for a module that common finds its rows soon among the newest reports'
  // own module lists.
  int64_t posting_limit = 20000;
  // A search asked for a capped total stops counting past this many
  // matches and says the total is at least this.
  int64_t count_cap = 10000;
};

// A report known to the index, as catch-up and retention need it.
struct IndexedFile {
  std::string id;
  std::string file;
  int64_t received = 0;
};

// One row of a page: the record without its module list (module_count
// says how long it is; Get reads it whole).
struct SearchHit {
  ReportRecord record;
  uint32_t module_count = 0;
};

struct SearchPage {
  std::vector<SearchHit> hits;  // newest first
  std::string next_cursor;      // empty on the last page
  std::optional<uint64_t> total;
  bool total_capped = false;  // more than total match (total is the cap)
};

enum class TimeBucket { kHour, kDay };
struct TimeCount {
  int64_t start_ms = 0;
  uint64_t count = 0;
};

// Indexes of the four checks in DayFailures.
enum CheckIndex { kUdp = 0, kSpeed = 1, kService = 2, kChannels = 3 };
struct DayFailures {
  int64_t day_ms = 0;
  uint64_t reports = 0;
  std::array<uint64_t, 4> known{};   // reports where the check has an outcome
  std::array<uint64_t, 4> failed{};  // of which failed; share = failed / known
};

struct SpeedBin {
  int64_t low_kbps = 0;    // inclusive
  int64_t high_kbps = -1;  // exclusive; -1: no upper bound
  uint64_t count = 0;
};

struct ModuleLift {
  std::string path;
  uint64_t in_set = 0, set_total = 0;        // reports of the filtered set with it
  uint64_t in_period = 0, period_total = 0;  // all reports of the same days with it
  double lift = 0;                           // share in the set over share in the period (smoothed)
};

// The tallies kept per hour (table hour_tally): reports, then per check the
// reports with an outcome and the failed ones, then the speed bins.
inline constexpr int kHourTallies = 1 + 4 + 4 + 11;
// The speed bin of r.speed_kbps (see SpeedHistogram) in SQL, and in C++.
inline constexpr const char* kSpeedBinSql =
    "CASE WHEN r.speed_kbps <= 0 THEN 0 WHEN r.speed_kbps < 64 THEN 1"
    " ELSE min(10, 2 + CAST(log2(r.speed_kbps / 64.0) AS INTEGER)) END";
int SpeedBinOf(int64_t kbps);

class ReportIndex {
 public:
  ReportIndex();
  ~ReportIndex();
  ReportIndex(const ReportIndex&) = delete;
  ReportIndex& operator=(const ReportIndex&) = delete;

  // Opens or creates the database and brings its schema to this version.
  IndexStatus Open(const std::string& path, const IndexOptions& options = {});
  void Close();

  // Adds the records in one transaction. A record whose id is indexed
  // already (or repeated in the batch) is skipped: adding twice leaves one
  // row. Nothing is added when the call fails.
  IndexStatus Add(const std::vector<ReportRecord>& records);
  IndexStatus Has(std::string_view id, bool& found);
  // The whole record, modules included; nullopt when the id is not indexed.
  IndexStatus Get(std::string_view id, std::optional<ReportRecord>& record);

  // Remove rows; `removed` lists what went (the caller deletes the bodies).
  IndexStatus Remove(const std::vector<std::string>& ids, std::vector<IndexedFile>& removed);
  IndexStatus RemoveReceivedBefore(int64_t ms, std::vector<IndexedFile>& removed);
  // Every indexed report, oldest first.
  IndexStatus List(std::vector<IndexedFile>& files);

  // One page of the reports matching the query, newest first; with_total
  // also counts every match (a cost proportional to their number).
  // cap_total stops counting past IndexOptions::count_cap (total_capped).
  IndexStatus Search(const SearchQuery& query, SearchPage& page, bool with_total = true, bool cap_total = false);
  IndexStatus Count(const SearchQuery& query, uint64_t& total);

  // Aggregates over the reports matching the query (its cursor and limit
  // are ignored); the time range of the query is the period.
  IndexStatus CountsPer(const SearchQuery& query, TimeBucket bucket, std::vector<TimeCount>& counts);
  IndexStatus FailuresPerDay(const SearchQuery& query, std::vector<DayFailures>& days);
  // Bins: 0, then [1,64), [64,128), doubling up to 16384 and over.
  IndexStatus SpeedHistogram(const SearchQuery& query, std::vector<SpeedBin>& bins);
  // The modules most over-represented in the matching reports compared with
  // every report of the same whole UTC days, at most `top` of them, seen in
  // at least `min_reports` of the matching reports.
  IndexStatus OverRepresentedModules(const SearchQuery& query, std::size_t top, uint64_t min_reports,
                                     std::vector<ModuleLift>& modules);

 private:
  // Holds the lock for one public call and, when the call ends, resets every
  // cached statement. A statement left on a row keeps a read transaction
  // open: the connection would go on reading an old snapshot, and its next
  // write would fail at once (SQLite gives up without the busy wait) while
  // another process writes.
  class Call {
   public:
    explicit Call(ReportIndex& index) : index_(index), lock_(index.mutex_) {}
    ~Call();
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

   private:
    ReportIndex& index_;
    std::lock_guard<std::mutex> lock_;
  };

  struct Filter;
  // What the filter is for: every match is visited, a first page needs few
  // rows, or a count stops after count_cap matches.
  enum class Plan { kEvery, kPage, kCappedCount };
  IndexStatus BuildFilter(const SearchQuery& query, Filter& filter, Plan plan);
  // A lower bound on the matches of a query whose only condition besides
  // time is a module not listed by report (its per-day counts say it).
  IndexStatus ModuleLowerBound(const Filter& filter, int64_t& bound);
  IndexStatus ReadPage(const SearchQuery& query, const Filter& filter, SearchPage& page);
  template <class Scan, class Tally>
  IndexStatus ForEachPart(const Filter& filter, Scan scan, Tally tally);
  IndexStatus AddLocked(const std::vector<ReportRecord>& records);
  IndexStatus AddOne(const ReportRecord& record);
  IndexStatus RemoveLocked(const std::vector<int64_t>& positions, std::vector<IndexedFile>& removed);
  struct ModuleEntry {
    int64_t mid = 0;
    bool posted = true;  // its reports are listed in report_module
  };
  IndexStatus ModuleId(const std::string& path, ModuleEntry& entry);
  IndexStatus FlushModuleDays();
  IndexStatus FlushPostings();
  // Adds one report's checks and speed to (or, with sign -1, takes them
  // from) the tallies of its hour; FlushHours writes them.
  void TallyHour(int64_t received, const report::ReportFacts& facts, int sign);
  IndexStatus FlushHours();
  // The SQL function has_module(blob): whether a report's module list holds
  // one of probe_mids_ (set by the search under way).
  static void HasModule(::sqlite3_context* context, int argc, ::sqlite3_value** argv);
  SqliteStatement* Statement(const char* sql, std::string* error);
  void ResetStatements();
  IndexStatus Fail(std::string_view what, const std::string& detail);

  std::mutex mutex_;
  SqliteDb db_;
  IndexOptions options_;
  std::unordered_map<const char*, SqliteStatement> statements_;
  std::unordered_map<std::string, ModuleEntry> module_ids_;  // a bounded cache of the module table
  std::vector<std::pair<int64_t, int64_t>> postings_;  // (mid, rid) of a transaction, written together
  std::vector<bool> probe_mids_;
  std::unordered_map<int64_t, int64_t> module_day_delta_;  // (day << 40 | mid) -> change, within a transaction
  std::unordered_map<int64_t, std::array<int64_t, kHourTallies>> hour_delta_;  // hour -> change, likewise
};

}  // namespace zandrel::store
