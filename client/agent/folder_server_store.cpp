#include "folder_server_store.h"

#include <fstream>
#include <functional>
#include <system_error>

#include "name_pattern.h"
#include "text.h"

namespace tavo::agent {
namespace fs = std::filesystem;
namespace {

// Seconds between 1601-01-01 and 1970-01-01.
constexpr std::int64_t kEpochDifference = 11644473600LL;
// What a Windows server allows under one share (path characters below its root).
constexpr std::size_t kMaxServerPathChars = 32000;

std::int64_t ToSystemTime(fs::file_time_type time) {
  const auto since = std::chrono::file_clock::to_sys(time).time_since_epoch();
  const auto units =
      std::chrono::duration_cast<std::chrono::duration<std::int64_t, std::ratio<1, 10000000>>>(
          since);
  return units.count() + kEpochDifference * 10000000;
}

// Host paths are made from and read back as UTF-16, which std::filesystem
// converts to the host's own encoding (UTF-8 here, UTF-16 on Windows).
std::u16string HostName(const fs::path& path) {
  return path.filename().u16string();
}

}  // namespace

FolderServerStore::FolderServerStore(fs::path root) : root_(std::move(root)) {}

std::optional<fs::path> FolderServerStore::Resolve(const std::u16string& path) const {
  fs::path current = root_;
  std::error_code error;
  for (const std::u16string& part : SplitComponents(path)) {
    if (!fs::is_directory(current, error)) return std::nullopt;
    const fs::path exact = current / fs::path(part);
    if (fs::exists(fs::symlink_status(exact, error))) {
      current = exact;
      continue;
    }
    bool found = false;
    for (const auto& entry : fs::directory_iterator(current, error)) {
      if (EqualsIgnoreCase(HostName(entry.path()), part)) {
        current = entry.path();
        found = true;
        break;
      }
    }
    if (!found) return std::nullopt;
  }
  return current;
}

std::optional<fs::path> FolderServerStore::ResolveForCreate(const std::u16string& path) const {
  if (auto existing = Resolve(path)) return existing;
  auto parent = Resolve(ParentOf(path));
  if (!parent) return std::nullopt;
  return *parent / fs::path(LeafOf(path));
}

ItemInfo FolderServerStore::Describe(const fs::directory_entry& entry) const {
  std::error_code error;
  ItemInfo info;
  info.name = HostName(entry.path());
  info.isDirectory = entry.is_directory(error);
  if (!info.isDirectory) {
    info.size = entry.file_size(error);
    info.allocationSize = (info.size + 4095) / 4096 * 4096;
  }
  const std::int64_t time = ToSystemTime(entry.last_write_time(error));
  info.creationTime = info.lastAccessTime = info.lastWriteTime = info.changeTime = time;
  info.attributes = info.isDirectory ? kAttributeDirectory : kAttributeArchive;
  // A stable id for the listings' FileId: the host path's hash.
  info.fileId = std::hash<std::u16string>{}(entry.path().u16string()) & 0x0000FFFFFFFFFFFFull;
  return info;
}

std::optional<ItemInfo> FolderServerStore::Stat(const std::u16string& path) {
  auto host = Resolve(path);
  if (!host) return std::nullopt;
  std::error_code error;
  fs::directory_entry entry(*host, error);
  if (error) return std::nullopt;
  ItemInfo info = Describe(entry);
  if (path.empty()) info.name.clear();
  return info;
}

std::optional<std::vector<ItemInfo>> FolderServerStore::List(const std::u16string& path) {
  auto host = Resolve(path);
  std::error_code error;
  if (!host || !fs::is_directory(*host, error)) return std::nullopt;
  std::vector<ItemInfo> items;
  for (const auto& entry : fs::directory_iterator(*host, error)) items.push_back(Describe(entry));
  return items;
}

bool FolderServerStore::Read(const std::u16string& path, Bytes* contents) {
  auto host = Resolve(path);
  std::error_code error;
  if (!host || !fs::is_regular_file(*host, error)) return false;
  std::ifstream in(*host, std::ios::binary);
  if (!in) return false;
  contents->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

bool FolderServerStore::Write(const std::u16string& path, const Bytes& contents) {
  if (path.empty() || !CanHold(path)) return false;
  std::lock_guard guard(lock_);
  auto host = ResolveForCreate(path);
  std::error_code error;
  if (!host || fs::is_directory(*host, error)) return false;
  std::ofstream out(*host, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(reinterpret_cast<const char*>(contents.data()),
            static_cast<std::streamsize>(contents.size()));
  return static_cast<bool>(out);
}

bool FolderServerStore::MakeFolder(const std::u16string& path) {
  if (!path.empty() && !CanHold(path)) return false;
  std::lock_guard guard(lock_);
  std::u16string done;
  for (const std::u16string& part : SplitComponents(path)) {
    done = JoinRelative(done, part);
    auto host = ResolveForCreate(done);
    std::error_code error;
    if (!host) return false;
    if (fs::is_directory(*host, error)) continue;
    if (!fs::create_directory(*host, error)) return false;
  }
  return true;
}

bool FolderServerStore::Remove(const std::u16string& path) {
  if (path.empty()) return false;
  std::lock_guard guard(lock_);
  auto host = Resolve(path);
  if (!host) return false;
  std::error_code error;
  return fs::remove_all(*host, error) > 0 && !error;
}

bool FolderServerStore::Rename(const std::u16string& from, const std::u16string& to) {
  if (from.empty() || to.empty() || !CanHold(to)) return false;
  std::lock_guard guard(lock_);
  auto source = Resolve(from);
  auto targetFolder = Resolve(ParentOf(to));
  std::error_code error;
  if (!source || !targetFolder || !fs::is_directory(*targetFolder, error)) return false;
  const fs::path target = *targetFolder / fs::path(LeafOf(to));
  if (auto existing = Resolve(to); existing && !fs::equivalent(*existing, *source, error)) {
    return false;
  }
  fs::rename(*source, target, error);
  return !error;
}

bool FolderServerStore::CanHold(const std::u16string& path) const {
  if (path.size() > kMaxServerPathChars) return false;
  // The host folder's own limit: its path in bytes must stay below PATH_MAX.
  if (root_.u8string().size() + ToUtf8(path).size() + 1 >= 4096) return false;
  for (const std::u16string& part : SplitComponents(path)) {
    if (!IsLegalComponent(part) || ToUtf8(part).size() > 255) return false;
  }
  return true;
}

}  // namespace tavo::agent
