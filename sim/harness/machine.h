// The harness's machine controls for I/O and filter tests: mount volumes,
// load and unload a filter driver, and deliver pre-operations at
// DISPATCH_LEVEL. Running code as a process: harness/processes.h.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <fltKernel.h>

#include "io/file_system.h"

namespace sim::io {
struct Volume;
}

namespace sim::harness {

// Mounts a volume as `deviceName` ("\Device\HarddiskVolume2") with an
// optional drive letter (u'C', or 0), served by `fs`.
io::Volume* MountVolume(std::u16string deviceName, char16_t driveLetter,
                        std::shared_ptr<io::FileSystem> fs);

struct DriverOptions {
  std::u16string serviceName = u"TestFilter";
  ULONG altitude = 0;      // 0: the next default altitude
  bool autoAttach = true;  // instances on every volume when filtering starts
  // The driver's pool tag: allocations with it still live after a
  // successful unload are reported as leaks (with their call sites).
  std::optional<std::uint32_t> poolTag;
};

// A loaded driver: its DRIVER_OBJECT and the filter it registered.
struct Driver {
  DRIVER_OBJECT object{};
  std::u16string serviceName;
  std::u16string registryPath;
  bool loaded = false;
  std::optional<std::uint32_t> poolTag;
  PFLT_FILTER Filter() const;
};

// Calls DriverEntry with a fresh DRIVER_OBJECT and the service's registry
// path (\Registry\Machine\System\CurrentControlSet\Services\<name>). On
// failure the driver is not loaded and *driver is null.
NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry, const DriverOptions& options, Driver** driver);

// Unloads: a minifilter's FilterUnloadCallback (which may refuse a
// non-mandatory unload with an error, returned here), else DriverUnload.
// After a successful unload, pool still held under the driver's tag is
// reported as leaked.
NTSTATUS UnloadDriver(Driver* driver, bool mandatory);

// When on, pre-operation callbacks (other than cleanup and close) run at
// DISPATCH_LEVEL, as they may when I/O is issued from a DPC: a filter must
// defer the work it cannot do there.
void DeliverPreOperationsAtDispatchLevel(bool on);

}  // namespace sim::harness
