// Where reports go: admission (per-address rate, free space, total size),
// bodies hashed as they arrive and handed to the worker, which writes them
// to a temporary file and renames it into place only once the report is
// whole and its digest matches. Every file operation runs on the worker;
// everything else, counting included, stays on the thread that owns the
// store. Without a worker each file operation runs at once.
#pragma once
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>

#include "platform/md5.h"
#include "server/store/address_rate.h"
#include "server/store/report_intake.h"
#include "server/store/store_options.h"
#include "server/store/store_worker.h"

namespace zandrel::store {

class ReportStore {
 public:
  // What the worker may hold at once: bytes not yet written, and jobs.
  static constexpr uint64_t kQueueBytes = 32ull << 20;
  static constexpr std::size_t kQueueJobs = 8192;
  // A batch that has taken this long (its files, or the index rows written
  // after them) means the disk or the index is stuck for now.
  static constexpr uint32_t kStuckMs = 2000;

  explicit ReportStore(const StoreOptions& opt);
  // Finishes every report handed to Store, waiting at most the stop wait
  // (SetStopWait) for the disk.
  ~ReportStore();
  ReportStore(const ReportStore&) = delete;
  ReportStore& operator=(const ReportStore&) = delete;

  // Creates the directory, removes temporaries left by an earlier run and
  // counts what is stored.
  bool Open(std::string& error);
  // From now on the file operations run on a thread of their own; false
  // when the thread cannot be made.
  bool StartWorker(StoreWorker::AfterBatch afterBatch = {});

  // 200; 429 (too many from this address); 503 (the disk is behind: try
  // again soon); 507 (no room)
  using Admission = store::Admission;
  // Asked once a report's head is in. A 200 or a 507 counts against the
  // address: probing for room costs what a report costs.
  Admission Admit(uint32_t peer, uint64_t length, uint32_t nowMs);

  class Upload {
   public:
    // An upload not handed to Store is dropped: its jobs not yet started
    // are cancelled and its temporary removed.
    ~Upload();
    Upload(const Upload&) = delete;
    Upload& operator=(const Upload&) = delete;
    // Hashes the next piece and queues it for writing; false when the
    // worker already holds all it may (the disk is behind).
    bool Write(const char* data, std::size_t len);
    uint64_t received() const { return received_; }
    // Every byte is in and their digest is flag (in either case). Asked once.
    bool Matches(const std::string& flag);

   private:
    friend class ReportStore;
    Upload(ReportStore& store, uint64_t job, uint32_t peer, uint64_t length);
    ReportStore& store_;
    uint64_t job_;
    uint32_t peer_;
    uint64_t length_, received_ = 0;
    platform::Md5 md5_;
    std::string digest_;
    std::shared_ptr<PendingReport> file_;
    bool handedOver_ = false;
  };
  // Starts a report admitted by Admit.
  std::unique_ptr<Upload> Begin(uint32_t peer, uint64_t length);

  // A whole report on its way into place. status stays 0 until Collect has
  // seen it flushed and renamed (200, with its id) or failed with its
  // temporary removed (507).
  using Storing = store::Storing;
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
  // How long the destructor waits for the worker (default 5 s). A worker
  // stuck in the disk after that is left behind; what it had not renamed
  // never becomes visible, and its temporaries go at the next start.
  void SetStopWait(uint32_t ms) { stopWaitMs_ = ms; }

  // Where reports removed behind the store's back (retention) are counted,
  // from any thread and for as long as anyone holds it: their space is
  // counted free at the next Collect.
  std::shared_ptr<std::atomic<uint64_t>> released() const { return released_; }

  uint64_t stored() const { return stored_; }
  // The space stored reports take, counted in whole blocks (DiskBytes).
  uint64_t stored_bytes() const { return storedBytes_; }

 private:
  struct Job {
    std::string name, peerText, id;
    uint64_t length = 0;
    std::shared_ptr<Storing> result;
  };
  int CheckRoom(uint64_t length);
  bool DiskBehind() const;
  void Post(StoreWorker::Job job);
  void Settle(uint64_t id, bool ok);
  uint64_t NewId();

  const StoreOptions opt_;
  AddressRate rate_;
  uint64_t stored_ = 0, storedBytes_ = 0, reserved_ = 0, committing_ = 0, sequence_ = 0, uploads_ = 0;
  std::shared_ptr<std::atomic<uint64_t>> released_ = std::make_shared<std::atomic<uint64_t>>(0);
  bool refusingRoom_ = false;
  uint32_t stopWaitMs_ = 5000;
  std::function<bool()> beforeCommit_;
  std::set<uint64_t> ids_;  // of every report stored or being stored
  std::map<uint64_t, Job> storing_;  // by job id; their files belong to the worker until settled
  std::unique_ptr<StoreWorker> worker_;  // declared last: stopped before the jobs it works on go
};

}  // namespace zandrel::store
