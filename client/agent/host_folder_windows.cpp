// HostFolder on Windows: a folder is an open directory handle, and each
// entry is opened relative to it (NtCreateFile with the folder as
// RootDirectory) with FILE_OPEN_REPARSE_POINT, so a symbolic link or
// junction is opened as itself; the reparse attribute is then checked on
// the handle that is used, never on a name looked up again.
#ifdef _WIN32

#include <ntapi.h>

#include <algorithm>
#include <cstring>

#include "host_folder.h"
#include "nt_handle.h"

namespace tavo::agent {
namespace fs = std::filesystem;
namespace {

using Handle = NtHandle;

std::u16string Units(const fs::path& name) {
  const std::wstring& native = name.native();
  return std::u16string(native.begin(), native.end());
}

// `name` in the folder `root` (an empty name: the folder itself); links
// are opened as themselves.
NTSTATUS OpenIn(HANDLE root, const fs::path& name, ACCESS_MASK access, ULONG disposition,
                ULONG options, Handle* handle, ULONG attributes = FILE_ATTRIBUTE_NORMAL) {
  std::u16string units = Units(name);
  if (units.size() > 32767) return STATUS_OBJECT_NAME_INVALID;
  UNICODE_STRING unicode;
  unicode.Length = static_cast<USHORT>(units.size() * sizeof(WCHAR));
  unicode.MaximumLength = unicode.Length;
  unicode.Buffer = reinterpret_cast<PWCH>(units.data());
  OBJECT_ATTRIBUTES block;
  InitializeObjectAttributes(&block, &unicode, OBJ_CASE_INSENSITIVE, root, nullptr);
  IO_STATUS_BLOCK iosb{};
  return NtCreateFile(handle->out(), access | SYNCHRONIZE, &block, &iosb, nullptr, attributes,
                      kShareAll, disposition,
                      options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
}

// The attributes of an open item; nothing when they cannot be read.
std::optional<FILE_NETWORK_OPEN_INFORMATION> Attributes(HANDLE handle) {
  FILE_NETWORK_OPEN_INFORMATION info{};
  IO_STATUS_BLOCK iosb{};
  if (!NT_SUCCESS(NtQueryInformationFile(handle, &iosb, &info, sizeof(info),
                                         FileNetworkOpenInformation))) {
    return std::nullopt;
  }
  return info;
}

bool IsLink(HANDLE handle) {
  auto info = Attributes(handle);
  return !info || (info->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

HostEntry::Kind KindOf(ULONG attributes) {
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return HostEntry::Kind::kLink;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return HostEntry::Kind::kFolder;
  return HostEntry::Kind::kFile;
}

// The entries of the folder `root` (a fresh handle: a listing's position
// and name filter belong to the handle); with `only`, the entry of that
// name alone.
bool Enumerate(HANDLE root, const std::u16string* only, std::vector<HostEntry>* entries) {
  Handle folder;
  if (!NT_SUCCESS(OpenIn(root, fs::path(), FILE_LIST_DIRECTORY, FILE_OPEN, FILE_DIRECTORY_FILE,
                         &folder))) {
    return false;
  }
  std::u16string filter = only ? *only : u"";
  UNICODE_STRING mask;
  mask.Length = static_cast<USHORT>(filter.size() * sizeof(WCHAR));
  mask.MaximumLength = mask.Length;
  mask.Buffer = reinterpret_cast<PWCH>(filter.data());
  std::vector<std::uint8_t> buffer(64 * 1024);
  for (bool first = true;; first = false) {
    IO_STATUS_BLOCK iosb{};
    const NTSTATUS status = NtQueryDirectoryFile(
        folder.get(), nullptr, nullptr, nullptr, &iosb, buffer.data(),
        static_cast<ULONG>(buffer.size()), FileIdFullDirectoryInformation, FALSE,
        first && only ? &mask : nullptr, first ? TRUE : FALSE);
    if (status == STATUS_NO_MORE_FILES || status == STATUS_NO_SUCH_FILE) return true;
    if (!NT_SUCCESS(status)) return false;
    for (std::size_t offset = 0;;) {
      FILE_ID_FULL_DIR_INFORMATION entry;
      std::memcpy(&entry, buffer.data() + offset,
                  FIELD_OFFSET(FILE_ID_FULL_DIR_INFORMATION, FileName));
      std::wstring name(entry.FileNameLength / 2, L'\0');
      std::memcpy(name.data(),
                  buffer.data() + offset + FIELD_OFFSET(FILE_ID_FULL_DIR_INFORMATION, FileName),
                  entry.FileNameLength);
      if (name != L"." && name != L"..") {
        HostEntry found;
        found.name = name;
        found.kind = KindOf(entry.FileAttributes);
        if (found.kind == HostEntry::Kind::kFile) found.size = entry.EndOfFile.QuadPart;
        found.lastWriteTime = entry.LastWriteTime.QuadPart;
        found.id = static_cast<std::uint64_t>(entry.FileId.QuadPart);
        entries->push_back(std::move(found));
      }
      if (entry.NextEntryOffset == 0) break;
      offset += entry.NextEntryOffset;
    }
  }
}

}  // namespace

std::unique_ptr<HostFolder> HostFolder::Open(const fs::path& path) {
  HANDLE handle = CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE |
                                                FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                              kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                              nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  return std::unique_ptr<HostFolder>(new HostFolder(handle));
}

HostFolder::~HostFolder() { NtClose(handle_); }

std::unique_ptr<HostFolder> HostFolder::OpenFolder(const fs::path& name) const {
  Handle folder;
  if (!NT_SUCCESS(OpenIn(handle_, name, FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES,
                         FILE_OPEN, FILE_DIRECTORY_FILE, &folder)) ||
      IsLink(folder.get())) {
    return nullptr;
  }
  return std::unique_ptr<HostFolder>(new HostFolder(folder.release()));
}

std::optional<HostEntry> HostFolder::Lookup(const fs::path& name) const {
  if (name == ".") {
    auto info = Attributes(handle_);
    if (!info) return std::nullopt;
    HostEntry entry;
    entry.name = name;
    entry.kind = KindOf(info->FileAttributes);
    entry.lastWriteTime = info->LastWriteTime.QuadPart;
    return entry;
  }
  const std::u16string units = Units(name);
  // A name filter with wildcards would match other names.
  if (units.find_first_of(u"*?<>\"") != std::u16string::npos) return std::nullopt;
  std::vector<HostEntry> entries;
  if (!Enumerate(handle_, &units, &entries) || entries.size() != 1) return std::nullopt;
  return entries.front();
}

bool HostFolder::List(std::vector<HostEntry>* entries) const {
  return Enumerate(handle_, nullptr, entries);
}

bool HostFolder::Read(const fs::path& name, Bytes* contents) const {
  Handle file;
  if (!NT_SUCCESS(OpenIn(handle_, name, FILE_READ_DATA | FILE_READ_ATTRIBUTES, FILE_OPEN,
                         FILE_NON_DIRECTORY_FILE, &file)) ||
      IsLink(file.get())) {
    return false;
  }
  return ReadToEnd(file.get(), contents);
}

bool HostFolder::WriteNew(const fs::path& name, const Bytes& contents) {
  Handle file;
  if (!NT_SUCCESS(OpenIn(handle_, name, FILE_WRITE_DATA | FILE_READ_ATTRIBUTES, FILE_CREATE,
                         FILE_NON_DIRECTORY_FILE, &file, FILE_ATTRIBUTE_ARCHIVE))) {
    return false;
  }
  return WriteWhole(file.get(), contents);
}

bool HostFolder::MakeFolder(const fs::path& name) {
  Handle folder;
  return NT_SUCCESS(OpenIn(handle_, name, FILE_READ_ATTRIBUTES, FILE_CREATE, FILE_DIRECTORY_FILE,
                           &folder, FILE_ATTRIBUTE_DIRECTORY));
}

bool HostFolder::Remove(const fs::path& name, bool folder) {
  Handle item;
  if (!NT_SUCCESS(OpenIn(handle_, name, DELETE | FILE_READ_ATTRIBUTES, FILE_OPEN,
                         folder ? FILE_DIRECTORY_FILE : FILE_NON_DIRECTORY_FILE, &item)) ||
      IsLink(item.get())) {
    return false;
  }
  // The one member is named DeleteFile in the WDK and DoDeleteFile in
  // mingw-w64's winternl.h: set it by position.
  FILE_DISPOSITION_INFORMATION disposition{TRUE};
  IO_STATUS_BLOCK iosb{};
  return NT_SUCCESS(NtSetInformationFile(item.get(), &iosb, &disposition, sizeof(disposition),
                                         FileDispositionInformation));
}

bool HostFolder::Rename(const fs::path& name, HostFolder& to, const fs::path& newName) {
  Handle item;
  if (!NT_SUCCESS(OpenIn(handle_, name, DELETE | FILE_READ_ATTRIBUTES, FILE_OPEN, 0, &item)) ||
      IsLink(item.get())) {
    return false;
  }
  const std::u16string target = Units(newName);
  const std::size_t header = FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName);
  std::vector<std::uint8_t> buffer(header + target.size() * 2 + 2, 0);
  auto* rename = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer.data());
  rename->ReplaceIfExists = TRUE;
  rename->RootDirectory = to.handle_;
  rename->FileNameLength = static_cast<ULONG>(target.size() * 2);
  std::memcpy(buffer.data() + header, target.data(), target.size() * 2);
  IO_STATUS_BLOCK iosb{};
  return NT_SUCCESS(NtSetInformationFile(item.get(), &iosb, rename,
                                         static_cast<ULONG>(buffer.size()), FileRenameInformation));
}

}  // namespace tavo::agent

#endif  // _WIN32
