// A server that is a folder on the host. Server paths are resolved one
// component at a time ignoring case (the host's own names keep their case),
// so the folder behaves like a Windows share even on a case-sensitive file
// system.
#pragma once

#include <filesystem>
#include <mutex>

#include "server_store.h"

namespace tavo::agent {

class FolderServerStore : public ServerStore {
 public:
  explicit FolderServerStore(std::filesystem::path root);

  const std::filesystem::path& root() const { return root_; }

  std::optional<ItemInfo> Stat(const std::u16string& path) override;
  std::optional<std::vector<ItemInfo>> List(const std::u16string& path) override;
  bool Read(const std::u16string& path, Bytes* contents) override;
  bool Write(const std::u16string& path, const Bytes& contents) override;
  bool MakeFolder(const std::u16string& path) override;
  bool Remove(const std::u16string& path) override;
  bool Rename(const std::u16string& from, const std::u16string& to) override;
  bool CanHold(const std::u16string& path) const override;

 private:
  // The host path of an existing item, or nothing.
  std::optional<std::filesystem::path> Resolve(const std::u16string& path) const;
  // The host path for an item that may not exist yet: its folder resolved,
  // an existing name of any case reused, else the name as given.
  std::optional<std::filesystem::path> ResolveForCreate(const std::u16string& path) const;
  ItemInfo Describe(const std::filesystem::directory_entry& entry) const;

  std::filesystem::path root_;
  std::mutex lock_;  // one change at a time
};

}  // namespace tavo::agent
