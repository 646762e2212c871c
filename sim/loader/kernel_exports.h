// The simulation's export tables, against which a driver image's imports
// are bound (see kernel_exports.cpp for what they hold).
#pragma once

#include <cstddef>
#include <string_view>

namespace sim::loader {

struct Export {
  const char* name;
  const void* address;  // a routine, or for data the variable itself
};

struct ExportModule {
  const char* name;  // as an image's import directory names it
  const Export* exports;
  std::size_t count;
};

// The module an image imports from, by name without regard to case; null
// for a module the simulation does not provide.
const ExportModule* FindExportModule(std::string_view name);

// The address a name is bound to; null when the module lacks it (names are
// case-sensitive, as export names are).
const void* FindExport(const ExportModule& module, std::string_view name);

}  // namespace sim::loader
