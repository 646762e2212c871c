// The simulated registry for tests and tools: create and delete keys, set
// values. Paths are absolute NT registry paths in UTF-8,
// e.g. "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\Tavo";
// names compare case-insensitively. Setting a value creates its key (and
// the keys above it). The registry returns to its boot state at each reset.
//
// A path outside \Registry or with an empty component is a verifier
// violation (a mistake in the test).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "nt/ntdef.h"
#include "nt/registry.h"

namespace sim::harness {

void CreateRegistryKey(std::string_view path);
// Deletes the key and everything under it; false when it does not exist.
bool DeleteRegistryKey(std::string_view path);

// Raw value: any type, data as given.
void SetRegistryValue(std::string_view keyPath, std::string_view name, ULONG type,
                      std::vector<std::uint8_t> data);
void SetRegistryDword(std::string_view keyPath, std::string_view name, std::uint32_t value);
// REG_SZ (or REG_EXPAND_SZ) stored as UTF-16 with its terminating NUL.
void SetRegistryString(std::string_view keyPath, std::string_view name, std::string_view text,
                       ULONG type = REG_SZ);

}  // namespace sim::harness
