#include "pg_cluster.h"

#include <unistd.h>

#include <cstdlib>

#include "command.h"
#include "server/store/pg/pg_schema.h"
#include "sockets.h"

namespace testsupport {
namespace {

std::string Script() { return ZANDREL_PG_CLUSTER_SCRIPT; }

}  // namespace

std::string PgUnavailable() {
  if (geteuid() != 0) return "the cluster is made as the postgres user, which needs root";
  if (RunCommand("ls -d /usr/lib/postgresql/*/bin/initdb >/dev/null 2>&1").exitCode != 0) {
    return "no PostgreSQL server is installed (scripts/deps.sh installs it)";
  }
  return "";
}

PgCluster::PgCluster(bool migrate) {
  char tmpl[] = "/tmp/zandrel-pg-XXXXXX";
  if (!mkdtemp(tmpl)) {
    error_ = "cannot make a temporary directory";
    return;
  }
  dir_ = std::string(tmpl) + "/cluster";
  // The port only names the socket: clusters in different directories never meet.
  uint16_t port = testsock::ClosedPort();
  CommandResult r = RunCommand(Script() + " init " + dir_ + " " + std::to_string(port) + " 2>&1");
  if (r.exitCode != 0) {
    error_ = "cannot make the cluster: " + r.out;
    return;
  }
  url_ = "postgresql://postgres@/zandrel?host=" + dir_ + "/socket&port=" + std::to_string(port);
  if (!migrate) return;
  zandrel::store::pg::Connection conn;
  zandrel::store::pg::PgError e;
  if (!conn.Connect(url_, e) || !zandrel::store::pg::Migrate(conn, e)) error_ = "cannot migrate: " + e.message;
}

PgCluster::~PgCluster() {
  if (dir_.empty()) return;
  RunCommand(Script() + " remove " + dir_ + " >/dev/null 2>&1");
  RunCommand("rmdir " + dir_.substr(0, dir_.size() - 8) + " 2>/dev/null");
}

bool PgCluster::Stop(const std::string& mode) {
  return RunCommand(Script() + " stop " + dir_ + " " + mode + " 2>&1").exitCode == 0;
}

bool PgCluster::Start() { return RunCommand(Script() + " start " + dir_ + " 2>&1").exitCode == 0; }

std::string PgCluster::Sql(const std::string& sql) {
  zandrel::store::pg::Connection conn;
  zandrel::store::pg::PgError e;
  if (!conn.Connect(url_, e)) return "ERROR: " + e.message;
  zandrel::store::pg::Result r(PQexec(conn.get(), sql.c_str()));
  ExecStatusType s = PQresultStatus(r.get());
  if (s != PGRES_TUPLES_OK && s != PGRES_COMMAND_OK) return std::string("ERROR: ") + PQresultErrorMessage(r.get());
  if (s != PGRES_TUPLES_OK || PQntuples(r.get()) == 0 || PQnfields(r.get()) == 0) return "";
  return PQgetvalue(r.get(), 0, 0);
}

}  // namespace testsupport
