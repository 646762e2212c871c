// An open folder on the host, for the folder server. Every operation names
// an entry of this folder and goes through the folder's own handle, never
// through a path walked again from the root: once a folder is open, a
// folder on its way swapped for a link changes nothing. Links are never
// followed, neither to open a folder nor to reach a file.
//
// On Linux the handle is a directory descriptor (openat and friends), on
// Windows a directory handle (NtCreateFile relative to it).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

#include "agent_types.h"

namespace tavo::agent {

struct HostEntry {
  enum class Kind { kFile, kFolder, kLink, kOther };
  std::filesystem::path name;  // the host's own name
  Kind kind = Kind::kOther;
  std::uint64_t size = 0;
  std::int64_t lastWriteTime = 0;  // 100 ns units since 1601
  std::uint64_t id = 0;            // the same for the same item
};

class HostFolder {
 public:
  // The folder at `path` (the path itself is the caller's to trust).
  static std::unique_ptr<HostFolder> Open(const std::filesystem::path& path);
  ~HostFolder();
  HostFolder(const HostFolder&) = delete;
  HostFolder& operator=(const HostFolder&) = delete;

  // A folder of this one; nothing for a link or anything else.
  std::unique_ptr<HostFolder> OpenFolder(const std::filesystem::path& name) const;
  // The entry itself, never what a link leads to ("." is this folder).
  std::optional<HostEntry> Lookup(const std::filesystem::path& name) const;
  // Every entry but "." and ".."; false on an I/O error.
  bool List(std::vector<HostEntry>* entries) const;
  // A regular file's contents.
  bool Read(const std::filesystem::path& name, Bytes* contents) const;
  // A file that must not exist yet.
  bool WriteNew(const std::filesystem::path& name, const Bytes& contents);
  bool MakeFolder(const std::filesystem::path& name);
  // A file, or an empty folder.
  bool Remove(const std::filesystem::path& name, bool folder);
  // Moves an entry of this folder into `to` as `newName`, replacing a file there.
  bool Rename(const std::filesystem::path& name, HostFolder& to,
              const std::filesystem::path& newName);

 private:
#ifdef _WIN32
  explicit HostFolder(void* handle) : handle_(handle) {}
  void* handle_;  // HANDLE
#else
  explicit HostFolder(int descriptor) : descriptor_(descriptor) {}
  int descriptor_;
#endif
};

}  // namespace tavo::agent
