// The agent's seam to the local disk. Paths are full device paths
// (\Device\HarddiskVolume3\Users\alice\AppData\Local\Tavo\Cache\docs\a.txt).
// The simulation and Windows both implement it with the native NT file API
// (NtLocalFiles); tests may substitute their own.
//
// Every call is synchronous and made on the calling thread, as the process
// that thread runs as.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "agent_types.h"

namespace tavo::agent {

class LocalFiles {
 public:
  virtual ~LocalFiles() = default;

  // The file or folder at `path`; `name` is its last component.
  virtual std::optional<ItemInfo> Stat(const std::u16string& path) = 0;
  // The items of a folder, without "." and ".."; nothing when it is no folder.
  virtual std::optional<std::vector<ItemInfo>> List(const std::u16string& path) = 0;
  virtual bool ReadAll(const std::u16string& path, Bytes* contents) = 0;
  // Creates or overwrites a file with `contents`; its folder must exist.
  virtual bool WriteAll(const std::u16string& path, const Bytes& contents) = 0;
  // Creates one folder; true also when it exists already.
  virtual bool MakeDirectory(const std::u16string& path) = 0;
  // Deletes a file or an empty folder.
  virtual bool Remove(const std::u16string& path) = 0;
  // Moves a file or folder to `to` (same volume), replacing a file there
  // when `replace` is set.
  virtual bool Rename(const std::u16string& from, const std::u16string& to, bool replace) = 0;
};

}  // namespace tavo::agent
