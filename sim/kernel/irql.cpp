// IRQL, critical regions, paged-code checks, bug checks.
#include "kernel/irql.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "kernel/lifecycle.h"
#include "kernel/locks.h"
#include "kernel/thread_state.h"
#include "nt/ke.h"
#include "verifier/verifier.h"

namespace sim::kernel {

using verifier::Check;

KernelStateSnapshot CaptureKernelState() {
  ThreadState& ts = CurrentThread();
  return KernelStateSnapshot{ts.irql, ts.kernelApcDisable, locks::HeldCount(ts.threadId)};
}

bool VerifyKernelStateRestored(const KernelStateSnapshot& before, std::string_view where) {
  ThreadState& ts = CurrentThread();
  bool clean = true;
  if (ts.kernelApcDisable != before.kernelApcDisable) {
    verifier::Report(Check::CriticalRegionUnbalanced,
                     std::string(where) + " returned with critical-region depth " +
                         std::to_string(ts.kernelApcDisable) + " (was " +
                         std::to_string(before.kernelApcDisable) + ")");
    clean = false;
  }
  if (ts.irql != before.irql) {
    verifier::Report(Check::Irql, std::string(where) + " returned at IRQL " +
                                      std::to_string(ts.irql) + " (was " +
                                      std::to_string(before.irql) + ")");
    clean = false;
  }
  const std::size_t held = locks::HeldCount(ts.threadId);
  if (held != before.locksHeld) {
    std::string text = std::string(where) + " returned holding " + std::to_string(held) +
                       " lock(s) (was " + std::to_string(before.locksHeld) + "):";
    for (const std::string& lock : locks::DescribeHeld(ts.threadId)) text += " " + lock;
    verifier::Report(Check::Thread, text);
    clean = false;
  }
  return clean;
}

void SetIrqlUnchecked(KIRQL irql) {
  CurrentThread().irql = irql;
}

namespace {

// A fresh machine: the harness thread at PASSIVE_LEVEL outside any region.
ResetHookRegistration resetThreadState(ResetOrder::Kernel, [] {
  ThreadState& ts = CurrentThread();
  ts.irql = PASSIVE_LEVEL;
  ts.kernelApcDisable = 0;
  ts.spinLocksHeld = 0;
});

}  // namespace
}  // namespace sim::kernel

using sim::kernel::CurrentThread;
using sim::verifier::Check;

KIRQL KeGetCurrentIrql(void) {
  return CurrentThread().irql;
}

KIRQL KfRaiseIrql(KIRQL NewIrql) {
  auto& ts = CurrentThread();
  const KIRQL old = ts.irql;
  if (NewIrql < old) {
    sim::verifier::Report(Check::Irql, "KeRaiseIrql to " + std::to_string(NewIrql) +
                                           " below the current IRQL " + std::to_string(old));
  }
  ts.irql = NewIrql;
  return old;
}

void KeLowerIrql(KIRQL NewIrql) {
  auto& ts = CurrentThread();
  if (NewIrql > ts.irql) {
    sim::verifier::Report(Check::Irql, "KeLowerIrql to " + std::to_string(NewIrql) +
                                           " above the current IRQL " + std::to_string(ts.irql));
  }
  if (NewIrql < DISPATCH_LEVEL && ts.spinLocksHeld > 0) {
    sim::verifier::Report(Check::SpinLock, "IRQL lowered to " + std::to_string(NewIrql) +
                                               " while holding " +
                                               std::to_string(ts.spinLocksHeld) + " spin lock(s)");
  }
  ts.irql = NewIrql;
}

KIRQL KeRaiseIrqlToDpcLevel(void) {
  return KfRaiseIrql(DISPATCH_LEVEL);
}

void KeEnterCriticalRegion(void) {
  ++CurrentThread().kernelApcDisable;
}

void KeLeaveCriticalRegion(void) {
  auto& ts = CurrentThread();
  if (ts.kernelApcDisable <= 0) {
    sim::verifier::Report(Check::CriticalRegionUnbalanced,
                          "KeLeaveCriticalRegion without a matching KeEnterCriticalRegion");
    return;
  }
  --ts.kernelApcDisable;
}

BOOLEAN KeAreApcsDisabled(void) {
  auto& ts = CurrentThread();
  return (ts.kernelApcDisable > 0 || ts.irql >= APC_LEVEL) ? TRUE : FALSE;
}

BOOLEAN KeAreAllApcsDisabled(void) {
  return CurrentThread().irql >= APC_LEVEL ? TRUE : FALSE;
}

void SimVerifyPagedCode(const char* Function) {
  const KIRQL irql = CurrentThread().irql;
  if (irql > APC_LEVEL) {
    sim::verifier::Report(Check::Irql, std::string("pageable routine ") +
                                           (Function ? Function : "?") + " called at IRQL " +
                                           std::to_string(irql));
  }
}

// A bug check stops the machine: the code and parameters go to stderr in the
// format of the blue screen's STOP line, and the process aborts.
void KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4) {
  std::fprintf(stderr, "*** STOP: 0x%08X (0x%016llX,0x%016llX,0x%016llX,0x%016llX)\n", BugCheckCode,
               static_cast<unsigned long long>(P1), static_cast<unsigned long long>(P2),
               static_cast<unsigned long long>(P3), static_cast<unsigned long long>(P4));
  std::fflush(stderr);
  std::abort();
}

void KeBugCheck(ULONG BugCheckCode) {
  KeBugCheckEx(BugCheckCode, 0, 0, 0, 0);
}

// __fastfail ends the process at once with the failure code (on Windows, a
// bug check 0x139 KERNEL_SECURITY_CHECK_FAILURE with the code as parameter 1).
void __fastfail(unsigned int Code) {
  std::fprintf(stderr, "*** __fastfail: code 0x%X (STOP: 0x00000139)\n", Code);
  std::fflush(stderr);
  std::abort();
}
