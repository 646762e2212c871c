// Internal interface of the dispatcher (events, mutexes, thread objects and
// waits) for the rest of the simulation: clock changes, alerts, thread
// termination.
#pragma once

#include "nt/ke.h"

namespace sim::kernel {

// Wakes timed waiters so they re-check their deadlines (the clock moved).
void NotifyClockChanged();

// Alerts a thread: an alertable wait in progress returns STATUS_ALERTED
// (returns true); otherwise the thread's next alertable wait does (false).
bool AlertThread(PKTHREAD thread);

// True while the thread is blocked in a wait (KeWaitFor*, KeDelayExecutionThread).
bool IsThreadWaiting(PKTHREAD thread);

// Signals a thread object: the thread has terminated with `exitStatus`.
void SignalThreadTerminated(PKTHREAD thread, NTSTATUS exitStatus);

// True once the thread object is signalled.
bool IsThreadTerminated(PKTHREAD thread);

}  // namespace sim::kernel
