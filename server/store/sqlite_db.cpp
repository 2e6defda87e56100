#include "server/store/sqlite_db.h"

#include <sqlite3.h>

#include <utility>

namespace zandrel::store {

SqliteStatement::SqliteStatement(SqliteStatement&& other) noexcept
    : db_(other.db_), stmt_(std::exchange(other.stmt_, nullptr)), failed_(other.failed_) {}

SqliteStatement& SqliteStatement::operator=(SqliteStatement&& other) noexcept {
  if (this != &other) {
    sqlite3_finalize(stmt_);
    db_ = other.db_;
    stmt_ = std::exchange(other.stmt_, nullptr);
    failed_ = other.failed_;
  }
  return *this;
}

SqliteStatement::~SqliteStatement() { sqlite3_finalize(stmt_); }

void SqliteStatement::BindInt(int index, int64_t value) { sqlite3_bind_int64(stmt_, index, value); }

void SqliteStatement::BindText(int index, std::string_view text) {
  sqlite3_bind_text64(stmt_, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
}

void SqliteStatement::BindBlob(int index, std::string_view bytes) {
  sqlite3_bind_blob64(stmt_, index, bytes.data(), bytes.size(), SQLITE_TRANSIENT);
}

void SqliteStatement::BindNull(int index) { sqlite3_bind_null(stmt_, index); }

bool SqliteStatement::Step() {
  int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  failed_ = rc != SQLITE_DONE;
  return false;
}

bool SqliteStatement::Run() {
  while (Step()) {
  }
  bool ok = !failed_;
  if (ok) Reset();
  return ok;
}

void SqliteStatement::Reset() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
  failed_ = false;
}

bool SqliteStatement::IsNull(int column) const {
  return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

int64_t SqliteStatement::Int(int column) const { return sqlite3_column_int64(stmt_, column); }

std::string SqliteStatement::Text(int column) const {
  const void* data = sqlite3_column_blob(stmt_, column);
  int size = sqlite3_column_bytes(stmt_, column);
  if (data == nullptr || size <= 0) return {};
  return std::string(static_cast<const char*>(data), static_cast<std::size_t>(size));
}

std::string_view SqliteStatement::View(int column) const {
  const void* data = sqlite3_column_blob(stmt_, column);
  int size = sqlite3_column_bytes(stmt_, column);
  if (data == nullptr || size <= 0) return {};
  return {static_cast<const char*>(data), static_cast<std::size_t>(size)};
}

std::optional<int64_t> SqliteStatement::OptionalInt(int column) const {
  if (IsNull(column)) return std::nullopt;
  return Int(column);
}

std::string SqliteStatement::error() const { return db_ ? sqlite3_errmsg(db_) : "no database"; }

SqliteDb::SqliteDb(SqliteDb&& other) noexcept : db_(std::exchange(other.db_, nullptr)) {}

SqliteDb& SqliteDb::operator=(SqliteDb&& other) noexcept {
  if (this != &other) {
    Close();
    db_ = std::exchange(other.db_, nullptr);
  }
  return *this;
}

SqliteDb::~SqliteDb() { Close(); }

bool SqliteDb::Open(const std::string& path, std::string* error) {
  Close();
  int rc = sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                           nullptr);
  if (rc != SQLITE_OK) {
    if (error) *error = path + ": " + (db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc));
    Close();
    return false;
  }
  sqlite3_extended_result_codes(db_, 1);
  return true;
}

void SqliteDb::Close() {
  if (db_ != nullptr) sqlite3_close_v2(db_);
  db_ = nullptr;
}

bool SqliteDb::Exec(const std::string& sql, std::string* error) {
  char* message = nullptr;
  int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message);
  if (rc != SQLITE_OK) {
    if (error) *error = message ? message : sqlite3_errstr(rc);
    sqlite3_free(message);
    return false;
  }
  return true;
}

SqliteStatement SqliteDb::Prepare(std::string_view sql, std::string* error) {
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v3(db_, sql.data(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT, &stmt,
                              nullptr);
  if (rc != SQLITE_OK) {
    if (error) *error = sqlite3_errmsg(db_);
    sqlite3_finalize(stmt);
    return {};
  }
  return SqliteStatement(db_, stmt);
}

int64_t SqliteDb::last_insert_rowid() const { return sqlite3_last_insert_rowid(db_); }

std::string SqliteDb::last_error() const { return db_ ? sqlite3_errmsg(db_) : "no database"; }

}  // namespace zandrel::store
