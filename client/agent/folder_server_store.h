// A server that is a folder on the host. Server paths are resolved one
// component at a time ignoring case (the host's own names keep their case),
// so the folder behaves like a Windows share even on a case-sensitive file
// system.
//
// Nothing outside the folder is ever touched: every path is checked
// (CheckServerPath) before it is resolved, symbolic links inside the folder
// are neither followed nor listed, and each resolved host path is confirmed
// to lie under the folder's canonical path. Files are replaced by writing a
// temporary file beside them and renaming it over the old one, so a failed
// or interrupted write leaves the old version whole; the temporaries
// (kTemporaryPrefix) are never listed, and those a crash left behind are
// removed when the store is made.
#pragma once

#include <atomic>
#include <filesystem>
#include <mutex>

#include "server_store.h"

namespace tavo::agent {

class FolderServerStore : public ServerStore {
 public:
  static constexpr char kTemporaryPrefix[] = ".tavo-write-";

  explicit FolderServerStore(std::filesystem::path root);

  const std::filesystem::path& root() const { return root_; }

  std::optional<ItemInfo> Stat(const std::u16string& path) override;
  std::optional<std::vector<ItemInfo>> List(const std::u16string& path) override;
  std::optional<bool> IsEmptyFolder(const std::u16string& path) override;
  bool Read(const std::u16string& path, Bytes* contents) override;
  bool Write(const std::u16string& path, const Bytes& contents) override;
  bool MakeFolder(const std::u16string& path) override;
  bool Remove(const std::u16string& path) override;
  bool Rename(const std::u16string& from, const std::u16string& to) override;
  bool CanHold(const std::u16string& path) const override;

 private:
  // The host path of an existing item (any case), or with `mayBeMissing`
  // the path a new item of that name would have (its folder must exist).
  // Nothing for an unsafe path, a symbolic link on the way or at the end,
  // or a result outside the root.
  std::optional<std::filesystem::path> Resolve(const std::u16string& path,
                                               bool mayBeMissing = false) const;
  bool StaysUnderRoot(const std::filesystem::path& host) const;
  void RemoveStaleTemporaries();
  ItemInfo Describe(const std::filesystem::directory_entry& entry) const;

  std::filesystem::path root_;  // canonical
  std::mutex lock_;             // one change at a time
  std::atomic<std::uint64_t> temporaries_{0};
};

}  // namespace tavo::agent
