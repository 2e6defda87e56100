#include "net/name_lookup.h"

#include <gtest/gtest.h>

#include "wait.h"

using namespace zandrel::net;

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

namespace {
NameLookup::Status Settle(NameLookup& lookup) {
  for (int i = 0; i < 600 && lookup.Poll() == NameLookup::Status::kPending; ++i) lookup.Wait(100);
  return lookup.Poll();
}
}  // namespace

// A client that tries a failing name again and again hands every try to the
// same helper; the helper ends once its NameLookup is gone.
TEST(NameLookup, LookupsOneAfterAnotherShareOneHelperThatEndsWithIt) {
  // A helper of an earlier test may still be winding down (a slow resolver,
  // as under Wine): count from when they have all ended.
  ASSERT_TRUE(testsupport::WaitUntil([] { return RunningLookupHelpers() == 0; }, 30000));
  const int started = StartedLookupHelpers();
  const int running = RunningLookupHelpers();
  {
    NameLookup lookup;
    for (int i = 0; i < 3; ++i) {
      lookup.Start("no-such-host.invalid");
      EXPECT_EQ(Settle(lookup), NameLookup::Status::kFailed);
    }
    lookup.Reset();
    lookup.Start("localhost");
    ASSERT_EQ(Settle(lookup), NameLookup::Status::kDone);
    EXPECT_EQ(lookup.Addresses()[0], 0x7F000001u);
    EXPECT_EQ(StartedLookupHelpers(), started + 1);
    EXPECT_EQ(RunningLookupHelpers(), running + 1);
  }
  EXPECT_TRUE(testsupport::WaitUntil([&] { return RunningLookupHelpers() == running; }, 10000));
}
