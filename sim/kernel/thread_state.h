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

struct ThreadState {
  std::uint64_t threadId = 0;         // simulated thread id (unique, never 0)
  std::uint32_t processId = kSystemProcessId;
  KIRQL irql = PASSIVE_LEVEL;
  int kernelApcDisable = 0;           // depth of KeEnterCriticalRegion
  bool isSystemThread = false;
  void* waitState = nullptr;          // owned by the wait/alert machinery
};

// The calling thread's state.
ThreadState& CurrentThread();

}  // namespace sim::kernel
