// Types shared by the agent's parts: the NT status codes it answers with
// (a Windows build of the agent sees windows.h, not ntstatus.h, so they are
// spelled out here with their documented values), and the description of
// one file or folder, whether it lives on the server or on the local disk.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tavo::agent {

using Bytes = std::vector<std::uint8_t>;

namespace status {
inline constexpr std::int32_t kSuccess = 0;
inline constexpr std::int32_t kBufferOverflow = static_cast<std::int32_t>(0x80000005);
inline constexpr std::int32_t kNoMoreFiles = static_cast<std::int32_t>(0x80000006);
inline constexpr std::int32_t kUnsuccessful = static_cast<std::int32_t>(0xC0000001);
inline constexpr std::int32_t kInvalidInfoClass = static_cast<std::int32_t>(0xC0000003);
inline constexpr std::int32_t kInfoLengthMismatch = static_cast<std::int32_t>(0xC0000004);
inline constexpr std::int32_t kInvalidParameter = static_cast<std::int32_t>(0xC000000D);
inline constexpr std::int32_t kNoSuchFile = static_cast<std::int32_t>(0xC000000F);
inline constexpr std::int32_t kObjectNameInvalid = static_cast<std::int32_t>(0xC0000033);
inline constexpr std::int32_t kObjectNameNotFound = static_cast<std::int32_t>(0xC0000034);
inline constexpr std::int32_t kObjectPathNotFound = static_cast<std::int32_t>(0xC000003A);
inline constexpr std::int32_t kNameTooLong = static_cast<std::int32_t>(0xC0000106);
}  // namespace status

inline constexpr std::uint32_t kAttributeDirectory = 0x10;  // FILE_ATTRIBUTE_DIRECTORY
inline constexpr std::uint32_t kAttributeArchive = 0x20;    // FILE_ATTRIBUTE_ARCHIVE
inline constexpr std::uint32_t kAttributeNormal = 0x80;     // FILE_ATTRIBUTE_NORMAL

// One file or folder. Times are 100-ns units since 1601 (UTC).
struct ItemInfo {
  std::u16string name;  // last component
  bool isDirectory = false;
  std::uint64_t size = 0;            // end of file; 0 for folders
  std::uint64_t allocationSize = 0;  // 0 for folders
  std::int64_t creationTime = 0;
  std::int64_t lastAccessTime = 0;
  std::int64_t lastWriteTime = 0;
  std::int64_t changeTime = 0;
  std::uint32_t attributes = 0;  // FILE_ATTRIBUTE_* bits
  std::uint64_t fileId = 0;

  bool operator==(const ItemInfo&) const = default;
};

// The attributes a listing reports: a file without attributes is NORMAL, a
// folder always carries DIRECTORY.
inline std::uint32_t ReportedAttributes(const ItemInfo& item) {
  std::uint32_t attributes = item.attributes;
  if (item.isDirectory) attributes |= kAttributeDirectory;
  return attributes == 0 ? kAttributeNormal : attributes;
}

}  // namespace tavo::agent
