// Machine controls: volumes, driver load and unload, process identity.
#include "harness/machine.h"

#include <mutex>
#include <vector>

#include "fltmgr/filter_manager.h"
#include "harness/pool.h"
#include "io/io_manager.h"
#include "kernel/lifecycle.h"
#include "kernel/thread_state.h"

namespace sim::harness {
namespace {

struct Drivers {
  std::mutex lock;
  std::vector<std::unique_ptr<Driver>> drivers;
};

Drivers& D() {
  static Drivers drivers;
  return drivers;
}

kernel::ResetHookRegistration resetDrivers(kernel::ResetOrder::FilterManager, [] {
  std::lock_guard guard(D().lock);
  D().drivers.clear();
});

UNICODE_STRING View(std::u16string& text) {
  UNICODE_STRING s;
  s.Buffer = reinterpret_cast<PWCH>(text.data());
  s.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
  s.MaximumLength = static_cast<USHORT>(s.Length + sizeof(WCHAR));
  return s;
}

}  // namespace

io::Volume* MountVolume(std::u16string deviceName, char16_t driveLetter,
                        std::shared_ptr<io::FileSystem> fs) {
  return io::AddVolume(std::move(deviceName), driveLetter, std::move(fs));
}

PFLT_FILTER Driver::Filter() const {
  for (PFLT_FILTER filter : fltmgr::RegisteredFilters()) {
    if (filter->driver == &object) return filter;
  }
  return nullptr;
}

NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry, const DriverOptions& options, Driver** out) {
  *out = nullptr;
  auto driver = std::make_unique<Driver>();
  driver->serviceName = options.serviceName;
  driver->poolTag = options.poolTag;
  driver->registryPath =
      u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + options.serviceName;
  driver->object.Type = 4;  // IO_TYPE_DRIVER
  driver->object.Size = sizeof(DRIVER_OBJECT);
  driver->object.DriverName = View(driver->serviceName);
  if (options.altitude != 0 || !options.autoAttach) {
    fltmgr::SetNextRegistrationSettings(options.altitude ? options.altitude : 370000,
                                        options.autoAttach);
  }
  UNICODE_STRING registryPath = View(driver->registryPath);
  kernel::ThreadState& thread = kernel::CurrentThread();
  const std::uint32_t savedProcess = thread.processId;
  thread.processId = kernel::kSystemProcessId;  // drivers load in the System process
  NTSTATUS status = entry(&driver->object, &registryPath);
  thread.processId = savedProcess;
  if (!NT_SUCCESS(status)) return status;
  driver->loaded = true;
  std::lock_guard guard(D().lock);
  *out = driver.get();
  D().drivers.push_back(std::move(driver));
  return status;
}

NTSTATUS UnloadDriver(Driver* driver, bool mandatory) {
  if (!driver || !driver->loaded) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = STATUS_SUCCESS;
  if (PFLT_FILTER filter = driver->Filter()) {
    status = fltmgr::UnloadFilter(filter, mandatory);
  } else if (driver->object.DriverUnload) {
    driver->object.DriverUnload(&driver->object);
  } else if (!mandatory) {
    return STATUS_INVALID_DEVICE_REQUEST;  // a driver without an unload routine stays
  }
  if (NT_SUCCESS(status)) {
    driver->loaded = false;
    if (driver->poolTag) ReportPoolLeaks(*driver->poolTag, "pool leaked at driver unload");
  }
  return status;
}

void DeliverPreOperationsAtDispatchLevel(bool on) {
  fltmgr::SetPreOperationIrql(on ? DISPATCH_LEVEL : PASSIVE_LEVEL);
}

}  // namespace sim::harness
