// Fault injection: Driver Verifier's low-resources simulation, made
// deterministic. Each injection site counts the calls that reach it; a rule
// makes the Nth matching call (or every matching call) fail. Allocation-
// failure sweeps run a scenario once to count the calls, then once per
// injection point with FailNth(site, i).
#pragma once

#include <cstdint>

namespace sim::faults {

enum class Site {
  PoolAllocation,      // ExAllocatePoolWithTag / ExAllocatePool2
  ContextAllocation,   // FltAllocateContext
  WorkItemAllocation,  // FltAllocateDeferredIoWorkItem and similar
  SendMessage,         // FltSendMessage
  AlertableWait,       // an alertable KeWaitForSingleObject returns STATUS_ALERTED
  BelowPending,        // the layer below a filter returns STATUS_PENDING
  Count_,
};

// Tag filter value that matches every call.
inline constexpr std::uint32_t kAnyTag = 0;

// Fails the nth call (1-based) at the site whose tag matches (kAnyTag: any).
void FailNth(Site site, std::uint64_t nth, std::uint32_t tag = kAnyTag);

// Fails every call at the site whose tag matches.
void FailEvery(Site site, std::uint32_t tag = kAnyTag);

// Removes every rule and zeroes the call counters.
void Clear();

// Called by an injection site: counts the call and says whether to fail it.
bool ShouldFail(Site site, std::uint32_t tag = 0);

// Calls seen at the site (matching the tag filter) since the last Clear.
std::uint64_t CallCount(Site site, std::uint32_t tag = kAnyTag);

// Calls at the site that were made to fail since the last Clear.
std::uint64_t FailedCount(Site site);

}  // namespace sim::faults
