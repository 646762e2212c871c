// Loads a native x64 kernel driver image (PE32+, such as tavo.sys) into the
// simulation, as Windows' kernel loader does: checks the headers, maps each
// section at its offset with its own protection, applies the base
// relocations for wherever the image landed, binds every import by name
// against the simulation's exports (kernel_exports.h) and hands back the
// entry point. The image's code then runs on the simulation's threads and
// calls the simulation through the Windows x64 calling convention; an
// access violation inside one of its guarded scopes goes to the scope's
// handler (exception_scopes.h).
//
// Refused, with a message naming the fault: anything but a native-subsystem
// AMD64 PE32+ executable; a wrong checksum; sections out of order, outside
// the image or the file, or both writable and executable; data directories
// outside the image; relocations other than 64-bit or aimed outside the
// image; imports by ordinal, from a module other than ntoskrnl.exe, HAL.dll
// and FLTMGR.SYS, or of a name the simulation lacks; a TLS directory (the
// kernel loader does not run TLS callbacks, so a driver may not have one).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <ntifs.h>

#include "loader/exception_scopes.h"

namespace sim::loader {

class LoadedImage {
 public:
  ~LoadedImage();
  LoadedImage(const LoadedImage&) = delete;
  LoadedImage& operator=(const LoadedImage&) = delete;

  PDRIVER_INITIALIZE EntryPoint() const { return entry_; }
  std::uintptr_t Base() const { return base_; }
  std::size_t Size() const { return size_; }
  // Regions whose access violations go to the image's own handler.
  const std::vector<GuardedScope>& GuardedScopes() const { return scopes_; }

 private:
  friend std::unique_ptr<LoadedImage> MapImage(const std::vector<std::uint8_t>&, std::string*);
  LoadedImage(std::uintptr_t base, std::size_t size) : base_(base), size_(size) {}

  std::uintptr_t base_;
  std::size_t size_;
  PDRIVER_INITIALIZE entry_ = nullptr;
  std::vector<GuardedScope> scopes_;
};

// Maps the image held in `file`. On a refusal returns null and sets *error
// to the reason ("<what>: <detail>").
std::unique_ptr<LoadedImage> MapImage(const std::vector<std::uint8_t>& file, std::string* error);

// Reads the file and maps it; a file that cannot be read is refused too.
std::unique_ptr<LoadedImage> LoadImageFile(const std::string& path, std::string* error);

}  // namespace sim::loader
