#define FUSE_USE_VERSION 35
#include "view_fs.h"

#include <fuse.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

#include "directory_listing.h"
#include "errno_map.h"
#include "harness/debug_log.h"
#include "harness/processes.h"
#include "harness/strings.h"
#include "view_machine.h"

namespace tavo::tool {
namespace {

using sim::harness::FromUtf8;

// NT times count 100 ns from 1601; Unix seconds from 1970.
constexpr std::int64_t kUnixEpochInNtTime = 116444736000000000LL;

timespec ToTimespec(std::int64_t ntTime) {
  const std::int64_t since = ntTime - kUnixEpochInNtTime;
  std::int64_t seconds = since / 10000000, rest = since % 10000000;
  if (rest < 0) {
    rest += 10000000;
    --seconds;
  }
  return {static_cast<time_t>(seconds), static_cast<long>(rest * 100)};
}

std::int64_t ToNtTime(const timespec& time) {
  return kUnixEpochInNtTime + static_cast<std::int64_t>(time.tv_sec) * 10000000 + time.tv_nsec / 100;
}

ViewFileSystem& Self() {
  return *static_cast<ViewFileSystem*>(fuse_get_context()->private_data);
}

ViewFileSystem::OpenFile* FileOf(const fuse_file_info* fi) {
  return fi == nullptr ? nullptr : reinterpret_cast<ViewFileSystem::OpenFile*>(fi->fh);
}

// "/docs/a.txt" -> "\Device\HarddiskVolume3\Users\alice\Tavo\docs\a.txt".
// Characters an NTFS name cannot hold are refused rather than given their NT
// meaning: a backslash would split the name in two, a colon would name a
// stream, and * ? " < > | are wildcards to a listing.
bool ViewPath(const char* path, std::u16string* out) {
  for (const char* c = path; *c != '\0'; ++c) {
    if (static_cast<unsigned char>(*c) < 0x20 || std::strchr("\\:*?\"<>|", *c) != nullptr)
      return false;
  }
  std::u16string rest = FromUtf8(path);
  for (char16_t& c : rest) c = c == u'/' ? u'\\' : c;
  if (rest == u"\\") rest.clear();
  *out = kViewRoot + rest;
  return true;
}

// The caller of the current FUSE request, as a simulated process.
struct Caller {
  std::uint32_t process;
  std::string name;
  Caller() : process(Self().RequestorFor(fuse_get_context()->pid)), name(Self().NameOf(process)) {}
};

struct Opened {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  HANDLE handle = nullptr;
};

// NtCreateFile as the calling thread's process, as CreateFile makes it: with
// SYNCHRONIZE and FILE_READ_ATTRIBUTES added, so any open file can be
// fstat'ed. POSIX has no share modes: every open shares everything, so no
// Linux program is refused for another's open file.
Opened Open(const std::u16string& path, ACCESS_MASK access, ULONG disposition, ULONG options) {
  sim::harness::OwnedUnicodeString name{path};
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, name.get(), OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  IO_STATUS_BLOCK iosb{};
  Opened opened;
  opened.status = NtCreateFile(&opened.handle, access | SYNCHRONIZE | FILE_READ_ATTRIBUTES, &oa, &iosb, nullptr,
                               FILE_ATTRIBUTE_NORMAL,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, disposition,
                               options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  if (!NT_SUCCESS(opened.status)) opened.handle = nullptr;
  return opened;
}

// A handle opened for one call and closed at its end.
class ScopedOpen {
 public:
  ScopedOpen(const std::u16string& path, ACCESS_MASK access, ULONG options)
      : opened_(Open(path, access, FILE_OPEN, options)) {}
  ~ScopedOpen() {
    if (opened_.handle != nullptr) NtClose(opened_.handle);
  }
  ScopedOpen(const ScopedOpen&) = delete;
  ScopedOpen& operator=(const ScopedOpen&) = delete;
  NTSTATUS status() const { return opened_.status; }
  HANDLE handle() const { return opened_.handle; }

 private:
  Opened opened_;
};

// Runs `body` as the caller and returns -errno, tracing "[proc] what -> status".
template <class Body>
int AsCaller(const std::string& what, Body&& body) {
  Caller caller;
  NTSTATUS status;
  {
    sim::harness::ScopedProcess as(caller.process);
    status = body();
  }
  Self().Note(caller.name, what, status);
  return -ErrnoFor(status);
}

// Runs `body` as the process that opened `file`.
template <class Body>
int AsOpener(ViewFileSystem::OpenFile* file, const std::string& what, Body&& body) {
  NTSTATUS status;
  {
    sim::harness::ScopedProcess as(file->process);
    status = body();
  }
  Self().Note(file->processName, what, status);
  return -ErrnoFor(status);
}

// Declared first in an operation that may change what a listing shows
// (data opens, which may download; writes; closes; every change of a
// name, size or time): when it ends, no kept listing is used again.
class ChangesListings {
 public:
  ChangesListings() = default;
  ~ChangesListings() { Self().listings().Changed(); }
  ChangesListings(const ChangesListings&) = delete;
  ChangesListings& operator=(const ChangesListings&) = delete;
};

void FillStat(const FILE_NETWORK_OPEN_INFORMATION& info, struct stat* st) {
  std::memset(st, 0, sizeof(*st));
  const bool directory = (info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  const bool readOnly = (info.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
  st->st_mode = directory ? S_IFDIR | 0755 : S_IFREG | (readOnly ? 0444 : 0644);
  st->st_nlink = directory ? 2 : 1;
  st->st_uid = getuid();
  st->st_gid = getgid();
  st->st_size = directory ? 0 : info.EndOfFile.QuadPart;
  st->st_blksize = 4096;
  st->st_blocks = info.AllocationSize.QuadPart / 512;
  st->st_atim = ToTimespec(info.LastAccessTime.QuadPart);
  st->st_mtim = ToTimespec(info.LastWriteTime.QuadPart);
  st->st_ctim = ToTimespec(info.ChangeTime.QuadPart);
}

NTSTATUS QueryStat(HANDLE handle, struct stat* st) {
  FILE_NETWORK_OPEN_INFORMATION info{};
  IO_STATUS_BLOCK iosb{};
  const NTSTATUS status =
      NtQueryInformationFile(handle, &iosb, &info, sizeof(info), FileNetworkOpenInformation);
  if (NT_SUCCESS(status)) FillStat(info, st);
  return status;
}

NTSTATUS SetInformation(HANDLE handle, void* info, ULONG length, FILE_INFORMATION_CLASS infoClass) {
  IO_STATUS_BLOCK iosb{};
  return NtSetInformationFile(handle, &iosb, info, length, infoClass);
}

// ---- the operations

int GetAttr(const char* path, struct stat* st, fuse_file_info* fi) {
  if (ViewFileSystem::OpenFile* file = FileOf(fi)) {
    return AsOpener(file, std::string("fstat ") + path, [&] { return QueryStat(file->handle, st); });
  }
  std::u16string name;
  if (!ViewPath(path, &name)) return -EINVAL;
  // A stat opens for attributes only: no download.
  return AsCaller(std::string("stat ") + path, [&] {
    ScopedOpen opened(name, FILE_READ_ATTRIBUTES, 0);
    return NT_SUCCESS(opened.status()) ? QueryStat(opened.handle(), st) : opened.status();
  });
}

// The access an open(2) asks for, and its disposition. O_APPEND asks for
// write access as a C runtime opens a file for appending: FILE_APPEND_DATA
// alone would be an open for metadata, on which a server-only file is never
// downloaded and cannot be written; the writes go to the end of the file.
ACCESS_MASK AccessFor(int flags) {
  switch (flags & O_ACCMODE) {
    case O_WRONLY:
      return GENERIC_WRITE;
    case O_RDWR:
      return GENERIC_READ | GENERIC_WRITE;
    default:
      return GENERIC_READ;
  }
}

ULONG DispositionFor(int flags) {
  if (flags & O_CREAT) {
    if (flags & O_EXCL) return FILE_CREATE;
    return (flags & O_TRUNC) ? FILE_OVERWRITE_IF : FILE_OPEN_IF;
  }
  return (flags & O_TRUNC) ? FILE_OVERWRITE : FILE_OPEN;
}

const char* DispositionName(ULONG disposition) {
  switch (disposition) {
    case FILE_CREATE: return "FILE_CREATE";
    case FILE_OVERWRITE_IF: return "FILE_OVERWRITE_IF";
    case FILE_OPEN_IF: return "FILE_OPEN_IF";
    case FILE_OVERWRITE: return "FILE_OVERWRITE";
    default: return "FILE_OPEN";
  }
}

std::string AccessName(ACCESS_MASK access) {
  if (access == GENERIC_READ) return "GENERIC_READ";
  if (access == GENERIC_WRITE) return "GENERIC_WRITE";
  if (access == (GENERIC_READ | GENERIC_WRITE)) return "GENERIC_READ|GENERIC_WRITE";
  if (access == FILE_LIST_DIRECTORY) return "FILE_LIST_DIRECTORY";
  return "0x" + std::to_string(access);
}

int OpenAs(const char* path, fuse_file_info* fi, ULONG disposition, ULONG options, const char* verb) {
  std::u16string name;
  if (!ViewPath(path, &name)) return -EINVAL;
  const ACCESS_MASK access = (options & FILE_DIRECTORY_FILE) ? FILE_LIST_DIRECTORY : AccessFor(fi->flags);
  Caller caller;
  Opened opened;
  {
    sim::harness::ScopedProcess as(caller.process);
    opened = Open(name, access, disposition, options);
  }
  Self().Note(caller.name,
              std::string(verb) + " " + path + " " + AccessName(access) + " " +
                  DispositionName(disposition),
              opened.status);
  if (!NT_SUCCESS(opened.status)) return -ErrnoFor(opened.status);
  fi->fh = reinterpret_cast<std::uint64_t>(
      Self().Register(opened.handle, caller.process, caller.name, (fi->flags & O_APPEND) != 0));
  return 0;
}

int OpenFileOp(const char* path, fuse_file_info* fi) {
  const ChangesListings changes;
  return OpenAs(path, fi, DispositionFor(fi->flags), FILE_NON_DIRECTORY_FILE, "open");
}

int CreateOp(const char* path, mode_t, fuse_file_info* fi) {
  const ChangesListings changes;
  return OpenAs(path, fi, DispositionFor(fi->flags | O_CREAT), FILE_NON_DIRECTORY_FILE, "create");
}

int OpenDirOp(const char* path, fuse_file_info* fi) {
  return OpenAs(path, fi, FILE_OPEN, FILE_DIRECTORY_FILE, "opendir");
}

int ReleaseDirOp(const char* path, fuse_file_info* fi) {
  ViewFileSystem::OpenFile* file = FileOf(fi);
  AsOpener(file, std::string("close ") + path, [&] { return NtClose(file->handle); });
  Self().Unregister(file);
  return 0;
}

// Closing a file may delete it or have it uploaded; closing a folder
// changes nothing.
int ReleaseOp(const char* path, fuse_file_info* fi) {
  const ChangesListings changes;
  return ReleaseDirOp(path, fi);
}

int ReadOp(const char* path, char* buffer, size_t size, off_t offset, fuse_file_info* fi) {
  ViewFileSystem::OpenFile* file = FileOf(fi);
  size_t done = 0;
  NTSTATUS status = STATUS_SUCCESS;
  sim::harness::ScopedProcess as(file->process);
  while (done < size) {
    IO_STATUS_BLOCK iosb{};
    LARGE_INTEGER at;
    at.QuadPart = offset + static_cast<off_t>(done);
    status = NtReadFile(file->handle, nullptr, nullptr, nullptr, &iosb, buffer + done,
                        static_cast<ULONG>(size - done), &at, nullptr);
    if (status == STATUS_END_OF_FILE || !NT_SUCCESS(status) || iosb.Information == 0) break;
    done += iosb.Information;
  }
  if (status == STATUS_END_OF_FILE) status = STATUS_SUCCESS;
  if (!NT_SUCCESS(status)) {
    Self().Note(file->processName, std::string("read ") + path, status);
    return -ErrnoFor(status);
  }
  return static_cast<int>(done);
}

int WriteOp(const char* path, const char* buffer, size_t size, off_t offset, fuse_file_info* fi) {
  const ChangesListings changes;
  ViewFileSystem::OpenFile* file = FileOf(fi);
  IO_STATUS_BLOCK iosb{};
  LARGE_INTEGER at;
  if (file->append) {
    at.HighPart = -1;
    at.LowPart = FILE_WRITE_TO_END_OF_FILE;
  } else {
    at.QuadPart = offset;
  }
  sim::harness::ScopedProcess as(file->process);
  const NTSTATUS status = NtWriteFile(file->handle, nullptr, nullptr, nullptr, &iosb,
                                      const_cast<char*>(buffer), static_cast<ULONG>(size), &at, nullptr);
  if (!NT_SUCCESS(status)) {
    Self().Note(file->processName, std::string("write ") + path, status);
    return -ErrnoFor(status);
  }
  file->written = true;
  return static_cast<int>(iosb.Information);
}

// Every close(2) flushes: a file written through this handle goes to the
// server now, so that what a program wrote is there when it exits.
int FlushOp(const char*, fuse_file_info* fi) {
  ViewFileSystem::OpenFile* file = FileOf(fi);
  if (file != nullptr && file->written) {
    const ChangesListings changes;
    Self().UploadChanges();
  }
  return 0;
}

// Lists the folder open on `file` afresh, as the process that opened it.
int ListInto(const char* path, ViewFileSystem::OpenFile* file) {
  KeptListings& kept = Self().listings();
  const std::uint64_t generation = kept.Generation();
  DirectoryListing listing;
  {
    sim::harness::ScopedProcess as(file->process);
    listing = ListDirectory(file->handle, 64 * 1024);  // as large as Linux's own getdents buffers
  }
  Self().Note(file->processName,
              std::string("list ") + path + " (" + std::to_string(listing.entries.size()) + " entries)",
              listing.status);
  if (listing.status != STATUS_NO_MORE_FILES && listing.status != STATUS_NO_SUCH_FILE)
    return -ErrnoFor(listing.status);
  // The listing carries each entry's attributes, as it does for a Windows
  // program: they go to the kernel with the names, which spares a lookup
  // per entry when a program stats what it listed.
  auto entries = std::make_shared<std::vector<ListedName>>();
  bool dots = false;
  for (const ListedEntry& listed : listing.entries) {
    FILE_NETWORK_OPEN_INFORMATION info{};
    info.CreationTime.QuadPart = listed.creationTime;
    info.LastAccessTime.QuadPart = listed.lastAccessTime;
    info.LastWriteTime.QuadPart = listed.lastWriteTime;
    info.ChangeTime.QuadPart = listed.changeTime;
    info.AllocationSize.QuadPart = listed.allocationSize;
    info.EndOfFile.QuadPart = listed.size;
    info.FileAttributes = listed.attributes;
    ListedName entry;
    entry.name = sim::harness::ToUtf8(listed.name);
    FillStat(info, &entry.attributes);
    entry.hasAttributes = entry.name != "." && entry.name != "..";
    dots = dots || !entry.hasAttributes;
    entries->push_back(std::move(entry));
  }
  // A no-listing process sees no entry at all; Linux programs still expect
  // the folder's own two names.
  if (!dots) {
    for (const char* name : {".", ".."}) {
      ListedName entry{name, {}, false};
      entry.attributes.st_mode = S_IFDIR;
      entries->push_back(std::move(entry));
    }
  }
  kept.Keep(path, file->process, generation, entries, KeptListings::Clock::now());
  file->listing = std::move(entries);
  return 0;
}

// The listing is taken when the kernel starts reading the folder (offset
// 0, also after a rewind), or reused when the same program listed the
// same folder a moment ago; it stays with the open folder for the batches
// that follow, each entry's offset being its index plus one. Handing
// libfuse real offsets is what makes it pass the attributes on to the
// kernel (readdirplus): it ignores them for a listing given all at once.
int ReadDirOp(const char* path, void* buffer, fuse_fill_dir_t fill, off_t offset, fuse_file_info* fi,
              fuse_readdir_flags flags) {
  ViewFileSystem::OpenFile* file = FileOf(fi);
  if (offset == 0 || file->listing == nullptr) {
    file->listing = Self().listings().Find(path, file->process, KeptListings::Clock::now());
    if (file->listing != nullptr) {
      Self().Note(file->processName,
                  std::string("list ") + path + " (" + std::to_string(file->listing->size()) +
                      " entries, kept)",
                  STATUS_SUCCESS);
    } else if (const int listed = ListInto(path, file); listed != 0) {
      return listed;
    }
  }
  const std::vector<ListedName>& entries = *file->listing;
  const bool plus = (flags & FUSE_READDIR_PLUS) != 0;
  for (std::size_t i = offset < 0 ? 0 : static_cast<std::size_t>(offset); i < entries.size(); ++i) {
    const ListedName& entry = entries[i];
    const bool withAttributes = plus && entry.hasAttributes;
    if (fill(buffer, entry.name.c_str(), &entry.attributes, static_cast<off_t>(i + 1),
             withAttributes ? FUSE_FILL_DIR_PLUS : fuse_fill_dir_flags{}) != 0)
      break;
  }
  return 0;
}

int MkdirOp(const char* path, mode_t) {
  const ChangesListings changes;
  std::u16string name;
  if (!ViewPath(path, &name)) return -EINVAL;
  return AsCaller(std::string("mkdir ") + path + " FILE_CREATE", [&] {
    Opened opened = Open(name, FILE_LIST_DIRECTORY, FILE_CREATE, FILE_DIRECTORY_FILE);
    if (opened.handle != nullptr) NtClose(opened.handle);
    return opened.status;
  });
}

// unlink and rmdir: open for DELETE, set the delete disposition, close.
int Delete(const char* path, ULONG options, const char* verb) {
  const ChangesListings changes;
  std::u16string name;
  if (!ViewPath(path, &name)) return -EINVAL;
  return AsCaller(std::string(verb) + " " + path, [&] {
    ScopedOpen opened(name, DELETE | FILE_READ_ATTRIBUTES, options);
    if (!NT_SUCCESS(opened.status())) return opened.status();
    FILE_DISPOSITION_INFORMATION disposition{TRUE};
    return SetInformation(opened.handle(), &disposition, sizeof(disposition),
                          FileDispositionInformation);
  });
}

int UnlinkOp(const char* path) { return Delete(path, FILE_NON_DIRECTORY_FILE, "unlink"); }
int RmdirOp(const char* path) { return Delete(path, FILE_DIRECTORY_FILE, "rmdir"); }

// rename(2) replaces an existing target; RENAME_NOREPLACE does not. NT has
// no exchange of two names.
int RenameOp(const char* from, const char* to, unsigned int flags) {
  const ChangesListings changes;
  if (flags & ~static_cast<unsigned>(RENAME_NOREPLACE)) return -EINVAL;
  std::u16string source, target;
  if (!ViewPath(from, &source) || !ViewPath(to, &target)) return -EINVAL;
  // The target in DOS-device form, as MoveFileEx names it.
  const std::u16string dosTarget =
      u"\\??\\C:" + target.substr(std::u16string_view(kVolumeDevice).size());
  return AsCaller(std::string("rename ") + from + " to " + to, [&] {
    ScopedOpen opened(source, DELETE | FILE_READ_ATTRIBUTES, 0);
    if (!NT_SUCCESS(opened.status())) return opened.status();
    std::vector<std::uint64_t> storage(
        (sizeof(FILE_RENAME_INFORMATION) + dosTarget.size() * 2) / 8 + 1);
    auto* info = reinterpret_cast<FILE_RENAME_INFORMATION*>(storage.data());
    info->ReplaceIfExists = (flags & RENAME_NOREPLACE) ? FALSE : TRUE;
    info->FileNameLength = static_cast<ULONG>(dosTarget.size() * 2);
    std::memcpy(info->FileName, dosTarget.data(), dosTarget.size() * 2);
    return SetInformation(opened.handle(), info, static_cast<ULONG>(storage.size() * 8),
                          FileRenameInformation);
  });
}

int TruncateOp(const char* path, off_t size, fuse_file_info* fi) {
  const ChangesListings changes;
  FILE_END_OF_FILE_INFORMATION info{};
  info.EndOfFile.QuadPart = size;
  if (ViewFileSystem::OpenFile* file = FileOf(fi)) {
    file->written = true;
    return AsOpener(file, std::string("truncate ") + path, [&] {
      return SetInformation(file->handle, &info, sizeof(info), FileEndOfFileInformation);
    });
  }
  std::u16string name;
  if (!ViewPath(path, &name)) return -EINVAL;
  const int result = AsCaller(std::string("truncate ") + path, [&] {
    ScopedOpen opened(name, FILE_WRITE_DATA, FILE_NON_DIRECTORY_FILE);
    if (!NT_SUCCESS(opened.status())) return opened.status();
    return SetInformation(opened.handle(), &info, sizeof(info), FileEndOfFileInformation);
  });
  if (result == 0) Self().UploadChanges();
  return result;
}

// Times through FileBasicInformation: a zero field is left as it is.
int UtimensOp(const char* path, const timespec times[2], fuse_file_info* fi) {
  const ChangesListings changes;
  FILE_BASIC_INFORMATION info{};
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  auto pick = [&](const timespec& time) -> std::int64_t {
    if (time.tv_nsec == UTIME_OMIT) return 0;
    return ToNtTime(time.tv_nsec == UTIME_NOW ? now : time);
  };
  info.LastAccessTime.QuadPart = times ? pick(times[0]) : ToNtTime(now);
  info.LastWriteTime.QuadPart = times ? pick(times[1]) : ToNtTime(now);
  if (ViewFileSystem::OpenFile* file = FileOf(fi)) {
    return AsOpener(file, std::string("set times ") + path, [&] {
      return SetInformation(file->handle, &info, sizeof(info), FileBasicInformation);
    });
  }
  std::u16string name;
  if (!ViewPath(path, &name)) return -EINVAL;
  return AsCaller(std::string("set times ") + path, [&] {
    ScopedOpen opened(name, FILE_WRITE_ATTRIBUTES, 0);
    if (!NT_SUCCESS(opened.status())) return opened.status();
    return SetInformation(opened.handle(), &info, sizeof(info), FileBasicInformation);
  });
}

// Ownership cannot change; a chown to the owner already shown succeeds.
int ChownOp(const char*, uid_t uid, gid_t gid, fuse_file_info*) {
  const bool same = (uid == static_cast<uid_t>(-1) || uid == getuid()) &&
                    (gid == static_cast<gid_t>(-1) || gid == getgid());
  return same ? 0 : -EPERM;
}

// The mode bits the view shows are fixed; a chmod is taken and ignored, as
// on other file systems without POSIX permissions.
int ChmodOp(const char*, mode_t, fuse_file_info*) { return 0; }

void* InitOp(fuse_conn_info* connection, fuse_config* config) {
  // Every listing hands the kernel each entry's attributes, not only its
  // first batch: a listing costs the same either way, and a program that
  // stats what it listed (find, ls -l, du) then needs no lookup per entry.
  connection->want &= ~FUSE_CAP_READDIRPLUS_AUTO;
  // The kernel keeps names and attributes, whether a lookup or a listing
  // gave them, for one second. What changes through the mount it drops or
  // updates at once; a change on the server shows once that second has
  // passed, as the driver reports it (the driver caches an item's
  // information itself), and a kept listing can add a second more. A name
  // found missing is asked again every time.
  config->entry_timeout = 1.0;
  config->attr_timeout = 1.0;
  config->negative_timeout = 0.0;
  config->use_ino = 0;
  config->nullpath_ok = 0;
  return fuse_get_context()->private_data;
}

}  // namespace

std::uint32_t ViewFileSystem::RequestorFor(int linuxPid) {
  std::string exe = "/unknown";
  char target[4096];
  const std::string link = "/proc/" + std::to_string(linuxPid) + "/exe";
  const ssize_t length = linuxPid > 0 ? readlink(link.c_str(), target, sizeof(target) - 1) : -1;
  if (length > 0) {
    exe.assign(target, static_cast<std::size_t>(length));
    constexpr std::string_view kDeleted = " (deleted)";
    if (exe.size() > kDeleted.size() && exe.compare(exe.size() - kDeleted.size(), kDeleted.size(),
                                                    kDeleted) == 0)
      exe.resize(exe.size() - kDeleted.size());
  }
  std::lock_guard guard(lock_);
  auto found = processes_.find(exe);
  if (found != processes_.end()) return found->second;
  std::string image = "\\Device\\HarddiskVolume3" + exe;
  for (char& c : image) c = c == '/' ? '\\' : c;
  const std::uint32_t process = sim::harness::CreateProcess(image);
  processes_.emplace(exe, process);
  names_.emplace(process, exe.substr(exe.rfind('/') + 1));
  return process;
}

std::string ViewFileSystem::NameOf(std::uint32_t process) {
  std::lock_guard guard(lock_);
  auto found = names_.find(process);
  return found == names_.end() ? "?" : found->second;
}

ViewFileSystem::OpenFile* ViewFileSystem::Register(HANDLE handle, std::uint32_t process,
                                                   std::string processName, bool append) {
  auto* owned = new OpenFile{handle, process, std::move(processName), append, {}, {}};
  std::lock_guard guard(lock_);
  open_.insert(owned);
  return owned;
}

void ViewFileSystem::Unregister(OpenFile* file) {
  {
    std::lock_guard guard(lock_);
    open_.erase(file);
  }
  delete file;
}

void ViewFileSystem::CloseAll() {
  std::unordered_set<OpenFile*> left;
  {
    std::lock_guard guard(lock_);
    left.swap(open_);
  }
  for (OpenFile* file : left) {
    {
      sim::harness::ScopedProcess as(file->process);
      Note(file->processName, "close at unmount", NtClose(file->handle));
    }
    delete file;
  }
}

void ViewFileSystem::Note(const std::string& process, const std::string& what, NTSTATUS status) {
  // The driver's debug output is shown with the trace, and dropped without
  // it (the log would otherwise grow for as long as the mount serves).
  const std::vector<std::string> debugLines = sim::harness::TakeDebugLines();
  if (!trace_) return;
  for (const std::string& line : debugLines) trace_("   [driver] " + line);
  std::string line = "[" + process + "] " + what + " -> " + StatusText(status);
  if (NT_ERROR(status)) line += " (" + std::string(strerrorname_np(ErrnoFor(status))) + ")";
  trace_(line);
}

fuse_operations MakeViewOperations() {
  fuse_operations ops{};
  ops.init = InitOp;
  ops.getattr = GetAttr;
  ops.open = OpenFileOp;
  ops.create = CreateOp;
  ops.read = ReadOp;
  ops.write = WriteOp;
  ops.flush = FlushOp;
  ops.release = ReleaseOp;
  ops.opendir = OpenDirOp;
  ops.readdir = ReadDirOp;
  ops.releasedir = ReleaseDirOp;
  ops.mkdir = MkdirOp;
  ops.unlink = UnlinkOp;
  ops.rmdir = RmdirOp;
  ops.rename = RenameOp;
  ops.truncate = TruncateOp;
  ops.utimens = UtimensOp;
  ops.chown = ChownOp;
  ops.chmod = ChmodOp;
  return ops;
}

}  // namespace tavo::tool
