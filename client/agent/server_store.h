// The server the agent mirrors, seen through a small interface so that the
// agent does not care where it lives. Paths are server paths: components
// separated by backslashes, relative to the server's root ("" is the root).
// Names are looked up ignoring case, as on a Windows share.
//
// Two implementations: FolderServerStore (a folder on the host, through
// std::filesystem) and MemoryServerStore (in memory, for tests).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "agent_types.h"

namespace tavo::agent {

class ServerStore {
 public:
  virtual ~ServerStore() = default;

  // The item at `path`, with its name as the server spells it.
  virtual std::optional<ItemInfo> Stat(const std::u16string& path) = 0;
  // The items of a folder in no particular order; nothing when `path` is not a folder.
  virtual std::optional<std::vector<ItemInfo>> List(const std::u16string& path) = 0;
  // True when a folder holds nothing at all, false when it holds anything
  // (on a host folder, entries List leaves out too: they would stop its
  // removal); nothing when `path` is not a folder.
  virtual std::optional<bool> IsEmptyFolder(const std::u16string& path) {
    auto items = List(path);
    if (!items) return std::nullopt;
    return items->empty();
  }
  // The contents of a file.
  virtual bool Read(const std::u16string& path, Bytes* contents) = 0;
  // Creates or replaces a file; its folder must exist.
  virtual bool Write(const std::u16string& path, const Bytes& contents) = 0;
  // Creates a folder and any missing folders above it (true when it exists).
  virtual bool MakeFolder(const std::u16string& path) = 0;
  // Removes a file or an empty folder (never a folder with contents).
  virtual bool Remove(const std::u16string& path) = 0;
  // Moves an item; the target's folder must exist and the target must not
  // exist unless it is the same item (a change of case).
  virtual bool Rename(const std::u16string& from, const std::u16string& to) = 0;
  // True when the server can hold an item of this path: CheckServerPath
  // finds it legal and the whole path is within the server's own limit.
  // Every operation refuses a path that fails CheckServerPath.
  virtual bool CanHold(const std::u16string& path) const = 0;
  // A number that changes whenever anything on the server may have changed
  // (an item made, removed, renamed or rewritten); read it before reading
  // the server. Nothing when the store cannot tell: whatever it answered
  // may be stale at once, and callers must read afresh every time.
  virtual std::optional<std::uint64_t> Generation() const { return std::nullopt; }
};

}  // namespace tavo::agent
