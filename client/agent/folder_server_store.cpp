#include "folder_server_store.h"

#include <chrono>
#include <functional>
#include <system_error>

#include "name_pattern.h"
#include "text.h"
#include "view_paths.h"

namespace tavo::agent {
namespace fs = std::filesystem;
namespace {

// What a Windows server allows under one share (path characters below its root).
constexpr std::size_t kMaxServerPathChars = 32000;

// Host names are made from and read back as UTF-16, which std::filesystem
// converts to the host's own encoding (UTF-8 here, UTF-16 on Windows). A
// name that does not convert (bytes that are not UTF-8, a lone surrogate)
// names nothing the server can serve.
std::optional<std::u16string> HostName(const fs::path& name) {
  try {
    return name.u16string();
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::optional<fs::path> HostPath(const std::u16string& name) {
  try {
    return fs::path(name);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// A write temporary's name exactly as Write makes it: only such files are
// removed as a crash's leftovers.
bool IsOwnTemporary(std::u16string_view name) {
  const std::u16string prefix = FromUtf8(FolderServerStore::kTemporaryPrefix);
  return name.substr(0, prefix.size()) == prefix;
}

// A name the server neither lists nor lets a request reach: a temporary's
// in any letter case, since names resolve ignoring case and a request in
// other letters would otherwise find a write in progress.
bool IsTemporary(std::u16string_view name) {
  const std::u16string prefix = FromUtf8(FolderServerStore::kTemporaryPrefix);
  return EqualsIgnoreCase(name.substr(0, prefix.size()), prefix);
}

bool IsFileOrFolder(const HostEntry& entry) {
  return entry.kind == HostEntry::Kind::kFile || entry.kind == HostEntry::Kind::kFolder;
}

// The entry of `folder` named `name` in any case, or nothing.
std::optional<HostEntry> FindChild(const HostFolder& folder, const std::u16string& name) {
  auto exact = HostPath(name);
  if (!exact) return std::nullopt;
  if (auto entry = folder.Lookup(*exact)) return entry;
  std::vector<HostEntry> entries;
  folder.List(&entries);
  for (HostEntry& entry : entries) {
    auto hostName = HostName(entry.name);
    if (hostName && EqualsIgnoreCase(*hostName, name)) return std::move(entry);
  }
  return std::nullopt;
}

}  // namespace

FolderServerStore::FolderServerStore(fs::path root) {
  std::error_code error;
  root_ = fs::weakly_canonical(root, error);
  if (error) root_ = std::move(root);
  rootFolder_ = HostFolder::Open(root_);
  RemoveStaleTemporaries();
}

// Write temporaries left by a crash, found folder by folder (never through
// a link).
void FolderServerStore::RemoveStaleTemporaries() {
  if (!rootFolder_) return;
  std::vector<std::unique_ptr<HostFolder>> owned;  // the folders below the root being walked
  std::vector<HostFolder*> pending{rootFolder_.get()};
  while (!pending.empty()) {
    HostFolder* folder = pending.back();
    pending.pop_back();
    std::vector<HostEntry> entries;
    folder->List(&entries);
    for (const HostEntry& entry : entries) {
      const auto name = HostName(entry.name);
      if (entry.kind == HostEntry::Kind::kFile && name && IsOwnTemporary(*name)) {
        folder->Remove(entry.name, false);
      } else if (entry.kind == HostEntry::Kind::kFolder) {
        if (auto child = folder->OpenFolder(entry.name)) {
          pending.push_back(child.get());
          owned.push_back(std::move(child));
        }
      }
    }
  }
}

std::optional<FolderServerStore::Folder> FolderServerStore::OpenFolder(
    const std::u16string& path) const {
  if (!rootFolder_ || CheckServerPath(path) != NameVerdict::kLegal) return std::nullopt;
  Folder current{nullptr, rootFolder_.get()};
  for (const std::u16string& part : SplitComponents(path)) {
    if (IsTemporary(part)) return std::nullopt;
    auto entry = FindChild(*current.folder, part);
    if (!entry || entry->kind != HostEntry::Kind::kFolder) return std::nullopt;
    // Opened without following a link: a folder swapped for one since the
    // lookup is refused here.
    auto next = current.folder->OpenFolder(entry->name);
    if (!next) return std::nullopt;
    current.folder = next.get();
    current.owned = std::move(next);
  }
  return current;
}

std::optional<FolderServerStore::Located> FolderServerStore::Locate(const std::u16string& path,
                                                                    bool mayBeMissing) const {
  if (path.empty() || CheckServerPath(path) != NameVerdict::kLegal) return std::nullopt;
  const std::u16string leaf = LeafOf(path);
  if (IsTemporary(leaf)) return std::nullopt;
  auto parent = OpenFolder(ParentOf(path));
  if (!parent) return std::nullopt;
  auto entry = FindChild(*parent->folder, leaf);
  Located located{std::move(*parent), {}, std::move(entry)};
  if (located.entry) {
    if (!IsFileOrFolder(*located.entry)) return std::nullopt;  // links are never followed
    located.name = located.entry->name;
  } else {
    auto name = HostPath(leaf);
    if (!mayBeMissing || !name) return std::nullopt;
    located.name = *name;
  }
  return located;
}

ItemInfo FolderServerStore::Describe(const HostEntry& entry) const {
  ItemInfo info;
  info.name = HostName(entry.name).value_or(u"");
  info.isDirectory = entry.kind == HostEntry::Kind::kFolder;
  if (!info.isDirectory) {
    info.size = entry.size;
    info.allocationSize = (info.size + 4095) / 4096 * 4096;
  }
  info.creationTime = info.lastAccessTime = info.lastWriteTime = info.changeTime =
      entry.lastWriteTime;
  info.attributes = info.isDirectory ? kAttributeDirectory : kAttributeArchive;
  // A stable id for the listings' FileId.
  info.fileId = entry.id & 0x0000FFFFFFFFFFFFull;
  return info;
}

std::optional<ItemInfo> FolderServerStore::Stat(const std::u16string& path) {
  if (path.empty()) {
    auto root = rootFolder_ ? rootFolder_->Lookup(".") : std::nullopt;
    if (!root) return std::nullopt;
    ItemInfo info = Describe(*root);
    info.name.clear();
    return info;
  }
  auto located = Locate(path);
  if (!located) return std::nullopt;
  return Describe(*located->entry);
}

// Links, our own temporaries and host names Windows could not name (not
// UTF-8, "a:b", "x.") are not part of the server.
std::optional<std::vector<ItemInfo>> FolderServerStore::List(const std::u16string& path) {
  auto folder = OpenFolder(path);
  std::vector<HostEntry> entries;
  if (!folder || !folder->folder->List(&entries)) return std::nullopt;
  std::vector<ItemInfo> items;
  for (const HostEntry& entry : entries) {
    const auto name = HostName(entry.name);
    if (!IsFileOrFolder(entry) || !name || IsTemporary(*name) ||
        CheckComponent(*name) != NameVerdict::kLegal) {
      continue;
    }
    items.push_back(Describe(entry));
  }
  return items;
}

std::optional<bool> FolderServerStore::IsEmptyFolder(const std::u16string& path) {
  auto folder = OpenFolder(path);
  std::vector<HostEntry> entries;
  if (!folder) return std::nullopt;
  if (!folder->folder->List(&entries)) return false;
  return entries.empty();
}

bool FolderServerStore::Read(const std::u16string& path, Bytes* contents) {
  auto located = Locate(path);
  if (!located || located->entry->kind != HostEntry::Kind::kFile) return false;
  return located->parent.folder->Read(located->name, contents);
}

// Written beside the file and renamed over it: the old version stays whole
// until the new one is complete.
bool FolderServerStore::Write(const std::u16string& path, const Bytes& contents) {
  if (path.empty() || !CanHold(path)) return false;
  std::lock_guard guard(lock_);
  auto located = Locate(path, true);
  if (!located || (located->entry && located->entry->kind != HostEntry::Kind::kFile)) return false;
  HostFolder& folder = *located->parent.folder;
  const auto stamp = std::chrono::system_clock::now().time_since_epoch().count();
  const fs::path temporary = std::string(kTemporaryPrefix) + std::to_string(++temporaries_) + "-" +
                             std::to_string(stamp);
  if (folder.WriteNew(temporary, contents) && folder.Rename(temporary, folder, located->name))
    return true;
  folder.Remove(temporary, false);
  return false;
}

bool FolderServerStore::MakeFolder(const std::u16string& path) {
  if (!path.empty() && !CanHold(path)) return false;
  std::lock_guard guard(lock_);
  std::u16string done;
  for (const std::u16string& part : SplitComponents(path)) {
    done = JoinRelative(done, part);
    auto located = Locate(done, true);
    if (!located) return false;
    if (located->entry) {
      if (located->entry->kind == HostEntry::Kind::kFolder) continue;
      return false;
    }
    if (!located->parent.folder->MakeFolder(located->name)) return false;
  }
  return true;
}

// A file or an empty folder only: a folder with contents is never removed
// whole.
bool FolderServerStore::Remove(const std::u16string& path) {
  std::lock_guard guard(lock_);
  auto located = Locate(path);
  if (!located) return false;
  return located->parent.folder->Remove(located->name,
                                        located->entry->kind == HostEntry::Kind::kFolder);
}

bool FolderServerStore::Rename(const std::u16string& from, const std::u16string& to) {
  if (from.empty() || to.empty() || !CanHold(to)) return false;
  std::lock_guard guard(lock_);
  auto source = Locate(from);
  auto target = Locate(to, true);
  if (!source || !target) return false;
  if (target->entry && target->entry->id != source->entry->id) return false;
  // The new name as written (a change of case renames the item in place).
  auto newName = HostPath(LeafOf(to));
  if (!newName) return false;
  return source->parent.folder->Rename(source->name, *target->parent.folder, *newName);
}

bool FolderServerStore::CanHold(const std::u16string& path) const {
  if (path.size() > kMaxServerPathChars || CheckServerPath(path) != NameVerdict::kLegal)
    return false;
  // The host folder's own limits: a name of at most 255 bytes, a path
  // below PATH_MAX.
  if (root_.u8string().size() + ToUtf8(path).size() + 1 >= 4096) return false;
  for (const std::u16string& part : SplitComponents(path)) {
    if (ToUtf8(part).size() > 255) return false;
  }
  return true;
}

}  // namespace tavo::agent
