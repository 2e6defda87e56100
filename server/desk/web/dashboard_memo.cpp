#include "server/desk/web/dashboard_memo.h"

#include <exception>

namespace zandrel::desk::web {

std::shared_ptr<const DashboardData> DashboardMemo::Get(const std::string& key, int64_t nowMs, const Make& make,
                                                       std::string& error) {
  std::promise<Outcome> promise;
  {
    std::unique_lock lock(mutex_);
    auto it = entries_.find(key);
    // A clock set back makes figures stale, never fresh for longer.
    if (it != entries_.end() &&
        (!it->second.ready || (nowMs >= it->second.readyMs && nowMs - it->second.readyMs < freshMs_))) {
      std::shared_future<Outcome> outcome = it->second.outcome;
      lock.unlock();
      ++waiting_;
      struct Done {
        std::atomic<std::size_t>& n;
        ~Done() { --n; }
      } done{waiting_};
      const Outcome& o = outcome.get();  // rethrows what the maker threw
      if (!o.figures) error = o.error;
      return o.figures;
    }
    if (it != entries_.end()) entries_.erase(it);
    if (entries_.size() >= kKept) {
      auto oldest = entries_.end();
      for (auto e = entries_.begin(); e != entries_.end(); ++e) {
        if (!e->second.ready) continue;
        if (oldest == entries_.end() || e->second.readyMs < oldest->second.readyMs) oldest = e;
      }
      if (oldest != entries_.end()) entries_.erase(oldest);
    }
    entries_[key].outcome = promise.get_future().share();
  }

  Outcome o;
  try {
    std::string why;
    if (auto data = make(why)) {
      data->asOfMs = nowMs;
      o.figures = std::make_shared<const DashboardData>(std::move(*data));
    } else {
      o.error = why.empty() ? "the figures could not be made" : why;
    }
  } catch (...) {
    {
      std::lock_guard lock(mutex_);
      entries_.erase(key);
    }
    promise.set_exception(std::current_exception());
    throw;
  }
  std::shared_ptr<const DashboardData> figures = o.figures;
  if (!figures) error = o.error;
  if (!figures) {
    std::lock_guard lock(mutex_);
    entries_.erase(key);
  }
  // Handed to those waiting before the entry is marked ready: a request
  // in between waits on a future that is set already.
  promise.set_value(std::move(o));
  if (figures) {
    int64_t ready = clock_();
    std::lock_guard lock(mutex_);
    if (auto it = entries_.find(key); it != entries_.end()) {
      it->second.ready = true;
      it->second.readyMs = ready;
    }
  }
  return figures;
}

}  // namespace zandrel::desk::web
