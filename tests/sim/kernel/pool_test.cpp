// The simulated pool: tags and the live-allocation log, leak reports,
// ExAllocatePool2's flags, pool types, the free checks, IRQL rules and
// fault injection of the Nth allocation.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "harness/pool.h"
#include "harness/threads.h"
#include "kernel/lifecycle.h"
#include "nt/ex.h"
#include "nt/ntstatus.h"
#include "verifier/faults.h"
#include "verifier/verifier.h"

namespace {

using sim::harness::LiveAllocations;
using sim::harness::PoolTag;
using sim::verifier::Check;
using sim::verifier::TakeViolations;

constexpr ULONG kTavo = PoolTag("Tavo");
constexpr ULONG kOther = PoolTag("Othr");

// The live log keeps allocation order, size, tag, pool type and call site
// until the free; a leak report names all of them and filters by tag.
TEST(Pool, LiveLogAndLeakReportNameTagSizeTypeAndSite) {
  const int line = __LINE__ + 1;
  void* mine = ExAllocatePoolWithTag(NonPagedPoolNx, 40, kTavo);
  void* theirs = ExAllocatePool2(POOL_FLAG_PAGED, 8, kOther);
  void* more = ExAllocatePoolWithTag(PagedPool, 7, kTavo);
  ASSERT_TRUE(mine && theirs && more);
  auto all = LiveAllocations();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].address, mine);  // allocation order
  EXPECT_EQ(all[1].poolType, "POOL_FLAG_PAGED");
  ExFreePool(more);  // no tag check

  EXPECT_EQ(sim::harness::ReportPoolLeaks(kTavo, "after unload"), 1u);
  auto leaks = TakeViolations(Check::PoolLeak);
  ASSERT_EQ(leaks.size(), 1u);
  const std::string& text = leaks[0].message;
  EXPECT_EQ(text.rfind("after unload: 40 bytes with tag 'Tavo' (NonPagedPoolNx) at ", 0), 0u)
      << text;
  EXPECT_NE(text.find("allocated at pool_test.cpp:" + std::to_string(line)), std::string::npos);
  EXPECT_EQ(kTavo, 0x6F766154u);  // 'ovaT': the tag's characters in memory order

  // The end-of-test check reports everything still live.
  sim::kernel::RunEndOfTestChecks();
  EXPECT_EQ(TakeViolations(Check::PoolLeak).size(), 2u);
  ExFreePoolWithTag(mine, kTavo);
  ExFreePoolWithTag(theirs, kOther);
  EXPECT_TRUE(LiveAllocations().empty());
}

// ExAllocatePool2's flags and ExAllocatePoolWithTag's pool types: valid
// ones allocate, the others fail with a violation.
struct KindCase {
  const char* name;
  bool pool2;  // ExAllocatePool2 with `kind` as its flags, else a POOL_TYPE
  ULONG64 kind;
  bool valid;
};

class PoolKinds : public ::testing::TestWithParam<KindCase> {};

TEST_P(PoolKinds, ValidOnesAllocateOthersFailWithAViolation) {
  void* p = GetParam().pool2
                ? ExAllocatePool2(GetParam().kind, 32, kTavo)
                : ExAllocatePoolWithTag(static_cast<POOL_TYPE>(GetParam().kind), 16, kTavo);
  EXPECT_EQ(p != nullptr, GetParam().valid);
  EXPECT_EQ(TakeViolations(Check::PoolBadType).size(), GetParam().valid ? 0u : 1u);
  if (p) ExFreePoolWithTag(p, kTavo);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PoolKinds,
    ::testing::Values(
        KindCase{"NonPaged", true, POOL_FLAG_NON_PAGED, true},
        KindCase{"Paged", true, POOL_FLAG_PAGED, true},
        KindCase{"NonPagedExecute", true, POOL_FLAG_NON_PAGED_EXECUTE, true},
        KindCase{"QuotaCacheAligned", true,
                 POOL_FLAG_PAGED | POOL_FLAG_USE_QUOTA | POOL_FLAG_CACHE_ALIGNED, true},
        KindCase{"UnknownOptionalIgnored", true,
                 POOL_FLAG_NON_PAGED | POOL_FLAG_SPECIAL_POOL | (1ull << 40), true},
        KindCase{"NoPoolKind", true, POOL_FLAG_UNINITIALIZED, false},
        KindCase{"TwoPoolKinds", true, POOL_FLAG_NON_PAGED | POOL_FLAG_PAGED, false},
        KindCase{"ReservedRequired", true, POOL_FLAG_NON_PAGED | POOL_FLAG_RESERVED1, false},
        KindCase{"UnknownRequired", true, POOL_FLAG_NON_PAGED | 0x10000, false},
        KindCase{"NonPagedPool", false, 0, true}, KindCase{"PagedPool", false, 1, true},
        KindCase{"MustSucceed", false, 2, false}, KindCase{"DontUseThisType", false, 3, false},
        KindCase{"CacheAligned", false, 4, true}, KindCase{"MaxPoolType", false, 7, false},
        KindCase{"PagedPoolSession", false, 33, true}, KindCase{"NonPagedPoolNx", false, 512, true},
        KindCase{"NxCacheAligned", false, 516, true}, KindCase{"Unknown", false, 1000, false}),
    [](const auto& info) { return std::string(info.param.name); });

// A double free and the free of a foreign pointer are reported, not
// executed; a wrong tag is reported and the block still freed; so is an
// allocation with a zero tag, which no leak could be traced back to.
TEST(Pool, TagAndFreeChecks) {
  ExFreePool(ExAllocatePoolWithTag(NonPagedPoolNx, 8, 0));
  EXPECT_EQ(TakeViolations(Check::PoolBadType).size(), 1u);

  void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTavo);
  ExFreePoolWithTag(p, kTavo);
  ExFreePoolWithTag(p, kTavo);
  int onStack = 0;
  ExFreePool(&onStack);
  EXPECT_EQ(TakeViolations(Check::PoolDoubleFree).size(), 2u);

  p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTavo);
  ExFreePoolWithTag(p, kOther);
  auto wrong = TakeViolations(Check::PoolWrongTag);
  ASSERT_EQ(wrong.size(), 1u);
  EXPECT_NE(wrong[0].message.find("'Tavo'"), std::string::npos);
  EXPECT_NE(wrong[0].message.find("'Othr'"), std::string::npos);
  EXPECT_TRUE(LiveAllocations().empty());
}

TEST(Pool, PagedPoolAtDispatchLevelIsAnIrqlViolation) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  void* nonPaged = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTavo);
  EXPECT_TRUE(TakeViolations(Check::Irql).empty());
  void* paged = ExAllocatePool2(POOL_FLAG_PAGED, 8, kTavo);
  EXPECT_EQ(TakeViolations(Check::Irql).size(), 1u);
  ExFreePoolWithTag(nonPaged, kTavo);
  ExFreePoolWithTag(paged, kTavo);  // freeing paged pool at DISPATCH_LEVEL is one too
  EXPECT_EQ(TakeViolations(Check::Irql).size(), 1u);
  KeLowerIrql(old);
}

TEST(Pool, FaultInjectionFailsTheNthAllocationCountingOnlyItsTag) {
  sim::faults::FailNth(sim::faults::Site::PoolAllocation, 3, kTavo);
  void* other = ExAllocatePool2(POOL_FLAG_NON_PAGED, 8, kOther);
  void* blocks[4];
  for (void*& p : blocks) p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTavo);
  EXPECT_NE(other, nullptr);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(blocks[i] == nullptr, i == 2) << i;
  for (void* p : blocks) {
    if (p) ExFreePoolWithTag(p, kTavo);
  }
  ExFreePoolWithTag(other, kOther);
  EXPECT_EQ(sim::faults::FailedCount(sim::faults::Site::PoolAllocation), 1u);
}

}  // namespace
