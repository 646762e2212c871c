// Loading a driver from its native image (tavo.sys) instead of a DriverEntry
// linked into the test program: the loader maps the image and binds it to
// the simulation (sim/loader/image_loader.h), then LoadDriver calls the
// image's entry point.
#pragma once

#include <string>

#include "harness/machine.h"

namespace sim::harness {

// On a refused image returns STATUS_INVALID_IMAGE_FORMAT with the reason in
// *error, and nothing is loaded. The image stays mapped until the machine
// is reset, even after the driver unloads: Windows unmaps it at unload, but
// a leaked thread of the driver still running would then crash the test
// program instead of failing the test.
NTSTATUS LoadDriverImage(const std::string& path, const DriverOptions& options, Driver** driver,
                         std::string* error);

// The image the driver tests load instead of the linked-in driver: the
// TAVO_DRIVER_IMAGE environment variable, or empty.
std::string DriverImageUnderTest();

}  // namespace sim::harness
