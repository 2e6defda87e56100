// import: copies an embedded store (the data directory's report files, as
// its index records them) into the PostgreSQL store. Reports keep their ids,
// so links that name them keep working; one already there is skipped, so an
// import cut short is finished by running it again. Each batch is one
// transaction. Then the desk's own file, when the data directory has one:
// accounts, tokens and the audit log, copied once however often this runs.
#include <cstdio>
#include <filesystem>

#include "platform/console.h"
#include "platform/files.h"
#include "server/desk/desk.h"
#include "server/store/pg/pg_report_store.h"
#include "server/store/report_index.h"

namespace zandrel::desk {
namespace {

constexpr std::size_t kImportBatch = 200;

}  // namespace

int ImportCommand(const DeskOptions& options, const Args& args) {
  if (!args.empty()) return Complain(kExitUsage, "import takes no arguments");
  if (options.database.empty()) {
    return Complain(kExitUsage, "import needs --database URL (or ZANDREL_DATABASE) and the --data-dir to copy");
  }
  DeskOptions embedded_options = options;
  embedded_options.database.clear();
  std::string error;
  std::unique_ptr<store::ReportReader> reader = OpenReader(embedded_options, error);
  if (!reader) return Complain(kExitFailure, error);
  store::ReportIndex& index = static_cast<store::EmbeddedReportReader&>(*reader).index();
  store::PgReportStore database;
  if (auto s = database.Open(options.database); !s) return Complain(kExitFailure, s.message);

  std::vector<store::IndexedFile> files;
  if (auto s = index.List(files); !s) return Complain(kExitFailure, s.message);
  uint64_t added = 0, present = 0, missing = 0;
  std::size_t done = 0;
  auto progress = [&] {
    platform::WriteText(stderr, "\r" + std::to_string(done) + "/" + std::to_string(files.size()) + " reports, " +
                                    std::to_string(added) + " copied");
  };
  for (std::size_t first = 0; first < files.size(); first += kImportBatch) {
    std::vector<store::ReportRecord> records;
    std::vector<std::string> bodies;
    for (std::size_t i = first; i < std::min(files.size(), first + kImportBatch); ++i) {
      std::optional<store::ReportRecord> record;
      if (auto s = index.Get(files[i].id, record); !s) return Complain(kExitFailure, s.message);
      std::string body;
      if (!record || !platform::ReadWholeFile(options.dataDir + "/" + files[i].file, body)) {
        ++missing;  // removed since it was indexed
        continue;
      }
      records.push_back(std::move(*record));
      bodies.push_back(std::move(body));
    }
    uint64_t batch_added = 0;
    if (auto s = database.Insert(records, bodies, &batch_added); !s) {
      platform::WriteText(stderr, "\n");
      return Complain(kExitFailure, s.message + " (what was copied before stays; run import again to go on)");
    }
    added += batch_added;
    present += records.size() - batch_added;
    done = std::min(files.size(), first + kImportBatch);
    progress();
  }
  if (!files.empty()) platform::WriteText(stderr, "\n");
  if (auto s = database.AdvanceIdSequence(); !s) return Complain(kExitFailure, s.message);
  platform::WriteText(stdout, std::to_string(files.size()) + " reports in the index; " + std::to_string(added) +
                                  " copied, " + std::to_string(present) + " there already, " +
                                  std::to_string(missing) + " without their file\n");

  std::string desk_path = DeskDbPath(options);
  std::error_code ec;
  if (!std::filesystem::exists(desk_path, ec)) {
    platform::WriteText(stdout, "no desk database at " + desk_path + "; no accounts copied\n");
    return kExitOk;
  }
  auto desk = OpenSqliteDeskDb(desk_path, error);
  if (!desk) return Complain(kExitFailure, "cannot open the desk's database: " + error);
  DeskImportCounts c;
  if (!ImportDeskDb(*desk, options.database, c, error)) {
    return Complain(kExitFailure, error + " (what was copied before stays; run import again to go on)");
  }
  platform::WriteText(stdout, std::to_string(c.users) + " users copied, " + std::to_string(c.usersThere) +
                                  " there already; " + std::to_string(c.tokens) + " tokens copied, " +
                                  std::to_string(c.tokensThere) + " there already; " + std::to_string(c.audit) +
                                  " audit records copied, " + std::to_string(c.auditThere) + " there already\n");
  return kExitOk;
}

}  // namespace zandrel::desk
