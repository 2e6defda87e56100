// One connection to PostgreSQL, owned (closed with the object), with the
// few calls the store makes: commands, queries with text parameters, and
// errors told apart by what the caller can do about them.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include <libpq-fe.h>

namespace zandrel::store::pg {

struct ResultDeleter {
  void operator()(PGresult* r) const { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

// Why a call failed.
struct PgError {
  std::string message;
  std::string sqlstate;  // five characters when the server gave one
  bool connectionLost = false;  // the connection is gone: the outcome of a COMMIT is not known
  // Disk full, out of memory, too many connections: the server cannot take
  // more now (SQLSTATE class 53).
  bool NoRoom() const { return sqlstate.rfind("53", 0) == 0; }
};

class Connection {
 public:
  Connection() = default;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  Connection(Connection&&) = default;
  Connection& operator=(Connection&&) = default;

  // url: "postgresql://USER@HOST[:PORT]/DB" or any connection string libpq
  // takes; its password file and environment apply as usual.
  bool Connect(const std::string& url, PgError& error, int timeoutSeconds = 5);
  bool connected() const;
  void Close() { conn_.reset(); }
  PGconn* get() const { return conn_.get(); }

  // Runs one or more commands without parameters.
  bool Exec(const std::string& sql, PgError& error);
  // One statement with text parameters (null: SQL NULL); a result with rows
  // or commands' status, or null with error.
  Result Query(const std::string& sql, const std::vector<const char*>& params, PgError& error);
  // A statement whose parameters are given with their lengths and formats
  // (1: binary), for bodies.
  Result QueryBinary(const std::string& sql, const std::vector<const char*>& values, const std::vector<int>& lengths,
                     const std::vector<int>& formats, PgError& error);

 private:
  bool Check(PGresult* r, PgError& error);
  struct Closer {
    void operator()(PGconn* c) const { PQfinish(c); }
  };
  std::unique_ptr<PGconn, Closer> conn_;
};

// The connection string with any password in it replaced, for log lines.
std::string UrlForLog(const std::string& url);

}  // namespace zandrel::store::pg
