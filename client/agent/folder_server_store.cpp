#include "folder_server_store.h"

#ifdef _WIN32
#include "windows_base.h"
#endif

#include <chrono>
#include <fstream>
#include <functional>
#include <system_error>

#include "name_pattern.h"
#include "text.h"
#include "view_paths.h"

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

// Host names are made from and read back as UTF-16, which std::filesystem
// converts to the host's own encoding (UTF-8 here, UTF-16 on Windows). A
// name that does not convert (bytes that are not UTF-8, a lone surrogate)
// names nothing the server can serve.
std::optional<std::u16string> HostName(const fs::path& path) {
  try {
    return path.filename().u16string();
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::optional<fs::path> HostChild(const fs::path& folder, const std::u16string& name) {
  try {
    return folder / fs::path(name);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// A symbolic link, or on Windows any reparse point (a junction is none of
// std::filesystem's symlinks there).
bool IsLink(const fs::path& path, const fs::file_status& status) {
  if (fs::is_symlink(status)) return true;
#ifdef _WIN32
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
#else
  (void)path;
  return false;
#endif
}

bool IsTemporary(std::u16string_view name) {
  const std::u16string prefix = FromUtf8(FolderServerStore::kTemporaryPrefix);
  return name.substr(0, prefix.size()) == prefix;
}

// Calls `visit` for each entry of a host folder until it returns false;
// false when the walk met an I/O error.
bool ForEachEntry(const fs::path& folder,
                  const std::function<bool(const fs::directory_entry&)>& visit) {
  std::error_code error;
  fs::directory_iterator it(folder, error);
  for (; !error && it != fs::directory_iterator(); it.increment(error)) {
    if (!visit(*it)) return true;
  }
  return !error;
}

// The entry of `folder` named `name` in any case, or nothing.
std::optional<fs::path> FindChild(const fs::path& folder, const std::u16string& name) {
  auto exact = HostChild(folder, name);
  if (!exact) return std::nullopt;
  std::error_code error;
  if (fs::exists(fs::symlink_status(*exact, error))) return exact;
  std::optional<fs::path> found;
  ForEachEntry(folder, [&](const fs::directory_entry& entry) {
    auto hostName = HostName(entry.path());
    if (hostName && EqualsIgnoreCase(*hostName, name)) found = entry.path();
    return !found;
  });
  return found;
}

}  // namespace

FolderServerStore::FolderServerStore(fs::path root) {
  std::error_code error;
  root_ = fs::weakly_canonical(root, error);
  if (error) root_ = std::move(root);
  RemoveStaleTemporaries();
}

// Write temporaries left by a crash (links are not followed; a walk that
// fails stops quietly: the leftovers only keep folders from being removed).
void FolderServerStore::RemoveStaleTemporaries() {
  std::error_code error;
  std::vector<fs::path> stale;
  fs::recursive_directory_iterator it(root_, error);
  for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    const auto name = HostName(it->path());
    std::error_code statusError;
    if (name && IsTemporary(*name) && fs::is_regular_file(it->symlink_status(statusError)))
      stale.push_back(it->path());
  }
  for (const fs::path& path : stale) fs::remove(path, error);
}

bool FolderServerStore::StaysUnderRoot(const fs::path& host) const {
  std::error_code error;
  const fs::path real = fs::weakly_canonical(host, error);
  if (error) return false;
  const fs::path relative = real.lexically_relative(root_);
  return !relative.empty() && *relative.begin() != "..";
}

std::optional<fs::path> FolderServerStore::Resolve(const std::u16string& path,
                                                   bool mayBeMissing) const {
  if (CheckServerPath(path) != NameVerdict::kLegal) return std::nullopt;
  const std::vector<std::u16string> parts = SplitComponents(path);
  fs::path current = root_;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (IsTemporary(parts[i])) return std::nullopt;
    auto found = FindChild(current, parts[i]);
    if (!found) {
      if (i + 1 != parts.size() || !mayBeMissing) return std::nullopt;
      found = HostChild(current, parts[i]);
      if (!found) return std::nullopt;
    } else {
      std::error_code error;
      const fs::file_status status = fs::symlink_status(*found, error);
      if (error || IsLink(*found, status)) return std::nullopt;  // never followed
      if (i + 1 != parts.size() && !fs::is_directory(status)) return std::nullopt;
    }
    current = std::move(*found);
  }
  // The components are checked already; this confirms the result all the same.
  if (!parts.empty() && !StaysUnderRoot(current)) return std::nullopt;
  return current;
}

ItemInfo FolderServerStore::Describe(const fs::directory_entry& entry) const {
  std::error_code error;
  ItemInfo info;
  info.name = HostName(entry.path()).value_or(u"");
  info.isDirectory = entry.is_directory(error);
  if (!info.isDirectory) {
    info.size = entry.file_size(error);
    info.allocationSize = (info.size + 4095) / 4096 * 4096;
  }
  const std::int64_t time = ToSystemTime(entry.last_write_time(error));
  info.creationTime = info.lastAccessTime = info.lastWriteTime = info.changeTime = time;
  info.attributes = info.isDirectory ? kAttributeDirectory : kAttributeArchive;
  // A stable id for the listings' FileId: the host path's hash.
  info.fileId = std::hash<fs::path::string_type>{}(entry.path().native()) & 0x0000FFFFFFFFFFFFull;
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

// Links, our own temporaries and host names Windows could not name (not
// UTF-8, "a:b", "x.") are not part of the server.
std::optional<std::vector<ItemInfo>> FolderServerStore::List(const std::u16string& path) {
  auto host = Resolve(path);
  std::error_code error;
  if (!host || !fs::is_directory(*host, error)) return std::nullopt;
  std::vector<ItemInfo> items;
  const bool complete = ForEachEntry(*host, [&](const fs::directory_entry& entry) {
    std::error_code linkError;
    const auto name = HostName(entry.path());
    if (IsLink(entry.path(), entry.symlink_status(linkError)) || linkError || !name ||
        IsTemporary(*name) ||
        CheckComponent(*name) != NameVerdict::kLegal) {
      return true;
    }
    items.push_back(Describe(entry));
    return true;
  });
  if (!complete) return std::nullopt;
  return items;
}

std::optional<bool> FolderServerStore::IsEmptyFolder(const std::u16string& path) {
  auto host = Resolve(path);
  std::error_code error;
  if (!host || !fs::is_directory(fs::symlink_status(*host, error))) return std::nullopt;
  bool empty = true;
  const bool walked = ForEachEntry(*host, [&](const fs::directory_entry&) {
    empty = false;
    return false;
  });
  return walked && empty;
}

bool FolderServerStore::Read(const std::u16string& path, Bytes* contents) {
  auto host = Resolve(path);
  std::error_code error;
  if (!host || !fs::is_regular_file(fs::symlink_status(*host, error))) return false;
  std::ifstream in(*host, std::ios::binary);
  if (!in) return false;
  contents->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

// Written beside the file and renamed over it: the old version stays whole
// until the new one is complete.
bool FolderServerStore::Write(const std::u16string& path, const Bytes& contents) {
  if (path.empty() || !CanHold(path)) return false;
  std::lock_guard guard(lock_);
  auto host = Resolve(path, true);
  std::error_code error;
  if (!host) return false;
  const fs::file_status status = fs::symlink_status(*host, error);
  if (fs::exists(status) && !fs::is_regular_file(status)) return false;
  const auto stamp = std::chrono::system_clock::now().time_since_epoch().count();
  const fs::path temporary = host->parent_path() / (std::string(kTemporaryPrefix) +
                                                    std::to_string(++temporaries_) + "-" +
                                                    std::to_string(stamp));
  bool written;
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(contents.data()),
              static_cast<std::streamsize>(contents.size()));
    out.close();
    written = static_cast<bool>(out);
  }
  if (written) fs::rename(temporary, *host, error);
  if (!written || error) {
    fs::remove(temporary, error);
    return false;
  }
  return true;
}

bool FolderServerStore::MakeFolder(const std::u16string& path) {
  if (!path.empty() && !CanHold(path)) return false;
  std::lock_guard guard(lock_);
  std::u16string done;
  for (const std::u16string& part : SplitComponents(path)) {
    done = JoinRelative(done, part);
    auto host = Resolve(done, true);
    if (!host) return false;
    std::error_code error;
    const fs::file_status status = fs::symlink_status(*host, error);
    if (fs::is_directory(status)) continue;
    if (fs::exists(status) || !fs::create_directory(*host, error)) return false;
  }
  return true;
}

// A file or an empty folder only: a folder with contents is never removed
// whole.
bool FolderServerStore::Remove(const std::u16string& path) {
  if (path.empty()) return false;
  std::lock_guard guard(lock_);
  auto host = Resolve(path);
  if (!host) return false;
  std::error_code error;
  return fs::remove(*host, error) && !error;
}

bool FolderServerStore::Rename(const std::u16string& from, const std::u16string& to) {
  if (from.empty() || to.empty() || !CanHold(to)) return false;
  std::lock_guard guard(lock_);
  auto source = Resolve(from);
  auto existing = Resolve(to, true);
  if (!source || !existing) return false;
  std::error_code error;
  if (fs::exists(fs::symlink_status(*existing, error)) && !fs::equivalent(*existing, *source, error))
    return false;
  // The new name as written (a change of case renames the item in place).
  auto target = HostChild(existing->parent_path(), LeafOf(to));
  if (!target) return false;
  fs::rename(*source, *target, error);
  return !error;
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
