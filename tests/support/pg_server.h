// A PostgreSQL server of a test's own: a new cluster in a temporary
// directory (initdb), started with pg_ctl on a Unix socket in that
// directory (no TCP port), stopped and removed when the object goes. Under
// root the cluster belongs to the `postgres` user, as initdb requires.
#pragma once
#include <memory>
#include <string>

#include "temp_dir.h"

namespace testsupport {

class PgServer {
 public:
  PgServer();
  ~PgServer();
  PgServer(const PgServer&) = delete;
  PgServer& operator=(const PgServer&) = delete;

  // False (with why()) when no server could be started here.
  bool Start();
  void Stop();
  const std::string& why() const { return why_; }
  // A new empty database, and the URL libpq connects to it with.
  std::string CreateDatabase(const std::string& name);
  std::string Url(const std::string& database) const;
  const std::string& socket_dir() const { return dir_->path(); }

 private:
  std::string AsOwner(const std::string& command) const;

  std::unique_ptr<TempDir> dir_;
  std::string bin_;
  bool running_ = false;
  std::string why_;
};

}  // namespace testsupport
