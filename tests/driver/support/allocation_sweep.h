// Allocation-failure sweeps run every scenario of a table once per kind of
// allocation the fault injector can fail; this names each combination.
#pragma once

#include <cctype>
#include <cstdint>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "verifier/faults.h"

namespace tavo::testing {

// Runs `run(0)` with nothing failing to count the allocations of `site`
// (of `tag`, 0 for any) it makes, then `run(nth)` once per allocation with
// that one failing; returns the count.
template <class Run>
std::uint64_t SweepAllocations(sim::faults::Site site, std::uint32_t tag, Run run) {
  sim::faults::Clear();
  run(std::uint64_t{0});
  const std::uint64_t calls = sim::faults::CallCount(site, tag);
  for (std::uint64_t nth = 1; nth <= calls; ++nth) {
    sim::faults::Clear();
    sim::faults::FailNth(site, nth, tag);
    run(nth);
    sim::faults::Clear();
  }
  return calls;
}

// The same over the pool allocations of `tag`: `operation(failing)` runs
// first with nothing failing, then once per allocation with that one
// failing, and each run must meet exactly the failure it asked for.
// `reset` restores the starting state before each run, with nothing failing.
template <class Operation, class Reset>
void SweepPool(std::uint32_t tag, Operation operation, Reset reset) {
  using sim::faults::Site;
  reset();
  EXPECT_GT(SweepAllocations(Site::PoolAllocation, tag,
                             [&](std::uint64_t nth) {
                               operation(/*failing=*/nth != 0);
                               EXPECT_EQ(sim::faults::FailedCount(Site::PoolAllocation),
                                         nth != 0 ? 1u : 0u)
                                   << nth;
                               if (nth != 0) sim::faults::Clear();
                               reset();
                             }),
            0u);
}

// "<scenario's what, as an identifier>_pool", "..._context" or "..._workitem".
template <typename Info>
std::string AllocationSweepName(const Info& info) {
  std::string name = std::get<0>(info.param).what;
  for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  switch (std::get<1>(info.param)) {
    case sim::faults::Site::PoolAllocation:
      return name + "_pool";
    case sim::faults::Site::WorkItemAllocation:
      return name + "_workitem";
    default:
      return name + "_context";
  }
}

}  // namespace tavo::testing
