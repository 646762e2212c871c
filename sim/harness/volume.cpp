// Making and mounting simulated volumes (see volume.h).
#include "harness/volume.h"

#include "harness/machine.h"

namespace sim::harness {

std::shared_ptr<fs::Volume> CreateVolume(VolumeOptions options) {
  return fs::CreateVolume(std::move(options));
}

std::shared_ptr<fs::Volume> MountNewVolume(char16_t driveLetter, VolumeOptions options) {
  auto volume = fs::CreateVolume(options);
  MountVolume(options.deviceName, driveLetter, volume);
  return volume;
}

}  // namespace sim::harness
