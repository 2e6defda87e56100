// The store's disk side: one thread does every file operation of the
// reports being received (creating a temporary, writing body pieces,
// flushing and renaming, removing), so the server's loop never waits for
// the disk, not even a disk that stopped. Jobs run in the order posted,
// except that the files a batch commits are flushed and renamed side by
// side by a few helper threads (the file system then joins their flushes
// into one journal commit). A batch of renames shares one flush of the
// directory (group commit), and their results are published only after it:
// a report is durable before anyone hears it was stored.
//
// The queue is bounded by its owner (queued_bytes, queued_jobs). Stop
// waits a bounded time: a thread stuck in the disk, or in what a hook left
// to do, is left behind with the shared state it holds (its jobs, the
// hook), and nothing it had not renamed is ever visible.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/store.h"

namespace zandrel::store {

// One report's temporary file. Only the worker touches it once posted.
struct PendingReport {
  platform::PendingFile file;
  bool failed = false;  // a write failed: the report cannot be committed
};

class StoreWorker {
 public:
  enum class Kind { kOpen, kWrite, kCommit, kDiscard, kRun };
  struct Job {
    Kind kind = Kind::kRun;
    uint64_t upload = 0;  // whose job (Cancel)
    uint64_t result = 0;  // kCommit and kRun: reported by TakeDone under this id
    std::shared_ptr<PendingReport> report;
    std::string text;  // kOpen: temporary name; kWrite: the bytes; kCommit: final name
    std::function<bool()> run;  // kRun, and before a kCommit (false fails it)
  };
  struct Done {
    uint64_t result = 0;
    bool ok = false;
    std::string name;  // a commit's final name
  };
  // After each batch with a commit, with the commits' results: runs on the
  // worker (or the caller, without a thread) once the directory is flushed,
  // and returns what is still to be done before the results are published.
  // That runs on a thread of its own while the next batch is flushed (on
  // the worker, where that thread could not be made).
  using AfterBatch = std::function<std::function<void()>(const std::vector<Done>&)>;

  explicit StoreWorker(std::string dir, AfterBatch afterBatch = {});
  ~StoreWorker();
  StoreWorker(const StoreWorker&) = delete;
  StoreWorker& operator=(const StoreWorker&) = delete;

  // False when the thread could not be created; without one, Post runs
  // each job before it returns.
  bool Start();
  void Post(Job job);
  // Drops the upload's jobs not yet started (a kDiscard stays).
  void Cancel(uint64_t upload);
  // Results of the jobs finished since the last call, in the order they ran.
  std::vector<Done> TakeDone();
  uint64_t queued_bytes() const;
  std::size_t queued_jobs() const;
  // How long the batch under way (being flushed, or what its hook left to
  // do) has been running, the longer of the two; 0 when idle.
  uint32_t busy_ms() const;
  // Runs what is queued, waiting at most waitMs for it; true when the
  // thread ended. Otherwise the thread is left to finish alone. Nothing may
  // be posted afterwards.
  bool Stop(uint32_t waitMs);

 private:
  struct Shared;
  std::shared_ptr<Shared> shared_;
  std::thread thread_;
};

}  // namespace zandrel::store
