// HostFolder on Windows: a folder is its path, and each entry is checked
// for a reparse point (a symbolic link or a junction) before it is used.
// The check and the use are separate steps, so a folder swapped for a
// junction in between is followed; handle-relative opens would close that
// gap and are not done yet.
#ifdef _WIN32

#include "windows_base.h"

#include <chrono>
#include <fstream>
#include <functional>
#include <system_error>

#include "host_folder.h"

namespace tavo::agent {
namespace fs = std::filesystem;
namespace {

// Seconds between 1601-01-01 and 1970-01-01.
constexpr std::int64_t kEpochDifference = 11644473600LL;

std::int64_t ToSystemTime(fs::file_time_type time) {
  const auto since = std::chrono::file_clock::to_sys(time).time_since_epoch();
  const auto units =
      std::chrono::duration_cast<std::chrono::duration<std::int64_t, std::ratio<1, 10000000>>>(
          since);
  return units.count() + kEpochDifference * 10000000;
}

bool IsReparsePoint(const fs::path& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

}  // namespace

std::unique_ptr<HostFolder> HostFolder::Open(const fs::path& path) {
  std::error_code error;
  if (!fs::is_directory(path, error)) return nullptr;
  return std::unique_ptr<HostFolder>(new HostFolder(path));
}

HostFolder::~HostFolder() = default;

std::unique_ptr<HostFolder> HostFolder::OpenFolder(const fs::path& name) const {
  auto entry = Lookup(name);
  if (!entry || entry->kind != HostEntry::Kind::kFolder) return nullptr;
  return std::unique_ptr<HostFolder>(new HostFolder(path_ / name));
}

std::optional<HostEntry> HostFolder::Lookup(const fs::path& name) const {
  const fs::path path = name == "." ? path_ : path_ / name;
  std::error_code error;
  const fs::file_status status = fs::symlink_status(path, error);
  if (error || !fs::exists(status)) return std::nullopt;
  HostEntry entry;
  entry.name = name;
  if (fs::is_symlink(status) || IsReparsePoint(path)) {
    entry.kind = HostEntry::Kind::kLink;
  } else if (fs::is_directory(status)) {
    entry.kind = HostEntry::Kind::kFolder;
  } else if (fs::is_regular_file(status)) {
    entry.kind = HostEntry::Kind::kFile;
    entry.size = fs::file_size(path, error);
  }
  entry.lastWriteTime = ToSystemTime(fs::last_write_time(path, error));
  entry.id = std::hash<fs::path::string_type>{}(path.native());
  return entry;
}

bool HostFolder::List(std::vector<HostEntry>* entries) const {
  std::error_code error;
  fs::directory_iterator it(path_, error);
  for (; !error && it != fs::directory_iterator(); it.increment(error)) {
    if (auto entry = Lookup(it->path().filename())) entries->push_back(std::move(*entry));
  }
  return !error;
}

bool HostFolder::Read(const fs::path& name, Bytes* contents) const {
  auto entry = Lookup(name);
  if (!entry || entry->kind != HostEntry::Kind::kFile) return false;
  std::ifstream in(path_ / name, std::ios::binary);
  if (!in) return false;
  contents->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

bool HostFolder::WriteNew(const fs::path& name, const Bytes& contents) {
  if (Lookup(name)) return false;
  std::ofstream out(path_ / name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(contents.data()),
            static_cast<std::streamsize>(contents.size()));
  out.close();
  return static_cast<bool>(out);
}

bool HostFolder::MakeFolder(const fs::path& name) {
  std::error_code error;
  return fs::create_directory(path_ / name, error);
}

bool HostFolder::Remove(const fs::path& name, bool folder) {
  auto entry = Lookup(name);
  const auto kind = folder ? HostEntry::Kind::kFolder : HostEntry::Kind::kFile;
  if (!entry || entry->kind != kind) return false;
  std::error_code error;
  return fs::remove(path_ / name, error) && !error;
}

bool HostFolder::Rename(const fs::path& name, HostFolder& to, const fs::path& newName) {
  std::error_code error;
  fs::rename(path_ / name, to.path_ / newName, error);
  return !error;
}

}  // namespace tavo::agent

#endif  // _WIN32
