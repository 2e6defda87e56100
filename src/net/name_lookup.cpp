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
}

struct NameLookup::Shared {
  std::string host;
  std::mutex mu;
  std::condition_variable cv;
  bool finished = false;
  bool ok = false;
  std::vector<uint32_t> addrs;
};

int RunningLookupHelpers() { return g_helpers.load(); }

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
  auto shared = std::make_shared<Shared>();
  shared->host = host;
  try {
    ++g_helpers;
    // The helper holds its own reference: whoever lets go last frees the state.
    std::thread([shared] {
      std::vector<uint32_t> found;
      bool ok = ResolveAllIpv4(shared->host.c_str(), found);
      {
        std::lock_guard<std::mutex> lock(shared->mu);
        shared->ok = ok;
        shared->addrs = std::move(found);
        shared->finished = true;
      }
      shared->cv.notify_all();
      --g_helpers;
    }).detach();
  } catch (const std::system_error&) {
    --g_helpers;
    status_ = Status::kFailed;
    return;
  }
  pending_ = std::move(shared);
  status_ = Status::kPending;
}

void NameLookup::Collect() {
  // Called with a finished helper: its result is final.
  addrs_ = std::move(pending_->addrs);
  status_ = pending_->ok && !addrs_.empty() ? Status::kDone : Status::kFailed;
  pending_.reset();
}

NameLookup::Status NameLookup::Poll() {
  if (status_ != Status::kPending) return status_;
  {
    std::lock_guard<std::mutex> lock(pending_->mu);
    if (!pending_->finished) return status_;
  }
  Collect();
  return status_;
}

NameLookup::Status NameLookup::Wait(uint32_t ms) {
  if (status_ != Status::kPending) return status_;
  {
    std::unique_lock<std::mutex> lock(pending_->mu);
    Shared& s = *pending_;
    if (!s.cv.wait_for(lock, std::chrono::milliseconds(ms), [&s] { return s.finished; })) return status_;
  }
  Collect();
  return status_;
}

void NameLookup::Reset() {
  pending_.reset();
  addrs_.clear();
  status_ = Status::kIdle;
}

}  // namespace zandrel::net
