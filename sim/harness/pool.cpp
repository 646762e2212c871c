// Harness view of the simulated pool.
#include "harness/pool.h"

namespace sim::harness {

std::vector<PoolAllocation> LiveAllocations(std::optional<std::uint32_t> tag) {
  return kernel::pool::Live(tag);
}

std::size_t ReportPoolLeaks(std::optional<std::uint32_t> tag, const std::string& context) {
  return kernel::pool::ReportLeaks(tag, context);
}

void FreeAllPool() {
  kernel::pool::FreeAll();
}

std::string PoolTagText(std::uint32_t tag) {
  return kernel::pool::TagText(tag);
}

}  // namespace sim::harness
