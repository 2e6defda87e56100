#include "net/name_lookup.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "silent_dns.h"

using namespace zandrel::net;
using Clock = std::chrono::steady_clock;

TEST(NameLookup, AddressesAreAnsweredAtOnceWithoutAHelper) {
  NameLookup lookup;
  EXPECT_EQ(lookup.Poll(), NameLookup::Status::kIdle);
  int helpers = RunningLookupHelpers();
  lookup.Start("10.1.2.3");
  EXPECT_EQ(RunningLookupHelpers(), helpers);
  ASSERT_EQ(lookup.Poll(), NameLookup::Status::kDone);
  ASSERT_EQ(lookup.Addresses().size(), 1u);
  EXPECT_EQ(lookup.Addresses()[0], 0x0A010203u);
  lookup.Start("");
  EXPECT_EQ(lookup.Poll(), NameLookup::Status::kFailed);
  EXPECT_TRUE(lookup.Addresses().empty());
  lookup.Reset();
  EXPECT_EQ(lookup.Poll(), NameLookup::Status::kIdle);
}

TEST(NameLookup, NamesResolveOrFailOnAHelper) {
  NameLookup lookup;
  lookup.Start("no-such-host.invalid");
  NameLookup::Status s = NameLookup::Status::kPending;
  for (int i = 0; i < 600 && s == NameLookup::Status::kPending; ++i) s = lookup.Wait(100);
  EXPECT_EQ(s, NameLookup::Status::kFailed);
  lookup.Start("localhost");  // from the hosts file
  for (int i = 0; i < 600 && lookup.Poll() == NameLookup::Status::kPending; ++i) lookup.Wait(100);
  ASSERT_EQ(lookup.Poll(), NameLookup::Status::kDone);
  EXPECT_EQ(lookup.Addresses()[0], 0x7F000001u);
}

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
