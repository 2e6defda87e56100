// The figures of recent dashboards, so that staff looking at the same
// filters at about the same time (everybody opens the dashboard when a
// broadcast goes wrong) cost one pass over the index, not one each.
//
// A request takes figures for the same key that were ready less than
// freshMs ago, or waits for the ones being made for it, or makes them.
// Figures whose making failed are not kept: the failure goes to those
// waiting for them and the next request tries again. At most kKept keys are
// kept; the oldest go first.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "server/desk/web/pages.h"

namespace zandrel::desk::web {

class DashboardMemo {
 public:
  // Makes the figures; nullopt when they cannot be made now (error says why).
  using Make = std::function<std::optional<DashboardData>(std::string& error)>;

  static constexpr std::size_t kKept = 64;

  // clock: ms since 1970 UTC, read when figures are ready.
  DashboardMemo(int64_t freshMs, std::function<int64_t()> clock) : freshMs_(freshMs), clock_(std::move(clock)) {}

  // The figures for key, asked for at nowMs (figures made for this request
  // say so in asOfMs); null with error set when making them failed.
  std::shared_ptr<const DashboardData> Get(const std::string& key, int64_t nowMs, const Make& make, std::string& error);

  // Requests waiting now for figures another is making.
  std::size_t waiting() const { return waiting_.load(); }

 private:
  struct Outcome {
    std::shared_ptr<const DashboardData> figures;
    std::string error;
  };
  struct Entry {
    std::shared_future<Outcome> outcome;
    int64_t readyMs = 0;
    bool ready = false;
  };

  const int64_t freshMs_;
  const std::function<int64_t()> clock_;
  std::mutex mutex_;
  std::map<std::string, Entry> entries_;
  std::atomic<std::size_t> waiting_{0};
};

}  // namespace zandrel::desk::web
