// A small RAII layer over the SQLite C API: one connection, prepared
// statements that reset themselves, and errors as text instead of codes.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace zandrel::store {

class SqliteStatement {
 public:
  SqliteStatement() = default;
  SqliteStatement(sqlite3* db, sqlite3_stmt* stmt) : db_(db), stmt_(stmt) {}
  SqliteStatement(SqliteStatement&& other) noexcept;
  SqliteStatement& operator=(SqliteStatement&& other) noexcept;
  SqliteStatement(const SqliteStatement&) = delete;
  SqliteStatement& operator=(const SqliteStatement&) = delete;
  ~SqliteStatement();

  bool valid() const { return stmt_ != nullptr; }
  // Parameters are numbered from 1, as in SQL.
  void BindInt(int index, int64_t value);
  void BindText(int index, std::string_view text);
  void BindBlob(int index, std::string_view bytes);
  void BindNull(int index);
  template <class T>
  void BindOptional(int index, const std::optional<T>& value) {
    if (value) {
      BindInt(index, static_cast<int64_t>(*value));
    } else {
      BindNull(index);
    }
  }
  // Runs one step: true when a row is ready; false when done or failed
  // (error() tells which).
  bool Step();
  // Steps a statement that returns no rows; false on failure.
  bool Run();
  // Clears the bindings and rewinds, ready for another use.
  void Reset();

  bool IsNull(int column) const;
  int64_t Int(int column) const;
  std::string Text(int column) const;  // blobs too, as bytes
  // The same bytes, valid until the next Step, Reset or column call.
  std::string_view View(int column) const;
  std::optional<int64_t> OptionalInt(int column) const;

  bool failed() const { return failed_; }
  std::string error() const;

 private:
  sqlite3* db_ = nullptr;
  sqlite3_stmt* stmt_ = nullptr;
  bool failed_ = false;
};

class SqliteDb {
 public:
  SqliteDb() = default;
  SqliteDb(SqliteDb&& other) noexcept;
  SqliteDb& operator=(SqliteDb&& other) noexcept;
  SqliteDb(const SqliteDb&) = delete;
  SqliteDb& operator=(const SqliteDb&) = delete;
  ~SqliteDb();

  bool Open(const std::string& path, std::string* error);
  void Close();
  bool is_open() const { return db_ != nullptr; }
  sqlite3* handle() const { return db_; }

  // Runs statements without results; false and a message on failure.
  bool Exec(const std::string& sql, std::string* error);
  // Prepares one statement; an invalid statement and a message on failure.
  SqliteStatement Prepare(std::string_view sql, std::string* error);
  std::string last_error() const;
  int64_t last_insert_rowid() const;

 private:
  sqlite3* db_ = nullptr;
};

}  // namespace zandrel::store
