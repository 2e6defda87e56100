// A lookup left behind while the name server never answers.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "net/name_lookup.h"
#include "silent_dns.h"

using namespace zandrel::net;
using Clock = std::chrono::steady_clock;

TEST(NameLookup, AnAbandonedLookupNeitherBlocksNorOutlivesItsHelper) {
  testsock::SilentDns dns;
  if (!dns.Install()) GTEST_SKIP() << "no private name server here (" << dns.Why() << ")";
  auto lookup = std::make_unique<NameLookup>();
  lookup->Start("never.zandrel.test");
  EXPECT_EQ(lookup->Wait(200), NameLookup::Status::kPending);
  EXPECT_EQ(RunningLookupHelpers(), 1);
  auto t0 = Clock::now();
  lookup.reset();  // the resolver takes seconds more; dropping it must not wait
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(1));
  // The helper ends by itself once the resolver gives up (and frees what it shared).
  auto deadline = Clock::now() + std::chrono::seconds(60);
  while (RunningLookupHelpers() != 0 && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(RunningLookupHelpers(), 0);
  EXPECT_TRUE(dns.Queried());
}
