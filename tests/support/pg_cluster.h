// A PostgreSQL of a test's own: a cluster made in a temporary directory by
// scripts/pg-cluster.sh (as the postgres user), on a unix socket there,
// with the database "zandrel" migrated to the store's schema, removed with
// the object.
#pragma once
#include <string>

#include "server/store/pg/pg_connection.h"

namespace testsupport {

class PgCluster {
 public:
  // migrate: bring the database to the store's schema.
  explicit PgCluster(bool migrate = true);
  ~PgCluster();
  PgCluster(const PgCluster&) = delete;
  PgCluster& operator=(const PgCluster&) = delete;

  // Why the cluster is not there; empty when it is.
  const std::string& error() const { return error_; }
  const std::string& url() const { return url_; }
  // pg_ctl stop with the mode (fast, immediate, smart), and start again.
  bool Stop(const std::string& mode = "fast");
  bool Start();
  // Runs statements on a connection of its own; the first row's first
  // column of the last one, "" for none, "ERROR: ..." when one failed.
  std::string Sql(const std::string& sql);

 private:
  std::string dir_, url_, error_;
};

// Why PostgreSQL tests cannot run here (not root, no server installed);
// empty when they can.
std::string PgUnavailable();

}  // namespace testsupport
