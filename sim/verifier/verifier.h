// The simulation's verifier: the strict checks Driver Verifier and Filter
// Verifier make on Windows, always on. A check that fires records a
// violation with a clear message; the test harness fails the running test
// for every violation it did not expect (see TakeViolations).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sim::verifier {

// One entry per kind of check, so tests can expect a precise violation.
enum class Check {
  PoolLeak,                  // allocations still live when a leak report is asked for
  PoolDoubleFree,            // freeing a block that is not live
  PoolWrongTag,              // ExFreePoolWithTag with a tag other than the allocation's
  PoolBadType,               // unknown pool type or flags
  ResourceNoCriticalRegion,  // ERESOURCE acquired with normal kernel APCs enabled
  ResourceNotOwner,          // ERESOURCE released by a thread that does not own it
  ResourceDeleteHeld,        // ERESOURCE deleted while acquired
  ResourceMisuse,            // uninitialised or deleted ERESOURCE used, or freed while live
  CriticalRegionUnbalanced,  // KeLeaveCriticalRegion without enter, or left entered
  Irql,                      // IRQL rule broken (wait at DISPATCH, paged code at DISPATCH, ...)
  SpinLock,                  // spin-lock rule broken (wrong IRQL, release by non-owner, ...)
  Mutex,                     // KMUTEX released by a non-owner
  LockOrder,                 // locks taken against the driver's declared order
  Thread,                    // system-thread misuse
  Registry,                  // malformed registry query
  Process,                   // process-object misuse
  String,                    // string routine misuse (bad lengths, overflowing destination)
  FilterManager,             // Filter Manager rule (statuses, contexts, names, pended operations)
  Io,                        // I/O manager rule (operation on an unopened file object, ...)
  FileSystem,                // file-system rule
  Port,                      // communication-port rule
  Other,
};

std::string_view CheckName(Check check);

struct Violation {
  Check check;
  std::string message;
};

// Records a violation. Safe from any thread. Also echoed to stderr so a
// failing test shows it even when it crashes later.
void Report(Check check, std::string message);

// Returns and clears every violation recorded so far.
std::vector<Violation> TakeViolations();

// Returns and clears the violations of one kind, leaving the others.
std::vector<Violation> TakeViolations(Check check);

// Number of violations recorded and not yet taken.
std::size_t PendingViolationCount();

}  // namespace sim::verifier
