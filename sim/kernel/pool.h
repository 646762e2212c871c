// Internal interface of the simulated pool: the live-allocation log behind
// the harness's leak reports, and hooks that run when a block is freed
// (other components check that nothing live is freed with it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace sim::kernel::pool {

struct Allocation {
  const void* address;
  std::size_t size;
  std::uint32_t tag;
  std::string poolType;  // "NonPagedPoolNx", "PagedPool", "POOL_FLAG_NON_PAGED", ...
  std::string site;      // file:line, or module+offset (symbol) of the caller
  std::uint64_t serial;  // allocation order, from 1 after each reset
};

// Live allocations in allocation order, optionally only those with `tag`.
std::vector<Allocation> Live(std::optional<std::uint32_t> tag = std::nullopt);

// Reports every live allocation (optionally with `tag`) as a pool leak and
// returns how many there were. `context` starts each message.
std::size_t ReportLeaks(std::optional<std::uint32_t> tag, const std::string& context);

// Frees every live allocation without any check (reset).
void FreeAll();

// A tag as its four characters ('ovaT' -> "Tavo"), non-printables escaped.
std::string TagText(std::uint32_t tag);

// A code address as module+offset (symbol+offset), for call-site reports.
std::string DescribeCodeAddress(const void* address);

// Runs before a block is released: (address, size).
void AddFreeHook(std::function<void(const void*, std::size_t)> hook);

}  // namespace sim::kernel::pool
