#include "server/desk/web/dashboard_memo.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

namespace zandrel::desk::web {
namespace {

// Requests for filters whose figures are being made wait for them and get
// what the making gave: figures, a failure or the exception it threw. Other
// filters make their own.
TEST(DashboardMemo, RequestsForTheSameFiltersWaitForOneMaking) {
  std::atomic<int64_t> now{1000};
  DashboardMemo memo(10'000, [&] { return now.load(); });
  constexpr int kRequests = 6;
  for (const char* outcome : {"figures", "failure", "throw"}) {
    SCOPED_TRACE(outcome);
    std::string mode = outcome;
    std::atomic<int> made{0};
    std::atomic<bool> hold{true};
    auto make = [&](std::string& why) -> std::optional<DashboardData> {
      ++made;
      // Every other request is waiting before the making ends (a memo that
      // keeps them from waiting is let go after a while, and fails below).
      auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      while (hold && memo.waiting() < kRequests - 1 && std::chrono::steady_clock::now() < give_up) {
        std::this_thread::yield();
      }
      if (mode == "throw") throw std::runtime_error("gone");
      if (mode == "failure") {
        why = "locked";
        return std::nullopt;
      }
      DashboardData d;
      d.total = 42;
      return d;
    };
    std::string key = "failed=" + mode;
    std::vector<std::shared_ptr<const DashboardData>> got(kRequests);
    std::vector<std::string> errors(kRequests);
    std::atomic<int> thrown{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kRequests; ++i) {
      threads.emplace_back([&, i] {
        try {
          got[static_cast<std::size_t>(i)] = memo.Get(key, now, make, errors[static_cast<std::size_t>(i)]);
        } catch (const std::runtime_error&) {
          ++thrown;
        }
      });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(made.load(), 1);
    EXPECT_EQ(memo.waiting(), 0u);
    for (int i = 0; i < kRequests; ++i) {
      const auto& g = got[static_cast<std::size_t>(i)];
      if (mode == "figures") {
        ASSERT_TRUE(g);
        EXPECT_EQ(g->total, 42u);
        EXPECT_EQ(g->asOfMs, 1000);
      } else {
        EXPECT_FALSE(g);
      }
      if (mode == "failure") {
        EXPECT_EQ(errors[static_cast<std::size_t>(i)], "locked");
      }
    }
    EXPECT_EQ(thrown.load(), mode == "throw" ? kRequests : 0);
    // Only figures are kept: after a failure or a throw the next request
    // makes them again.
    mode = "figures";
    hold = false;
    std::string error;
    ASSERT_TRUE(memo.Get(key, now, make, error));
    EXPECT_EQ(made.load(), std::string(outcome) == "figures" ? 1 : 2);
  }
}

// Figures count their age from when they were ready; a clock set back
// makes them stale; past the number kept, the oldest go.
TEST(DashboardMemo, FiguresAgeFromWhenTheyWereReady) {
  int64_t now = 0;
  DashboardMemo memo(10'000, [&] { return now; });
  int made = 0;
  auto make = [&](std::string&) -> std::optional<DashboardData> {
    ++made;
    now += 4'000;  // the making takes four seconds
    DashboardData d;
    d.total = static_cast<uint64_t>(made);
    return d;
  };
  std::string error;
  auto first = memo.Get("", 0, make, error);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->asOfMs, 0) << "as of when they were asked for";
  now = 13'999;
  ASSERT_TRUE(memo.Get("", now, make, error));
  EXPECT_EQ(made, 1) << "ready at 4,000, fresh until 14,000";
  now = 14'000;
  auto later = memo.Get("", now, make, error);
  ASSERT_TRUE(later);
  EXPECT_EQ(later->total, 2u);
  EXPECT_EQ(later->asOfMs, 14'000);
  now = 100;  // ready at 18,000: the clock went back
  ASSERT_TRUE(memo.Get("", now, make, error));
  EXPECT_EQ(made, 3) << "stale once the clock is behind their time";

  now = 1'000'000;
  for (int i = 0; i <= static_cast<int>(DashboardMemo::kKept); ++i) {
    ASSERT_TRUE(memo.Get(std::to_string(i), now, make, error));
  }
  int before = made;
  ASSERT_TRUE(memo.Get(std::to_string(DashboardMemo::kKept), now, make, error));
  EXPECT_EQ(made, before) << "the newest is kept";
  ASSERT_TRUE(memo.Get("0", now, make, error));
  EXPECT_EQ(made, before + 1) << "the oldest went";
}

}  // namespace
}  // namespace zandrel::desk::web
