// The seam between the simulated I/O manager and the file systems below it.
//
// The I/O manager (with the Filter Manager above the file system) builds each
// operation, runs the filters' pre-operations, then calls the file system of
// the target volume through this interface, then runs the post-operations.
// A file system sees what a Windows file system sees in its IRP: the file
// object (FileName volume-relative, e.g. "\dir\file", or relative to
// RelatedFileObject), the parameters of the operation, and it fills the I/O
// status block. It keeps its per-stream and per-open state in
// FILE_OBJECT.FsContext (which starts with an FSRTL_ADVANCED_FCB_HEADER that
// supports filter contexts) and FsContext2.
//
// Every routine runs in the requesting thread (as its simulated process) at
// PASSIVE_LEVEL, and may be called concurrently from several threads.
#pragma once

#include <functional>
#include <string>

#include <ntifs.h>

namespace sim::io {

struct CreateParameters {
  ACCESS_MASK desiredAccess = 0;  // generic rights already mapped to specific file rights;
                                  // MAXIMUM_ALLOWED is passed on for the file system to resolve
  ULONG options = 0;              // FILE_DIRECTORY_FILE, FILE_DELETE_ON_CLOSE, ... (low 24 bits)
  ULONG disposition = FILE_OPEN;  // FILE_SUPERSEDE .. FILE_OVERWRITE_IF
  USHORT shareAccess = 0;         // FILE_SHARE_*
  USHORT fileAttributes = 0;      // FILE_ATTRIBUTE_* for a new file
  LARGE_INTEGER allocationSize{};
  UCHAR flags = 0;  // SL_CASE_SENSITIVE, SL_OPEN_TARGET_DIRECTORY, ...
  KPROCESSOR_MODE requestorMode = UserMode;
  // The file object ignores sharing (IoIsFileObjectIgnoringSharing, set for
  // IO_IGNORE_SHARE_ACCESS_CHECK): as IoCheckShareAccess and IoSetShareAccess
  // do for such a file object, the open is neither checked against the
  // file's share access nor recorded in it.
  bool ignoreShareAccess = false;
  PVOID eaBuffer = nullptr;
  ULONG eaLength = 0;
  // Out, optional: the access the file system granted to a successful open
  // (MAXIMUM_ALLOWED resolved), which the handle gets. Left alone, the
  // handle gets desiredAccess.
  ACCESS_MASK* grantedAccess = nullptr;
};

struct DirectoryQuery {
  FILE_INFORMATION_CLASS infoClass = FileDirectoryInformation;
  const UNICODE_STRING* pattern = nullptr;  // null: keep (or, on the first query, match all)
  ULONG fileIndex = 0;                      // with SL_INDEX_SPECIFIED
  UCHAR flags = 0;  // SL_RESTART_SCAN, SL_RETURN_SINGLE_ENTRY, SL_INDEX_SPECIFIED
};

// The target of FileRenameInformation(Ex) and FileLinkInformation(Ex), as
// the file system reads it from its IRP. For a full name or a name relative
// to RootDirectory the I/O manager has opened the target's parent directory
// (IRP_MJ_CREATE with SL_OPEN_TARGET_DIRECTORY) before the request:
// `directory` is that file object (IrpSp->Parameters.SetFile.FileObject,
// the Filter Manager's ParentOfTarget) and `name` the final component the
// file system's open left in its FileName. Otherwise `directory` is null
// and `name` is the caller's FileName as it is: a simple name in the
// source's own directory.
struct RenameTarget {
  FILE_OBJECT* directory = nullptr;
  std::u16string name;
  bool replaceIfExists = false;  // ReplaceIfExists, or FILE_RENAME_REPLACE_IF_EXISTS in Ex flags
  ULONG flagsEx = 0;             // FILE_RENAME_* flags of the Ex classes (0 for the plain classes)
};

// IRP_MJ_LOCK_CONTROL: a byte range, its owner (the file object, the
// requesting process and the key) and, for IRP_MN_LOCK, how to lock it.
struct ByteRangeRequest {
  LONGLONG offset = 0;
  LONGLONG length = 0;
  ULONG key = 0;
  ULONG processId = 0;
  bool exclusive = false;
  bool failImmediately = true;
};

// IRP_MN_NOTIFY_CHANGE_DIRECTORY. A file system that has no change to
// return yet keeps the request: it calls `pending` (the I/O manager's
// caller may return STATUS_PENDING from then on), then completes the
// request from the context of the change, or of the handle's cleanup.
struct NotifyRequest {
  ULONG completionFilter = 0;  // FILE_NOTIFY_CHANGE_*
  bool watchTree = false;      // SL_WATCH_TREE
  std::function<void()> pending;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // IRP_MJ_CREATE. On success the file system has set FsContext (and
  // FsContext2, SectionObjectPointer) and iosb.Information (FILE_OPENED, ...).
  virtual NTSTATUS Create(FILE_OBJECT* fileObject, const CreateParameters& parameters,
                          IO_STATUS_BLOCK& iosb) = 0;
  // IRP_MJ_CLEANUP: the last handle to the file object closed.
  virtual NTSTATUS Cleanup(FILE_OBJECT* fileObject, IO_STATUS_BLOCK& iosb) = 0;
  // IRP_MJ_CLOSE: the last reference to the file object went.
  virtual void Close(FILE_OBJECT* fileObject) = 0;

  // byteOffset null: the file object's current position (synchronous I/O).
  virtual NTSTATUS Read(FILE_OBJECT* fileObject, void* buffer, ULONG length,
                        const LARGE_INTEGER* byteOffset, IO_STATUS_BLOCK& iosb) = 0;
  virtual NTSTATUS Write(FILE_OBJECT* fileObject, const void* buffer, ULONG length,
                         const LARGE_INTEGER* byteOffset, IO_STATUS_BLOCK& iosb) = 0;

  virtual NTSTATUS QueryInformation(FILE_OBJECT* fileObject, FILE_INFORMATION_CLASS infoClass,
                                    void* buffer, ULONG length, IO_STATUS_BLOCK& iosb) = 0;
  // target is set for the rename and link classes, null otherwise.
  virtual NTSTATUS SetInformation(FILE_OBJECT* fileObject, FILE_INFORMATION_CLASS infoClass,
                                  const void* buffer, ULONG length, const RenameTarget* target,
                                  IO_STATUS_BLOCK& iosb) = 0;
  virtual NTSTATUS QueryDirectory(FILE_OBJECT* fileObject, const DirectoryQuery& query,
                                  void* buffer, ULONG length, IO_STATUS_BLOCK& iosb) = 0;
  virtual NTSTATUS QueryVolumeInformation(FILE_OBJECT* fileObject, FS_INFORMATION_CLASS infoClass,
                                          void* buffer, ULONG length, IO_STATUS_BLOCK& iosb) = 0;
  virtual NTSTATUS QuerySecurity(FILE_OBJECT* fileObject, SECURITY_INFORMATION information,
                                 void* buffer, ULONG length, IO_STATUS_BLOCK& iosb) = 0;
  virtual NTSTATUS SetSecurity(FILE_OBJECT* fileObject, SECURITY_INFORMATION information,
                               PSECURITY_DESCRIPTOR descriptor, IO_STATUS_BLOCK& iosb) = 0;
  virtual NTSTATUS FileSystemControl(FILE_OBJECT* fileObject, ULONG controlCode, const void* input,
                                     ULONG inputLength, void* output, ULONG outputLength,
                                     IO_STATUS_BLOCK& iosb) = 0;
  virtual NTSTATUS DeviceControl(FILE_OBJECT* fileObject, ULONG controlCode, const void* input,
                                 ULONG inputLength, void* output, ULONG outputLength,
                                 IO_STATUS_BLOCK& iosb) = 0;
  virtual NTSTATUS FlushBuffers(FILE_OBJECT* fileObject, IO_STATUS_BLOCK& iosb) = 0;
  // IRP_MJ_LOCK_CONTROL (IRP_MN_LOCK, IRP_MN_UNLOCK_SINGLE, IRP_MN_UNLOCK_ALL,
  // IRP_MN_UNLOCK_ALL_BY_KEY). A file system without byte-range locks
  // refuses them.
  virtual NTSTATUS LockControl(FILE_OBJECT* fileObject, UCHAR minor,
                               const ByteRangeRequest& request, IO_STATUS_BLOCK& iosb) {
    (void)fileObject;
    (void)minor;
    (void)request;
    iosb.Information = 0;
    return STATUS_INVALID_DEVICE_REQUEST;
  }

  // Returns when the request completes (a matching change, the handle's
  // cleanup); a file system without change notification refuses it.
  virtual NTSTATUS NotifyChangeDirectory(FILE_OBJECT* fileObject, const NotifyRequest& request,
                                         void* buffer, ULONG length, IO_STATUS_BLOCK& iosb) {
    (void)fileObject;
    (void)request;
    (void)buffer;
    (void)length;
    iosb.Information = 0;
    return STATUS_INVALID_DEVICE_REQUEST;
  }

  // True while the file system has this file object open (between a
  // successful Create and Close). The verifier uses it to catch an operation
  // reaching the file system for a file object a filter completed itself.
  virtual bool Owns(const FILE_OBJECT* fileObject) const = 0;
};

}  // namespace sim::io
