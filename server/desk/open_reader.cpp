#include <filesystem>

#include "server/desk/desk.h"
#include "server/store/pg/pg_query.h"
#include "server/store/pg/pg_report_store.h"

namespace zandrel::desk {

std::unique_ptr<store::ReportReader> OpenReader(const DeskOptions& options, std::string& error) {
  if (!options.database.empty()) {
    auto pg = std::make_unique<store::PgReportStore>();
    if (store::IndexStatus s = pg->Open(options.database); !s) {
      error = s.message;
      return nullptr;
    }
    return pg;
  }
  std::string path = IndexPath(options);
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) {
    error = "no index in " + options.dataDir + " (make it with: zandrel-desk --data-dir " + options.dataDir +
            " reindex)";
    return nullptr;
  }
  auto embedded = std::make_unique<store::EmbeddedReportReader>(options.dataDir);
  store::IndexOptions index_options;
  index_options.busy_timeout_ms = kDeskBusyTimeoutMs;
  if (store::IndexStatus s = embedded->Open(path, index_options); !s) {
    error = s.message;
    return nullptr;
  }
  return embedded;
}

}  // namespace zandrel::desk
