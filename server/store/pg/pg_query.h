// A connection to PostgreSQL through libpq, with its results owned. Values
// go to the server as bound parameters (text, or bytes when marked binary),
// never spliced into statement text. Nothing throws: failures come back as
// a false result and a message.
#pragma once
#include <libpq-fe.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace zandrel::store {

struct PgParam {
  std::optional<std::string> value;  // nullopt: NULL
  bool binary = false;               // bytes (for bytea), else text
};
using PgParams = std::vector<PgParam>;

class PgResult {
 public:
  PgResult() = default;
  explicit PgResult(PGresult* result) : result_(result) {}
  bool ok() const;
  explicit operator bool() const { return ok(); }
  std::string error() const;
  int rows() const { return result_ ? PQntuples(result_.get()) : 0; }
  bool IsNull(int row, int col) const { return PQgetisnull(result_.get(), row, col) != 0; }
  std::string Text(int row, int col) const;
  int64_t Int(int row, int col) const;
  std::optional<int64_t> OptionalInt(int row, int col) const;
  std::optional<bool> OptionalBool(int row, int col) const;
  // A bytea column of a text-format result, unescaped.
  std::string Bytes(int row, int col) const;
  // The affected-row count of a command.
  uint64_t Affected() const;

 private:
  struct Free {
    void operator()(PGresult* r) const { PQclear(r); }
  };
  std::unique_ptr<PGresult, Free> result_;
};

class PgConnection {
 public:
  PgConnection() = default;
  PgConnection(PgConnection&&) noexcept = default;
  PgConnection& operator=(PgConnection&&) noexcept = default;

  // A URL (postgresql://USER@HOST:PORT/DB?host=/socket/dir) or key=value
  // words, as libpq reads them; its environment variables and password file
  // work as usual.
  bool Connect(const std::string& conninfo, std::string* error);
  bool is_open() const { return conn_ != nullptr; }
  void Close() { conn_.reset(); }

  // Statements without parameters, several allowed.
  bool Exec(const std::string& sql, std::string* error);
  PgResult Query(const std::string& sql, const PgParams& params = {}, bool binary_result = false);
  // COPY ... FROM STDIN with rows in COPY's text format (CopyRow builds them).
  bool CopyIn(const std::string& sql, const std::string& rows, std::string* error);
  PGconn* raw() { return conn_.get(); }

 private:
  struct Finish {
    void operator()(PGconn* c) const { PQfinish(c); }
  };
  std::unique_ptr<PGconn, Finish> conn_;
};

// A text[] literal for a parameter: {"a","b"} with quotes and backslashes escaped.
std::string PgArrayLiteral(const std::vector<std::string>& items);
std::string PgArrayLiteral(const std::vector<int64_t>& items);
// Rows for PgConnection::CopyIn: fields in COPY's text format.
class CopyRow {
 public:
  explicit CopyRow(std::string& out) : out_(out) {}
  ~CopyRow() { out_ += '\n'; }
  CopyRow(const CopyRow&) = delete;
  CopyRow& operator=(const CopyRow&) = delete;
  CopyRow& Text(std::string_view value);
  CopyRow& Int(int64_t value) { return Text(std::to_string(value)); }
  CopyRow& Null();
  CopyRow& Bytes(std::string_view value);  // a bytea field
  template <class T>
  CopyRow& Optional(const std::optional<T>& value) {
    if (!value) return Null();
    if constexpr (std::is_same_v<T, bool>) {
      return Text(*value ? "t" : "f");
    } else {
      return Int(static_cast<int64_t>(*value));
    }
  }

 private:
  void Separate();
  std::string& out_;
  bool first_ = true;
};

// The LIKE pattern that matches `fragment` anywhere, its % _ and \ escaped.
std::string PgContainsPattern(std::string_view fragment);

}  // namespace zandrel::store
