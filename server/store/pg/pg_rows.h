// A report as the parameters of its row in reports: the text PostgreSQL
// reads for each column (arrays and JSON included), the body as bytes.
// Report texts come from anybody: what PostgreSQL would refuse in a text
// (a NUL, bytes that are not UTF-8) is replaced, never a reason to fail.
#pragma once
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "server/report/report_facts.h"

namespace zandrel::store::pg {

inline constexpr int kRowColumns = 20;

// Valid UTF-8 without NUL: invalid bytes become U+FFFD, NUL is dropped.
std::string CleanText(std::string_view text);
// An array literal, {"a","b\"c"}, of the texts as they are given.
std::string ArrayLiteral(const std::vector<std::string>& items);

struct RowValues {
  // Column values in the order of the insert; nullopt is NULL.
  std::vector<std::optional<std::string>> text;  // kRowColumns - 1 of them
  std::string_view body;                          // the last column, binary
};

// id: the 40-bit report id; received: ms since 1970 UTC; sender: IPv4 in
// host order; md5: upper-case hex. module_ids: the id of each of
// ModulePaths(facts) in its order, or null for the database to look them up.
RowValues MakeRow(uint64_t id, int64_t received, uint32_t sender, const std::string& md5, std::string_view body,
                  const report::ReportFacts& facts, const std::vector<int32_t>* module_ids = nullptr);

// The module paths as the row keeps them.
std::vector<std::string> ModulePaths(const report::ReportFacts& facts);

// The insert of n rows; a row whose (id, received) is there already is
// left as it is, so an insert repeated after a lost answer stores nothing twice.
// with_module_days: the rows give their module_ids, and three parameters
// follow theirs, arrays of days, module ids and counts, added to
// module_day_added in the same statement when the rows were inserted; its
// one result is the number of rows inserted.
std::string InsertSql(std::size_t rows, bool with_module_days = false);

// The module ids a writer has learnt from zandrel_module_ids: a path's id
// never changes once given, and most of a report's modules were in earlier
// reports, so the database is asked for few of them.
class ModuleIdCache {
 public:
  // The reports' paths not known yet, each once, as an array literal for
  // zandrel_module_ids; "" when every one is known.
  std::string Unknown(const std::vector<std::vector<std::string>>& reports);
  void Learn(const std::string& path, int32_t mid) { ids_[path] = mid; }
  // The ids of the paths in their order; false when one is not known.
  bool Ids(const std::vector<std::string>& paths, std::vector<int32_t>& ids) const;

 private:
  std::unordered_map<std::string, int32_t> ids_;
};

// How many of a statement's rows loaded each module on each day: the three
// parameters that follow the rows' in InsertSql(n, true).
class ModuleDayCounts {
 public:
  // A row received at ms since 1970 UTC, its module ids (repeats counted once).
  void Add(int64_t received, std::vector<int32_t> mids);
  std::array<std::string, 3> Params() const;

 private:
  std::map<std::pair<int32_t, int32_t>, int64_t> counts_;  // (day, module id) -> rows
};

}  // namespace zandrel::store::pg
