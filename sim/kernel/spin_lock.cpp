// Spin locks and the spin-lock-protected list routines. A held spin lock's
// value is its owner's KTHREAD address, which gives the verifier the owner
// for free; acquisition really spins (yielding, since the host may have
// fewer cores than threads).
#include <string>
#include <thread>

#include "kernel/kthread.h"
#include "kernel/locks.h"
#include "kernel/thread_state.h"
#include "nt/ex.h"
#include "verifier/verifier.h"

namespace {

using sim::verifier::Check;

void Report(const std::string& what, PKSPIN_LOCK lock) {
  sim::verifier::Report(Check::SpinLock, what + " (" + sim::kernel::locks::Describe(lock) + ")");
}

// Takes the lock at the current IRQL, which the caller has made DISPATCH_LEVEL.
void Acquire(PKSPIN_LOCK lock) {
  auto& ts = sim::kernel::CurrentThread();
  const auto self = reinterpret_cast<KSPIN_LOCK>(sim::kernel::CurrentKThread());
  if (__atomic_load_n(lock, __ATOMIC_RELAXED) == self) {
    Report("recursive acquisition of a spin lock (deadlocks on Windows)", lock);
    return;
  }
  for (;;) {
    KSPIN_LOCK expected = 0;
    if (__atomic_compare_exchange_n(lock, &expected, self, false, __ATOMIC_ACQUIRE,
                                    __ATOMIC_RELAXED))
      break;
    std::this_thread::yield();
  }
  ++ts.spinLocksHeld;
  sim::kernel::locks::Acquired(lock, sim::kernel::locks::Kind::SpinLock);
}

bool TryAcquire(PKSPIN_LOCK lock) {
  const auto self = reinterpret_cast<KSPIN_LOCK>(sim::kernel::CurrentKThread());
  KSPIN_LOCK expected = 0;
  if (!__atomic_compare_exchange_n(lock, &expected, self, false, __ATOMIC_ACQUIRE,
                                   __ATOMIC_RELAXED)) {
    return false;
  }
  ++sim::kernel::CurrentThread().spinLocksHeld;
  sim::kernel::locks::Acquired(lock, sim::kernel::locks::Kind::SpinLock, /*checkOrder=*/false);
  return true;
}

// Gives the lock up; false (and a violation) when the caller does not hold it.
bool Release(PKSPIN_LOCK lock) {
  const auto self = reinterpret_cast<KSPIN_LOCK>(sim::kernel::CurrentKThread());
  const KSPIN_LOCK value = __atomic_load_n(lock, __ATOMIC_RELAXED);
  if (value != self) {
    Report(value == 0 ? "release of a spin lock that is not held"
                      : "release of a spin lock held by another thread",
           lock);
    return false;
  }
  __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
  --sim::kernel::CurrentThread().spinLocksHeld;
  sim::kernel::locks::Released(lock);
  return true;
}

void CheckRaiseFrom(PKSPIN_LOCK lock) {
  const KIRQL irql = sim::kernel::CurrentThread().irql;
  if (irql > DISPATCH_LEVEL) Report("spin lock acquired at IRQL " + std::to_string(irql), lock);
}

void CheckAtDpc(PKSPIN_LOCK lock, const char* routine) {
  const KIRQL irql = sim::kernel::CurrentThread().irql;
  if (irql != DISPATCH_LEVEL) {
    Report(std::string(routine) + " at IRQL " + std::to_string(irql) + " (must be DISPATCH_LEVEL)",
           lock);
  }
}

}  // namespace

void KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
  __atomic_store_n(SpinLock, 0, __ATOMIC_RELAXED);
}

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
  CheckRaiseFrom(SpinLock);
  auto& ts = sim::kernel::CurrentThread();
  const KIRQL old = ts.irql;
  if (ts.irql < DISPATCH_LEVEL) ts.irql = DISPATCH_LEVEL;
  Acquire(SpinLock);
  return old;
}

void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  Release(SpinLock);
  KeLowerIrql(NewIrql);
}

void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  CheckAtDpc(SpinLock, "KeAcquireSpinLockAtDpcLevel");
  Acquire(SpinLock);
}

void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  CheckAtDpc(SpinLock, "KeReleaseSpinLockFromDpcLevel");
  Release(SpinLock);
}

BOOLEAN KeTryToAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  CheckAtDpc(SpinLock, "KeTryToAcquireSpinLockAtDpcLevel");
  return TryAcquire(SpinLock) ? TRUE : FALSE;
}

// The list routines take the lock at DISPATCH_LEVEL around the list change;
// the insert routines return the entry that was first (or last) before the
// insertion, or NULL when the list was empty.
PLIST_ENTRY ExInterlockedInsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                        PKSPIN_LOCK Lock) {
  KIRQL old;
  KeAcquireSpinLock(Lock, &old);
  PLIST_ENTRY first = IsListEmpty(ListHead) ? NULL : ListHead->Flink;
  InsertHeadList(ListHead, ListEntry);
  KeReleaseSpinLock(Lock, old);
  return first;
}

PLIST_ENTRY ExInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                        PKSPIN_LOCK Lock) {
  KIRQL old;
  KeAcquireSpinLock(Lock, &old);
  PLIST_ENTRY last = IsListEmpty(ListHead) ? NULL : ListHead->Blink;
  InsertTailList(ListHead, ListEntry);
  KeReleaseSpinLock(Lock, old);
  return last;
}

PLIST_ENTRY ExInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock) {
  KIRQL old;
  KeAcquireSpinLock(Lock, &old);
  PLIST_ENTRY entry = IsListEmpty(ListHead) ? NULL : RemoveHeadList(ListHead);
  KeReleaseSpinLock(Lock, old);
  return entry;
}
