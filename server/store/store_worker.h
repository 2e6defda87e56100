// One thread for the slow part of storing reports (flushing a finished
// temporary file to disk and renaming it into place), so the server's loop
// never waits for the disk. Jobs run one after another in the order posted;
// the loop's thread collects their results. The destructor runs every job
// still queued, then joins: nothing handed over is left half-done.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace zandrel::store {

class StoreWorker {
 public:
  StoreWorker() = default;
  ~StoreWorker();
  StoreWorker(const StoreWorker&) = delete;
  StoreWorker& operator=(const StoreWorker&) = delete;

  // False when the thread could not be created.
  bool Start();
  // Queues work; its result is later returned by TakeDone under id.
  void Post(uint64_t id, std::function<bool()> work);
  // Runs every job still queued, then joins the thread. Results stay for
  // TakeDone; nothing may be posted afterwards.
  void Stop();
  // Results of the jobs finished since the last call, in the order they ran.
  std::vector<std::pair<uint64_t, bool>> TakeDone();

 private:
  void Run();

  std::mutex mu_;
  std::condition_variable wake_;
  std::deque<std::pair<uint64_t, std::function<bool()>>> todo_;
  std::vector<std::pair<uint64_t, bool>> done_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace zandrel::store
