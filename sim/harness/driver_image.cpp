// Driver images loaded by the harness, kept mapped until the machine resets.
#include "harness/driver_image.h"

#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

#include "kernel/lifecycle.h"
#include "loader/image_loader.h"

namespace sim::harness {
namespace {

struct Images {
  std::mutex lock;
  std::vector<std::unique_ptr<loader::LoadedImage>> mapped;
};

Images& I() {
  static Images images;
  return images;
}

// After the Filter Manager and the I/O manager have forgotten the drivers.
kernel::ResetHookRegistration unmapImages(kernel::ResetOrder::Kernel, [] {
  std::lock_guard hold(I().lock);
  I().mapped.clear();
});

}  // namespace

NTSTATUS LoadDriverImage(const std::string& path, const DriverOptions& options, Driver** driver,
                         std::string* error) {
  *driver = nullptr;
  std::unique_ptr<loader::LoadedImage> image = loader::LoadImageFile(path, error);
  if (!image) return STATUS_INVALID_IMAGE_FORMAT;
  const PDRIVER_INITIALIZE entry = image->EntryPoint();
  {
    std::lock_guard hold(I().lock);
    I().mapped.push_back(std::move(image));
  }
  return LoadDriver(entry, options, driver);
}

std::string DriverImageUnderTest() {
  const char* path = std::getenv("TAVO_DRIVER_IMAGE");
  return path ? path : "";
}

}  // namespace sim::harness
