// LocalFiles on the native NT file API (NtCreateFile, NtReadFile,
// NtWriteFile, NtQueryDirectoryFile, NtQueryInformationFile,
// NtSetInformationFile, NtClose): in the simulation from <ntapi.h>, on
// Windows from ntdll.
//
// Renames name their target in DOS-device form (\??\C:\...), as Win32's
// MoveFileEx does; the constructor gives the drive of the volume device.
#pragma once

#include "local_files.h"

namespace tavo::agent {

class NtLocalFiles : public LocalFiles {
 public:
  // volumeDevice: "\Device\HarddiskVolume3"; dosDrive: "C:".
  NtLocalFiles(std::u16string volumeDevice, std::u16string dosDrive);

  std::optional<ItemInfo> Stat(const std::u16string& path) override;
  std::optional<std::vector<ItemInfo>> List(const std::u16string& path) override;
  bool ReadAll(const std::u16string& path, Bytes* contents) override;
  bool WriteAll(const std::u16string& path, const Bytes& contents) override;
  bool MakeDirectory(const std::u16string& path) override;
  bool Remove(const std::u16string& path) override;
  bool Rename(const std::u16string& from, const std::u16string& to, bool replace) override;

 private:
  std::u16string DosForm(const std::u16string& path) const;

  std::u16string volumeDevice_;
  std::u16string dosDrive_;
};

}  // namespace tavo::agent
