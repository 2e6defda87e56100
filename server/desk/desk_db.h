// The desk's own state: accounts, API tokens, sessions, failed logins and
// the audit log. One interface, so that another database can stand in for
// the SQLite file the desk keeps by default. Secrets are never stored as
// given: passwords as their scrypt hash, tokens and session ids as SHA-256.
//
// Every call returns false with a message in error when the database
// fails; what was asked for is then unknown. Objects may be shared by
// threads. Times are ms since 1970 UTC, passed in by the caller (so that
// tests can move the clock).
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zandrel::desk {

struct UserInfo {
  std::string name;
  int64_t created_ms = 0;
};

struct SessionInfo {
  std::string user;
  std::string csrf;  // the form token bound to the session
};

struct AuditRecord {
  int64_t id = 0;  // increasing; pages of the log go by it
  int64_t at_ms = 0;
  std::string user, from, action, detail;
};

class DeskDb {
 public:
  virtual ~DeskDb() = default;

  // Users: added is false when the name is taken; removing a user ends
  // every session of theirs.
  virtual bool AddUser(const std::string& name, const std::string& passwordHash, int64_t now, bool& added,
                       std::string& error) = 0;
  virtual bool RemoveUser(const std::string& name, bool& removed, std::string& error) = 0;
  virtual bool ListUsers(std::vector<UserInfo>& users, std::string& error) = 0;
  // The stored password hash; nullopt for no such user.
  virtual bool PasswordHash(const std::string& name, std::optional<std::string>& hash, std::string& error) = 0;

  // API tokens by name, stored as the SHA-256 of the token.
  virtual bool AddToken(const std::string& name, const std::string& tokenHash, int64_t now, bool& added,
                        std::string& error) = 0;
  virtual bool RemoveToken(const std::string& name, bool& removed, std::string& error) = 0;
  virtual bool ListTokens(std::vector<UserInfo>& tokens, std::string& error) = 0;
  // The name of the token with that hash; nullopt when none.
  virtual bool TokenName(const std::string& tokenHash, std::optional<std::string>& name, std::string& error) = 0;

  // Sessions by the SHA-256 of their id. Find gives the session when it was
  // used within idleMs and its user still exists, and marks it used now; a
  // session idle longer is removed.
  virtual bool CreateSession(const std::string& idHash, const std::string& user, const std::string& csrf, int64_t now,
                             std::string& error) = 0;
  virtual bool FindSession(const std::string& idHash, int64_t now, int64_t idleMs, std::optional<SessionInfo>& session,
                           std::string& error) = 0;
  virtual bool EndSession(const std::string& idHash, std::string& error) = 0;

  // Failed logins by key ("user:NAME", "addr:1.2.3.4"). Recording one
  // locks the key until now + lockMs when it makes `limit` failures within
  // windowMs.
  virtual bool RecordFailure(const std::string& key, int64_t now, int64_t windowMs, int limit, int64_t lockMs,
                             std::string& error) = 0;
  // Whether the key is locked at now.
  virtual bool Locked(const std::string& key, int64_t now, bool& locked, std::string& error) = 0;
  // Forgets the failures of the key (after a good login).
  virtual bool ClearFailures(const std::string& key, std::string& error) = 0;

  virtual bool Audit(const AuditRecord& record, std::string& error) = 0;
  // Newest first, at most limit records with an id below beforeId (0: from
  // the newest).
  virtual bool ReadAudit(int64_t beforeId, int limit, std::vector<AuditRecord>& records, std::string& error) = 0;

  // For copying one database into another: every account and token with
  // its stored hash, and the audit log oldest first, at most limit records
  // with an id above afterId.
  struct Account {
    std::string name, hash;
    int64_t created_ms = 0;
  };
  virtual bool Accounts(std::vector<Account>& users, std::vector<Account>& tokens, std::string& error) = 0;
  virtual bool ReadAuditSince(int64_t afterId, int limit, std::vector<AuditRecord>& records, std::string& error) = 0;
};

// The SQLite file at path, made when missing (WAL mode, so that the
// commands may change accounts while the desk serves).
std::unique_ptr<DeskDb> OpenSqliteDeskDb(const std::string& path, std::string& error);

// The tables of a PostgreSQL store (made by its schema's migration), shared
// by every desk that names the database; refused unless the schema is at
// this program's version.
std::unique_ptr<DeskDb> OpenPgDeskDb(const std::string& url, std::string& error);

// What an import copied, and what was there already.
struct DeskImportCounts {
  uint64_t users = 0, usersThere = 0;
  uint64_t tokens = 0, tokensThere = 0;
  uint64_t audit = 0, auditThere = 0;
};

// Copies the accounts, tokens and audit log of `from` into the PostgreSQL
// store at url. An account or token whose name (or token hash) is there
// already is kept as it is; an audit record is copied once, however often
// this runs, each batch in one transaction, so an import cut short is
// finished by running it again.
bool ImportDeskDb(DeskDb& from, const std::string& url, DeskImportCounts& counts, std::string& error);

}  // namespace zandrel::desk
