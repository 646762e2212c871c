// Allocation-failure sweeps run every scenario of a table once per kind of
// allocation the fault injector can fail; this names each combination.
#pragma once

#include <cctype>
#include <string>
#include <tuple>

#include "verifier/faults.h"

namespace tavo::testing {

// "<scenario's what, as an identifier>_pool" or "..._context".
template <typename Info>
std::string AllocationSweepName(const Info& info) {
  std::string name = std::get<0>(info.param).what;
  for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name + (std::get<1>(info.param) == sim::faults::Site::PoolAllocation ? "_pool" : "_context");
}

}  // namespace tavo::testing
