// Payloads of the requests the driver sends on the request port (after the
// RequestEnvelope of port_messages.h) and the layouts of the answers it
// reads. Every payload ends with 4 bytes that carry nothing and are sent as
// zero. Names are full device paths in UTF-16, followed by one NUL that the
// name lengths count.
//
// Header-only and kernel-safe, like port_messages.h: read received bytes
// with a byte copy into these structures.
#pragma once
#include "port_messages.h"

namespace tavo::protocol {

#pragma pack(push, 2)

// Trailing bytes after the last name of every payload.
inline constexpr u32 kPayloadTrailerBytes = 4;

// Request type 3 carries a query kind after the session id.
enum QueryKind : u32 {
  kQueryItemInfo = 3,
  kQueryLongName = 58,
};

// Type 3, kind 3: the information of a server item. Payload: name bytes
// (without NUL) + 18.
struct ItemInfoRequest {
  u32 SessionId;
  u32 QueryKind;   // kQueryItemInfo
  u32 NameLength;  // bytes including the NUL
  // char16 Name[], then 4 zero bytes
};
inline constexpr u32 kItemInfoNameOffset = 12;
inline constexpr u32 kItemInfoRequestOverhead = 18;
// The answer buffer holds the name's bytes + this many.
inline constexpr u32 kItemInfoAnswerSlack = 96;
static_assert(sizeof(ItemInfoRequest) == kItemInfoNameOffset, "ItemInfoRequest header");

// The answer to an item-information request; the driver reads only the
// fields named here (bytes 0-7 are not read).
struct ItemInfoReply {
  u64 Reserved;
  i64 CreationTime;    // 100-ns units since 1601
  i64 LastAccessTime;  // not read by the driver
  i64 LastWriteTime;
  i64 ChangeTime;  // not read by the driver
  i64 EndOfFile;
  i64 AllocationSize;
  u32 FileAttributes;  // FILE_ATTRIBUTE_* bits; 0x10 marks a folder
};
inline constexpr u32 kItemInfoReplySize = 60;
static_assert(__builtin_offsetof(ItemInfoReply, CreationTime) == 8, "CreationTime");
static_assert(__builtin_offsetof(ItemInfoReply, LastWriteTime) == 24, "LastWriteTime");
static_assert(__builtin_offsetof(ItemInfoReply, EndOfFile) == 40, "EndOfFile");
static_assert(__builtin_offsetof(ItemInfoReply, AllocationSize) == 48, "AllocationSize");
static_assert(__builtin_offsetof(ItemInfoReply, FileAttributes) == 56, "FileAttributes");
static_assert(sizeof(ItemInfoReply) == kItemInfoReplySize, "ItemInfoReply size");

// Type 3, kind 58: the long form of a path whose components may be short
// (8.3) names. Payload: NameLength + 16. The answer is the long path, UTF-16,
// NUL-terminated, in at most kLongNameAnswerBytes.
struct LongNameRequest {
  u32 SessionId;
  u32 QueryKind;   // kQueryLongName
  u32 NameLength;  // bytes including the NUL
  // char16 Name[], then 4 bytes not written
};
inline constexpr u32 kLongNameNameOffset = 12;
inline constexpr u32 kLongNameRequestOverhead = 16;  // added to NameLength
inline constexpr u32 kLongNameAnswerBytes = 2560;
static_assert(sizeof(LongNameRequest) == kLongNameNameOffset, "LongNameRequest header");

// Type 1: have the server item made available under the backend root.
// Payload: name bytes (without NUL) + 542. One-byte answer; 1 = available.
inline constexpr u32 kProcessNameFieldBytes = 520;
struct DownloadRequest {
  u32 SessionId;
  u32 NotAllowed;   // 1: the requesting process may not download; refuse
  u32 IsDirectory;  // 1: the item is a folder
  char16 ProcessName[kProcessNameFieldBytes / 2];  // image name, NUL-terminated
  u32 NameLength;  // bytes including the NUL
  // char16 Name[], then 4 zero bytes
};
inline constexpr u32 kDownloadNameOffset = 536;
inline constexpr u32 kDownloadRequestOverhead = 542;
static_assert(__builtin_offsetof(DownloadRequest, ProcessName) == 12, "ProcessName");
static_assert(__builtin_offsetof(DownloadRequest, NameLength) == 532, "NameLength");
static_assert(sizeof(DownloadRequest) == kDownloadNameOffset, "DownloadRequest header");

// Type 5: delete the server item. Payload: name bytes + 18. One-byte answer;
// 1 = deleted.
struct DeleteServerItemRequest {
  u32 SessionId;
  u32 IsDirectory;
  u32 NameLength;
  // char16 Name[], then 4 zero bytes
};
inline constexpr u32 kDeleteNameOffset = 12;
inline constexpr u32 kDeleteRequestOverhead = 18;
static_assert(sizeof(DeleteServerItemRequest) == kDeleteNameOffset, "DeleteServerItemRequest");

// Type 6: make the path ready for a create. Payload: name bytes + 22.
// One-byte answer (CreatePathAnswer).
struct CreatePathRequest {
  u32 SessionId;
  u32 IsDirectory;
  u32 Reserved;
  u32 NameLength;
  // char16 Name[], then 4 zero bytes
};
inline constexpr u32 kCreatePathNameOffset = 16;
inline constexpr u32 kCreatePathRequestOverhead = 22;
static_assert(sizeof(CreatePathRequest) == kCreatePathNameOffset, "CreatePathRequest header");
enum CreatePathAnswer : u8 {
  kCreatePathPrepared = 1,  // a folder is then created on the server
  kCreatePathNameTooLong = 3,
};

// Type 4: rename a server item. Payload: both names' bytes + 24. The answer
// is a u32 (RenameAnswer).
struct RenameItemRequest {
  u32 SessionId;
  u32 LocalFolder;  // 1: the folder has a local copy the driver renames itself
  u32 OldNameLength;
  u32 NewNameLength;
  // char16 OldName[], char16 NewName[], then 4 zero bytes
};
inline constexpr u32 kRenameNamesOffset = 16;
inline constexpr u32 kRenameRequestOverhead = 24;
static_assert(sizeof(RenameItemRequest) == kRenameNamesOffset, "RenameItemRequest header");
enum RenameAnswer : u32 {
  kRenameDone = 1,
  kRenameNoAnswer = 2,  // what the answer buffer holds before the call
  kRenameAcceptedWithoutNewName = 3,
  kRenameMoveOutOfView = 5,
  kRenameDownloadFolderFirst = 6,
};

// Type 2: a directory listing (purpose 0) or the emptiness check of a
// virtual folder before its delete (purpose 1). Payload:
// 36 + DirectoryPathLength + PatternLength.
enum DirectoryQueryPurpose : u32 {
  kDirectoryQueryList = 0,
  kDirectoryQueryDeleteCheck = 1,
};
struct DirectoryQueryRequest {
  u32 SessionId;
  u32 FileInformationClass;
  u32 Purpose;
  u32 StartIndex;
  i32 SingleEntry;  // 1: return one entry; -1 otherwise
  u32 BufferLength;
  u32 DirectoryPathLength;  // bytes including the NUL
  u32 PatternLength;        // bytes including the NUL; 0: no pattern
  // char16 DirectoryPath[], char16 Pattern[] (if any), then 4 zero bytes
};
inline constexpr u32 kDirectoryQueryNamesOffset = 32;
inline constexpr u32 kDirectoryQueryOverhead = 36;
static_assert(sizeof(DirectoryQueryRequest) == kDirectoryQueryNamesOffset, "DirectoryQueryRequest");
// One-byte answer of the delete check.
enum DeleteCheckAnswer : u8 {
  kDeleteCheckMayDelete = 2,
  kDeleteCheckRefused = 3,
};

#pragma pack(pop)

}  // namespace tavo::protocol
