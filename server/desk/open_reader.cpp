#include <filesystem>

#include "server/desk/desk.h"
#include "server/store/pg/pg_query.h"
#include "server/store/pg/pg_report_store.h"

namespace zandrel::desk {

std::string IndexPath(const DeskOptions& options) { return options.dataDir + "/" + kIndexFileName; }

std::string DeskDbPath(const DeskOptions& options) {
  return options.deskDb.empty() ? options.dataDir + "/" + kDeskDbFileName : options.deskDb;
}


std::unique_ptr<store::ReportReader> OpenReader(const DeskOptions& options, std::string& error,
                                                const ReaderSetup& setup) {
  if (!options.database.empty()) {
    auto pg = std::make_unique<store::PgReportStore>();
    if (store::IndexStatus s = pg->Open(options.database); !s) {
      error = s.message;
      return nullptr;
    }
    pg->set_count_cap(setup.index.count_cap);
    return pg;
  }
  std::string path = setup.indexPath.empty() ? IndexPath(options) : setup.indexPath;
  std::error_code ec;
  // The receiver makes the index; the desk never does.
  if (!std::filesystem::exists(path, ec)) {
    error = !setup.missing.empty() ? setup.missing
                                   : "no index in " + options.dataDir + " (make it with: zandrel-desk --data-dir " +
                                         options.dataDir + " reindex)";
    return nullptr;
  }
  auto embedded = std::make_unique<store::EmbeddedReportReader>(options.dataDir);
  if (store::IndexStatus s = embedded->Open(path, setup.index); !s) {
    error = s.message;
    return nullptr;
  }
  return embedded;
}

std::unique_ptr<DeskDb> OpenDeskDb(const DeskOptions& options, std::string& error) {
  if (!options.database.empty() && !options.deskDb.empty()) {
    // Accounts and sessions would silently go elsewhere than asked.
    error = "--desk-db names the desk's own file; with --database the accounts, sessions and audit are kept in the "
            "database (--desk-db goes with import only)";
    return nullptr;
  }
  if (!options.database.empty()) return OpenPgDeskDb(options.database, error);
  return OpenSqliteDeskDb(DeskDbPath(options), error);
}

}  // namespace zandrel::desk
