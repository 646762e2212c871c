// System threads: identity, handles, termination, waiting for them, exit
// checks, and the bug-check exits. (The driver's worker loop, an alertable
// wait with a time-out, is tested with the driver.)
#include <gtest/gtest.h>

#include <atomic>

#include "harness/threads.h"
#include "kernel/lifecycle.h"
#include "nt/ex.h"
#include "nt/io.h"
#include "nt/ntstatus.h"
#include "nt/ob.h"
#include "nt/process.h"
#include "nt/ps.h"
#include "verifier/verifier.h"

namespace {

using sim::verifier::Check;
using sim::verifier::TakeViolations;

struct Observed {
  std::atomic<bool> ran{false};
  std::atomic<BOOLEAN> isSystem{FALSE};
  std::atomic<ULONG_PTR> threadId{0};
  std::atomic<KIRQL> irql{HIGH_LEVEL};
  std::atomic<bool> afterTerminate{false};
};

void NTAPI Observe(PVOID context) {
  auto* o = static_cast<Observed*>(context);
  o->isSystem = PsIsSystemThread(PsGetCurrentThread());
  o->threadId = reinterpret_cast<ULONG_PTR>(PsGetCurrentThreadId());
  o->irql = KeGetCurrentIrql();
  o->ran = true;
}

// Creates a system thread, waits for it through its handle and closes it.
NTSTATUS RunSystemThread(PKSTART_ROUTINE routine, PVOID context, CLIENT_ID* id = nullptr) {
  HANDLE handle = nullptr;
  NTSTATUS status =
      PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, id, routine, context);
  if (!NT_SUCCESS(status)) return status;
  PVOID thread = nullptr;
  EXPECT_EQ(
      ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr),
      STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_TRUE(PsIsThreadTerminating(reinterpret_cast<PETHREAD>(thread)));
  ObDereferenceObject(thread);
  return status;
}

TEST(SystemThread, RunsAsTheSystemProcessAtPassiveLevel) {
  Observed o;
  CLIENT_ID id{};
  ASSERT_EQ(RunSystemThread(Observe, &o, &id), STATUS_SUCCESS);
  EXPECT_TRUE(o.ran);
  EXPECT_TRUE(o.isSystem);
  EXPECT_EQ(o.irql.load(), PASSIVE_LEVEL);
  EXPECT_EQ(reinterpret_cast<ULONG_PTR>(id.UniqueProcess), 4u);
  EXPECT_EQ(reinterpret_cast<ULONG_PTR>(id.UniqueThread), o.threadId.load());
  EXPECT_NE(o.threadId.load(), reinterpret_cast<ULONG_PTR>(PsGetCurrentThreadId()));
  EXPECT_FALSE(PsIsSystemThread(PsGetCurrentThread()));
  EXPECT_TRUE(sim::harness::WaitForSystemThreads());
}

void NTAPI TerminateEarly(PVOID context) {
  auto* o = static_cast<Observed*>(context);
  o->ran = true;
  PsTerminateSystemThread(STATUS_CANCELLED);
  o->afterTerminate = true;  // never reached
}

TEST(SystemThread, TerminateEndsTheThreadWithoutReturning) {
  Observed o;
  ASSERT_EQ(RunSystemThread(TerminateEarly, &o), STATUS_SUCCESS);
  EXPECT_TRUE(o.ran);
  EXPECT_FALSE(o.afterTerminate);
  // From a thread that is not a system thread, it is refused.
  EXPECT_EQ(PsTerminateSystemThread(STATUS_SUCCESS), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(TakeViolations(Check::Thread).size(), 1u);
}

void NTAPI LeaveRegionEntered(PVOID) {
  KeEnterCriticalRegion();
}

TEST(SystemThread, EndingInsideACriticalRegionIsReported) {
  ASSERT_EQ(RunSystemThread(LeaveRegionEntered, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(TakeViolations(Check::CriticalRegionUnbalanced).size(), 1u);
}

}  // namespace
