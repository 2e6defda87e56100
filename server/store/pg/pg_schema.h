// The PostgreSQL store's schema, owned by this code: a list of numbered
// steps, each run once in a transaction of its own, the version reached
// recorded in zandrel_schema. Migrate brings a database to the last step
// and is safe to run again, or from two places at once (an advisory lock
// serializes them). Programs that store or read reports refuse a database
// whose version is not exactly theirs.
//
// Reports are partitioned by day of their received time (UTC): a partition
// reports_YYYYMMDD per day, made ahead by the code, so retention drops whole
// days instead of deleting rows. The report id is allocated from the
// sequence report_seq, which hands out blocks of kIdBlock sequence numbers
// (each nextval is the first number of a block): receivers sharing one
// database never make the same id.
//
// The desk keeps its accounts, tokens, sessions, failed logins and audit
// log in the desk_* tables of the same database (server/desk/pg_desk_db.cpp).
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "server/store/pg/pg_connection.h"

namespace zandrel::store::pg {

inline constexpr int kSchemaVersion = 4;
inline constexpr int64_t kIdBlock = 64;
inline constexpr int64_t kDayMs = 86400000;

// The version a database is at: 0 for one the schema was never made in.
bool SchemaVersion(Connection& conn, int& version, PgError& error);
// Runs every step the database lacks; step is told each version as it is
// committed.
bool Migrate(Connection& conn, PgError& error, const std::function<void(int)>& step = {});
// True when the database is at kSchemaVersion; otherwise a message that
// says what to do (naming the migrate command).
bool CheckSchema(Connection& conn, std::string& message);

// Makes the partitions of `days` days from the one holding `fromMs`; those
// that exist are left alone.
bool MakePartitions(Connection& conn, int64_t fromMs, int days, PgError& error);
// Drops every daily partition that ends at or before cutoffMs; dropped says
// how many went.
bool DropPartitionsBefore(Connection& conn, int64_t cutoffMs, int& dropped, PgError& error);

// The message a program gives on a database not at its version.
std::string MigrateHint();

}  // namespace zandrel::store::pg
