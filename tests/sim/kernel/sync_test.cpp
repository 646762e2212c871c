// Events, mutexes, fast mutexes, critical regions, IRQL rules and lock
// order, as the driver depends on them.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "harness/lock_order.h"
#include "kernel/lifecycle.h"
#include "kernel_test_util.h"
#include "nt/ex.h"
#include "nt/ntstatus.h"
#include "verifier/verifier.h"

namespace {

using kernel_test::Eventually;
using kernel_test::StaysFalseFor;
using kernel_test::TestThread;
using sim::verifier::Check;
using sim::verifier::TakeViolations;
using namespace std::chrono_literals;

NTSTATUS WaitForever(PVOID object) {
  return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
}

// ---------------------------------------------------------------------------
// Events

TEST(Event, SetResetAndClearReportThePreviousState) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
  EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
  EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 1);
  EXPECT_EQ(KeResetEvent(&event), 1);
  EXPECT_EQ(KeResetEvent(&event), 0);
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  KeClearEvent(&event);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
}

struct EventCase {
  const char* name;
  EVENT_TYPE type;
  int wokenBySet;      // of three waiters, how many one KeSetEvent wakes
  LONG stateAfterSet;  // signal state once the waiters took their share
};

class EventWakeups : public ::testing::TestWithParam<EventCase> {};

TEST_P(EventWakeups, OneSetWakesTheDocumentedNumberOfWaiters) {
  KEVENT event;
  KeInitializeEvent(&event, GetParam().type, FALSE);
  std::atomic<int> woken{0};
  std::vector<std::unique_ptr<TestThread>> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.push_back(std::make_unique<TestThread>([&] {
      EXPECT_EQ(WaitForever(&event), STATUS_SUCCESS);
      ++woken;
    }));
    ASSERT_TRUE(waiters.back()->BlocksInWait());
  }
  EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
  ASSERT_TRUE(Eventually([&] { return woken.load() == GetParam().wokenBySet; }));
  EXPECT_TRUE(StaysFalseFor([&] { return woken.load() > GetParam().wokenBySet; }, 20ms));
  EXPECT_EQ(KeReadStateEvent(&event), GetParam().stateAfterSet);
  // Each further set of a synchronization event wakes exactly one more.
  while (woken.load() < 3) {
    const int before = woken.load();
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    ASSERT_TRUE(Eventually([&] { return woken.load() == before + 1; }));
  }
  for (auto& waiter : waiters) waiter->Join();
}

INSTANTIATE_TEST_SUITE_P(Table, EventWakeups,
                         ::testing::Values(EventCase{"Notification", NotificationEvent, 3, 1},
                                           EventCase{"Synchronization", SynchronizationEvent, 1,
                                                     0}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Mutexes

TEST(Mutex, OwningAMutexDisablesNormalKernelApcs) {
  KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  EXPECT_FALSE(KeAreApcsDisabled());
  WaitForever(&mutex);
  WaitForever(&mutex);
  EXPECT_TRUE(KeAreApcsDisabled());
  // So an executive resource may be taken without a critical region.
  ERESOURCE resource;
  ExInitializeResourceLite(&resource);
  ExAcquireResourceExclusiveLite(&resource, TRUE);
  ExReleaseResourceLite(&resource);
  ExDeleteResourceLite(&resource);
  EXPECT_TRUE(TakeViolations().empty());
  KeReleaseMutex(&mutex, FALSE);
  EXPECT_TRUE(KeAreApcsDisabled());
  KeReleaseMutex(&mutex, FALSE);
  EXPECT_FALSE(KeAreApcsDisabled());
}

TEST(Mutex, OtherThreadsWaitForTheOwnerAndReleaseByThemIsReported) {
  KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  WaitForever(&mutex);
  std::atomic<bool> owned{false};
  TestThread other([&] {
    KeReleaseMutex(&mutex, FALSE);  // not the owner
    WaitForever(&mutex);
    owned = true;
    KeReleaseMutex(&mutex, FALSE);
  });
  ASSERT_TRUE(other.BlocksInWait());
  EXPECT_EQ(TakeViolations(Check::Mutex).size(), 1u);
  EXPECT_FALSE(owned);
  KeReleaseMutex(&mutex, FALSE);
  other.Join();
  EXPECT_TRUE(owned);
}

TEST(FastMutex, RecursionIsReportedInsteadOfDeadlocking) {
  FAST_MUTEX mutex;
  ExInitializeFastMutex(&mutex);
  ExAcquireFastMutex(&mutex);
  ExAcquireFastMutex(&mutex);
  EXPECT_EQ(TakeViolations(Check::Mutex).size(), 1u);
  ExReleaseFastMutex(&mutex);
}

// ---------------------------------------------------------------------------
// Critical regions and IRQL

TEST(CriticalRegion, LeaveWithoutEnterAndATestLeftInsideARegionAreReported) {
  KeEnterCriticalRegion();
  KeLeaveCriticalRegion();
  EXPECT_TRUE(TakeViolations().empty());
  KeLeaveCriticalRegion();
  EXPECT_EQ(TakeViolations(Check::CriticalRegionUnbalanced).size(), 1u);

  KeEnterCriticalRegion();
  sim::kernel::RunEndOfTestChecks();
  auto unbalanced = TakeViolations(Check::CriticalRegionUnbalanced);
  ASSERT_EQ(unbalanced.size(), 1u);
  EXPECT_NE(unbalanced[0].message.find("depth 1"), std::string::npos);
  EXPECT_FALSE(KeAreApcsDisabled());  // the check also restores the thread
}

TEST(Irql, RaiseAndLowerFollowTheRules) {
  KIRQL old;
  KeRaiseIrql(APC_LEVEL, &old);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  EXPECT_EQ(KeRaiseIrqlToDpcLevel(), APC_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  EXPECT_TRUE(TakeViolations().empty());

  KeRaiseIrql(PASSIVE_LEVEL, &old);  // a "raise" downwards
  EXPECT_EQ(TakeViolations(Check::Irql).size(), 1u);
  KeLowerIrql(DISPATCH_LEVEL);  // a "lower" upwards
  EXPECT_EQ(TakeViolations(Check::Irql).size(), 1u);
  KeLowerIrql(PASSIVE_LEVEL);
  EXPECT_TRUE(TakeViolations().empty());

  // A test that ends above PASSIVE_LEVEL is reported, and lowered.
  KeRaiseIrql(APC_LEVEL, &old);
  sim::kernel::RunEndOfTestChecks();
  EXPECT_EQ(TakeViolations(Check::Irql).size(), 1u);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

void PageableRoutine() {
  PAGED_CODE();
}

TEST(Irql, PagedCodeAboveApcLevelIsReportedWithTheRoutine) {
  PageableRoutine();
  KIRQL old;
  KeRaiseIrql(APC_LEVEL, &old);
  PageableRoutine();
  EXPECT_TRUE(TakeViolations().empty());
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  PageableRoutine();
  auto irql = TakeViolations(Check::Irql);
  ASSERT_EQ(irql.size(), 1u);
  EXPECT_NE(irql[0].message.find("PageableRoutine"), std::string::npos);
  KeLowerIrql(PASSIVE_LEVEL);
}

// ---------------------------------------------------------------------------
// Lock order

class LockOrder : public ::testing::Test {
 protected:
  void SetUp() override {
    ExInitializeResourceLite(&first_);
    ExInitializeResourceLite(&second_);
    KeInitializeMutex(&mutex_, 0);
    KeInitializeSpinLock(&spin_);
    sim::harness::NameLock(&first_, "FirstLock");
    sim::harness::NameLock(&second_, "SecondLock");
    sim::verifier::DeclareLockOrder({&first_, &second_});
    sim::verifier::DeclareLockOrder({&mutex_, &spin_});
    KeEnterCriticalRegion();
  }
  void TearDown() override {
    KeLeaveCriticalRegion();
    ExDeleteResourceLite(&first_);
    ExDeleteResourceLite(&second_);
  }

  ERESOURCE first_, second_;
  KMUTEX mutex_;
  KSPIN_LOCK spin_;
};

TEST_F(LockOrder, TakingAnEarlierLockWhileHoldingALaterOneIsReported) {
  ExAcquireResourceSharedLite(&second_, TRUE);
  ExAcquireResourceExclusiveLite(&first_, TRUE);
  auto violations = TakeViolations(Check::LockOrder);
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_NE(violations[0].message.find("FirstLock acquired while holding ERESOURCE SecondLock"),
            std::string::npos);
  ExReleaseResourceLite(&first_);
  ExReleaseResourceLite(&second_);

  // Across lock kinds: spin lock, then the mutex declared before it.
  KIRQL old;
  KeAcquireSpinLock(&spin_, &old);
  KeLowerIrql(PASSIVE_LEVEL);  // (itself a spin-lock violation, taken below)
  WaitForever(&mutex_);
  EXPECT_EQ(TakeViolations(Check::LockOrder).size(), 1u);
  EXPECT_EQ(TakeViolations(Check::SpinLock).size(), 1u);
  KeReleaseMutex(&mutex_, FALSE);
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KeReleaseSpinLock(&spin_, PASSIVE_LEVEL);
}

TEST_F(LockOrder, NonBlockingAttemptsAreNotOrderChecked) {
  ExAcquireResourceSharedLite(&second_, TRUE);
  EXPECT_TRUE(ExAcquireResourceExclusiveLite(&first_, FALSE));
  EXPECT_TRUE(TakeViolations().empty());
  ExReleaseResourceLite(&first_);
  ExReleaseResourceLite(&second_);
}

}  // namespace
