// The object namespace of the simulated machine: volume devices
// (\Device\HarddiskVolumeN) and their drive-letter links (\??\C:).
#include <algorithm>
#include <mutex>

#include "io/io_manager.h"
#include "kernel/lifecycle.h"

namespace sim::fltmgr {
void OnVolumeMounted(io::Volume* volume);
void OnVolumesReset();
}  // namespace sim::fltmgr

namespace sim::io {
namespace {

struct Namespace {
  std::mutex lock;
  std::vector<std::unique_ptr<Volume>> volumes;
};

Namespace& Ns() {
  static Namespace ns;
  return ns;
}

char16_t Upcase(char16_t c) {
  return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Upcase(a[i]) != Upcase(b[i])) return false;
  }
  return true;
}

bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix) {
  return text.size() >= prefix.size() && EqualNoCase(text.substr(0, prefix.size()), prefix);
}

kernel::ResetHookRegistration resetVolumes(kernel::ResetOrder::Io, [] {
  std::lock_guard guard(Ns().lock);
  Ns().volumes.clear();
});

}  // namespace

Volume* AddVolume(std::u16string deviceName, char16_t driveLetter, std::shared_ptr<FileSystem> fs) {
  auto volume = std::make_unique<Volume>();
  volume->deviceName = std::move(deviceName);
  volume->driveLetter = driveLetter ? Upcase(driveLetter) : 0;
  volume->fs = std::move(fs);
  volume->device.Type = 3;  // IO_TYPE_DEVICE
  volume->device.Size = sizeof(DEVICE_OBJECT);
  volume->device.DeviceType = FILE_DEVICE_DISK_FILE_SYSTEM;
  volume->device.SectorSize = 512;
  Volume* raw = volume.get();
  {
    std::lock_guard guard(Ns().lock);
    Ns().volumes.push_back(std::move(volume));
  }
  fltmgr::OnVolumeMounted(raw);
  return raw;
}

std::vector<Volume*> AllVolumes() {
  std::lock_guard guard(Ns().lock);
  std::vector<Volume*> result;
  for (auto& v : Ns().volumes) result.push_back(v.get());
  return result;
}

Volume* FindVolumeByDeviceName(std::u16string_view deviceName) {
  std::lock_guard guard(Ns().lock);
  for (auto& v : Ns().volumes) {
    if (EqualNoCase(v->deviceName, deviceName)) return v.get();
  }
  return nullptr;
}

static Volume* FindVolumeByLetter(char16_t letter) {
  std::lock_guard guard(Ns().lock);
  for (auto& v : Ns().volumes) {
    if (v->driveLetter != 0 && v->driveLetter == Upcase(letter)) return v.get();
  }
  return nullptr;
}

Volume* FindVolume(std::u16string_view name) {
  if (name.size() == 2 && name[1] == u':') return FindVolumeByLetter(name[0]);
  if (name.size() == 3 && name[2] == u':' && name[0] == u'\\') return FindVolumeByLetter(name[1]);
  ParsedName parsed;
  if (NT_SUCCESS(ParseObjectName(name, parsed)) && parsed.remainder.empty()) return parsed.volume;
  return nullptr;
}

NTSTATUS ParseObjectName(std::u16string_view name, ParsedName& parsed) {
  if (name.empty() || name[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
  // Drive-letter links.
  for (std::u16string_view prefix :
       {std::u16string_view(u"\\??\\"), std::u16string_view(u"\\DosDevices\\"),
        std::u16string_view(u"\\GLOBAL??\\")}) {
    if (!StartsWithNoCase(name, prefix)) continue;
    std::u16string_view rest = name.substr(prefix.size());
    if (rest.size() < 2 || rest[1] != u':') return STATUS_OBJECT_NAME_NOT_FOUND;
    if (rest.size() > 2 && rest[2] != u'\\') return STATUS_OBJECT_NAME_NOT_FOUND;
    Volume* volume = FindVolumeByLetter(rest[0]);
    if (!volume) return STATUS_OBJECT_PATH_NOT_FOUND;
    parsed.volume = volume;
    parsed.remainder = std::u16string(rest.substr(2));
    return STATUS_SUCCESS;
  }
  // Devices: the longest device name that is the whole name or followed by '\'.
  std::lock_guard guard(Ns().lock);
  for (auto& v : Ns().volumes) {
    const std::u16string& device = v->deviceName;
    if (!StartsWithNoCase(name, device)) continue;
    if (name.size() > device.size() && name[device.size()] != u'\\') continue;
    parsed.volume = v.get();
    parsed.remainder = std::u16string(name.substr(device.size()));
    return STATUS_SUCCESS;
  }
  return StartsWithNoCase(name, u"\\Device\\") ? STATUS_OBJECT_NAME_NOT_FOUND
                                               : STATUS_OBJECT_PATH_NOT_FOUND;
}

}  // namespace sim::io
