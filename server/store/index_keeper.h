// Keeps the report index in step with the body files, which stay the
// record of truth: rows for reports as they are stored, rows caught up in
// the background for files that have none (a crash between rename and row,
// an index that could not be written, files from before the index), and
// retention, which removes old reports, body and row together.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "server/store/report_record.h"

namespace zandrel::store {

struct IndexKeeperOptions {
  std::string dataDir;
  uint32_t keepDays = 0;  // 0: keep every report
  bool quiet = false;
  // Told, from the keeper's thread, the disk space of each body it removed.
  std::function<void(uint64_t diskBytes)> released;
};

class IndexKeeper {
 public:
  virtual ~IndexKeeper() = default;
  // The records of reports just made durable, read from their files by
  // name; any thread may read while rows are being written.
  virtual std::vector<ReportRecord> Read(const std::vector<std::string>& names) = 0;
  // Their rows, written before the reports are answered; a failure is
  // logged and left to the catch-up, never holding up the answer.
  virtual void Stored(const std::vector<ReportRecord>& records) = 0;
  // Starts the background thread: catch-up at once, then retention at once
  // and every hour, and catch-up again after any failed write.
  virtual bool Start() = 0;
};

// The index file in a data directory.
inline std::string IndexPath(const std::string& dataDir) { return dataDir + "/index.sqlite"; }

// Null with a reason where there is no index (a system without SQLite, a
// database that cannot be opened).
std::unique_ptr<IndexKeeper> OpenIndexKeeper(const IndexKeeperOptions& options, std::string& why);

}  // namespace zandrel::store
