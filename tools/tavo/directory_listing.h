// A whole directory listing through NtQueryDirectoryFile, as `dir` reads
// one: FILE_DIRECTORY_INFORMATION in buffers of a few entries until the
// listing ends.
#pragma once

#include <ntapi.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tavo::tool {

struct ListedEntry {
  std::u16string name;
  std::int64_t size = 0;
  bool directory = false;
  // As the listing reports them (FILE_DIRECTORY_INFORMATION).
  std::int64_t allocationSize = 0;
  std::int64_t creationTime = 0, lastAccessTime = 0, lastWriteTime = 0, changeTime = 0;
  std::uint32_t attributes = 0;
};

struct DirectoryListing {
  NTSTATUS status = STATUS_PENDING;  // the status that ended it
  std::vector<ListedEntry> entries;
};

// Lists the folder open on `dir` (FILE_LIST_DIRECTORY), as the calling
// process, in queries of `bufferBytes` each.
DirectoryListing ListDirectory(HANDLE dir, std::size_t bufferBytes = 512);

}  // namespace tavo::tool
