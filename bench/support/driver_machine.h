// The machine the driver's benchmarks run on: a fresh simulated machine
// with volume C: (\Device\HarddiskVolume3) and the driver loaded.
#pragma once

#include <fltKernel.h>

#include "fs/volume.h"
#include "harness/machine.h"
#include "kernel/lifecycle.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace tavo::bench {

inline void BootMachineWithDriver() {
  sim::kernel::ResetMachine();
  sim::fs::VolumeOptions options;
  options.deviceName = u"\\Device\\HarddiskVolume3";
  sim::harness::MountVolume(options.deviceName, u'C', sim::fs::CreateVolume(options));
  sim::harness::Driver* driver = nullptr;
  sim::harness::LoadDriver(DriverEntry, {}, &driver);
}

}  // namespace tavo::bench
