#include "server/store/store_worker.h"

#include <algorithm>
#include <chrono>
#include <system_error>
#include <utility>

namespace zandrel::store {

struct StoreWorker::Shared {
  std::string dir;
  AfterBatch afterBatch;
  mutable std::mutex mu;
  std::condition_variable wake, idle;
  std::deque<Job> todo;
  uint64_t queuedBytes = 0, runningBytes = 0;  // held by jobs waiting, and by the batch under way
  std::size_t runningJobs = 0;
  std::vector<Done> done;
  bool stopping = false, running = false;
  std::chrono::steady_clock::time_point batchStart;

  // The after stage: with an after-batch hook, a batch's results and what
  // its hook left to do go to a thread of their own, which does that and
  // then publishes them, while the worker goes on to flush the next batch.
  // At most one batch waits there besides the one under way, and the worker
  // holds a third (its hook done) until there is room; batches are
  // published in order.
  struct Waiting {
    std::vector<Done> results;
    std::function<void()> finish;  // what the hook left to do; may be empty
  };
  std::deque<Waiting> after;
  bool afterRunning = false, afterStop = false, afterThread = false;
  std::chrono::steady_clock::time_point afterStart;  // of the batch under way there
  std::condition_variable afterWake, afterRoom;

  void AfterStage() {
    std::unique_lock<std::mutex> lock(mu);
    for (;;) {
      afterWake.wait(lock, [this] { return afterStop || !after.empty(); });
      if (after.empty()) break;  // stopping, and nothing is left
      Waiting w = std::move(after.front());
      after.pop_front();
      afterRunning = true;
      afterStart = std::chrono::steady_clock::now();
      afterRoom.notify_all();
      lock.unlock();
      if (w.finish) w.finish();
      w.finish = nullptr;  // what it holds goes here, not under the lock
      lock.lock();
      done.insert(done.end(), w.results.begin(), w.results.end());
      afterRunning = false;
      idle.notify_all();
    }
    afterThread = false;
    idle.notify_all();
  }

  // Results of a batch, once its files are durable.
  void Publish(std::vector<Done>& results, bool committed) {
    std::function<void()> finish;
    if (committed && afterBatch) finish = afterBatch(results);
    if (results.empty() && !finish) return;  // pieces of bodies only: nothing to tell
    std::unique_lock<std::mutex> lock(mu);
    if (afterThread) {
      afterRoom.wait(lock, [this] { return after.empty() || !afterThread; });
    }
    if (afterThread) {
      after.push_back({std::move(results), std::move(finish)});
      afterWake.notify_one();
      return;
    }
    lock.unlock();
    if (finish) finish();
    lock.lock();
    done.insert(done.end(), results.begin(), results.end());
  }

  bool Idle() const { return todo.empty() && !running && after.empty() && !afterRunning; }

  // Flushers: threads that flush and rename the files of a batch side by
  // side, so that the file system joins their flushes into one journal
  // commit instead of one per file. Each holds the shared state; they end
  // when the worker's thread does.
  std::vector<Job*> flushing;
  std::vector<char> flushed;  // per entry of flushing: committed
  std::size_t nextFlush = 0, flushesLeft = 0;
  uint64_t flushRound = 0;
  bool flushersStop = false;
  std::condition_variable flushWake, flushDone;

  bool CommitOne(Job& job) {
    bool ok = job.report->file.Commit(job.text, false);
    if (!ok) job.report->file.Discard();
    return ok;
  }

  void Flusher() {
    std::unique_lock<std::mutex> lock(mu);
    for (;;) {
      flushWake.wait(lock, [this] { return flushersStop || nextFlush < flushing.size(); });
      if (nextFlush >= flushing.size()) return;  // stopping, nothing left
      std::size_t i = nextFlush++;
      Job* job = flushing[i];
      lock.unlock();
      bool ok = CommitOne(*job);
      lock.lock();
      flushed[i] = ok;
      if (--flushesLeft == 0) flushDone.notify_all();
    }
  }

  // Commits the jobs (each already checked), side by side where there are
  // flushers; true for each that is in place.
  void CommitAll(std::vector<Job*>& jobs, std::vector<char>& ok, bool parallel) {
    ok.assign(jobs.size(), 0);
    if (!parallel || jobs.size() < 2) {
      for (std::size_t i = 0; i < jobs.size(); ++i) ok[i] = CommitOne(*jobs[i]);
      return;
    }
    std::unique_lock<std::mutex> lock(mu);
    flushing = jobs;
    flushed.assign(jobs.size(), 0);
    nextFlush = 0;
    flushesLeft = jobs.size();
    flushWake.notify_all();
    // This thread takes its share too.
    while (nextFlush < flushing.size()) {
      std::size_t i = nextFlush++;
      lock.unlock();
      bool done = CommitOne(*flushing[i]);
      lock.lock();
      flushed[i] = done;
      --flushesLeft;
    }
    flushDone.wait(lock, [this] { return flushesLeft == 0; });
    ok = flushed;
    flushing.clear();
    nextFlush = 0;
  }

  // Runs one batch: the jobs in order, except that the flushes and renames
  // of its commits run side by side before the next job that is not a
  // write; then one directory flush for the commits, then their results.
  void RunBatch(std::deque<Job>& batch, bool parallel) {
    std::vector<Done> results;
    std::vector<Job*> commits;
    std::vector<std::size_t> slots;  // each commit's place in results
    std::vector<char> ok;
    bool committed = false;
    auto finishCommits = [&] {
      if (commits.empty()) return;
      CommitAll(commits, ok, parallel);
      for (std::size_t i = 0; i < commits.size(); ++i) {
        results[slots[i]].ok = ok[i] != 0;
        committed = committed || ok[i];
        commits[i]->report.reset();
      }
      commits.clear();
      slots.clear();
    };
    for (Job& job : batch) {
      PendingReport* r = job.report.get();
      switch (job.kind) {
        case Kind::kOpen:
          if (!r->file.Open(dir, job.text)) r->failed = true;
          break;
        case Kind::kWrite:
          if (!r->failed && !r->file.Write(job.text.data(), job.text.size())) r->failed = true;
          break;
        case Kind::kCommit: {
          results.push_back({job.result, false, job.text});
          if (!r->failed && (!job.run || job.run())) {
            commits.push_back(&job);
            slots.push_back(results.size() - 1);
            continue;  // the report stays until it is committed
          }
          r->file.Discard();
          break;
        }
        case Kind::kDiscard:
          r->file.Discard();
          break;
        case Kind::kRun:
          finishCommits();
          results.push_back({job.result, job.run ? job.run() : true, std::string()});
          break;
      }
      job.report.reset();  // a report's file goes with its last job
    }
    finishCommits();
    if (committed) platform::FlushDirectory(dir);
    Publish(results, committed);
  }

  void Run() {
    std::unique_lock<std::mutex> lock(mu);
    for (;;) {
      wake.wait(lock, [this] { return stopping || !todo.empty(); });
      if (todo.empty()) break;  // stopping, and nothing is left to do
      std::deque<Job> batch;
      batch.swap(todo);
      runningBytes = queuedBytes;
      runningJobs = batch.size();
      queuedBytes = 0;
      running = true;
      batchStart = std::chrono::steady_clock::now();
      lock.unlock();
      RunBatch(batch, true);
      batch.clear();
      lock.lock();
      running = false;
      runningBytes = 0;
      runningJobs = 0;
      idle.notify_all();
    }
    flushersStop = true;
    flushWake.notify_all();
    afterStop = true;
    afterWake.notify_all();
    idle.notify_all();
  }
};

namespace {
constexpr int kFlushers = 15;  // besides the worker's own thread
}  // namespace

StoreWorker::StoreWorker(std::string dir, AfterBatch afterBatch) : shared_(std::make_shared<Shared>()) {
  shared_->dir = std::move(dir);
  shared_->afterBatch = std::move(afterBatch);
}

StoreWorker::~StoreWorker() { Stop(UINT32_MAX); }

bool StoreWorker::Start() {
  std::shared_ptr<Shared> s = shared_;
  try {
    thread_ = std::thread([s] { s->Run(); });
  } catch (const std::system_error&) {
    return false;
  }
  // Without flushers the worker commits every file itself.
  try {
    for (int i = 0; i < kFlushers; ++i) std::thread([s] { s->Flusher(); }).detach();
  } catch (const std::system_error&) {
  }
  // Without it, the worker runs the hook itself before the next batch.
  if (s->afterBatch) {
    try {
      std::lock_guard<std::mutex> lock(s->mu);
      std::thread([s] { s->AfterStage(); }).detach();
      s->afterThread = true;
    } catch (const std::system_error&) {
    }
  }
  return true;
}

void StoreWorker::Post(Job job) {
  if (!thread_.joinable()) {
    std::deque<Job> one;
    one.push_back(std::move(job));
    shared_->RunBatch(one, false);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(shared_->mu);
    if (shared_->stopping) return;
    if (job.kind == Kind::kWrite) shared_->queuedBytes += job.text.size();
    // Pieces of one body are written together.
    Job* last = shared_->todo.empty() ? nullptr : &shared_->todo.back();
    if (job.kind == Kind::kWrite && last && last->kind == Kind::kWrite && last->upload == job.upload &&
        last->text.size() < (256u << 10)) {
      last->text += job.text;
    } else {
      shared_->todo.push_back(std::move(job));
    }
  }
  shared_->wake.notify_one();
}

void StoreWorker::Cancel(uint64_t upload) {
  std::lock_guard<std::mutex> lock(shared_->mu);
  auto& todo = shared_->todo;
  for (auto it = todo.begin(); it != todo.end();) {
    if (it->upload == upload && it->kind != Kind::kDiscard) {
      if (it->kind == Kind::kWrite) shared_->queuedBytes -= it->text.size();
      it = todo.erase(it);
    } else {
      ++it;
    }
  }
}

std::vector<StoreWorker::Done> StoreWorker::TakeDone() {
  std::vector<Done> out;
  std::lock_guard<std::mutex> lock(shared_->mu);
  out.swap(shared_->done);
  return out;
}

uint64_t StoreWorker::queued_bytes() const {
  std::lock_guard<std::mutex> lock(shared_->mu);
  return shared_->queuedBytes + shared_->runningBytes;
}

std::size_t StoreWorker::queued_jobs() const {
  std::lock_guard<std::mutex> lock(shared_->mu);
  return shared_->todo.size() + shared_->runningJobs;
}

uint32_t StoreWorker::busy_ms() const {
  std::lock_guard<std::mutex> lock(shared_->mu);
  auto now = std::chrono::steady_clock::now();
  std::chrono::steady_clock::duration d{};
  if (shared_->running) d = now - shared_->batchStart;
  if (shared_->afterRunning) d = std::max(d, now - shared_->afterStart);
  return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

bool StoreWorker::Stop(uint32_t waitMs) {
  if (!thread_.joinable()) return true;
  std::unique_lock<std::mutex> lock(shared_->mu);
  shared_->stopping = true;
  shared_->wake.notify_one();
  bool ended = waitMs == UINT32_MAX
                   ? (shared_->idle.wait(lock, [this] { return shared_->Idle(); }), true)
                   : shared_->idle.wait_for(lock, std::chrono::milliseconds(waitMs), [this] { return shared_->Idle(); });
  // Ended, nothing calls the hook again: what it holds goes here, not on
  // whichever helper thread lets go of the shared state last.
  AfterBatch hook;
  if (ended) hook = std::move(shared_->afterBatch);
  lock.unlock();
  if (ended) {
    thread_.join();
  } else {
    // Stuck in the disk or in what a hook left to do: the threads keep the
    // shared state, the jobs and the hook alive until they are done.
    thread_.detach();
  }
  return ended;
}

}  // namespace zandrel::store
