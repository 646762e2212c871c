// Per-thread kernel state of the simulation: which simulated process the
// thread runs as, its IRQL, its critical-region depth. Every OS thread that
// calls into the simulation has one (created on first use, as a thread of
// the default process); system threads and the harness set it explicitly.
#pragma once

#include <cstdint>

#include "nt/ntdef.h"

namespace sim::kernel {

// Process id of the System process, which owns system threads.
inline constexpr std::uint32_t kSystemProcessId = 4;
// The process a thread runs as unless set otherwise: the harness's default
// user process. The simulation cannot see which process created an OS
// thread; threads of other processes are started with the harness's
// StartThreadAs, system threads with PsCreateSystemThread.
inline constexpr std::uint32_t kUnsetThreadProcessId = 1000;

struct ThreadState {
  std::uint64_t threadId = 0;  // simulated thread id (unique, never 0)
  std::uint32_t processId = kUnsetThreadProcessId;
  KIRQL irql = PASSIVE_LEVEL;
  int kernelApcDisable = 0;  // depth of KeEnterCriticalRegion (and owned mutexes)
  bool isSystemThread = false;
  void* waitState = nullptr;   // owned by the wait/alert machinery
  PKTHREAD kthread = nullptr;  // the thread's KTHREAD body (see kernel/kthread.h)
  int spinLocksHeld = 0;       // spin locks this thread holds
  PIRP topLevelIrp = nullptr;  // IoGetTopLevelIrp: set by a file system while it serves a request
};

// The calling thread's state.
ThreadState& CurrentThread();

// A fresh simulated thread id (multiples of 4, as on Windows).
std::uint64_t AllocateThreadId();

}  // namespace sim::kernel
