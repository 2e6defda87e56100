// The desk's state in one SQLite file (WAL): a connection per process,
// its calls serialized.
#include <sqlite3.h>

#include <mutex>

#include "server/desk/desk_db.h"
#include "server/store/sqlite_db.h"

namespace zandrel::desk {
namespace {

constexpr int kSchemaVersion = 1;

const char kSchema[] = R"(
CREATE TABLE IF NOT EXISTS users (name TEXT PRIMARY KEY, hash TEXT NOT NULL, created_ms INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS tokens (name TEXT PRIMARY KEY, hash TEXT NOT NULL UNIQUE, created_ms INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS sessions (id_hash TEXT PRIMARY KEY, user TEXT NOT NULL, csrf TEXT NOT NULL,
  created_ms INTEGER NOT NULL, used_ms INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS sessions_user ON sessions (user);
CREATE TABLE IF NOT EXISTS login_failures (key TEXT NOT NULL, at_ms INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS login_failures_key ON login_failures (key, at_ms);
CREATE TABLE IF NOT EXISTS login_locks (key TEXT PRIMARY KEY, until_ms INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS audit (id INTEGER PRIMARY KEY AUTOINCREMENT, at_ms INTEGER NOT NULL, user TEXT NOT NULL,
  from_addr TEXT NOT NULL, action TEXT NOT NULL, detail TEXT NOT NULL);
)";

// A session's last use is written at most this often.
constexpr int64_t kTouchMs = 60 * 1000;

class SqliteDeskDb final : public DeskDb {
 public:
  bool Open(const std::string& path, std::string& error) {
    if (!db_.Open(path, &error)) return false;
    if (!db_.Exec("PRAGMA busy_timeout = 5000; PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL;", &error)) {
      return false;
    }
    store::SqliteStatement v = db_.Prepare("PRAGMA user_version", &error);
    if (!v.valid() || !v.Step()) return Fail(error, "cannot read the version of ", path);
    int64_t found = v.Int(0);
    v = {};
    if (found > kSchemaVersion) {
      error = path + " was made by a newer version of the desk (" + std::to_string(found) + ")";
      return false;
    }
    if (found == 0 && !(db_.Exec("BEGIN IMMEDIATE", &error) && db_.Exec(kSchema, &error) &&
                        db_.Exec("PRAGMA user_version = " + std::to_string(kSchemaVersion), &error) &&
                        db_.Exec("COMMIT", &error))) {
      db_.Exec("ROLLBACK", nullptr);
      return false;
    }
    return true;
  }

  bool AddUser(const std::string& name, const std::string& hash, int64_t now, bool& added,
               std::string& error) override {
    std::lock_guard lock(mutex_);
    auto s = Prepare("INSERT OR IGNORE INTO users (name, hash, created_ms) VALUES (?, ?, ?)", error);
    if (!s.valid()) return false;
    s.BindText(1, name);
    s.BindText(2, hash);
    s.BindInt(3, now);
    if (!s.Run()) return Fail(error, "cannot add the user: ", s.error());
    added = Changes() > 0;
    return true;
  }

  bool RemoveUser(const std::string& name, bool& removed, std::string& error) override {
    std::lock_guard lock(mutex_);
    if (!db_.Exec("BEGIN IMMEDIATE", &error)) return false;
    auto s = Prepare("DELETE FROM users WHERE name = ?", error);
    bool ok = s.valid();
    if (ok) {
      s.BindText(1, name);
      ok = s.Run() || Fail(error, "cannot remove the user: ", s.error());
      removed = Changes() > 0;
    }
    if (ok) ok = RunWithText("DELETE FROM sessions WHERE user = ?", name, error);
    if (ok) return db_.Exec("COMMIT", &error) || (db_.Exec("ROLLBACK", nullptr), false);
    db_.Exec("ROLLBACK", nullptr);
    return false;
  }

  bool ListUsers(std::vector<UserInfo>& users, std::string& error) override {
    return ListNames("SELECT name, created_ms FROM users ORDER BY name", users, error);
  }

  bool PasswordHash(const std::string& name, std::optional<std::string>& hash, std::string& error) override {
    return TextFor("SELECT hash FROM users WHERE name = ?", name, hash, error);
  }

  bool AddToken(const std::string& name, const std::string& tokenHash, int64_t now, bool& added,
                std::string& error) override {
    std::lock_guard lock(mutex_);
    auto s = Prepare("INSERT OR IGNORE INTO tokens (name, hash, created_ms) VALUES (?, ?, ?)", error);
    if (!s.valid()) return false;
    s.BindText(1, name);
    s.BindText(2, tokenHash);
    s.BindInt(3, now);
    if (!s.Run()) return Fail(error, "cannot add the token: ", s.error());
    added = Changes() > 0;
    return true;
  }

  bool RemoveToken(const std::string& name, bool& removed, std::string& error) override {
    std::lock_guard lock(mutex_);
    if (!RunWithText("DELETE FROM tokens WHERE name = ?", name, error)) return false;
    removed = Changes() > 0;
    return true;
  }

  bool ListTokens(std::vector<UserInfo>& tokens, std::string& error) override {
    return ListNames("SELECT name, created_ms FROM tokens ORDER BY name", tokens, error);
  }

  bool TokenName(const std::string& tokenHash, std::optional<std::string>& name, std::string& error) override {
    return TextFor("SELECT name FROM tokens WHERE hash = ?", tokenHash, name, error);
  }

  bool CreateSession(const std::string& idHash, const std::string& user, const std::string& csrf, int64_t now,
                     std::string& error) override {
    std::lock_guard lock(mutex_);
    auto s = Prepare("INSERT INTO sessions (id_hash, user, csrf, created_ms, used_ms) VALUES (?, ?, ?, ?, ?)", error);
    if (!s.valid()) return false;
    s.BindText(1, idHash);
    s.BindText(2, user);
    s.BindText(3, csrf);
    s.BindInt(4, now);
    s.BindInt(5, now);
    return s.Run() || Fail(error, "cannot start a session: ", s.error());
  }

  bool FindSession(const std::string& idHash, int64_t now, int64_t idleMs, std::optional<SessionInfo>& session,
                   std::string& error) override {
    std::lock_guard lock(mutex_);
    session.reset();
    auto s = Prepare(
        "SELECT s.user, s.csrf, s.used_ms FROM sessions s JOIN users u ON u.name = s.user WHERE s.id_hash = ?", error);
    if (!s.valid()) return false;
    s.BindText(1, idHash);
    if (!s.Step()) return !s.failed() || Fail(error, "cannot read sessions: ", s.error());
    int64_t used = s.Int(2);
    SessionInfo found{s.Text(0), s.Text(1)};
    s = {};
    if (now - used > idleMs) return RunWithText("DELETE FROM sessions WHERE id_hash = ?", idHash, error);
    if (now - used >= kTouchMs) {
      auto t = Prepare("UPDATE sessions SET used_ms = ? WHERE id_hash = ?", error);
      if (!t.valid()) return false;
      t.BindInt(1, now);
      t.BindText(2, idHash);
      if (!t.Run()) return Fail(error, "cannot mark the session used: ", t.error());
    }
    session = std::move(found);
    return true;
  }

  bool EndSession(const std::string& idHash, std::string& error) override {
    std::lock_guard lock(mutex_);
    return RunWithText("DELETE FROM sessions WHERE id_hash = ?", idHash, error);
  }

  bool RecordFailure(const std::string& key, int64_t now, int64_t windowMs, int limit, int64_t lockMs,
                     std::string& error) override {
    std::lock_guard lock(mutex_);
    if (!db_.Exec("BEGIN IMMEDIATE", &error)) return false;
    bool ok = true;
    {
      auto old = Prepare("DELETE FROM login_failures WHERE key = ? AND at_ms <= ?", error);
      ok = old.valid();
      if (ok) {
        old.BindText(1, key);
        old.BindInt(2, now - windowMs);
        ok = old.Run() || Fail(error, "cannot forget old failures: ", old.error());
      }
      auto add = Prepare("INSERT INTO login_failures (key, at_ms) VALUES (?, ?)", error);
      ok = ok && add.valid();
      if (ok) {
        add.BindText(1, key);
        add.BindInt(2, now);
        ok = add.Run() || Fail(error, "cannot record the failure: ", add.error());
      }
      auto count = Prepare("SELECT count(*) FROM login_failures WHERE key = ?", error);
      ok = ok && count.valid();
      if (ok) {
        count.BindText(1, key);
        ok = count.Step() || Fail(error, "cannot count failures: ", count.error());
      }
      if (ok && count.Int(0) >= limit) {
        count = {};
        auto lockRow = Prepare("INSERT OR REPLACE INTO login_locks (key, until_ms) VALUES (?, ?)", error);
        ok = lockRow.valid();
        if (ok) {
          lockRow.BindText(1, key);
          lockRow.BindInt(2, now + lockMs);
          ok = lockRow.Run() || Fail(error, "cannot lock: ", lockRow.error());
        }
      }
    }
    if (ok && db_.Exec("COMMIT", &error)) return true;
    db_.Exec("ROLLBACK", nullptr);
    return false;
  }

  bool Locked(const std::string& key, int64_t now, bool& locked, std::string& error) override {
    std::lock_guard lock(mutex_);
    auto s = Prepare("SELECT until_ms FROM login_locks WHERE key = ?", error);
    if (!s.valid()) return false;
    s.BindText(1, key);
    locked = false;
    if (s.Step()) {
      locked = s.Int(0) > now;
    } else if (s.failed()) {
      return Fail(error, "cannot read login locks: ", s.error());
    }
    return true;
  }

  bool ClearFailures(const std::string& key, std::string& error) override {
    std::lock_guard lock(mutex_);
    return RunWithText("DELETE FROM login_failures WHERE key = ?", key, error);
  }

  bool Audit(const AuditRecord& r, std::string& error) override {
    std::lock_guard lock(mutex_);
    auto s = Prepare("INSERT INTO audit (at_ms, user, from_addr, action, detail) VALUES (?, ?, ?, ?, ?)", error);
    if (!s.valid()) return false;
    s.BindInt(1, r.at_ms);
    s.BindText(2, r.user);
    s.BindText(3, r.from);
    s.BindText(4, r.action);
    s.BindText(5, r.detail);
    return s.Run() || Fail(error, "cannot write the audit log: ", s.error());
  }

  bool ReadAudit(int64_t beforeId, int limit, std::vector<AuditRecord>& records, std::string& error) override {
    std::lock_guard lock(mutex_);
    records.clear();
    auto s = Prepare(
        "SELECT id, at_ms, user, from_addr, action, detail FROM audit WHERE id < ? ORDER BY id DESC LIMIT ?", error);
    if (!s.valid()) return false;
    s.BindInt(1, beforeId > 0 ? beforeId : INT64_MAX);
    s.BindInt(2, limit);
    while (s.Step()) records.push_back({s.Int(0), s.Int(1), s.Text(2), s.Text(3), s.Text(4), s.Text(5)});
    return !s.failed() || Fail(error, "cannot read the audit log: ", s.error());
  }

  bool Accounts(std::vector<Account>& users, std::vector<Account>& tokens, std::string& error) override {
    std::lock_guard lock(mutex_);
    users.clear();
    tokens.clear();
    for (auto [sql, out] : {std::pair{"SELECT name, hash, created_ms FROM users ORDER BY name", &users},
                            std::pair{"SELECT name, hash, created_ms FROM tokens ORDER BY name", &tokens}}) {
      auto s = Prepare(sql, error);
      if (!s.valid()) return false;
      while (s.Step()) out->push_back({s.Text(0), s.Text(1), s.Int(2)});
      if (s.failed()) return Fail(error, "cannot read accounts: ", s.error());
    }
    return true;
  }

  bool ReadAuditSince(int64_t afterId, int limit, std::vector<AuditRecord>& records, std::string& error) override {
    std::lock_guard lock(mutex_);
    records.clear();
    auto s = Prepare(
        "SELECT id, at_ms, user, from_addr, action, detail FROM audit WHERE id > ? ORDER BY id LIMIT ?", error);
    if (!s.valid()) return false;
    s.BindInt(1, afterId);
    s.BindInt(2, limit);
    while (s.Step()) records.push_back({s.Int(0), s.Int(1), s.Text(2), s.Text(3), s.Text(4), s.Text(5)});
    return !s.failed() || Fail(error, "cannot read the audit log: ", s.error());
  }

 private:
  store::SqliteStatement Prepare(const char* sql, std::string& error) { return db_.Prepare(sql, &error); }

  static bool Fail(std::string& error, const std::string& what, const std::string& detail) {
    error = what + detail;
    return false;
  }

  int64_t Changes() { return sqlite3_changes(db_.handle()); }

  bool RunWithText(const char* sql, const std::string& value, std::string& error) {
    auto s = Prepare(sql, error);
    if (!s.valid()) return false;
    s.BindText(1, value);
    return s.Run() || Fail(error, "", s.error());
  }

  bool TextFor(const char* sql, const std::string& key, std::optional<std::string>& out, std::string& error) {
    std::lock_guard lock(mutex_);
    out.reset();
    auto s = Prepare(sql, error);
    if (!s.valid()) return false;
    s.BindText(1, key);
    if (s.Step()) {
      out = s.Text(0);
      return true;
    }
    return !s.failed() || Fail(error, "", s.error());
  }

  bool ListNames(const char* sql, std::vector<UserInfo>& out, std::string& error) {
    std::lock_guard lock(mutex_);
    out.clear();
    auto s = Prepare(sql, error);
    if (!s.valid()) return false;
    while (s.Step()) out.push_back({s.Text(0), s.Int(1)});
    return !s.failed() || Fail(error, "", s.error());
  }

  std::mutex mutex_;
  store::SqliteDb db_;
};

}  // namespace

std::unique_ptr<DeskDb> OpenSqliteDeskDb(const std::string& path, std::string& error) {
  auto db = std::make_unique<SqliteDeskDb>();
  if (!db->Open(path, error)) return nullptr;
  return db;
}

}  // namespace zandrel::desk
