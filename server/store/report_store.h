// Where reports go: admission (per-address rate, free space, total size),
// bodies streamed to a temporary file while being hashed, and the rename
// that makes a report visible only once it is whole and its digest matches.
// With a worker, the flush and rename run on the worker's thread; everything
// else, counting included, stays on the thread that owns the store.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "platform/md5.h"
#include "platform/store.h"
#include "server/store/store_options.h"
#include "server/store/store_worker.h"

namespace zandrel::store {

class ReportStore {
 public:
  explicit ReportStore(const StoreOptions& opt);
  // Finishes every report handed to Store before it returns.
  ~ReportStore();
  ReportStore(const ReportStore&) = delete;
  ReportStore& operator=(const ReportStore&) = delete;

  // Creates the directory, removes temporaries left by an earlier run and
  // counts what is stored.
  bool Open(std::string& error);
  // From now on Store hands the flush and rename to a thread of their own;
  // false when the thread cannot be made. Without it Store does them at once.
  bool StartWorker();

  struct Admission {
    int status = 200;  // 200, 429 (too many from this address) or 507 (no room)
    uint32_t retryAfter = 0;  // seconds, with 429
  };
  // Asked once a report's head is in; a 200 counts against the address.
  Admission Admit(uint32_t peer, uint64_t length, uint32_t nowMs);

  class Upload {
   public:
    ~Upload();
    Upload(const Upload&) = delete;
    Upload& operator=(const Upload&) = delete;
    // Hashes and writes the next piece; false if it could not be written.
    bool Write(const char* data, std::size_t len);
    uint64_t received() const { return received_; }
    // Every byte is in and their digest is flag (in either case). Asked once.
    bool Matches(const std::string& flag);

   private:
    friend class ReportStore;
    Upload(ReportStore& store, uint64_t length) : store_(store), length_(length) {}
    ReportStore& store_;
    uint64_t length_, received_ = 0;
    platform::Md5 md5_;
    std::string digest_;
    platform::PendingFile file_;
  };
  // Starts a report admitted by Admit; null when no temporary file can be made.
  std::unique_ptr<Upload> Begin(uint64_t length);

  // A whole report on its way into place. status stays 0 until Collect has
  // seen it flushed and renamed (200) or failed with its temporary removed
  // (507).
  struct Storing {
    int status = 0;
  };
  // Hands over a report whose digest matched. Without a worker the report
  // is stored, and its status known, before this returns.
  std::shared_ptr<const Storing> Store(std::unique_ptr<Upload> upload, const std::string& peerText);
  // Settles the reports the worker has finished: counts and logs them and
  // sets their status. Called by the store's own thread, once per pass.
  void Collect();
  // Reports handed to Store and not yet settled.
  std::size_t storing() const { return storing_.size(); }
  // Runs on the worker before each flush and rename; false fails that
  // report as a full disk would. Set before the first report is stored.
  // For tests that need a slow or failing disk.
  void SetBeforeCommit(std::function<bool()> hook) { beforeCommit_ = std::move(hook); }

  uint64_t stored() const { return stored_; }
  uint64_t stored_bytes() const { return storedBytes_; }

 private:
  struct Bucket {
    double tokens = 0;
    uint32_t at = 0;
    bool refusing = false;
  };
  struct Job {
    std::unique_ptr<Upload> upload;
    std::string name, peerText;
    std::shared_ptr<Storing> result;
  };
  int CheckRoom(uint64_t length);
  Admission CheckRate(uint32_t peer, uint32_t nowMs);
  void Settle(uint64_t id, bool ok);

  const StoreOptions opt_;
  std::map<uint32_t, Bucket> buckets_;
  uint64_t stored_ = 0, storedBytes_ = 0, reserved_ = 0, sequence_ = 0;
  bool refusingRoom_ = false;
  std::function<bool()> beforeCommit_;
  std::map<uint64_t, Job> storing_;  // by job id; their files belong to the worker until settled
  uint64_t nextJob_ = 0;
  std::unique_ptr<StoreWorker> worker_;  // declared last: joined before the jobs it works on go
};

}  // namespace zandrel::store
