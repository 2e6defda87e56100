#include "server/store/store_worker.h"

#include <system_error>

namespace zandrel::store {

StoreWorker::~StoreWorker() { Stop(); }

void StoreWorker::Stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
  // Never started: whatever was posted still runs, here.
  for (auto& [id, work] : todo_) done_.emplace_back(id, work());
  todo_.clear();
}

bool StoreWorker::Start() {
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void StoreWorker::Post(uint64_t id, std::function<bool()> work) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    todo_.emplace_back(id, std::move(work));
  }
  wake_.notify_one();
}

std::vector<std::pair<uint64_t, bool>> StoreWorker::TakeDone() {
  std::vector<std::pair<uint64_t, bool>> out;
  std::lock_guard<std::mutex> lock(mu_);
  out.swap(done_);
  return out;
}

void StoreWorker::Run() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !todo_.empty(); });
    if (todo_.empty()) return;  // stopping, and nothing is left to do
    auto job = std::move(todo_.front());
    todo_.pop_front();
    lock.unlock();
    bool ok = job.second();
    lock.lock();
    done_.emplace_back(job.first, ok);
  }
}

}  // namespace zandrel::store
