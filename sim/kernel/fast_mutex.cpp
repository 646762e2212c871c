// Fast mutexes over their documented fields: Count is 1 when free and is
// decremented by each acquirer; contenders wait on the synchronization event
// the releaser sets. Acquisition raises to APC_LEVEL.
#include <string>

#include "kernel/kthread.h"
#include "kernel/locks.h"
#include "kernel/thread_state.h"
#include "nt/ex.h"
#include "verifier/verifier.h"

namespace {

using sim::verifier::Check;

bool CheckAcquire(PFAST_MUTEX FastMutex) {
  const KIRQL irql = sim::kernel::CurrentThread().irql;
  if (irql > APC_LEVEL) {
    sim::verifier::Report(Check::Irql, "fast mutex acquired at IRQL " + std::to_string(irql));
  }
  if (__atomic_load_n(&FastMutex->Owner, __ATOMIC_RELAXED) == sim::kernel::CurrentKThread()) {
    sim::verifier::Report(Check::Mutex, "recursive acquisition of fast mutex " +
                                            sim::kernel::locks::Describe(FastMutex) +
                                            " (deadlocks on Windows)");
    return false;
  }
  return true;
}

void TakeOwnership(PFAST_MUTEX FastMutex, KIRQL oldIrql, bool blocking) {
  __atomic_store_n(&FastMutex->Owner, static_cast<PVOID>(sim::kernel::CurrentKThread()),
                   __ATOMIC_RELAXED);
  FastMutex->OldIrql = oldIrql;
  sim::kernel::locks::Acquired(FastMutex, sim::kernel::locks::Kind::FastMutex, blocking);
}

}  // namespace

void ExAcquireFastMutex(PFAST_MUTEX FastMutex) {
  if (!CheckAcquire(FastMutex)) return;
  KIRQL old;
  KeRaiseIrql(APC_LEVEL, &old);
  if (InterlockedDecrement(&FastMutex->Count) != 0) {
    __atomic_fetch_add(&FastMutex->Contention, 1, __ATOMIC_RELAXED);
    KeWaitForSingleObject(&FastMutex->Event, WrExecutive, KernelMode, FALSE, NULL);
  }
  TakeOwnership(FastMutex, old, true);
}

BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex) {
  if (!CheckAcquire(FastMutex)) return FALSE;
  KIRQL old;
  KeRaiseIrql(APC_LEVEL, &old);
  if (InterlockedCompareExchange(&FastMutex->Count, 0, 1) != 1) {
    KeLowerIrql(old);
    return FALSE;
  }
  TakeOwnership(FastMutex, old, false);
  return TRUE;
}

void ExReleaseFastMutex(PFAST_MUTEX FastMutex) {
  if (__atomic_load_n(&FastMutex->Owner, __ATOMIC_RELAXED) != sim::kernel::CurrentKThread()) {
    sim::verifier::Report(Check::Mutex, "fast mutex " + sim::kernel::locks::Describe(FastMutex) +
                                            " released by a thread that does not own it");
    return;
  }
  const KIRQL old = static_cast<KIRQL>(FastMutex->OldIrql);
  __atomic_store_n(&FastMutex->Owner, static_cast<PVOID>(NULL), __ATOMIC_RELAXED);
  sim::kernel::locks::Released(FastMutex);
  if (InterlockedIncrement(&FastMutex->Count) != 1) KeSetEvent(&FastMutex->Event, 0, FALSE);
  KeLowerIrql(old);
}
