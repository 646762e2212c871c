// IRQL and critical-region bookkeeping shared by the simulation: a snapshot
// of a thread's kernel state, taken before a driver callback and checked
// after it, catches callbacks that return at another IRQL, inside a critical
// region or holding a lock they took.
#pragma once

#include <cstddef>
#include <string_view>

#include "nt/ntdef.h"

namespace sim::kernel {

struct KernelStateSnapshot {
  KIRQL irql;
  int kernelApcDisable;
  std::size_t locksHeld;
};

KernelStateSnapshot CaptureKernelState();

// Reports (CriticalRegionUnbalanced, Irql, LockOrder-free Thread check) every
// difference between the calling thread's state and `before`; `where` names
// the callback for the message. Returns true when nothing differed.
bool VerifyKernelStateRestored(const KernelStateSnapshot& before, std::string_view where);

// Sets the calling thread's IRQL without any check (harness use).
void SetIrqlUnchecked(KIRQL irql);

}  // namespace sim::kernel
