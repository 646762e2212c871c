// Waits: zero time-outs poll, relative and absolute time-outs expire on the
// virtual clock, alerts and the alertable-wait fault, multiple objects,
// delays, IRQL rules and real-time mode.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "harness/clock.h"
#include "kernel_test_util.h"
#include "nt/ex.h"
#include "nt/ntstatus.h"
#include "verifier/faults.h"
#include "verifier/verifier.h"

namespace {

using kernel_test::Absolute;
using kernel_test::kSecond;
using kernel_test::Relative;
using kernel_test::StaysFalseFor;
using kernel_test::TestThread;
using sim::harness::AdvanceClock;
using sim::harness::KernelDuration;
using sim::verifier::Check;
using sim::verifier::TakeViolations;
using namespace std::chrono_literals;

class Wait : public ::testing::Test {
 protected:
  void SetUp() override { KeInitializeEvent(&event_, NotificationEvent, FALSE); }

  NTSTATUS WaitOnEvent(PLARGE_INTEGER timeout, BOOLEAN alertable = FALSE) {
    return KeWaitForSingleObject(&event_, Executive, KernelMode, alertable, timeout);
  }

  KEVENT event_;
};

TEST_F(Wait, ZeroTimeoutPollsWithoutBlocking) {
  LARGE_INTEGER zero = Relative(0);
  EXPECT_EQ(WaitOnEvent(&zero), STATUS_TIMEOUT);
  KeSetEvent(&event_, IO_NO_INCREMENT, FALSE);
  EXPECT_EQ(WaitOnEvent(&zero), STATUS_SUCCESS);
}

struct TimeoutCase {
  const char* name;
  bool absolute;
  LONGLONG after;  // time-out length
};

class Timeouts : public Wait, public ::testing::WithParamInterface<TimeoutCase> {};

TEST_P(Timeouts, ExpireWhenTheVirtualClockPassesTheDeadline) {
  const LONGLONG length = GetParam().after;
  LARGE_INTEGER timeout =
      GetParam().absolute ? Absolute(sim::harness::SystemTime() + length) : Relative(length);
  std::atomic<NTSTATUS> status{STATUS_PENDING};
  TestThread waiter([&] { status = WaitOnEvent(&timeout); });
  ASSERT_TRUE(waiter.BlocksInWait());
  AdvanceClock(KernelDuration(length - 1));
  EXPECT_TRUE(StaysFalseFor([&] { return status.load() != STATUS_PENDING; }, 20ms));
  AdvanceClock(KernelDuration(1));
  waiter.Join();
  EXPECT_EQ(status.load(), STATUS_TIMEOUT);
}

INSTANTIATE_TEST_SUITE_P(Table, Timeouts,
                         ::testing::Values(TimeoutCase{"Relative30s", false, 30 * kSecond},
                                           TimeoutCase{"Absolute10s", true, 10 * kSecond},
                                           TimeoutCase{"RelativeOneUnit", false, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Wait, AlertEndsAnAlertableWaitOnly) {
  std::atomic<NTSTATUS> status{STATUS_PENDING};
  TestThread alertable([&] { status = WaitOnEvent(nullptr, TRUE); });
  ASSERT_TRUE(alertable.BlocksInWait());
  EXPECT_TRUE(sim::harness::AlertThread(alertable.Self()));
  alertable.Join();
  EXPECT_EQ(status.load(), STATUS_ALERTED);

  // A non-alertable wait is not disturbed, neither while it waits nor when
  // it begins with the alert pending; the alert stays pending and ends the
  // thread's next alertable wait at once.
  std::atomic<NTSTATUS> first{STATUS_PENDING}, polled{STATUS_PENDING}, second{STATUS_PENDING};
  TestThread plain([&] {
    first = WaitOnEvent(nullptr, FALSE);
    KeClearEvent(&event_);
    LARGE_INTEGER zero{};
    polled = WaitOnEvent(&zero, FALSE);
    second = WaitOnEvent(&zero, TRUE);
  });
  ASSERT_TRUE(plain.BlocksInWait());
  EXPECT_FALSE(sim::harness::AlertThread(plain.Self()));
  EXPECT_TRUE(StaysFalseFor([&] { return first.load() != STATUS_PENDING; }, 20ms));
  KeSetEvent(&event_, IO_NO_INCREMENT, FALSE);
  plain.Join();
  EXPECT_EQ(first.load(), STATUS_SUCCESS);
  EXPECT_EQ(polled.load(), STATUS_TIMEOUT);
  EXPECT_EQ(second.load(), STATUS_ALERTED);
}

TEST_F(Wait, AlertableWaitFaultReturnsAlertedAtOnce) {
  KeSetEvent(&event_, IO_NO_INCREMENT, FALSE);
  sim::faults::FailNth(sim::faults::Site::AlertableWait, 2);
  EXPECT_EQ(WaitOnEvent(nullptr, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(WaitOnEvent(nullptr, FALSE), STATUS_SUCCESS);  // not alertable: not a site call
  EXPECT_EQ(WaitOnEvent(nullptr, TRUE), STATUS_ALERTED);
  EXPECT_EQ(WaitOnEvent(nullptr, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(sim::faults::CallCount(sim::faults::Site::AlertableWait), 3u);
}

TEST_F(Wait, MultipleObjectsAnyReturnsTheIndexAllNeedsEveryOne) {
  KEVENT second;
  KeInitializeEvent(&second, SynchronizationEvent, FALSE);
  KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  PVOID objects[] = {&event_, &second, &mutex};
  LARGE_INTEGER zero = Relative(0);

  KeSetEvent(&second, IO_NO_INCREMENT, FALSE);
  EXPECT_EQ(
      KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, &zero, nullptr),
      STATUS_WAIT_1);
  EXPECT_EQ(KeReadStateEvent(&second), 0);  // the synchronization event was consumed

  KeSetEvent(&second, IO_NO_INCREMENT, FALSE);
  EXPECT_EQ(
      KeWaitForMultipleObjects(3, objects, WaitAll, Executive, KernelMode, FALSE, &zero, nullptr),
      STATUS_TIMEOUT);
  EXPECT_EQ(KeReadStateEvent(&second), 1);  // nothing consumed by a failed WaitAll

  std::atomic<NTSTATUS> status{STATUS_PENDING};
  TestThread waiter([&] {
    status = KeWaitForMultipleObjects(3, objects, WaitAll, Executive, KernelMode, FALSE, nullptr,
                                      nullptr);
    if (status == STATUS_SUCCESS) KeReleaseMutex(&mutex, FALSE);
  });
  ASSERT_TRUE(waiter.BlocksInWait());
  KeSetEvent(&event_, IO_NO_INCREMENT, FALSE);
  waiter.Join();
  EXPECT_EQ(status.load(), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&second), 0);
  EXPECT_EQ(KeReadStateMutex(&mutex), 1);
}

// A thread that woke another one and then ends signals its thread object
// from its thread-exit code: a wait on it ends, and nothing of the ending
// thread is used after it is gone.
TEST_F(Wait, AWaitOnAThreadEndsWhenItsOsThreadEnds) {
  TestThread woken([&] { WaitOnEvent(nullptr); });
  ASSERT_TRUE(woken.BlocksInWait());
  PKTHREAD self = KeGetCurrentThread();
  TestThread ending([&] {
    KeSetEvent(&event_, IO_NO_INCREMENT, FALSE);
    while (!sim::harness::IsThreadWaiting(self)) std::this_thread::yield();
  });
  EXPECT_EQ(KeWaitForSingleObject(ending.Self(), Executive, KernelMode, FALSE, nullptr),
            STATUS_SUCCESS);
  ending.Join();
  woken.Join();
}

// A wait can come after the waiting thread's thread-local variables are
// gone: here from a thread-local destructor that runs after them.
TEST_F(Wait, AWaitFromALateThreadLocalDestructorWorks) {
  KeSetEvent(&event_, IO_NO_INCREMENT, FALSE);
  PKEVENT event = &event_;
  std::thread([event] {
    struct WaitsWhenDestroyed {
      PKEVENT event;
      ~WaitsWhenDestroyed() {
        EXPECT_EQ(KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr),
                  STATUS_SUCCESS);
      }
    };
    thread_local WaitsWhenDestroyed late{event};  // destroyed after anything made below
    EXPECT_EQ(KeWaitForSingleObject(late.event, Executive, KernelMode, FALSE, nullptr),
              STATUS_SUCCESS);
  }).join();
}

// More than three objects need a wait-block array; an object must be
// initialised.
TEST_F(Wait, InvalidWaitsAreRefusedAndReported) {
  KEVENT events[4];
  PVOID objects[4];
  for (int i = 0; i < 4; ++i) {
    KeInitializeEvent(&events[i], NotificationEvent, i == 3);
    objects[i] = &events[i];
  }
  LARGE_INTEGER zero = Relative(0);
  EXPECT_EQ(
      KeWaitForMultipleObjects(4, objects, WaitAny, Executive, KernelMode, FALSE, &zero, nullptr),
      STATUS_INVALID_PARAMETER);
  EXPECT_EQ(TakeViolations(Check::Other).size(), 1u);
  KWAIT_BLOCK blocks[4];
  EXPECT_EQ(
      KeWaitForMultipleObjects(4, objects, WaitAny, Executive, KernelMode, FALSE, &zero, blocks),
      STATUS_WAIT_0 + 3);
  KEVENT zeroed{};
  EXPECT_EQ(KeWaitForSingleObject(&zeroed, Executive, KernelMode, FALSE, &zero),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(TakeViolations(Check::Other).size(), 1u);
}

TEST_F(Wait, DelayEndsWithSuccessOnTheClockOrAlertedByAnAlert) {
  std::atomic<NTSTATUS> status{STATUS_PENDING};
  LARGE_INTEGER interval = Relative(5 * kSecond);
  TestThread sleeper([&] { status = KeDelayExecutionThread(KernelMode, FALSE, &interval); });
  ASSERT_TRUE(sleeper.BlocksInWait());
  AdvanceClock(KernelDuration(5 * kSecond));
  sleeper.Join();
  EXPECT_EQ(status.load(), STATUS_SUCCESS);

  TestThread alertable([&] { status = KeDelayExecutionThread(KernelMode, TRUE, &interval); });
  ASSERT_TRUE(alertable.BlocksInWait());
  sim::harness::AlertThread(alertable.Self());
  alertable.Join();
  EXPECT_EQ(status.load(), STATUS_ALERTED);

  LARGE_INTEGER zero = Relative(0);
  EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &zero), STATUS_SUCCESS);
}

TEST_F(Wait, NonZeroTimeoutAtDispatchLevelIsAnIrqlViolation) {
  KeSetEvent(&event_, IO_NO_INCREMENT, FALSE);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  LARGE_INTEGER zero = Relative(0);
  EXPECT_EQ(WaitOnEvent(&zero), STATUS_SUCCESS);
  EXPECT_TRUE(TakeViolations().empty());
  EXPECT_EQ(WaitOnEvent(nullptr), STATUS_SUCCESS);
  LARGE_INTEGER some = Relative(kSecond);
  EXPECT_EQ(WaitOnEvent(&some), STATUS_SUCCESS);
  EXPECT_EQ(TakeViolations(Check::Irql).size(), 2u);
  KeLowerIrql(old);
}

TEST_F(Wait, RealTimeModeFollowsTheHostClockAndTimesOutForReal) {
  sim::harness::SetRealTimeMode(true);
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const LONGLONG host = 116444736000000000LL +
                        std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() / 100;
  EXPECT_LT(std::llabs(sim::harness::SystemTime() - host), 60 * kSecond);

  LARGE_INTEGER timeout = Relative(30 * 10000);  // 30 ms
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitOnEvent(&timeout), STATUS_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
  sim::harness::SetRealTimeMode(false);
  EXPECT_FALSE(sim::harness::IsRealTimeMode());
}

}  // namespace
