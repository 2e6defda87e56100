// The desk's state in a PostgreSQL store's desk_* tables (schema step 3 of
// pg_schema.cpp): one connection per object, its calls serialized. Several
// desks may share the database; what must hold across them (a removed
// user's sessions, a key's lock) is kept by one statement or transaction.
#include <cstdint>
#include <mutex>

#include "server/desk/desk_db.h"
#include "server/store/pg/pg_query.h"
#include "server/store/pg/pg_schema.h"

namespace zandrel::desk {
namespace {

using store::PgParam;
using store::PgParams;
using store::PgResult;

// A session's last use is written at most this often.
constexpr int64_t kTouchMs = 60 * 1000;
// Audit records an import copies in one transaction.
constexpr int kAuditBatch = 500;

PgParam Text(const std::string& s) { return PgParam{s, false}; }
PgParam Number(int64_t v) { return PgParam{std::to_string(v), false}; }

bool Fail(std::string& error, const std::string& what, const std::string& detail) {
  error = what + detail;
  return false;
}

class PgDeskDb final : public DeskDb {
 public:
  bool Open(const std::string& url, std::string& error) {
    if (!conn_.Connect(url, &error)) return Fail(error, "cannot connect to the database: ", error);
    PgResult exists = conn_.Query("SELECT to_regclass('zandrel_schema') IS NOT NULL");
    if (!exists) return Fail(error, "cannot read the database's schema version: ", exists.error());
    int64_t found = 0;
    if (exists.Text(0, 0) == "t") {
      PgResult version = conn_.Query("SELECT coalesce(max(version), 0) FROM zandrel_schema");
      if (!version) return Fail(error, "cannot read the database's schema version: ", version.error());
      found = version.Int(0, 0);
    }
    if (found != store::pg::kSchemaVersion) {
      error = "the database's schema is version " + std::to_string(found) + ", this program's " +
              std::to_string(store::pg::kSchemaVersion) + ": " + store::pg::MigrateHint();
      return false;
    }
    return true;
  }

  bool AddUser(const std::string& name, const std::string& hash, int64_t now, bool& added,
               std::string& error) override {
    std::lock_guard lock(mutex_);
    return Insert("INSERT INTO desk_user (name, hash, created_ms) VALUES ($1, $2, $3) ON CONFLICT DO NOTHING",
                  {Text(name), Text(hash), Number(now)}, added, "cannot add the user: ", error);
  }

  bool RemoveUser(const std::string& name, bool& removed, std::string& error) override {
    std::lock_guard lock(mutex_);
    // The user's sessions go with the row (ON DELETE CASCADE).
    PgResult r = Run("DELETE FROM desk_user WHERE name = $1", {Text(name)});
    if (!r) return Fail(error, "cannot remove the user: ", r.error());
    removed = r.Affected() > 0;
    return true;
  }

  bool ListUsers(std::vector<UserInfo>& users, std::string& error) override {
    return ListNames("SELECT name, created_ms FROM desk_user ORDER BY name", users, error);
  }

  bool PasswordHash(const std::string& name, std::optional<std::string>& hash, std::string& error) override {
    return TextFor("SELECT hash FROM desk_user WHERE name = $1", name, hash, error);
  }

  bool AddToken(const std::string& name, const std::string& tokenHash, int64_t now, bool& added,
                std::string& error) override {
    std::lock_guard lock(mutex_);
    return Insert("INSERT INTO desk_token (name, hash, created_ms) VALUES ($1, $2, $3) ON CONFLICT DO NOTHING",
                  {Text(name), Text(tokenHash), Number(now)}, added, "cannot add the token: ", error);
  }

  bool RemoveToken(const std::string& name, bool& removed, std::string& error) override {
    std::lock_guard lock(mutex_);
    PgResult r = Run("DELETE FROM desk_token WHERE name = $1", {Text(name)});
    if (!r) return Fail(error, "cannot remove the token: ", r.error());
    removed = r.Affected() > 0;
    return true;
  }

  bool ListTokens(std::vector<UserInfo>& tokens, std::string& error) override {
    return ListNames("SELECT name, created_ms FROM desk_token ORDER BY name", tokens, error);
  }

  bool TokenName(const std::string& tokenHash, std::optional<std::string>& name, std::string& error) override {
    return TextFor("SELECT name FROM desk_token WHERE hash = $1", tokenHash, name, error);
  }

  bool CreateSession(const std::string& idHash, const std::string& user, const std::string& csrf, int64_t now,
                     std::string& error) override {
    std::lock_guard lock(mutex_);
    // A user removed meanwhile makes no session (no row to refer to).
    PgResult r = Run(
        "INSERT INTO desk_session (id_hash, user_name, csrf, created_ms, used_ms) VALUES ($1, $2, $3, $4, $4)",
        {Text(idHash), Text(user), Text(csrf), Number(now)});
    return r || Fail(error, "cannot start a session: ", r.error());
  }

  bool FindSession(const std::string& idHash, int64_t now, int64_t idleMs, std::optional<SessionInfo>& session,
                   std::string& error) override {
    std::lock_guard lock(mutex_);
    session.reset();
    PgResult r = Run("SELECT user_name, csrf, used_ms FROM desk_session WHERE id_hash = $1", {Text(idHash)});
    if (!r) return Fail(error, "cannot read sessions: ", r.error());
    if (r.rows() == 0) return true;
    int64_t used = r.Int(0, 2);
    SessionInfo found{r.Text(0, 0), r.Text(0, 1)};
    if (now - used > idleMs) {
      PgResult d = Run("DELETE FROM desk_session WHERE id_hash = $1", {Text(idHash)});
      return d || Fail(error, "cannot end the session: ", d.error());
    }
    if (now - used >= kTouchMs) {
      PgResult t = Run("UPDATE desk_session SET used_ms = $1 WHERE id_hash = $2", {Number(now), Text(idHash)});
      if (!t) return Fail(error, "cannot mark the session used: ", t.error());
    }
    session = std::move(found);
    return true;
  }

  bool EndSession(const std::string& idHash, std::string& error) override {
    std::lock_guard lock(mutex_);
    PgResult r = Run("DELETE FROM desk_session WHERE id_hash = $1", {Text(idHash)});
    return r || Fail(error, "cannot end the session: ", r.error());
  }

  bool RecordFailure(const std::string& key, int64_t now, int64_t windowMs, int limit, int64_t lockMs,
                     std::string& error) override {
    std::lock_guard lock(mutex_);
    Reconnect();
    if (!conn_.Exec("BEGIN", &error)) return false;
    // Desks counting the same key's failures at once take turns.
    PgResult r = conn_.Query("SELECT pg_advisory_xact_lock(hashtext($1))", {Text("desk_login:" + key)});
    if (r) r = conn_.Query("DELETE FROM desk_login_failure WHERE key = $1 AND at_ms <= $2",
                           {Text(key), Number(now - windowMs)});
    if (r) r = conn_.Query("INSERT INTO desk_login_failure (key, at_ms) VALUES ($1, $2)", {Text(key), Number(now)});
    if (r) r = conn_.Query("SELECT count(*) FROM desk_login_failure WHERE key = $1", {Text(key)});
    if (r && r.Int(0, 0) >= limit) {
      r = conn_.Query("INSERT INTO desk_login_lock (key, until_ms) VALUES ($1, $2)"
                      " ON CONFLICT (key) DO UPDATE SET until_ms = excluded.until_ms",
                      {Text(key), Number(now + lockMs)});
    }
    if (r && conn_.Exec("COMMIT", &error)) return true;
    if (!r) error = "cannot record the failure: " + r.error();
    std::string ignored;
    conn_.Exec("ROLLBACK", &ignored);
    return false;
  }

  bool Locked(const std::string& key, int64_t now, bool& locked, std::string& error) override {
    std::lock_guard lock(mutex_);
    locked = false;
    PgResult r = Run("SELECT until_ms FROM desk_login_lock WHERE key = $1", {Text(key)});
    if (!r) return Fail(error, "cannot read login locks: ", r.error());
    if (r.rows() > 0) locked = r.Int(0, 0) > now;
    return true;
  }

  bool ClearFailures(const std::string& key, std::string& error) override {
    std::lock_guard lock(mutex_);
    PgResult r = Run("DELETE FROM desk_login_failure WHERE key = $1", {Text(key)});
    return r || Fail(error, "cannot forget failures: ", r.error());
  }

  bool Audit(const AuditRecord& a, std::string& error) override {
    std::lock_guard lock(mutex_);
    PgResult r = Run("INSERT INTO desk_audit (at_ms, user_name, from_addr, action, detail) VALUES ($1, $2, $3, $4, $5)",
                     {Number(a.at_ms), Text(a.user), Text(a.from), Text(a.action), Text(a.detail)});
    return r || Fail(error, "cannot write the audit log: ", r.error());
  }

  bool ReadAudit(int64_t beforeId, int limit, std::vector<AuditRecord>& records, std::string& error) override {
    return ReadAuditRows("SELECT id, at_ms, user_name, from_addr, action, detail FROM desk_audit"
                         " WHERE id < $1 ORDER BY id DESC LIMIT $2",
                         beforeId > 0 ? beforeId : INT64_MAX, limit, records, error);
  }

  bool ReadAuditSince(int64_t afterId, int limit, std::vector<AuditRecord>& records, std::string& error) override {
    return ReadAuditRows("SELECT id, at_ms, user_name, from_addr, action, detail FROM desk_audit"
                         " WHERE id > $1 ORDER BY id LIMIT $2",
                         afterId, limit, records, error);
  }

  bool Accounts(std::vector<Account>& users, std::vector<Account>& tokens, std::string& error) override {
    std::lock_guard lock(mutex_);
    users.clear();
    tokens.clear();
    for (auto [sql, out] : {std::pair{"SELECT name, hash, created_ms FROM desk_user ORDER BY name", &users},
                            std::pair{"SELECT name, hash, created_ms FROM desk_token ORDER BY name", &tokens}}) {
      PgResult r = Run(sql, {});
      if (!r) return Fail(error, "cannot read accounts: ", r.error());
      for (int i = 0; i < r.rows(); ++i) out->push_back({r.Text(i, 0), r.Text(i, 1), r.Int(i, 2)});
    }
    return true;
  }

  // Copies audit records under the ids they had where they come from, in
  // one transaction; `added` counts those not copied before.
  bool ImportAudit(const std::vector<AuditRecord>& records, uint64_t& added, std::string& error) {
    std::lock_guard lock(mutex_);
    added = 0;
    Reconnect();
    if (!conn_.Exec("BEGIN", &error)) return false;
    for (const AuditRecord& a : records) {
      PgResult r = conn_.Query(
          "INSERT INTO desk_audit (at_ms, user_name, from_addr, action, detail, imported_id)"
          " VALUES ($1, $2, $3, $4, $5, $6) ON CONFLICT (imported_id) DO NOTHING",
          {Number(a.at_ms), Text(a.user), Text(a.from), Text(a.action), Text(a.detail), Number(a.id)});
      if (!r) {
        error = "cannot copy the audit log: " + r.error();
        std::string ignored;
        conn_.Exec("ROLLBACK", &ignored);
        return false;
      }
      added += r.Affected();
    }
    return conn_.Exec("COMMIT", &error);
  }

  // The highest source id copied so far: an import goes on after it.
  bool LastImportedAudit(int64_t& id, std::string& error) {
    std::lock_guard lock(mutex_);
    PgResult r = Run("SELECT coalesce(max(imported_id), 0) FROM desk_audit", {});
    if (!r) return Fail(error, "cannot read the audit log: ", r.error());
    id = r.Int(0, 0);
    return true;
  }

 private:
  // A connection the server dropped (a restart, a failover) is made again
  // before the next call rather than failing every call after.
  void Reconnect() {
    if (conn_.is_open() && PQstatus(conn_.raw()) == CONNECTION_BAD) PQreset(conn_.raw());
  }

  PgResult Run(const std::string& sql, const PgParams& params) {
    Reconnect();
    return conn_.Query(sql, params);
  }

  bool Insert(const char* sql, const PgParams& params, bool& added, const char* what, std::string& error) {
    PgResult r = Run(sql, params);
    if (!r) return Fail(error, what, r.error());
    added = r.Affected() > 0;
    return true;
  }

  bool TextFor(const char* sql, const std::string& key, std::optional<std::string>& out, std::string& error) {
    std::lock_guard lock(mutex_);
    out.reset();
    PgResult r = Run(sql, {Text(key)});
    if (!r) return Fail(error, "", r.error());
    if (r.rows() > 0) out = r.Text(0, 0);
    return true;
  }

  bool ListNames(const char* sql, std::vector<UserInfo>& out, std::string& error) {
    std::lock_guard lock(mutex_);
    out.clear();
    PgResult r = Run(sql, {});
    if (!r) return Fail(error, "", r.error());
    for (int i = 0; i < r.rows(); ++i) out.push_back({r.Text(i, 0), r.Int(i, 1)});
    return true;
  }

  bool ReadAuditRows(const char* sql, int64_t bound, int limit, std::vector<AuditRecord>& records,
                     std::string& error) {
    std::lock_guard lock(mutex_);
    records.clear();
    PgResult r = Run(sql, {Number(bound), Number(limit)});
    if (!r) return Fail(error, "cannot read the audit log: ", r.error());
    for (int i = 0; i < r.rows(); ++i) {
      records.push_back({r.Int(i, 0), r.Int(i, 1), r.Text(i, 2), r.Text(i, 3), r.Text(i, 4), r.Text(i, 5)});
    }
    return true;
  }

  std::mutex mutex_;
  store::PgConnection conn_;
};

}  // namespace

std::unique_ptr<DeskDb> OpenPgDeskDb(const std::string& url, std::string& error) {
  auto db = std::make_unique<PgDeskDb>();
  if (!db->Open(url, error)) return nullptr;
  return db;
}

bool ImportDeskDb(DeskDb& from, const std::string& url, DeskImportCounts& counts, std::string& error) {
  counts = {};
  PgDeskDb to;
  if (!to.Open(url, error)) return false;
  std::vector<DeskDb::Account> users, tokens;
  if (!from.Accounts(users, tokens, error)) return false;
  for (const auto& u : users) {
    bool added = false;
    if (!to.AddUser(u.name, u.hash, u.created_ms, added, error)) return false;
    ++(added ? counts.users : counts.usersThere);
  }
  for (const auto& t : tokens) {
    bool added = false;
    if (!to.AddToken(t.name, t.hash, t.created_ms, added, error)) return false;
    ++(added ? counts.tokens : counts.tokensThere);
  }
  // Records at or below the last one copied are there (each batch went in
  // whole, oldest first); they are counted, not read again.
  int64_t after = 0;
  if (!to.LastImportedAudit(after, error)) return false;
  std::vector<AuditRecord> batch;
  for (int64_t seen = 0;;) {
    if (!from.ReadAuditSince(seen, kAuditBatch, batch, error)) return false;
    if (batch.empty()) break;
    seen = batch.back().id;
    std::vector<AuditRecord> fresh;
    for (AuditRecord& a : batch) {
      if (a.id <= after) {
        ++counts.auditThere;
      } else {
        fresh.push_back(std::move(a));
      }
    }
    if (fresh.empty()) continue;
    uint64_t added = 0;
    if (!to.ImportAudit(fresh, added, error)) return false;
    counts.audit += added;
    counts.auditThere += fresh.size() - added;
  }
  return true;
}

}  // namespace zandrel::desk
