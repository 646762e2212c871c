// Spin locks, interlocked operations and spin-lock-protected lists.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "kernel_test_util.h"
#include "nt/ex.h"
#include "verifier/verifier.h"

namespace {

using kernel_test::TestThread;
using sim::verifier::Check;
using sim::verifier::TakeViolations;

TEST(SpinLock, AcquireRaisesToDispatchAndReleaseRestores) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KeReleaseSpinLock(&lock, old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

  EXPECT_TRUE(TakeViolations().empty());
}

TEST(SpinLock, RuleBreaksAreReported) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;

  // Recursive acquisition (a deadlock on Windows) is reported and ignored.
  KeAcquireSpinLock(&lock, &old);
  KIRQL again;
  KeAcquireSpinLock(&lock, &again);
  EXPECT_EQ(TakeViolations(Check::SpinLock).size(), 1u);

  // Release by another thread: reported, the lock stays held.
  TestThread other([&] {
    KIRQL o;
    KeRaiseIrql(DISPATCH_LEVEL, &o);
    KeReleaseSpinLockFromDpcLevel(&lock);
    KeLowerIrql(o);
  });
  other.Join();
  EXPECT_EQ(TakeViolations(Check::SpinLock).size(), 1u);
  EXPECT_NE(lock, 0u);
  KeReleaseSpinLock(&lock, old);
  EXPECT_TRUE(TakeViolations().empty());

  // Release of a free lock.
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KeReleaseSpinLockFromDpcLevel(&lock);
  EXPECT_EQ(TakeViolations(Check::SpinLock).size(), 1u);
  KeLowerIrql(old);

  // Acquire above DISPATCH_LEVEL; the AtDpcLevel form below it.
  KeRaiseIrql(HIGH_LEVEL, &old);
  KIRQL ignored;
  KeAcquireSpinLock(&lock, &ignored);
  EXPECT_EQ(TakeViolations(Check::SpinLock).size(), 1u);
  KeReleaseSpinLock(&lock, HIGH_LEVEL);
  KeLowerIrql(old);
  KeAcquireSpinLockAtDpcLevel(&lock);
  EXPECT_EQ(TakeViolations(Check::SpinLock).size(), 1u);
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
  EXPECT_TRUE(TakeViolations().empty());

  // Lowering below DISPATCH_LEVEL while holding one.
  KeAcquireSpinLock(&lock, &old);
  KeLowerIrql(PASSIVE_LEVEL);
  EXPECT_EQ(TakeViolations(Check::SpinLock).size(), 1u);
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
}

TEST(InterlockedList, InsertReturnsThePreviousEndAndRemoveTakesTheHead) {
  LIST_ENTRY head;
  InitializeListHead(&head);
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  LIST_ENTRY a, b, c;
  EXPECT_EQ(ExInterlockedInsertTailList(&head, &a, &lock), nullptr);
  EXPECT_EQ(ExInterlockedInsertTailList(&head, &b, &lock), &a);
  EXPECT_EQ(ExInterlockedInsertHeadList(&head, &c, &lock), &a);
  EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), &c);
  EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), &a);
  EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), &b);
  EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), nullptr);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(lock, 0u);
}

TEST(InterlockedList, ConcurrentProducersLoseNothing) {
  LIST_ENTRY head;
  InitializeListHead(&head);
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  constexpr int kPerThread = 500;
  std::vector<LIST_ENTRY> entries(2 * kPerThread);
  auto produce = [&](int first) {
    for (int i = 0; i < kPerThread; ++i)
      ExInterlockedInsertTailList(&head, &entries[first + i], &lock);
  };
  std::thread a(produce, 0), b(produce, kPerThread);
  a.join();
  b.join();
  int count = 0;
  while (ExInterlockedRemoveHeadList(&head, &lock) != nullptr) ++count;
  EXPECT_EQ(count, 2 * kPerThread);
}

}  // namespace
