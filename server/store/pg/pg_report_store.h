// The report store on PostgreSQL, as the desk reads it (search, aggregates,
// records and bodies) and as an import fills it. Queries mean exactly what
// they mean in the embedded index (see search_query.h and report_index.h);
// the schema is in pg_schema.cpp. One object may be shared by threads: calls
// are serialized on its one connection.
#pragma once
#include <mutex>

#include "server/store/pg/pg_query.h"
#include "server/store/pg/pg_rows.h"
#include "server/store/report_reader.h"

namespace zandrel::store {

class PgReportStore : public ReportReader {
 public:
  // Connects and checks that the schema is this program's; with `migrate`
  // creates or upgrades it first.
  IndexStatus Open(const std::string& conninfo, bool migrate = false);

  // Stores the reports with their bodies (bodies[i] is records[i]'s) in one
  // transaction; a report whose id is stored already is skipped. `added`
  // counts those stored now. Nothing is stored when the call fails.
  IndexStatus Insert(const std::vector<ReportRecord>& records, const std::vector<std::string>& bodies,
                     uint64_t* added = nullptr);
  // Moves the sequence that numbers new reports past every stored id's
  // sequence number, so a new report never takes an imported one's id.
  IndexStatus AdvanceIdSequence();
  IndexStatus Has(std::string_view id, bool& found);

  IndexStatus Search(const SearchQuery& query, SearchPage& page, bool with_total, bool cap_total = false) override;
  // A capped total counts at most this many matches, as the embedded
  // index's IndexOptions::count_cap.
  void set_count_cap(int64_t cap) { count_cap_ = cap; }
  // A page is first looked for among this many newest reports (within the
  // cursor), where a filter many reports match finds it without reading
  // every match; 0: never.
  void set_walk_rows(int64_t rows) { walk_rows_ = rows; }
  IndexStatus Count(const SearchQuery& query, uint64_t& total) override;
  IndexStatus Get(std::string_view id, std::optional<ReportRecord>& record) override;
  IndexStatus Body(std::string_view id, std::optional<std::string>& body) override;
  IndexStatus CountsPer(const SearchQuery& query, TimeBucket bucket, std::vector<TimeCount>& counts) override;
  IndexStatus FailuresPerDay(const SearchQuery& query, std::vector<DayFailures>& days) override;
  IndexStatus SpeedHistogram(const SearchQuery& query, std::vector<SpeedBin>& bins) override;
  IndexStatus OverRepresentedModules(const SearchQuery& query, std::size_t top, uint64_t min_reports,
                                     std::vector<ModuleLift>& modules) override;

  // The WHERE clause of a query over `report r` and its parameters, for
  // EXPLAIN in the benchmark; `none` when nothing can match.
  struct Filter {
    std::string where;
    PgParams params;
    bool none = false;
    int64_t lo = 0, hi = INT64_MAX;
  };
  IndexStatus BuildFilter(const SearchQuery& query, Filter& filter);
  PgConnection& connection() { return conn_; }

 private:
  IndexStatus InsertLocked(const std::vector<ReportRecord>& records, const std::vector<std::string>& bodies,
                           uint64_t& added);
  IndexStatus SearchLocked(const SearchQuery& query, SearchPage& page, bool with_total, bool cap_total);
  // cap >= 0: counts at most cap + 1 matches.
  IndexStatus CountLocked(const Filter& filter, uint64_t& total, int64_t cap = -1);

  std::mutex mutex_;
  PgConnection conn_;
  pg::ModuleIdCache module_ids_;  // forgotten when a transaction that added modules is rolled back
  int64_t count_cap_ = IndexOptions{}.count_cap;
  int64_t walk_rows_ = 4000;
};

// The report row's columns a page shows, in the order ReadHit reads them.
std::string PgHitColumns();

}  // namespace zandrel::store
