// What the desk reads from a store of reports, whichever holds them: the
// embedded one (body files and the SQLite index beside them) or a
// PostgreSQL database. Both answer every query with the same meaning; see
// ReportIndex for the meaning of each call.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/store/report_index.h"

namespace zandrel::store {

class ReportReader {
 public:
  virtual ~ReportReader() = default;

  // cap_total stops counting past the store's count cap and says so in
  // page.total_capped (the list page's "more than"); without it the total
  // is exact.
  virtual IndexStatus Search(const SearchQuery& query, SearchPage& page, bool with_total, bool cap_total = false) = 0;
  virtual IndexStatus Count(const SearchQuery& query, uint64_t& total) = 0;
  // The whole record, modules included; nullopt when the id is unknown.
  virtual IndexStatus Get(std::string_view id, std::optional<ReportRecord>& record) = 0;
  // The report's exact stored bytes; nullopt when the id is unknown.
  virtual IndexStatus Body(std::string_view id, std::optional<std::string>& body) = 0;

  virtual IndexStatus CountsPer(const SearchQuery& query, TimeBucket bucket, std::vector<TimeCount>& counts) = 0;
  virtual IndexStatus FailuresPerDay(const SearchQuery& query, std::vector<DayFailures>& days) = 0;
  virtual IndexStatus SpeedHistogram(const SearchQuery& query, std::vector<SpeedBin>& bins) = 0;
  virtual IndexStatus OverRepresentedModules(const SearchQuery& query, std::size_t top, uint64_t min_reports,
                                             std::vector<ModuleLift>& modules) = 0;
};

// The embedded store: the index answers the queries, the body files in the
// data directory hold the bytes.
class EmbeddedReportReader : public ReportReader {
 public:
  explicit EmbeddedReportReader(std::string data_dir) : data_dir_(std::move(data_dir)) {}
  IndexStatus Open(const std::string& index_path, const IndexOptions& options = {}) {
    return index_.Open(index_path, options);
  }
  ReportIndex& index() { return index_; }

  IndexStatus Search(const SearchQuery& query, SearchPage& page, bool with_total, bool cap_total = false) override {
    return index_.Search(query, page, with_total, cap_total);
  }
  IndexStatus Count(const SearchQuery& query, uint64_t& total) override { return index_.Count(query, total); }
  IndexStatus Get(std::string_view id, std::optional<ReportRecord>& record) override {
    return index_.Get(id, record);
  }
  IndexStatus Body(std::string_view id, std::optional<std::string>& body) override;
  IndexStatus CountsPer(const SearchQuery& query, TimeBucket bucket, std::vector<TimeCount>& counts) override {
    return index_.CountsPer(query, bucket, counts);
  }
  IndexStatus FailuresPerDay(const SearchQuery& query, std::vector<DayFailures>& days) override {
    return index_.FailuresPerDay(query, days);
  }
  IndexStatus SpeedHistogram(const SearchQuery& query, std::vector<SpeedBin>& bins) override {
    return index_.SpeedHistogram(query, bins);
  }
  IndexStatus OverRepresentedModules(const SearchQuery& query, std::size_t top, uint64_t min_reports,
                                     std::vector<ModuleLift>& modules) override {
    return index_.OverRepresentedModules(query, top, min_reports, modules);
  }

 private:
  std::string data_dir_;
  ReportIndex index_;
};

}  // namespace zandrel::store
