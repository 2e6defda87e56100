#include "server/desk/web/dashboard_memo.h"

#include <exception>

namespace zandrel::desk::web {

std::shared_ptr<const DashboardData> DashboardMemo::Get(const std::string& key, int64_t nowMs, const Make& make,
                                                       std::string& error) {
  std::promise<Outcome> promise;
  {
    std::unique_lock lock(mutex_);
    auto it = entries_.find(key);
    if (it != entries_.end() && (!it->second.ready || nowMs - it->second.madeMs < freshMs_)) {
      std::shared_future<Outcome> outcome = it->second.outcome;
      lock.unlock();
      const Outcome& o = outcome.get();  // rethrows what the maker threw
      if (!o.figures) error = o.error;
      return o.figures;
    }
    if (it != entries_.end()) entries_.erase(it);
    if (entries_.size() >= kKept) {
      // Figures past their time first, else the oldest made.
      auto oldest = entries_.end();
      for (auto e = entries_.begin(); e != entries_.end(); ++e) {
        if (!e->second.ready) continue;
        if (oldest == entries_.end() || e->second.madeMs < oldest->second.madeMs) oldest = e;
      }
      if (oldest != entries_.end()) entries_.erase(oldest);
    }
    Entry& e = entries_[key];
    e.outcome = promise.get_future().share();
    e.madeMs = nowMs;
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
    std::lock_guard lock(mutex_);
    entries_.erase(key);
    promise.set_exception(std::current_exception());
    throw;
  }
  {
    std::lock_guard lock(mutex_);
    if (o.figures) {
      auto it = entries_.find(key);
      if (it != entries_.end()) it->second.ready = true;
    } else {
      entries_.erase(key);
    }
  }
  promise.set_value(o);
  if (!o.figures) error = o.error;
  return o.figures;
}

}  // namespace zandrel::desk::web
