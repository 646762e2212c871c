// Executive resources: Windows recursion rules, Wait FALSE, release on
// behalf of another thread, and the verifier's resource checks.
#include <gtest/gtest.h>

#include <atomic>

#include "harness/pool.h"
#include "kernel_test_util.h"
#include "nt/ex.h"
#include "nt/ntstatus.h"
#include "verifier/verifier.h"

namespace {

using kernel_test::TestThread;
using sim::verifier::Check;
using sim::verifier::TakeViolations;

class Resource : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(ExInitializeResourceLite(&resource_), STATUS_SUCCESS);
    KeEnterCriticalRegion();
  }
  void TearDown() override {
    KeLeaveCriticalRegion();
    ExDeleteResourceLite(&resource_);
  }

  // Runs `body` on another thread inside a critical region.
  static std::function<void()> InRegion(std::function<void()> body) {
    return [body = std::move(body)] {
      KeEnterCriticalRegion();
      body();
      KeLeaveCriticalRegion();
    };
  }

  ERESOURCE resource_;
};

TEST_F(Resource, ExclusiveOwnerMayReacquireExclusiveAndShared) {
  ASSERT_TRUE(ExAcquireResourceExclusiveLite(&resource_, TRUE));
  EXPECT_TRUE(ExAcquireResourceExclusiveLite(&resource_, FALSE));
  EXPECT_TRUE(ExAcquireResourceSharedLite(&resource_, FALSE));
  EXPECT_TRUE(ExIsResourceAcquiredExclusiveLite(&resource_));
  EXPECT_EQ(ExIsResourceAcquiredSharedLite(&resource_), 3u);  // every hold counts
  ExReleaseResourceLite(&resource_);
  ExReleaseResourceLite(&resource_);
  EXPECT_TRUE(ExIsResourceAcquiredExclusiveLite(&resource_));
  ExReleaseResourceLite(&resource_);
  EXPECT_FALSE(ExIsResourceAcquiredExclusiveLite(&resource_));
  EXPECT_EQ(ExIsResourceAcquiredSharedLite(&resource_), 0u);
}

TEST_F(Resource, SharedOwnerMayReacquireSharedButNotExclusive) {
  ASSERT_TRUE(ExAcquireResourceSharedLite(&resource_, TRUE));
  EXPECT_TRUE(ExAcquireResourceSharedLite(&resource_, TRUE));
  EXPECT_EQ(ExIsResourceAcquiredSharedLite(&resource_), 2u);
  EXPECT_FALSE(ExIsResourceAcquiredExclusiveLite(&resource_));

  // Without waiting the answer is simply no; waiting would deadlock on
  // Windows, which the verifier reports instead of hanging.
  EXPECT_FALSE(ExAcquireResourceExclusiveLite(&resource_, FALSE));
  EXPECT_TRUE(TakeViolations().empty());
  EXPECT_FALSE(ExAcquireResourceExclusiveLite(&resource_, TRUE));
  auto misuse = TakeViolations(Check::ResourceMisuse);
  ASSERT_EQ(misuse.size(), 1u);
  EXPECT_NE(misuse[0].message.find("holds it shared"), std::string::npos);

  ExReleaseResourceLite(&resource_);
  ExReleaseResourceLite(&resource_);
}

TEST_F(Resource, AcquiringOutsideACriticalRegionIsReported) {
  KeLeaveCriticalRegion();
  ASSERT_TRUE(ExAcquireResourceExclusiveLite(&resource_, TRUE));
  ExReleaseResourceLite(&resource_);
  EXPECT_EQ(TakeViolations(Check::ResourceNoCriticalRegion).size(), 1u);

  // APC_LEVEL disables APCs as well: no violation there.
  KIRQL old;
  KeRaiseIrql(APC_LEVEL, &old);
  ASSERT_TRUE(ExAcquireResourceSharedLite(&resource_, TRUE));
  ExReleaseResourceLite(&resource_);
  KeLowerIrql(old);
  EXPECT_TRUE(TakeViolations().empty());
  KeEnterCriticalRegion();
}

TEST_F(Resource, ReleaseByANonOwnerIsReportedAndChangesNothing) {
  ExReleaseResourceLite(&resource_);  // nobody holds it
  ASSERT_TRUE(ExAcquireResourceExclusiveLite(&resource_, TRUE));
  TestThread intruder([&] { ExReleaseResourceLite(&resource_); });
  intruder.Join();
  EXPECT_EQ(TakeViolations(Check::ResourceNotOwner).size(), 2u);
  EXPECT_TRUE(ExIsResourceAcquiredExclusiveLite(&resource_));
  ExReleaseResourceLite(&resource_);
}

TEST_F(Resource, ReleaseForThreadReleasesOnTheOwnersBehalf) {
  std::atomic<ERESOURCE_THREAD> owner{0};
  TestThread holder(InRegion([&] {
    ExAcquireResourceSharedLite(&resource_, TRUE);
    owner = ExGetCurrentResourceThread();
  }));
  holder.Join();
  EXPECT_FALSE(ExAcquireResourceExclusiveLite(&resource_, FALSE));
  ExReleaseResourceForThreadLite(&resource_, owner);
  EXPECT_TRUE(ExAcquireResourceExclusiveLite(&resource_, FALSE));
  ExReleaseResourceLite(&resource_);
}

TEST_F(Resource, DeleteWhileHeldIsReported) {
  ASSERT_TRUE(ExAcquireResourceSharedLite(&resource_, TRUE));
  ExDeleteResourceLite(&resource_);
  EXPECT_EQ(TakeViolations(Check::ResourceDeleteHeld).size(), 1u);
  ExInitializeResourceLite(&resource_);  // for TearDown
}

TEST(ResourceMisuse, UninitialisedDeletedReinitialisedAndFreedInPool) {
  KeEnterCriticalRegion();
  ERESOURCE never{};
  EXPECT_FALSE(ExAcquireResourceExclusiveLite(&never, TRUE));
  EXPECT_EQ(TakeViolations(Check::ResourceMisuse).size(), 1u);

  ERESOURCE deleted;
  ExInitializeResourceLite(&deleted);
  ExDeleteResourceLite(&deleted);
  EXPECT_FALSE(ExAcquireResourceSharedLite(&deleted, TRUE));
  ExDeleteResourceLite(&deleted);
  EXPECT_EQ(TakeViolations(Check::ResourceMisuse).size(), 2u);

  ERESOURCE twice;
  ExInitializeResourceLite(&twice);
  ExInitializeResourceLite(&twice);
  EXPECT_EQ(TakeViolations(Check::ResourceMisuse).size(), 1u);
  ExDeleteResourceLite(&twice);

  // A resource inside a pool block that is freed without being deleted.
  struct Entry {
    int header;
    ERESOURCE lock;
  };
  auto* entry = static_cast<Entry*>(
      ExAllocatePool2(POOL_FLAG_NON_PAGED, sizeof(Entry), sim::harness::PoolTag("Test")));
  ExInitializeResourceLite(&entry->lock);
  ExFreePoolWithTag(entry, sim::harness::PoolTag("Test"));
  auto freed = TakeViolations(Check::ResourceMisuse);
  ASSERT_EQ(freed.size(), 1u);
  EXPECT_NE(freed[0].message.find("freed while initialised"), std::string::npos);
  KeLeaveCriticalRegion();
}

TEST(ResourceIrql, AcquireAboveApcLevelIsAnIrqlViolation) {
  ERESOURCE r;
  ExInitializeResourceLite(&r);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_TRUE(ExAcquireResourceExclusiveLite(&r, FALSE));
  EXPECT_EQ(TakeViolations(Check::Irql).size(), 1u);
  ExReleaseResourceLite(&r);
  KeLowerIrql(old);
  ExDeleteResourceLite(&r);
}

}  // namespace

namespace {

// An owner pointer: the documented encoding sets the two low bits.
PVOID OwnerPointerOf(void* storage) {
  return reinterpret_cast<PVOID>(reinterpret_cast<ULONG_PTR>(storage) | 3);
}

TEST_F(Resource, OwnerPointerLetsAnotherThreadRelease) {
  ULONG_PTR storage = 0;
  ASSERT_TRUE(ExAcquireResourceExclusiveLite(&resource_, TRUE));
  ExSetResourceOwnerPointer(&resource_, OwnerPointerOf(&storage));
  // The acquiring thread holds nothing now: releasing as itself is refused.
  EXPECT_FALSE(ExIsResourceAcquiredExclusiveLite(&resource_));
  ExReleaseResourceLite(&resource_);
  EXPECT_EQ(TakeViolations(Check::ResourceNotOwner).size(), 1u);

  TestThread other(InRegion([&] {
    EXPECT_FALSE(ExAcquireResourceExclusiveLite(&resource_, FALSE));
    ExReleaseResourceForThreadLite(&resource_,
                                   reinterpret_cast<ERESOURCE_THREAD>(OwnerPointerOf(&storage)));
    EXPECT_TRUE(ExAcquireResourceExclusiveLite(&resource_, FALSE));
    ExReleaseResourceLite(&resource_);
  }));
  other.Join();
  EXPECT_TRUE(TakeViolations().empty());
}

TEST_F(Resource, OwnerPointerRulesAreChecked) {
  ULONG_PTR storage = 0;
  // Not owned by the caller.
  ExSetResourceOwnerPointer(&resource_, OwnerPointerOf(&storage));
  EXPECT_EQ(TakeViolations(Check::ResourceNotOwner).size(), 1u);
  // Low bits not set: reported, ownership stays with the thread.
  ASSERT_TRUE(ExAcquireResourceExclusiveLite(&resource_, TRUE));
  ExSetResourceOwnerPointer(&resource_, &storage);
  EXPECT_EQ(TakeViolations(Check::ResourceMisuse).size(), 1u);
  EXPECT_TRUE(ExIsResourceAcquiredExclusiveLite(&resource_));
  ExReleaseResourceLite(&resource_);
}

}  // namespace
