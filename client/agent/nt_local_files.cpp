#include "nt_local_files.h"

#include <ntapi.h>

#include <cstring>

#include "nt_handle.h"
#include "text.h"
#include "view_paths.h"

namespace tavo::agent {
namespace {

using Handle = NtHandle;

NTSTATUS Open(const std::u16string& path, ACCESS_MASK access, ULONG disposition, ULONG options,
              Handle* handle, ULONG attributes = FILE_ATTRIBUTE_NORMAL) {
  // A counted string holds at most 32767 units; a longer path would be cut
  // to a prefix naming another item.
  if (path.size() > kMaxPathChars) return STATUS_OBJECT_NAME_INVALID;
  std::u16string name = path;
  UNICODE_STRING unicode;
  unicode.Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
  unicode.MaximumLength = unicode.Length;
  unicode.Buffer = reinterpret_cast<PWCH>(name.data());
  OBJECT_ATTRIBUTES attributesBlock;
  InitializeObjectAttributes(&attributesBlock, &unicode, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  IO_STATUS_BLOCK iosb{};
  return NtCreateFile(handle->out(), access | SYNCHRONIZE, &attributesBlock, &iosb, nullptr,
                      attributes, kShareAll, disposition, options | FILE_SYNCHRONOUS_IO_NONALERT,
                      nullptr, 0);
}

ItemInfo FromNetworkOpen(const FILE_NETWORK_OPEN_INFORMATION& info, std::u16string name) {
  ItemInfo item;
  item.name = std::move(name);
  item.isDirectory = (info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  item.size = item.isDirectory ? 0 : static_cast<std::uint64_t>(info.EndOfFile.QuadPart);
  item.allocationSize =
      item.isDirectory ? 0 : static_cast<std::uint64_t>(info.AllocationSize.QuadPart);
  item.creationTime = info.CreationTime.QuadPart;
  item.lastAccessTime = info.LastAccessTime.QuadPart;
  item.lastWriteTime = info.LastWriteTime.QuadPart;
  item.changeTime = info.ChangeTime.QuadPart;
  item.attributes = info.FileAttributes;
  return item;
}

}  // namespace

NtLocalFiles::NtLocalFiles(std::u16string volumeDevice, std::u16string dosDrive)
    : volumeDevice_(std::move(volumeDevice)), dosDrive_(std::move(dosDrive)) {}

std::u16string NtLocalFiles::DosForm(const std::u16string& path) const {
  if (!IsAtOrUnder(path, volumeDevice_)) return path;
  return u"\\??\\" + dosDrive_ + path.substr(volumeDevice_.size());
}

std::optional<ItemInfo> NtLocalFiles::Stat(const std::u16string& path) {
  Handle handle;
  if (!NT_SUCCESS(Open(path, FILE_READ_ATTRIBUTES, FILE_OPEN, 0, &handle))) return std::nullopt;
  FILE_NETWORK_OPEN_INFORMATION info{};
  IO_STATUS_BLOCK iosb{};
  if (!NT_SUCCESS(NtQueryInformationFile(handle.get(), &iosb, &info, sizeof(info),
                                         FileNetworkOpenInformation))) {
    return std::nullopt;
  }
  ItemInfo item = FromNetworkOpen(info, LeafOf(path));
  FILE_INTERNAL_INFORMATION id{};
  if (NT_SUCCESS(
          NtQueryInformationFile(handle.get(), &iosb, &id, sizeof(id), FileInternalInformation))) {
    item.fileId = static_cast<std::uint64_t>(id.IndexNumber.QuadPart);
  }
  return item;
}

std::optional<std::vector<ItemInfo>> NtLocalFiles::List(const std::u16string& path) {
  Handle handle;
  if (!NT_SUCCESS(Open(path, FILE_LIST_DIRECTORY, FILE_OPEN, FILE_DIRECTORY_FILE, &handle))) {
    return std::nullopt;
  }
  std::vector<ItemInfo> items;
  std::vector<std::uint8_t> buffer(64 * 1024);
  bool first = true;
  for (;;) {
    IO_STATUS_BLOCK iosb{};
    const NTSTATUS status =
        NtQueryDirectoryFile(handle.get(), nullptr, nullptr, nullptr, &iosb, buffer.data(),
                             static_cast<ULONG>(buffer.size()), FileIdFullDirectoryInformation,
                             FALSE, nullptr, first ? TRUE : FALSE);
    first = false;
    if (status == STATUS_NO_MORE_FILES || status == STATUS_NO_SUCH_FILE) break;
    if (!NT_SUCCESS(status)) return std::nullopt;
    std::size_t offset = 0;
    for (;;) {
      FILE_ID_FULL_DIR_INFORMATION entry;
      std::memcpy(&entry, buffer.data() + offset,
                  FIELD_OFFSET(FILE_ID_FULL_DIR_INFORMATION, FileName));
      std::u16string name(entry.FileNameLength / 2, u'\0');
      std::memcpy(name.data(),
                  buffer.data() + offset + FIELD_OFFSET(FILE_ID_FULL_DIR_INFORMATION, FileName),
                  entry.FileNameLength);
      if (name != u"." && name != u"..") {
        ItemInfo item;
        item.name = name;
        item.isDirectory = (entry.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        item.size = item.isDirectory ? 0 : static_cast<std::uint64_t>(entry.EndOfFile.QuadPart);
        item.allocationSize =
            item.isDirectory ? 0 : static_cast<std::uint64_t>(entry.AllocationSize.QuadPart);
        item.creationTime = entry.CreationTime.QuadPart;
        item.lastAccessTime = entry.LastAccessTime.QuadPart;
        item.lastWriteTime = entry.LastWriteTime.QuadPart;
        item.changeTime = entry.ChangeTime.QuadPart;
        item.attributes = entry.FileAttributes;
        item.fileId = static_cast<std::uint64_t>(entry.FileId.QuadPart);
        items.push_back(std::move(item));
      }
      if (entry.NextEntryOffset == 0) break;
      offset += entry.NextEntryOffset;
    }
  }
  return items;
}

bool NtLocalFiles::ReadAll(const std::u16string& path, Bytes* contents) {
  Handle handle;
  if (!NT_SUCCESS(Open(path, FILE_READ_DATA | FILE_READ_ATTRIBUTES, FILE_OPEN,
                       FILE_NON_DIRECTORY_FILE, &handle))) {
    return false;
  }
  return ReadToEnd(handle.get(), contents);
}

bool NtLocalFiles::WriteAll(const std::u16string& path, const Bytes& contents) {
  Handle handle;
  if (!NT_SUCCESS(Open(path, FILE_WRITE_DATA | FILE_READ_ATTRIBUTES, FILE_OVERWRITE_IF,
                       FILE_NON_DIRECTORY_FILE, &handle, FILE_ATTRIBUTE_ARCHIVE))) {
    return false;
  }
  return WriteWhole(handle.get(), contents);
}

bool NtLocalFiles::MakeDirectory(const std::u16string& path) {
  Handle handle;
  return NT_SUCCESS(Open(path, FILE_READ_ATTRIBUTES, FILE_OPEN_IF, FILE_DIRECTORY_FILE, &handle,
                         FILE_ATTRIBUTE_DIRECTORY));
}

bool NtLocalFiles::Remove(const std::u16string& path) {
  Handle handle;
  if (!NT_SUCCESS(Open(path, DELETE | FILE_READ_ATTRIBUTES, FILE_OPEN, 0, &handle))) return false;
  // The one member is named DeleteFile in the WDK and DoDeleteFile in
  // mingw-w64's winternl.h (and windows.h renames DeleteFile): set it by
  // position.
  FILE_DISPOSITION_INFORMATION disposition{TRUE};
  IO_STATUS_BLOCK iosb{};
  return NT_SUCCESS(NtSetInformationFile(handle.get(), &iosb, &disposition, sizeof(disposition),
                                         FileDispositionInformation));
}

bool NtLocalFiles::Rename(const std::u16string& from, const std::u16string& to, bool replace) {
  Handle handle;
  if (!NT_SUCCESS(Open(from, DELETE | FILE_READ_ATTRIBUTES, FILE_OPEN, 0, &handle))) return false;
  const std::u16string target = DosForm(to);
  const std::size_t header = FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName);
  std::vector<std::uint8_t> buffer(header + target.size() * 2 + 2, 0);
  auto* rename = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer.data());
  rename->ReplaceIfExists = replace ? TRUE : FALSE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<ULONG>(target.size() * 2);
  std::memcpy(buffer.data() + header, target.data(), target.size() * 2);
  IO_STATUS_BLOCK iosb{};
  return NT_SUCCESS(NtSetInformationFile(handle.get(), &iosb, rename,
                                         static_cast<ULONG>(buffer.size()), FileRenameInformation));
}

}  // namespace tavo::agent
