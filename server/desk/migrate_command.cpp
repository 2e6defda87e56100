// migrate: creates or upgrades the PostgreSQL store's schema.
#include <chrono>
#include <cstdio>

#include "server/desk/desk.h"
#include "server/store/pg/pg_schema.h"

namespace zandrel::desk {

int MigrateCommand(const DeskOptions& options, const Args& args) {
  if (!args.empty()) return Complain(kExitUsage, "migrate takes no arguments");
  if (options.database.empty()) {
    return Complain(kExitUsage, "migrate needs --database URL (or ZANDREL_DATABASE)");
  }
  store::pg::Connection conn;
  store::pg::PgError error;
  if (!conn.Connect(options.database, error)) {
    return Complain(kExitFailure, "cannot connect to " + store::pg::UrlForLog(options.database) + ": " + error.message);
  }
  int before = 0;
  if (!store::pg::SchemaVersion(conn, before, error)) return Complain(kExitFailure, error.message);
  if (before > store::pg::kSchemaVersion) {
    return Complain(kExitFailure, "the database's schema is version " + std::to_string(before) +
                                      ", newer than this program's " + std::to_string(store::pg::kSchemaVersion));
  }
  bool ok = store::pg::Migrate(conn, error, [](int version) { std::printf("schema version %d made\n", version); });
  if (!ok) return Complain(kExitFailure, "migration failed, nothing of the failed step kept: " + error.message);
  // Today's partitions and a week ahead, so that a receiver started now
  // stores at once.
  using namespace std::chrono;
  int64_t now = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  if (!store::pg::MakePartitions(conn, now - store::pg::kDayMs, 9, error)) {
    return Complain(kExitFailure, "cannot make the day partitions: " + error.message);
  }
  std::printf("schema at version %d (was %d)\n", store::pg::kSchemaVersion, before);
  return kExitOk;
}

}  // namespace zandrel::desk
