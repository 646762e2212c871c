// File and volume information classes and their structures (wdm.h,
// ntifs.h): what NtQueryInformationFile, NtSetInformationFile,
// NtQueryDirectoryFile and NtQueryVolumeInformationFile exchange.
#pragma once
#include "ntdef.h"

typedef enum _FILE_INFORMATION_CLASS {
  FileDirectoryInformation = 1,
  FileFullDirectoryInformation,             // 2
  FileBothDirectoryInformation,             // 3
  FileBasicInformation,                     // 4
  FileStandardInformation,                  // 5
  FileInternalInformation,                  // 6
  FileEaInformation,                        // 7
  FileAccessInformation,                    // 8
  FileNameInformation,                      // 9
  FileRenameInformation,                    // 10
  FileLinkInformation,                      // 11
  FileNamesInformation,                     // 12
  FileDispositionInformation,               // 13
  FilePositionInformation,                  // 14
  FileFullEaInformation,                    // 15
  FileModeInformation,                      // 16
  FileAlignmentInformation,                 // 17
  FileAllInformation,                       // 18
  FileAllocationInformation,                // 19
  FileEndOfFileInformation,                 // 20
  FileAlternateNameInformation,             // 21
  FileStreamInformation,                    // 22
  FilePipeInformation,                      // 23
  FilePipeLocalInformation,                 // 24
  FilePipeRemoteInformation,                // 25
  FileMailslotQueryInformation,             // 26
  FileMailslotSetInformation,               // 27
  FileCompressionInformation,               // 28
  FileObjectIdInformation,                  // 29
  FileCompletionInformation,                // 30
  FileMoveClusterInformation,               // 31
  FileQuotaInformation,                     // 32
  FileReparsePointInformation,              // 33
  FileNetworkOpenInformation,               // 34
  FileAttributeTagInformation,              // 35
  FileTrackingInformation,                  // 36
  FileIdBothDirectoryInformation,           // 37
  FileIdFullDirectoryInformation,           // 38
  FileValidDataLengthInformation,           // 39
  FileShortNameInformation,                 // 40
  FileIoCompletionNotificationInformation,  // 41
  FileIoStatusBlockRangeInformation,        // 42
  FileIoPriorityHintInformation,            // 43
  FileSfioReserveInformation,               // 44
  FileSfioVolumeInformation,                // 45
  FileHardLinkInformation,                  // 46
  FileProcessIdsUsingFileInformation,       // 47
  FileNormalizedNameInformation,            // 48
  FileNetworkPhysicalNameInformation,       // 49
  FileIdGlobalTxDirectoryInformation,       // 50
  FileIsRemoteDeviceInformation,            // 51
  FileUnusedInformation,                    // 52
  FileNumaNodeInformation,                  // 53
  FileStandardLinkInformation,              // 54
  FileRemoteProtocolInformation,            // 55
  FileRenameInformationBypassAccessCheck,   // 56
  FileLinkInformationBypassAccessCheck,     // 57
  FileVolumeNameInformation,                // 58
  FileIdInformation,                        // 59
  FileIdExtdDirectoryInformation,           // 60
  FileReplaceCompletionInformation,         // 61
  FileHardLinkFullIdInformation,            // 62
  FileIdExtdBothDirectoryInformation,       // 63
  FileDispositionInformationEx,             // 64
  FileRenameInformationEx,                  // 65
  FileRenameInformationExBypassAccessCheck, // 66
  FileDesiredStorageClassInformation,       // 67
  FileStatInformation,                      // 68
  FileMemoryPartitionInformation,           // 69
  FileStatLxInformation,                    // 70
  FileCaseSensitiveInformation,             // 71
  FileLinkInformationEx,                    // 72
  FileLinkInformationExBypassAccessCheck,   // 73
  FileStorageReserveIdInformation,          // 74
  FileCaseSensitiveInformationForceAccessCheck,  // 75
  FileKnownFolderInformation,               // 76
  FileMaximumInformation
} FILE_INFORMATION_CLASS, *PFILE_INFORMATION_CLASS;

typedef enum _FSINFOCLASS {
  FileFsVolumeInformation = 1,
  FileFsLabelInformation,          // 2
  FileFsSizeInformation,           // 3
  FileFsDeviceInformation,         // 4
  FileFsAttributeInformation,      // 5
  FileFsControlInformation,        // 6
  FileFsFullSizeInformation,       // 7
  FileFsObjectIdInformation,       // 8
  FileFsDriverPathInformation,     // 9
  FileFsVolumeFlagsInformation,    // 10
  FileFsSectorSizeInformation,     // 11
  FileFsDataCopyInformation,       // 12
  FileFsMetadataSizeInformation,   // 13
  FileFsFullSizeInformationEx,     // 14
  FileFsGuidInformation,           // 15
  FileFsMaximumInformation
} FS_INFORMATION_CLASS, *PFS_INFORMATION_CLASS;
