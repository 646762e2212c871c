// Internal interface of system threads for the harness: waiting for them,
// looking them up by handle.
#pragma once

#include <chrono>
#include <cstddef>

#include "nt/ntdef.h"

namespace sim::kernel::system_threads {

// Joins every system thread that has finished; waits up to `limit` for the
// others. True when none is left running.
bool WaitForAll(std::chrono::milliseconds limit);

// True when every system thread still running is blocked in a wait.
bool AllRunningAreWaiting();

// System threads started and not yet finished.
std::size_t RunningCount();

// The thread a handle refers to, referenced (ObDereferenceObject releases
// it), or null when the handle is not a thread handle.
PKTHREAD ReferenceByHandle(HANDLE handle);

}  // namespace sim::kernel::system_threads
