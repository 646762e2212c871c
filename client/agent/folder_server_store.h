// A server that is a folder on the host. Server paths are resolved one
// component at a time ignoring case (the host's own names keep their case),
// so the folder behaves like a Windows share even on a case-sensitive file
// system.
//
// Nothing outside the folder is ever touched: every path is checked
// (CheckServerPath) before it is resolved, and it is resolved through open
// folders (HostFolder), from the root opened once, without following links;
// links inside the folder are not listed either. Files are replaced by
// writing a temporary file beside them and renaming it over the old one, so
// a failed or interrupted write leaves the old version whole; the
// temporaries (kTemporaryPrefix) are never listed, and those a crash left
// behind are removed when the store is made.
#pragma once

#include <atomic>
#include <filesystem>
#include <mutex>

#include "host_folder.h"
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
  // Generation stays unknown here: anyone may change the host folder behind
  // the agent's back, and a folder's change time does not move when one of
  // its files is rewritten in place (a size change), so listings of this
  // store are read afresh every time.

 private:
  // An open folder: a subfolder opened on the way, or the root itself.
  struct Folder {
    std::unique_ptr<HostFolder> owned;
    HostFolder* folder = nullptr;
  };
  // The last component of a path in its open folder: the host's entry of
  // that name in any case, or nothing when there is none.
  struct Located {
    Folder parent;
    std::filesystem::path name;
    std::optional<HostEntry> entry;
  };
  // The folder at a server path; nothing for an unsafe path or a link,
  // file or missing folder on the way.
  std::optional<Folder> OpenFolder(const std::u16string& path) const;
  // The item at a server path (not the root); nothing under the same
  // conditions, and, unless `mayBeMissing`, when there is no such item.
  std::optional<Located> Locate(const std::u16string& path, bool mayBeMissing = false) const;
  void RemoveStaleTemporaries();
  ItemInfo Describe(const HostEntry& entry) const;

  std::filesystem::path root_;  // canonical
  std::unique_ptr<HostFolder> rootFolder_;
  std::mutex lock_;             // one change at a time
  std::atomic<std::uint64_t> temporaries_{0};
};

}  // namespace tavo::agent
