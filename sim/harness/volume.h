// Volumes for tests and tools: make an NTFS-like in-memory volume, fill it
// (from a list of paths or a host folder), mount it in the simulated
// machine's namespace, and dump its tree for assertions.
//
//   auto volume = sim::harness::MountNewVolume(u'C');
//   FileSpec spec;
//   spec.path = u"\\docs\\a.txt";
//   spec.contents = "hello";
//   volume->Populate({spec});
//   EXPECT_EQ(volume->DumpTree(), "\\\n\\docs\\\n\\docs\\a.txt size=5 attr=A\n");
#pragma once

#include <memory>

#include "fs/volume.h"

namespace sim::harness {

using fs::DumpOptions;
using fs::FileSpec;
using fs::VolumeOptions;

// A volume that is not mounted (drive it through its FileSystem interface,
// or mount it with MountVolume from harness/machine.h).
std::shared_ptr<fs::Volume> CreateVolume(VolumeOptions options = {});

// Creates a volume and mounts it as options.deviceName with the drive
// letter link \??\<driveLetter>: (none when driveLetter is 0). Filters that
// are filtering get an instance on it.
std::shared_ptr<fs::Volume> MountNewVolume(char16_t driveLetter, VolumeOptions options = {});

}  // namespace sim::harness
