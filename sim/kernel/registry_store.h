// The simulation's in-memory registry: a tree of keys under "\Registry",
// each with values in creation order. Names compare case-insensitively.
// RtlQueryRegistryValues and the harness (harness/registry.h) work on it.
//
// A fresh machine has \Registry\Machine\SYSTEM\CurrentControlSet\Services,
// ...\Control, \Registry\Machine\SOFTWARE, \Registry\Machine\HARDWARE and
// \Registry\User.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "nt/ntdef.h"

namespace sim::kernel::registry {

struct Value {
  std::u16string name;  // as created ("" is the key's default value)
  ULONG type = 0;
  std::vector<std::uint8_t> data;
};

// Paths are absolute ("\Registry\Machine\..."). Creating a key creates the
// missing keys above it. Statuses: STATUS_OBJECT_NAME_INVALID for a path
// outside \Registry or with an empty component, STATUS_OBJECT_NAME_NOT_FOUND
// for a missing key or value.
NTSTATUS CreateKey(std::u16string_view path);
NTSTATUS DeleteKey(std::u16string_view path);  // with its subkeys
NTSTATUS SetValue(std::u16string_view keyPath, std::u16string_view name, ULONG type,
                  std::vector<std::uint8_t> data);  // creates the key if needed

}  // namespace sim::kernel::registry
