#include "server/desk/web/dashboard_memo.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

namespace zandrel::desk::web {
namespace {

// Many requests for the same filters at once make the figures once, and
// all of them get those figures; other filters make their own.
TEST(DashboardMemo, RequestsForTheSameFiltersShareOneMaking) {
  DashboardMemo memo(10'000);
  std::atomic<int> made{0}, arrived{0};
  constexpr int kRequests = 8;
  auto make = [&](std::string&) -> std::optional<DashboardData> {
    ++made;
    // Hold the making until every request has asked: they find it under way
    // (or, if they asked late, made) and must not make their own.
    while (arrived.load() < kRequests) std::this_thread::yield();
    DashboardData d;
    d.total = 42;
    return d;
  };
  std::vector<std::shared_ptr<const DashboardData>> got(kRequests);
  std::vector<std::thread> threads;
  for (int i = 0; i < kRequests; ++i) {
    threads.emplace_back([&, i] {
      std::string error;
      ++arrived;
      got[static_cast<std::size_t>(i)] = memo.Get("failed=udp", 1000, make, error);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(made.load(), 1);
  for (const auto& g : got) {
    ASSERT_TRUE(g);
    EXPECT_EQ(g->total, 42u);
    EXPECT_EQ(g->asOfMs, 1000);
  }
  std::string error;
  ASSERT_TRUE(memo.Get("failed=speed", 1000, make, error));
  EXPECT_EQ(made.load(), 2);
}

// Figures are kept for their time only; a failure or a throw is passed on
// and not kept.
TEST(DashboardMemo, FiguresAgeOutAndFailuresAreNotKept) {
  DashboardMemo memo(10'000);
  int made = 0;
  bool fail = false, toss = false;
  auto make = [&](std::string& why) -> std::optional<DashboardData> {
    ++made;
    if (toss) throw std::runtime_error("gone");
    if (fail) {
      why = "locked";
      return std::nullopt;
    }
    DashboardData d;
    d.total = static_cast<uint64_t>(made);
    return d;
  };
  std::string error;
  EXPECT_EQ(memo.Get("", 0, make, error)->total, 1u);
  EXPECT_EQ(memo.Get("", 9'999, make, error)->total, 1u) << "still fresh";
  auto later = memo.Get("", 10'000, make, error);
  EXPECT_EQ(later->total, 2u) << "made again once stale";
  EXPECT_EQ(later->asOfMs, 10'000);

  fail = true;
  EXPECT_FALSE(memo.Get("x", 0, make, error));
  EXPECT_EQ(error, "locked");
  toss = true;
  EXPECT_THROW(memo.Get("x", 0, make, error), std::runtime_error);
  fail = toss = false;
  error.clear();
  auto again = memo.Get("x", 0, make, error);
  ASSERT_TRUE(again) << error;
  EXPECT_EQ(made, 5) << "neither the failure nor the throw was kept";

  // Past the number kept, the oldest figures go and the newest stay.
  for (int i = 0; i < static_cast<int>(DashboardMemo::kKept) + 1; ++i) memo.Get(std::to_string(i), 100 + i, make, error);
  int before = made;
  memo.Get(std::to_string(DashboardMemo::kKept), 200, make, error);
  EXPECT_EQ(made, before) << "the newest is kept";
  memo.Get("0", 200, make, error);
  EXPECT_EQ(made, before + 1) << "the oldest went";
}

}  // namespace
}  // namespace zandrel::desk::web
