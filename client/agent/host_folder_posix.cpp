// HostFolder over directory descriptors: each entry is reached with the
// *at calls relative to its folder's descriptor, with O_NOFOLLOW or
// AT_SYMLINK_NOFOLLOW, so nothing is resolved through a link.
#ifndef _WIN32

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "host_folder.h"

namespace tavo::agent {
namespace {

// Seconds between 1601-01-01 and 1970-01-01.
constexpr std::int64_t kEpochDifference = 11644473600LL;

HostEntry::Kind KindOf(mode_t mode) {
  if (S_ISLNK(mode)) return HostEntry::Kind::kLink;
  if (S_ISDIR(mode)) return HostEntry::Kind::kFolder;
  if (S_ISREG(mode)) return HostEntry::Kind::kFile;
  return HostEntry::Kind::kOther;
}

}  // namespace

std::unique_ptr<HostFolder> HostFolder::Open(const std::filesystem::path& path) {
  const int descriptor = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (descriptor < 0) return nullptr;
  return std::unique_ptr<HostFolder>(new HostFolder(descriptor));
}

HostFolder::~HostFolder() { ::close(descriptor_); }

std::unique_ptr<HostFolder> HostFolder::OpenFolder(const std::filesystem::path& name) const {
  const int descriptor =
      ::openat(descriptor_, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (descriptor < 0) return nullptr;
  return std::unique_ptr<HostFolder>(new HostFolder(descriptor));
}

std::optional<HostEntry> HostFolder::Lookup(const std::filesystem::path& name) const {
  struct stat status;
  if (::fstatat(descriptor_, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
  HostEntry entry;
  entry.name = name;
  entry.kind = KindOf(status.st_mode);
  entry.size = entry.kind == HostEntry::Kind::kFile ? static_cast<std::uint64_t>(status.st_size) : 0;
  entry.lastWriteTime = (static_cast<std::int64_t>(status.st_mtim.tv_sec) + kEpochDifference) *
                            10000000 +
                        status.st_mtim.tv_nsec / 100;
  entry.id = (static_cast<std::uint64_t>(status.st_dev) << 40) ^ status.st_ino;
  return entry;
}

bool HostFolder::List(std::vector<HostEntry>* entries) const {
  const int descriptor = ::openat(descriptor_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (descriptor < 0) return false;
  DIR* folder = ::fdopendir(descriptor);
  if (folder == nullptr) {
    ::close(descriptor);
    return false;
  }
  bool complete = true;
  for (;;) {
    errno = 0;
    const dirent* found = ::readdir(folder);
    if (found == nullptr) {
      complete = errno == 0;
      break;
    }
    if (std::strcmp(found->d_name, ".") == 0 || std::strcmp(found->d_name, "..") == 0) continue;
    // Gone since it was listed: left out.
    if (auto entry = Lookup(found->d_name)) entries->push_back(std::move(*entry));
  }
  ::closedir(folder);
  return complete;
}

bool HostFolder::Read(const std::filesystem::path& name, Bytes* contents) const {
  // O_NONBLOCK: a FIFO swapped in for the file must not hold the reader
  // until some writer comes; it is refused below as not a regular file.
  const int file =
      ::openat(descriptor_, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (file < 0) return false;
  struct stat status;
  bool ok = ::fstat(file, &status) == 0 && S_ISREG(status.st_mode);
  contents->clear();
  char buffer[65536];
  while (ok) {
    const ssize_t got = ::read(file, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      ok = got == 0;
      break;
    }
    contents->insert(contents->end(), buffer, buffer + got);
  }
  ::close(file);
  return ok;
}

bool HostFolder::WriteNew(const std::filesystem::path& name, const Bytes& contents) {
  const int file = ::openat(descriptor_, name.c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (file < 0) return false;
  bool ok = true;
  for (std::size_t done = 0; ok && done < contents.size();) {
    const ssize_t wrote = ::write(file, contents.data() + done, contents.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    ok = wrote > 0;
    if (ok) done += static_cast<std::size_t>(wrote);
  }
  return ::close(file) == 0 && ok;
}

bool HostFolder::MakeFolder(const std::filesystem::path& name) {
  return ::mkdirat(descriptor_, name.c_str(), 0777) == 0;
}

bool HostFolder::Remove(const std::filesystem::path& name, bool folder) {
  return ::unlinkat(descriptor_, name.c_str(), folder ? AT_REMOVEDIR : 0) == 0;
}

bool HostFolder::Rename(const std::filesystem::path& name, HostFolder& to,
                        const std::filesystem::path& newName) {
  return ::renameat(descriptor_, name.c_str(), to.descriptor_, newName.c_str()) == 0;
}

}  // namespace tavo::agent

#endif  // !_WIN32
