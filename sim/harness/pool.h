// Harness view of the simulated pool: live allocations and leak reports.
// Every allocation still live when a test ends is reported as a pool leak
// by the end-of-test checks; a test that wants to look at leaks itself (for
// example after unloading the driver) uses these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kernel/pool.h"

namespace sim::harness {

using PoolAllocation = kernel::pool::Allocation;

// A pool tag from its four characters as written: PoolTag("Tavo") == 'ovaT'.
constexpr std::uint32_t PoolTag(const char (&text)[5]) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(text[0])) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(text[1])) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(text[2])) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(text[3])) << 24;
}

// Live allocations in allocation order, optionally only those with `tag`.
std::vector<PoolAllocation> LiveAllocations(std::optional<std::uint32_t> tag = std::nullopt);

// Reports each live allocation (optionally only with `tag`) as a PoolLeak
// violation naming tag, size and call site; returns how many.
std::size_t ReportPoolLeaks(std::optional<std::uint32_t> tag = std::nullopt,
                            const std::string& context = "pool leak");

// Frees every live allocation without checks (after a test took its leaks).
void FreeAllPool();

std::string PoolTagText(std::uint32_t tag);

}  // namespace sim::harness
