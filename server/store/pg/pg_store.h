// The PostgreSQL store: reports go to one database that several receivers
// share, body and record in one row, and the receiver keeps no files. A
// report is answered 200 only once the transaction holding its row is
// committed.
//
// One writer thread does every database call, so the receiver's loop never
// waits on the database: it takes whatever reports are queued (up to
// kBatchRows) and inserts them in one statement, one transaction, one WAL
// flush. The id and received time of a report are fixed before its first
// insert and kept for every retry; the insert skips a row already there,
// so a report whose commit's outcome was lost with the connection is
// inserted again, once the database is back, without ever making a second
// row.
//
// When the database cannot be reached, new reports are refused with 503
// (and Retry-After) at once, reports already queued are answered 503 after
// kHoldMs, and the writer keeps trying to connect every kReconnectMs: storing
// resumes by itself. A report whose commit may have happened is held until
// it is known (at most kUnknownHoldMs). A statement that fails (a constraint,
// a disk full on the database's side) fails its report alone with 507;
// nothing of it is kept.
//
// The same bytes uploaded again within a day (a client whose answer was
// lost with a receiver or a connection sends the report again, maybe to
// another receiver) are answered with the stored report's id, not stored
// twice.
//
// The writer also makes each day's partition ahead of time, and with
// keepDays drops the days past it: at the start and every hour.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "server/store/address_rate.h"
#include "server/store/report_intake.h"

namespace zandrel::store::pg {

struct PgStoreOptions {
  std::string url;
  uint32_t reportsPerMinute = 60;  // per address, 0: no limit
  uint32_t keepDays = 0;           // 0: keep every report
  bool quiet = false;
};

class PgStore final : public ReportIntake {
 public:
  static constexpr uint64_t kQueueBytes = 64ull << 20;
  static constexpr std::size_t kQueueJobs = 8192;
  static constexpr std::size_t kBatchRows = 256;
  static constexpr uint64_t kBatchBytes = 16ull << 20;
  static constexpr uint32_t kStuckMs = 2000;
  static constexpr uint32_t kHoldMs = 3000;
  static constexpr uint32_t kUnknownHoldMs = 60000;
  static constexpr uint32_t kReconnectMs = 500;
  static constexpr uint32_t kRetrySeconds = 5;

  explicit PgStore(PgStoreOptions options);
  // Waits at most the stop wait for the writer to finish what it holds;
  // what it has not stored then is left unanswered.
  ~PgStore() override;
  PgStore(const PgStore&) = delete;
  PgStore& operator=(const PgStore&) = delete;

  // Connects, checks the schema is this program's (the message names the
  // migrate command when it is not), makes the partitions ahead and drops
  // those past keepDays. False with a message.
  bool Open(std::string& error);
  // Starts the writer; false when the thread cannot be made.
  bool Start();
  void SetStopWait(uint32_t ms) { stopWaitMs_ = ms; }

  Admission Admit(uint32_t peer, uint64_t length, uint32_t nowMs) override;
  std::unique_ptr<Upload> Begin(uint32_t peer, uint64_t length) override;
  std::shared_ptr<const Storing> Store(std::unique_ptr<Upload> upload, const std::string& peerText) override;
  void Collect() override;
  std::size_t storing() const override { return pending_.size(); }
  uint64_t stored() const override { return stored_; }

  // True while the writer cannot reach the database.
  bool down() const;

 private:
  class PgUpload;
  struct Shared;
  struct Pending {
    std::shared_ptr<Storing> result;
    uint64_t length = 0;
    std::string peerText;
  };

  const PgStoreOptions opt_;
  AddressRate rate_;
  uint64_t buffered_ = 0;  // bytes held by uploads not yet handed over
  uint64_t jobs_ = 0, stored_ = 0;
  uint32_t stopWaitMs_ = 5000;
  std::map<uint64_t, Pending> pending_;
  std::shared_ptr<Shared> shared_;  // with the writer, which may outlive this object
};

}  // namespace zandrel::store::pg
