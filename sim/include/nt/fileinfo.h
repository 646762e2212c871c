// File and volume information classes and their structures (wdm.h,
// ntifs.h): what NtQueryInformationFile, NtSetInformationFile,
// NtQueryDirectoryFile and NtQueryVolumeInformationFile exchange.
#pragma once
#include "ntdef.h"

typedef enum _FILE_INFORMATION_CLASS {
  FileDirectoryInformation = 1,
  FileFullDirectoryInformation,                  // 2
  FileBothDirectoryInformation,                  // 3
  FileBasicInformation,                          // 4
  FileStandardInformation,                       // 5
  FileInternalInformation,                       // 6
  FileEaInformation,                             // 7
  FileAccessInformation,                         // 8
  FileNameInformation,                           // 9
  FileRenameInformation,                         // 10
  FileLinkInformation,                           // 11
  FileNamesInformation,                          // 12
  FileDispositionInformation,                    // 13
  FilePositionInformation,                       // 14
  FileFullEaInformation,                         // 15
  FileModeInformation,                           // 16
  FileAlignmentInformation,                      // 17
  FileAllInformation,                            // 18
  FileAllocationInformation,                     // 19
  FileEndOfFileInformation,                      // 20
  FileAlternateNameInformation,                  // 21
  FileStreamInformation,                         // 22
  FilePipeInformation,                           // 23
  FilePipeLocalInformation,                      // 24
  FilePipeRemoteInformation,                     // 25
  FileMailslotQueryInformation,                  // 26
  FileMailslotSetInformation,                    // 27
  FileCompressionInformation,                    // 28
  FileObjectIdInformation,                       // 29
  FileCompletionInformation,                     // 30
  FileMoveClusterInformation,                    // 31
  FileQuotaInformation,                          // 32
  FileReparsePointInformation,                   // 33
  FileNetworkOpenInformation,                    // 34
  FileAttributeTagInformation,                   // 35
  FileTrackingInformation,                       // 36
  FileIdBothDirectoryInformation,                // 37
  FileIdFullDirectoryInformation,                // 38
  FileValidDataLengthInformation,                // 39
  FileShortNameInformation,                      // 40
  FileIoCompletionNotificationInformation,       // 41
  FileIoStatusBlockRangeInformation,             // 42
  FileIoPriorityHintInformation,                 // 43
  FileSfioReserveInformation,                    // 44
  FileSfioVolumeInformation,                     // 45
  FileHardLinkInformation,                       // 46
  FileProcessIdsUsingFileInformation,            // 47
  FileNormalizedNameInformation,                 // 48
  FileNetworkPhysicalNameInformation,            // 49
  FileIdGlobalTxDirectoryInformation,            // 50
  FileIsRemoteDeviceInformation,                 // 51
  FileUnusedInformation,                         // 52
  FileNumaNodeInformation,                       // 53
  FileStandardLinkInformation,                   // 54
  FileRemoteProtocolInformation,                 // 55
  FileRenameInformationBypassAccessCheck,        // 56
  FileLinkInformationBypassAccessCheck,          // 57
  FileVolumeNameInformation,                     // 58
  FileIdInformation,                             // 59
  FileIdExtdDirectoryInformation,                // 60
  FileReplaceCompletionInformation,              // 61
  FileHardLinkFullIdInformation,                 // 62
  FileIdExtdBothDirectoryInformation,            // 63
  FileDispositionInformationEx,                  // 64
  FileRenameInformationEx,                       // 65
  FileRenameInformationExBypassAccessCheck,      // 66
  FileDesiredStorageClassInformation,            // 67
  FileStatInformation,                           // 68
  FileMemoryPartitionInformation,                // 69
  FileStatLxInformation,                         // 70
  FileCaseSensitiveInformation,                  // 71
  FileLinkInformationEx,                         // 72
  FileLinkInformationExBypassAccessCheck,        // 73
  FileStorageReserveIdInformation,               // 74
  FileCaseSensitiveInformationForceAccessCheck,  // 75
  FileKnownFolderInformation,                    // 76
  FileMaximumInformation
} FILE_INFORMATION_CLASS,
    *PFILE_INFORMATION_CLASS;

typedef enum _FSINFOCLASS {
  FileFsVolumeInformation = 1,
  FileFsLabelInformation,         // 2
  FileFsSizeInformation,          // 3
  FileFsDeviceInformation,        // 4
  FileFsAttributeInformation,     // 5
  FileFsControlInformation,       // 6
  FileFsFullSizeInformation,      // 7
  FileFsObjectIdInformation,      // 8
  FileFsDriverPathInformation,    // 9
  FileFsVolumeFlagsInformation,   // 10
  FileFsSectorSizeInformation,    // 11
  FileFsDataCopyInformation,      // 12
  FileFsMetadataSizeInformation,  // 13
  FileFsFullSizeInformationEx,    // 14
  FileFsGuidInformation,          // 15
  FileFsMaximumInformation
} FS_INFORMATION_CLASS,
    *PFS_INFORMATION_CLASS;

// ---------------------------------------------------------------------------
// File information structures (NtQueryInformationFile / NtSetInformationFile).
// Layouts are the documented x64 ones; the static_asserts at the end pin the
// sizes and offsets the documentation gives.

typedef struct _FILE_BASIC_INFORMATION {
  LARGE_INTEGER CreationTime;
  LARGE_INTEGER LastAccessTime;
  LARGE_INTEGER LastWriteTime;
  LARGE_INTEGER ChangeTime;
  ULONG FileAttributes;
} FILE_BASIC_INFORMATION, *PFILE_BASIC_INFORMATION;

typedef struct _FILE_STANDARD_INFORMATION {
  LARGE_INTEGER AllocationSize;
  LARGE_INTEGER EndOfFile;
  ULONG NumberOfLinks;
  BOOLEAN DeletePending;
  BOOLEAN Directory;
} FILE_STANDARD_INFORMATION, *PFILE_STANDARD_INFORMATION;

typedef struct _FILE_INTERNAL_INFORMATION {
  LARGE_INTEGER IndexNumber;
} FILE_INTERNAL_INFORMATION, *PFILE_INTERNAL_INFORMATION;

typedef struct _FILE_EA_INFORMATION {
  ULONG EaSize;
} FILE_EA_INFORMATION, *PFILE_EA_INFORMATION;

typedef struct _FILE_ACCESS_INFORMATION {
  ACCESS_MASK AccessFlags;
} FILE_ACCESS_INFORMATION, *PFILE_ACCESS_INFORMATION;

// Also the layout of FileAlternateNameInformation and
// FileNormalizedNameInformation.
typedef struct _FILE_NAME_INFORMATION {
  ULONG FileNameLength;  // bytes
  WCHAR FileName[1];
} FILE_NAME_INFORMATION, *PFILE_NAME_INFORMATION;

typedef struct _FILE_POSITION_INFORMATION {
  LARGE_INTEGER CurrentByteOffset;
} FILE_POSITION_INFORMATION, *PFILE_POSITION_INFORMATION;

typedef struct _FILE_MODE_INFORMATION {
  ULONG Mode;
} FILE_MODE_INFORMATION, *PFILE_MODE_INFORMATION;

typedef struct _FILE_ALIGNMENT_INFORMATION {
  ULONG AlignmentRequirement;
} FILE_ALIGNMENT_INFORMATION, *PFILE_ALIGNMENT_INFORMATION;

typedef struct _FILE_ALL_INFORMATION {
  FILE_BASIC_INFORMATION BasicInformation;
  FILE_STANDARD_INFORMATION StandardInformation;
  FILE_INTERNAL_INFORMATION InternalInformation;
  FILE_EA_INFORMATION EaInformation;
  FILE_ACCESS_INFORMATION AccessInformation;
  FILE_POSITION_INFORMATION PositionInformation;
  FILE_MODE_INFORMATION ModeInformation;
  FILE_ALIGNMENT_INFORMATION AlignmentInformation;
  FILE_NAME_INFORMATION NameInformation;
} FILE_ALL_INFORMATION, *PFILE_ALL_INFORMATION;

typedef struct _FILE_NETWORK_OPEN_INFORMATION {
  LARGE_INTEGER CreationTime;
  LARGE_INTEGER LastAccessTime;
  LARGE_INTEGER LastWriteTime;
  LARGE_INTEGER ChangeTime;
  LARGE_INTEGER AllocationSize;
  LARGE_INTEGER EndOfFile;
  ULONG FileAttributes;
} FILE_NETWORK_OPEN_INFORMATION, *PFILE_NETWORK_OPEN_INFORMATION;

typedef struct _FILE_ATTRIBUTE_TAG_INFORMATION {
  ULONG FileAttributes;
  ULONG ReparseTag;
} FILE_ATTRIBUTE_TAG_INFORMATION, *PFILE_ATTRIBUTE_TAG_INFORMATION;

typedef struct _FILE_ALLOCATION_INFORMATION {
  LARGE_INTEGER AllocationSize;
} FILE_ALLOCATION_INFORMATION, *PFILE_ALLOCATION_INFORMATION;

typedef struct _FILE_END_OF_FILE_INFORMATION {
  LARGE_INTEGER EndOfFile;
} FILE_END_OF_FILE_INFORMATION, *PFILE_END_OF_FILE_INFORMATION;

typedef struct _FILE_DISPOSITION_INFORMATION {
  BOOLEAN DeleteFile;
} FILE_DISPOSITION_INFORMATION, *PFILE_DISPOSITION_INFORMATION;

typedef struct _FILE_DISPOSITION_INFORMATION_EX {
  ULONG Flags;
} FILE_DISPOSITION_INFORMATION_EX, *PFILE_DISPOSITION_INFORMATION_EX;

// FILE_DISPOSITION_INFORMATION_EX.Flags
#define FILE_DISPOSITION_DO_NOT_DELETE 0x00000000
#define FILE_DISPOSITION_DELETE 0x00000001
#define FILE_DISPOSITION_POSIX_SEMANTICS 0x00000002
#define FILE_DISPOSITION_FORCE_IMAGE_SECTION_CHECK 0x00000004
#define FILE_DISPOSITION_ON_CLOSE 0x00000008
#define FILE_DISPOSITION_IGNORE_READONLY_ATTRIBUTE 0x00000010

typedef struct _FILE_RENAME_INFORMATION {
  union {
    BOOLEAN ReplaceIfExists;  // FileRenameInformation
    ULONG Flags;              // FileRenameInformationEx
  };
  HANDLE RootDirectory;
  ULONG FileNameLength;  // bytes
  WCHAR FileName[1];
} FILE_RENAME_INFORMATION, *PFILE_RENAME_INFORMATION;

// FILE_RENAME_INFORMATION.Flags (FileRenameInformationEx)
#define FILE_RENAME_REPLACE_IF_EXISTS 0x00000001
#define FILE_RENAME_POSIX_SEMANTICS 0x00000002
#define FILE_RENAME_SUPPRESS_PIN_STATE_INHERITANCE 0x00000004
#define FILE_RENAME_SUPPRESS_STORAGE_RESERVE_INHERITANCE 0x00000008
#define FILE_RENAME_NO_INCREASE_AVAILABLE_SPACE 0x00000010
#define FILE_RENAME_NO_DECREASE_AVAILABLE_SPACE 0x00000020
#define FILE_RENAME_PRESERVE_AVAILABLE_SPACE 0x00000030
#define FILE_RENAME_IGNORE_READONLY_ATTRIBUTE 0x00000040
#define FILE_RENAME_FORCE_RESIZE_TARGET_SR 0x00000080
#define FILE_RENAME_FORCE_RESIZE_SOURCE_SR 0x00000100

typedef struct _FILE_LINK_INFORMATION {
  union {
    BOOLEAN ReplaceIfExists;  // FileLinkInformation
    ULONG Flags;              // FileLinkInformationEx
  };
  HANDLE RootDirectory;
  ULONG FileNameLength;  // bytes
  WCHAR FileName[1];
} FILE_LINK_INFORMATION, *PFILE_LINK_INFORMATION;

// FILE_LINK_INFORMATION.Flags (FileLinkInformationEx)
#define FILE_LINK_REPLACE_IF_EXISTS 0x00000001
#define FILE_LINK_POSIX_SEMANTICS 0x00000002
#define FILE_LINK_SUPPRESS_STORAGE_RESERVE_INHERITANCE 0x00000008
#define FILE_LINK_NO_INCREASE_AVAILABLE_SPACE 0x00000010
#define FILE_LINK_NO_DECREASE_AVAILABLE_SPACE 0x00000020
#define FILE_LINK_PRESERVE_AVAILABLE_SPACE 0x00000030
#define FILE_LINK_IGNORE_READONLY_ATTRIBUTE 0x00000040
#define FILE_LINK_FORCE_RESIZE_TARGET_SR 0x00000080
#define FILE_LINK_FORCE_RESIZE_SOURCE_SR 0x00000100

// ---------------------------------------------------------------------------
// Directory information (NtQueryDirectoryFile). Entries in a buffer are
// chained by NextEntryOffset (0 in the last one); each starts on an 8-byte
// boundary.

typedef struct _FILE_DIRECTORY_INFORMATION {
  ULONG NextEntryOffset;
  ULONG FileIndex;
  LARGE_INTEGER CreationTime;
  LARGE_INTEGER LastAccessTime;
  LARGE_INTEGER LastWriteTime;
  LARGE_INTEGER ChangeTime;
  LARGE_INTEGER EndOfFile;
  LARGE_INTEGER AllocationSize;
  ULONG FileAttributes;
  ULONG FileNameLength;
  WCHAR FileName[1];
} FILE_DIRECTORY_INFORMATION, *PFILE_DIRECTORY_INFORMATION;

typedef struct _FILE_FULL_DIR_INFORMATION {
  ULONG NextEntryOffset;
  ULONG FileIndex;
  LARGE_INTEGER CreationTime;
  LARGE_INTEGER LastAccessTime;
  LARGE_INTEGER LastWriteTime;
  LARGE_INTEGER ChangeTime;
  LARGE_INTEGER EndOfFile;
  LARGE_INTEGER AllocationSize;
  ULONG FileAttributes;
  ULONG FileNameLength;
  ULONG EaSize;
  WCHAR FileName[1];
} FILE_FULL_DIR_INFORMATION, *PFILE_FULL_DIR_INFORMATION;

typedef struct _FILE_ID_FULL_DIR_INFORMATION {
  ULONG NextEntryOffset;
  ULONG FileIndex;
  LARGE_INTEGER CreationTime;
  LARGE_INTEGER LastAccessTime;
  LARGE_INTEGER LastWriteTime;
  LARGE_INTEGER ChangeTime;
  LARGE_INTEGER EndOfFile;
  LARGE_INTEGER AllocationSize;
  ULONG FileAttributes;
  ULONG FileNameLength;
  ULONG EaSize;
  LARGE_INTEGER FileId;
  WCHAR FileName[1];
} FILE_ID_FULL_DIR_INFORMATION, *PFILE_ID_FULL_DIR_INFORMATION;

// Directory change notification (NtNotifyChangeDirectoryFile): what to
// watch for, and the records a completed request returns.
#define FILE_NOTIFY_CHANGE_FILE_NAME 0x00000001
#define FILE_NOTIFY_CHANGE_DIR_NAME 0x00000002
#define FILE_NOTIFY_CHANGE_ATTRIBUTES 0x00000004
#define FILE_NOTIFY_CHANGE_SIZE 0x00000008
#define FILE_NOTIFY_CHANGE_LAST_WRITE 0x00000010
#define FILE_NOTIFY_CHANGE_LAST_ACCESS 0x00000020
#define FILE_NOTIFY_CHANGE_CREATION 0x00000040
#define FILE_NOTIFY_CHANGE_EA 0x00000080
#define FILE_NOTIFY_CHANGE_SECURITY 0x00000100
#define FILE_NOTIFY_CHANGE_STREAM_NAME 0x00000200
#define FILE_NOTIFY_CHANGE_STREAM_SIZE 0x00000400
#define FILE_NOTIFY_CHANGE_STREAM_WRITE 0x00000800
#define FILE_NOTIFY_VALID_MASK 0x00000fff

#define FILE_ACTION_ADDED 0x00000001
#define FILE_ACTION_REMOVED 0x00000002
#define FILE_ACTION_MODIFIED 0x00000003
#define FILE_ACTION_RENAMED_OLD_NAME 0x00000004
#define FILE_ACTION_RENAMED_NEW_NAME 0x00000005

typedef struct _FILE_NOTIFY_INFORMATION {
  ULONG NextEntryOffset;
  ULONG Action;
  ULONG FileNameLength;
  WCHAR FileName[1];
} FILE_NOTIFY_INFORMATION, *PFILE_NOTIFY_INFORMATION;

typedef struct _FILE_BOTH_DIR_INFORMATION {
  ULONG NextEntryOffset;
  ULONG FileIndex;
  LARGE_INTEGER CreationTime;
  LARGE_INTEGER LastAccessTime;
  LARGE_INTEGER LastWriteTime;
  LARGE_INTEGER ChangeTime;
  LARGE_INTEGER EndOfFile;
  LARGE_INTEGER AllocationSize;
  ULONG FileAttributes;
  ULONG FileNameLength;
  ULONG EaSize;
  CCHAR ShortNameLength;  // bytes
  WCHAR ShortName[12];
  WCHAR FileName[1];
} FILE_BOTH_DIR_INFORMATION, *PFILE_BOTH_DIR_INFORMATION;

typedef struct _FILE_ID_BOTH_DIR_INFORMATION {
  ULONG NextEntryOffset;
  ULONG FileIndex;
  LARGE_INTEGER CreationTime;
  LARGE_INTEGER LastAccessTime;
  LARGE_INTEGER LastWriteTime;
  LARGE_INTEGER ChangeTime;
  LARGE_INTEGER EndOfFile;
  LARGE_INTEGER AllocationSize;
  ULONG FileAttributes;
  ULONG FileNameLength;
  ULONG EaSize;
  CCHAR ShortNameLength;  // bytes
  WCHAR ShortName[12];
  LARGE_INTEGER FileId;
  WCHAR FileName[1];
} FILE_ID_BOTH_DIR_INFORMATION, *PFILE_ID_BOTH_DIR_INFORMATION;

typedef struct _FILE_NAMES_INFORMATION {
  ULONG NextEntryOffset;
  ULONG FileIndex;
  ULONG FileNameLength;
  WCHAR FileName[1];
} FILE_NAMES_INFORMATION, *PFILE_NAMES_INFORMATION;

// ---------------------------------------------------------------------------
// Volume information (NtQueryVolumeInformationFile).

typedef struct _FILE_FS_VOLUME_INFORMATION {
  LARGE_INTEGER VolumeCreationTime;
  ULONG VolumeSerialNumber;
  ULONG VolumeLabelLength;  // bytes
  BOOLEAN SupportsObjects;
  WCHAR VolumeLabel[1];
} FILE_FS_VOLUME_INFORMATION, *PFILE_FS_VOLUME_INFORMATION;

typedef struct _FILE_FS_SIZE_INFORMATION {
  LARGE_INTEGER TotalAllocationUnits;
  LARGE_INTEGER AvailableAllocationUnits;
  ULONG SectorsPerAllocationUnit;
  ULONG BytesPerSector;
} FILE_FS_SIZE_INFORMATION, *PFILE_FS_SIZE_INFORMATION;

typedef struct _FILE_FS_FULL_SIZE_INFORMATION {
  LARGE_INTEGER TotalAllocationUnits;
  LARGE_INTEGER CallerAvailableAllocationUnits;
  LARGE_INTEGER ActualAvailableAllocationUnits;
  ULONG SectorsPerAllocationUnit;
  ULONG BytesPerSector;
} FILE_FS_FULL_SIZE_INFORMATION, *PFILE_FS_FULL_SIZE_INFORMATION;

typedef struct _FILE_FS_ATTRIBUTE_INFORMATION {
  ULONG FileSystemAttributes;
  LONG MaximumComponentNameLength;
  ULONG FileSystemNameLength;  // bytes
  WCHAR FileSystemName[1];
} FILE_FS_ATTRIBUTE_INFORMATION, *PFILE_FS_ATTRIBUTE_INFORMATION;

typedef struct _FILE_FS_DEVICE_INFORMATION {
  DEVICE_TYPE DeviceType;
  ULONG Characteristics;
} FILE_FS_DEVICE_INFORMATION, *PFILE_FS_DEVICE_INFORMATION;

// FILE_FS_ATTRIBUTE_INFORMATION.FileSystemAttributes
#define FILE_CASE_SENSITIVE_SEARCH 0x00000001
#define FILE_CASE_PRESERVED_NAMES 0x00000002
#define FILE_UNICODE_ON_DISK 0x00000004
#define FILE_PERSISTENT_ACLS 0x00000008
#define FILE_FILE_COMPRESSION 0x00000010
#define FILE_VOLUME_QUOTAS 0x00000020
#define FILE_SUPPORTS_SPARSE_FILES 0x00000040
#define FILE_SUPPORTS_REPARSE_POINTS 0x00000080
#define FILE_SUPPORTS_REMOTE_STORAGE 0x00000100
#define FILE_RETURNS_CLEANUP_RESULT_INFO 0x00000200
#define FILE_SUPPORTS_POSIX_UNLINK_RENAME 0x00000400
#define FILE_SUPPORTS_BYPASS_IO 0x00000800
#define FILE_VOLUME_IS_COMPRESSED 0x00008000
#define FILE_SUPPORTS_OBJECT_IDS 0x00010000
#define FILE_SUPPORTS_ENCRYPTION 0x00020000
#define FILE_NAMED_STREAMS 0x00040000
#define FILE_READ_ONLY_VOLUME 0x00080000
#define FILE_SEQUENTIAL_WRITE_ONCE 0x00100000
#define FILE_SUPPORTS_TRANSACTIONS 0x00200000
#define FILE_SUPPORTS_HARD_LINKS 0x00400000
#define FILE_SUPPORTS_EXTENDED_ATTRIBUTES 0x00800000
#define FILE_SUPPORTS_OPEN_BY_FILE_ID 0x01000000
#define FILE_SUPPORTS_USN_JOURNAL 0x02000000
#define FILE_SUPPORTS_INTEGRITY_STREAMS 0x04000000
#define FILE_SUPPORTS_BLOCK_REFCOUNTING 0x08000000
#define FILE_SUPPORTS_SPARSE_VDL 0x10000000
#define FILE_DAX_VOLUME 0x20000000
#define FILE_SUPPORTS_GHOSTING 0x40000000

// ---------------------------------------------------------------------------
// I/O control codes (devioctl.h) and the file-system controls in use.

#ifndef CTL_CODE
#define CTL_CODE(DeviceType, Function, Method, Access) \
  (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))
#endif
#define DEVICE_TYPE_FROM_CTL_CODE(ctrlCode) (((ULONG)(ctrlCode & 0xffff0000)) >> 16)
#define METHOD_FROM_CTL_CODE(ctrlCode) ((ULONG)(ctrlCode & 3))
#define METHOD_BUFFERED 0
#define METHOD_IN_DIRECT 1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER 3
#define FILE_ANY_ACCESS 0
#define FILE_SPECIAL_ACCESS (FILE_ANY_ACCESS)
#define FILE_READ_ACCESS (0x0001)
#define FILE_WRITE_ACCESS (0x0002)

#define FSCTL_GET_REPARSE_POINT \
  CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 42, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define FSCTL_READ_FILE_USN_DATA \
  CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 58, METHOD_NEITHER, FILE_ANY_ACCESS)
#define FSCTL_QUERY_ALLOCATED_RANGES \
  CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 51, METHOD_NEITHER, FILE_READ_ACCESS)
#define FSCTL_REQUEST_FILTER_OPLOCK \
  CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 23, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define FSCTL_REQUEST_OPLOCK \
  CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 144, METHOD_BUFFERED, FILE_ANY_ACCESS)

typedef struct _FILE_ALLOCATED_RANGE_BUFFER {
  LARGE_INTEGER FileOffset;
  LARGE_INTEGER Length;
} FILE_ALLOCATED_RANGE_BUFFER, *PFILE_ALLOCATED_RANGE_BUFFER;

// Special ByteOffset values of NtReadFile/NtWriteFile (HighPart -1).
#ifndef FILE_WRITE_TO_END_OF_FILE
#define FILE_WRITE_TO_END_OF_FILE 0xffffffff
#endif
#ifndef FILE_USE_FILE_POINTER_POSITION
#define FILE_USE_FILE_POINTER_POSITION 0xfffffffe
#endif

// FILE_ALIGNMENT_INFORMATION.AlignmentRequirement
#ifndef FILE_BYTE_ALIGNMENT
#define FILE_BYTE_ALIGNMENT 0x00000000
#define FILE_WORD_ALIGNMENT 0x00000001
#define FILE_LONG_ALIGNMENT 0x00000003
#define FILE_QUAD_ALIGNMENT 0x00000007
#endif

#ifdef __cplusplus
static_assert(sizeof(FILE_BASIC_INFORMATION) == 40, "FILE_BASIC_INFORMATION");
static_assert(sizeof(FILE_STANDARD_INFORMATION) == 24, "FILE_STANDARD_INFORMATION");
static_assert(FIELD_OFFSET(FILE_NAME_INFORMATION, FileName) == 4, "FILE_NAME_INFORMATION");
static_assert(FIELD_OFFSET(FILE_ALL_INFORMATION, StandardInformation) == 40,
              "FILE_ALL_INFORMATION");
static_assert(FIELD_OFFSET(FILE_ALL_INFORMATION, InternalInformation) == 64,
              "FILE_ALL_INFORMATION");
static_assert(FIELD_OFFSET(FILE_ALL_INFORMATION, PositionInformation) == 80,
              "FILE_ALL_INFORMATION");
static_assert(FIELD_OFFSET(FILE_ALL_INFORMATION, NameInformation) == 96, "FILE_ALL_INFORMATION");
static_assert(FIELD_OFFSET(FILE_ALL_INFORMATION, NameInformation.FileName) == 100,
              "FILE_ALL_INFORMATION");
static_assert(sizeof(FILE_NETWORK_OPEN_INFORMATION) == 56, "FILE_NETWORK_OPEN_INFORMATION");
static_assert(sizeof(FILE_ATTRIBUTE_TAG_INFORMATION) == 8, "FILE_ATTRIBUTE_TAG_INFORMATION");
static_assert(FIELD_OFFSET(FILE_RENAME_INFORMATION, RootDirectory) == 8, "FILE_RENAME_INFORMATION");
static_assert(FIELD_OFFSET(FILE_RENAME_INFORMATION, FileNameLength) == 16,
              "FILE_RENAME_INFORMATION");
static_assert(FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName) == 20, "FILE_RENAME_INFORMATION");
static_assert(sizeof(FILE_RENAME_INFORMATION) == 24, "FILE_RENAME_INFORMATION");
static_assert(FIELD_OFFSET(FILE_LINK_INFORMATION, FileName) == 20, "FILE_LINK_INFORMATION");
static_assert(FIELD_OFFSET(FILE_DIRECTORY_INFORMATION, FileAttributes) == 56,
              "FILE_DIRECTORY_INFORMATION");
static_assert(FIELD_OFFSET(FILE_DIRECTORY_INFORMATION, FileName) == 64,
              "FILE_DIRECTORY_INFORMATION");
static_assert(FIELD_OFFSET(FILE_FULL_DIR_INFORMATION, EaSize) == 64, "FILE_FULL_DIR_INFORMATION");
static_assert(FIELD_OFFSET(FILE_FULL_DIR_INFORMATION, FileName) == 68, "FILE_FULL_DIR_INFORMATION");
static_assert(FIELD_OFFSET(FILE_ID_FULL_DIR_INFORMATION, FileId) == 72,
              "FILE_ID_FULL_DIR_INFORMATION");
static_assert(FIELD_OFFSET(FILE_ID_FULL_DIR_INFORMATION, FileName) == 80,
              "FILE_ID_FULL_DIR_INFORMATION");
static_assert(FIELD_OFFSET(FILE_BOTH_DIR_INFORMATION, ShortNameLength) == 68,
              "FILE_BOTH_DIR_INFORMATION");
static_assert(FIELD_OFFSET(FILE_BOTH_DIR_INFORMATION, ShortName) == 70,
              "FILE_BOTH_DIR_INFORMATION");
static_assert(FIELD_OFFSET(FILE_BOTH_DIR_INFORMATION, FileName) == 94, "FILE_BOTH_DIR_INFORMATION");
static_assert(FIELD_OFFSET(FILE_ID_BOTH_DIR_INFORMATION, FileId) == 96,
              "FILE_ID_BOTH_DIR_INFORMATION");
static_assert(FIELD_OFFSET(FILE_ID_BOTH_DIR_INFORMATION, FileName) == 104,
              "FILE_ID_BOTH_DIR_INFORMATION");
static_assert(FIELD_OFFSET(FILE_NAMES_INFORMATION, FileName) == 12, "FILE_NAMES_INFORMATION");
static_assert(FIELD_OFFSET(FILE_FS_VOLUME_INFORMATION, SupportsObjects) == 16,
              "FILE_FS_VOLUME_INFORMATION");
static_assert(FIELD_OFFSET(FILE_FS_VOLUME_INFORMATION, VolumeLabel) == 18,
              "FILE_FS_VOLUME_INFORMATION");
static_assert(sizeof(FILE_FS_SIZE_INFORMATION) == 24, "FILE_FS_SIZE_INFORMATION");
static_assert(sizeof(FILE_FS_FULL_SIZE_INFORMATION) == 32, "FILE_FS_FULL_SIZE_INFORMATION");
static_assert(FIELD_OFFSET(FILE_FS_ATTRIBUTE_INFORMATION, FileSystemName) == 12,
              "FILE_FS_ATTRIBUTE_INFORMATION");
static_assert(sizeof(FILE_FS_DEVICE_INFORMATION) == 8, "FILE_FS_DEVICE_INFORMATION");
#ifdef FILE_DEVICE_FILE_SYSTEM
static_assert(FSCTL_GET_REPARSE_POINT == 0x000900A8, "FSCTL_GET_REPARSE_POINT");
static_assert(FSCTL_READ_FILE_USN_DATA == 0x000900EB, "FSCTL_READ_FILE_USN_DATA");
static_assert(FSCTL_QUERY_ALLOCATED_RANGES == 0x000940CF, "FSCTL_QUERY_ALLOCATED_RANGES");
static_assert(FSCTL_REQUEST_FILTER_OPLOCK == 0x0009005C, "FSCTL_REQUEST_FILTER_OPLOCK");
static_assert(FSCTL_REQUEST_OPLOCK == 0x00090240, "FSCTL_REQUEST_OPLOCK");
#endif
#endif
