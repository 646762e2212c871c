#include "directory_listing.h"

#include <cstddef>
#include <cstring>

namespace tavo::tool {

DirectoryListing ListDirectory(HANDLE dir, std::size_t bufferBytes) {
  DirectoryListing listing;
  std::vector<std::uint64_t> storage((bufferBytes + 7) / 8);  // 8-byte aligned entries
  auto* buffer = reinterpret_cast<std::uint8_t*>(storage.data());
  for (bool first = true;; first = false) {
    IO_STATUS_BLOCK iosb{};
    listing.status = NtQueryDirectoryFile(dir, nullptr, nullptr, nullptr, &iosb, buffer,
                                          static_cast<ULONG>(storage.size() * 8), FileDirectoryInformation, FALSE,
                                          nullptr, first);
    if (!NT_SUCCESS(listing.status)) return listing;
    for (std::size_t offset = 0; offset < iosb.Information;) {
      FILE_DIRECTORY_INFORMATION info{};
      std::memcpy(&info, buffer + offset, offsetof(FILE_DIRECTORY_INFORMATION, FileName));
      ListedEntry entry;
      const std::size_t nameAt = offset + offsetof(FILE_DIRECTORY_INFORMATION, FileName);
      entry.name.assign(info.FileNameLength / 2, u'\0');
      if (nameAt + info.FileNameLength <= iosb.Information) {
        std::memcpy(entry.name.data(), buffer + nameAt, info.FileNameLength);
      }
      entry.size = info.EndOfFile.QuadPart;
      entry.directory = (info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      entry.allocationSize = info.AllocationSize.QuadPart;
      entry.creationTime = info.CreationTime.QuadPart;
      entry.lastAccessTime = info.LastAccessTime.QuadPart;
      entry.lastWriteTime = info.LastWriteTime.QuadPart;
      entry.changeTime = info.ChangeTime.QuadPart;
      entry.attributes = info.FileAttributes;
      listing.entries.push_back(std::move(entry));
      if (info.NextEntryOffset == 0) break;
      offset += info.NextEntryOffset;
    }
  }
}

}  // namespace tavo::tool
