// A few threads that run the desk's slow work (index queries, the password
// KDF) away from the thread that serves connections. Tasks run in the order
// given; the destructor lets the running tasks finish, drops those not
// started and joins the threads.
#pragma once
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace zandrel::desk::web {

class WorkerPool {
 public:
  explicit WorkerPool(std::size_t threads);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  void Submit(std::function<void()> task);
  // Tasks given and not yet started.
  std::size_t waiting() const;

 private:
  void Run();

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace zandrel::desk::web
