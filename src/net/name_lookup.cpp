#include "net/name_lookup.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "net/socket.h"

namespace zandrel::net {
namespace {
std::atomic<int> g_helpers{0};
std::atomic<int> g_started{0};
std::atomic<int> g_lookups{0};
}  // namespace

// What a NameLookup and its helper share. Jobs are numbered: the helper has
// a name to look up while posted is ahead of finished.
struct NameLookup::Helper {
  std::mutex mu;
  std::condition_variable wake;  // a name was handed over, or the owner let go
  std::condition_variable done;  // a lookup ended
  bool alive = true;             // the thread still takes names
  bool released = false;         // the owner let go
  uint64_t posted = 0;
  uint64_t finished = 0;
  std::string host;
  bool ok = false;
  std::vector<uint32_t> addrs;

  // The thread's body; it holds its own reference, so whoever lets go last
  // frees the state.
  static void Serve(const std::shared_ptr<Helper>& h) {
    std::unique_lock<std::mutex> lock(h->mu);
    for (;;) {
      bool work = h->wake.wait_for(lock, std::chrono::milliseconds(kHelperIdleMs),
                                   [&h] { return h->released || h->posted != h->finished; });
      if (!work || h->released) break;
      const uint64_t job = h->posted;
      const std::string host = h->host;
      lock.unlock();
      std::vector<uint32_t> found;
      bool ok = ResolveAllIpv4(host.c_str(), found);
      lock.lock();
      h->ok = ok;
      h->addrs = std::move(found);
      h->finished = job;
      h->done.notify_all();
    }
    h->alive = false;
    --g_helpers;
  }
};

int RunningLookupHelpers() { return g_helpers.load(); }
int StartedLookupHelpers() { return g_started.load(); }
int StartedLookups() { return g_lookups.load(); }

NameLookup::~NameLookup() { LetHelperGo(); }

void NameLookup::LetHelperGo() {
  if (!helper_) return;
  {
    std::lock_guard<std::mutex> lock(helper_->mu);
    helper_->released = true;
  }
  helper_->wake.notify_all();
  helper_.reset();
}

bool NameLookup::Hand(const std::string& host) {
  if (!helper_) return false;
  {
    std::lock_guard<std::mutex> lock(helper_->mu);
    if (!helper_->alive || helper_->posted != helper_->finished) return false;
    helper_->host = host;
    job_ = ++helper_->posted;
  }
  ++g_lookups;
  helper_->wake.notify_all();
  return true;
}

void NameLookup::Start(const std::string& host) {
  Reset();
  uint32_t numeric = 0;
  if (ParseIpv4(host.c_str(), numeric)) {
    addrs_.push_back(numeric);
    status_ = Status::kDone;
    return;
  }
  if (host.empty()) {
    status_ = Status::kFailed;
    return;
  }
  if (!Hand(host)) {
    // No helper, one that ended while idle, or one still busy with an
    // abandoned lookup: a new one takes the name.
    LetHelperGo();
    auto helper = std::make_shared<Helper>();
    try {
      ++g_helpers;
      std::thread(&Helper::Serve, helper).detach();
      ++g_started;
    } catch (const std::system_error&) {
      --g_helpers;
      status_ = Status::kFailed;
      return;
    }
    helper_ = std::move(helper);
    Hand(host);
  }
  status_ = Status::kPending;
}

void NameLookup::Collect() {
  // Called with the helper's lock held, once it has finished our lookup.
  addrs_ = std::move(helper_->addrs);
  status_ = helper_->ok && !addrs_.empty() ? Status::kDone : Status::kFailed;
  job_ = 0;
}

NameLookup::Status NameLookup::Poll() {
  if (status_ != Status::kPending) return status_;
  std::lock_guard<std::mutex> lock(helper_->mu);
  if (helper_->finished == job_) Collect();
  return status_;
}

NameLookup::Status NameLookup::Wait(uint32_t ms) {
  if (status_ != Status::kPending) return status_;
  std::unique_lock<std::mutex> lock(helper_->mu);
  Helper& h = *helper_;
  if (h.done.wait_for(lock, std::chrono::milliseconds(ms), [this, &h] { return h.finished == job_; })) Collect();
  return status_;
}

void NameLookup::Reset() {
  addrs_.clear();
  job_ = 0;
  status_ = Status::kIdle;
}

}  // namespace zandrel::net
