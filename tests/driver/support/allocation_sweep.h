// Allocation-failure sweeps run every scenario of a table once per kind of
// allocation the fault injector can fail; this names each combination.
#pragma once

#include <cctype>
#include <string>
#include <tuple>

#include "verifier/faults.h"

namespace tavo::testing {

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
