// Harness control of threads: system threads, alerts, waits, IRQL.
#pragma once

#include <chrono>
#include <cstddef>

#include "nt/ntdef.h"

namespace sim::harness {

// Waits up to `limit` for every system thread to finish and joins them.
// True when none is left running.
bool WaitForSystemThreads(std::chrono::milliseconds limit = std::chrono::seconds(5));
std::size_t RunningSystemThreadCount();

// The thread behind a thread handle, referenced (release with
// ObDereferenceObject), or null.
PKTHREAD ReferenceThreadByHandle(HANDLE handle);

// Alerts a thread: an alertable wait in progress returns STATUS_ALERTED
// (true); otherwise the thread's next alertable wait does (false).
bool AlertThread(PKTHREAD thread);

// True while the thread is blocked in a wait.
bool IsThreadWaiting(PKTHREAD thread);

// Polls until the thread blocks in a wait (true) or `limit` passes (false):
// lets a test move the clock or signal only once the waiter is waiting.
bool WaitUntilThreadWaits(PKTHREAD thread,
                          std::chrono::milliseconds limit = std::chrono::seconds(5));

// Polls until every running system thread is blocked in a wait (true) or
// `limit` passes (false). A driver's worker thread that a test cannot name
// is then known to be waiting, so moving the clock reaches its time-out.
bool WaitUntilSystemThreadsWait(std::chrono::milliseconds limit = std::chrono::seconds(5));

// Holds (true) or releases (false) the routines of queued work items: a
// held routine waits on its worker until released, so that a test can act
// between a driver's queueing of work and the work itself. Windows gives no
// guarantee of when a system worker runs an item; holding one is a timing
// that can happen there too. The end of a test releases the hold.
void HoldWorkItems(bool hold);

// Waits until at least `count` routines are held (true) or `limit` passes.
bool WaitForHeldWorkItems(std::size_t count,
                          std::chrono::milliseconds limit = std::chrono::seconds(5));

// Sets the calling thread's IRQL with no verifier check (test set-up).
void SetCurrentIrql(KIRQL irql);

}  // namespace sim::harness
