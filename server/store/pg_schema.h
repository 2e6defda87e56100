// The PostgreSQL schema of the report store, owned by the code: numbered
// steps, each applied once in its own transaction, the number kept in
// schema_version. Applying is idempotent: a database at the newest version
// is left as it is.
#pragma once
#include <string>

#include "server/store/pg_conn.h"

namespace zandrel::store {

inline constexpr int kPgSchemaVersion = 1;

// The version a database is at (0: none of ours yet); false on failure.
bool PgSchemaVersion(PgConnection& conn, int& version, std::string* error);
// Brings the schema to kPgSchemaVersion; fails on a newer one.
bool PgMigrate(PgConnection& conn, std::string* error);

}  // namespace zandrel::store
