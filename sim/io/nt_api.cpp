// The native file API: NtXxx for programs (user mode, handles of the calling
// thread's process, access checked against the handle) and the ZwXxx
// routines drivers call (kernel mode: kernel handles allowed, no access
// checks). Both build operations and send them down the stack.
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <ntapi.h>

#include "io/io_manager.h"
#include "io/user_buffers.h"
#include "kernel/lifecycle.h"
#include "kernel/object_manager.h"
#include "kernel/process_table.h"
#include "kernel/thread_state.h"
#include "verifier/verifier.h"

namespace sim::io {
namespace {

// A referenced file object for a handle (released by the holder).
class HandleRef {
 public:
  HandleRef(HANDLE handle, KPROCESSOR_MODE mode) {
    kernel::KernelObject* object = kernel::ReferenceHandle(handle, mode, &access_);
    file_ = dynamic_cast<FileObject*>(object);
    if (object && !file_) {
      object->Dereference();
      status_ = STATUS_OBJECT_TYPE_MISMATCH;
    } else if (!object) {
      status_ = STATUS_INVALID_HANDLE;
    }
  }
  ~HandleRef() {
    if (file_) file_->Dereference();
  }
  HandleRef(const HandleRef&) = delete;
  HandleRef& operator=(const HandleRef&) = delete;

  NTSTATUS status() const { return status_; }
  FileObject* file() const { return file_; }
  // User-mode callers need the access on their handle; kernel mode is trusted.
  bool Allows(ACCESS_MASK needed, KPROCESSOR_MODE mode, bool any = false) const {
    if (mode == KernelMode || needed == 0) return true;
    return any ? (access_ & needed) != 0 : (access_ & needed) == needed;
  }

 private:
  FileObject* file_ = nullptr;
  ACCESS_MASK access_ = 0;
  NTSTATUS status_ = STATUS_SUCCESS;
};

template <class Fill>
NTSTATUS Run(FileObject* file, KPROCESSOR_MODE mode, UCHAR major, UCHAR minor, Fill&& fill,
             IO_STATUS_BLOCK& iosb, bool fastIoable = false) {
  auto thunk = [](Operation& op, void* context) {
    (*static_cast<std::remove_reference_t<Fill>*>(context))(op);
  };
  return RunFileOperation(file, nullptr, mode, major, minor, thunk, &fill, iosb, fastIoable);
}

NTSTATUS Finish(PIO_STATUS_BLOCK user, const IO_STATUS_BLOCK& iosb, NTSTATUS status) {
  if (user) *user = iosb;
  return status;
}

// Minimum buffer sizes of the information classes the I/O manager checks.
ULONG MinimumFileInfoLength(FILE_INFORMATION_CLASS c) {
  switch (c) {
    case FileBasicInformation:
      return sizeof(FILE_BASIC_INFORMATION);
    case FileStandardInformation:
      return sizeof(FILE_STANDARD_INFORMATION);
    case FileInternalInformation:
      return sizeof(FILE_INTERNAL_INFORMATION);
    case FileEaInformation:
      return sizeof(FILE_EA_INFORMATION);
    case FileAccessInformation:
      return sizeof(FILE_ACCESS_INFORMATION);
    case FileNameInformation:
    case FileNormalizedNameInformation:
    case FileAlternateNameInformation:
      return sizeof(FILE_NAME_INFORMATION);
    case FilePositionInformation:
      return sizeof(FILE_POSITION_INFORMATION);
    case FileModeInformation:
      return sizeof(FILE_MODE_INFORMATION);
    case FileAlignmentInformation:
      return sizeof(FILE_ALIGNMENT_INFORMATION);
    case FileAllInformation:
      return sizeof(FILE_ALL_INFORMATION);
    case FileNetworkOpenInformation:
      return sizeof(FILE_NETWORK_OPEN_INFORMATION);
    case FileAttributeTagInformation:
      return sizeof(FILE_ATTRIBUTE_TAG_INFORMATION);
    case FileEndOfFileInformation:
      return sizeof(FILE_END_OF_FILE_INFORMATION);
    case FileAllocationInformation:
      return sizeof(FILE_ALLOCATION_INFORMATION);
    case FileDispositionInformation:
      return sizeof(FILE_DISPOSITION_INFORMATION);
    case FileDispositionInformationEx:
      return sizeof(FILE_DISPOSITION_INFORMATION_EX);
    case FileRenameInformation:
    case FileRenameInformationEx:
      return sizeof(FILE_RENAME_INFORMATION);
    case FileLinkInformation:
    case FileLinkInformationEx:
      return sizeof(FILE_LINK_INFORMATION);
    default:
      return 1;
  }
}

ACCESS_MASK QueryAccess(FILE_INFORMATION_CLASS c) {
  switch (c) {
    case FileBasicInformation:
    case FileAllInformation:
    case FileNetworkOpenInformation:
    case FileAttributeTagInformation:
      return FILE_READ_ATTRIBUTES;
    case FileEaInformation:
      return FILE_READ_EA;
    default:
      return 0;
  }
}

ACCESS_MASK SetAccess(FILE_INFORMATION_CLASS c) {
  switch (c) {
    case FileBasicInformation:
      return FILE_WRITE_ATTRIBUTES;
    case FileDispositionInformation:
    case FileDispositionInformationEx:
    case FileRenameInformation:
    case FileRenameInformationEx:
      return DELETE;
    case FileEndOfFileInformation:
    case FileAllocationInformation:
    case FileValidDataLengthInformation:
      return FILE_WRITE_DATA;
    default:
      return 0;
  }
}

// The alignment the I/O manager probes a caller's information buffer with.
// The documentation gives no table: the sim uses each structure's natural
// alignment (8 where it holds a LARGE_INTEGER or a pointer, 4 where its
// widest member is a ULONG, none for the BOOLEAN of
// FileDispositionInformation and for classes it does not know).
ULONG FileInfoAlignment(FILE_INFORMATION_CLASS c) {
  switch (c) {
    case FileBasicInformation:
    case FileStandardInformation:
    case FileInternalInformation:
    case FilePositionInformation:
    case FileAllInformation:
    case FileNetworkOpenInformation:
    case FileEndOfFileInformation:
    case FileAllocationInformation:
    case FileRenameInformation:
    case FileRenameInformationEx:
    case FileLinkInformation:
    case FileLinkInformationEx:
      return 8;
    case FileEaInformation:
    case FileAccessInformation:
    case FileNameInformation:
    case FileNormalizedNameInformation:
    case FileAlternateNameInformation:
    case FileModeInformation:
    case FileAlignmentInformation:
    case FileAttributeTagInformation:
    case FileDispositionInformationEx:
      return 4;
    default:
      return 1;
  }
}

// A user-mode buffer is probed before anything else: one not aligned for
// its class fails the call.
bool MisalignedFromUser(KPROCESSOR_MODE mode, const void* buffer, ULONG alignment) {
  return mode == UserMode && reinterpret_cast<std::uintptr_t>(buffer) % alignment != 0;
}

bool IsDirectoryClass(FILE_INFORMATION_CLASS c) {
  switch (c) {
    case FileDirectoryInformation:
    case FileFullDirectoryInformation:
    case FileBothDirectoryInformation:
    case FileNamesInformation:
    case FileIdBothDirectoryInformation:
    case FileIdFullDirectoryInformation:
    case FileIdExtdDirectoryInformation:
    case FileIdExtdBothDirectoryInformation:
    case FileIdGlobalTxDirectoryInformation:
    case FileObjectIdInformation:
    case FileQuotaInformation:
    case FileReparsePointInformation:
      return true;
    default:
      return false;
  }
}

}  // namespace

NTSTATUS CreateFileCommon(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                          POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                          PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
                          ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                          ULONG EaLength, KPROCESSOR_MODE mode) {
  if (!FileHandle || !IoStatusBlock || !ObjectAttributes) return STATUS_ACCESS_VIOLATION;
  *FileHandle = nullptr;
  CreateRequest rq;
  rq.attributes = ObjectAttributes;
  rq.desiredAccess = DesiredAccess;
  rq.fileAttributes = FileAttributes;
  rq.shareAccess = ShareAccess;
  rq.disposition = CreateDisposition;
  rq.options = CreateOptions;
  if (AllocationSize) rq.allocationSize = *AllocationSize;
  rq.eaBuffer = EaBuffer;
  rq.eaLength = EaLength;
  rq.mode = mode;
  // User mode cannot ask for kernel handles.
  if (mode == UserMode && (ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE))
    return STATUS_INVALID_PARAMETER;
  FileObject* file = nullptr;
  IO_STATUS_BLOCK iosb{};
  NTSTATUS status = CreateFile(rq, &file, iosb);
  *IoStatusBlock = iosb;
  if (!NT_SUCCESS(status)) return status;
  const bool kernelHandle = (ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE) != 0;
  *FileHandle = kernel::InsertHandle(file, file->grantedAccess, kernelHandle);
  file->fo()->Flags |= FO_HANDLE_CREATED;
  file->Dereference();  // the handle holds it now
  return status;
}

NTSTATUS ReadWrite(bool write, HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer,
                   ULONG Length, PLARGE_INTEGER ByteOffset, PULONG Key, KPROCESSOR_MODE mode) {
  if (!IoStatusBlock) return STATUS_ACCESS_VIOLATION;
  HandleRef ref(FileHandle, mode);
  if (!ref.file()) return ref.status();
  if (!ref.Allows(write ? (FILE_WRITE_DATA | FILE_APPEND_DATA) : FILE_READ_DATA, mode, write)) {
    return STATUS_ACCESS_DENIED;
  }
  FileObject* file = ref.file();
  LARGE_INTEGER offset;
  if (ByteOffset) {
    offset = *ByteOffset;
  } else if (file->fo()->Flags & FO_SYNCHRONOUS_IO) {
    offset = file->fo()->CurrentByteOffset;
  } else {
    return STATUS_INVALID_PARAMETER;  // asynchronous I/O needs an offset
  }
  if (offset.HighPart == -1 && offset.LowPart == FILE_USE_FILE_POINTER_POSITION) {
    offset = file->fo()->CurrentByteOffset;
  }
  IO_STATUS_BLOCK iosb{};
  const ULONG key = Key ? *Key : 0;
  auto fill = [&](Operation& op) {
    op.iopb.IrpFlags |= write ? IRP_WRITE_OPERATION : IRP_READ_OPERATION;
    if (write) {
      op.iopb.Parameters.Write.Length = Length;
      op.iopb.Parameters.Write.Key = key;
      op.iopb.Parameters.Write.ByteOffset = offset;
      op.iopb.Parameters.Write.WriteBuffer = Buffer;
    } else {
      op.iopb.Parameters.Read.Length = Length;
      op.iopb.Parameters.Read.Key = key;
      op.iopb.Parameters.Read.ByteOffset = offset;
      op.iopb.Parameters.Read.ReadBuffer = Buffer;
    }
  };
  const UCHAR major = write ? IRP_MJ_WRITE : IRP_MJ_READ;
  NTSTATUS status = Run(file, mode, major, IRP_MN_NORMAL, fill, iosb,
                        FastIoPossible(file, major, FileBasicInformation));
  return Finish(IoStatusBlock, iosb, status);
}

NTSTATUS QueryInformation(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation,
                          ULONG Length, FILE_INFORMATION_CLASS infoClass, KPROCESSOR_MODE mode) {
  if (!IoStatusBlock) return STATUS_ACCESS_VIOLATION;
  if (infoClass <= 0 || infoClass >= FileMaximumInformation) return STATUS_INVALID_INFO_CLASS;
  if (Length < MinimumFileInfoLength(infoClass)) return STATUS_INFO_LENGTH_MISMATCH;
  if (MisalignedFromUser(mode, FileInformation, FileInfoAlignment(infoClass)))
    return STATUS_DATATYPE_MISALIGNMENT;
  HandleRef ref(FileHandle, mode);
  if (!ref.file()) return ref.status();
  if (!ref.Allows(QueryAccess(infoClass), mode)) return STATUS_ACCESS_DENIED;
  FileObject* file = ref.file();
  IO_STATUS_BLOCK iosb{};
  // Classes the I/O manager answers itself.
  switch (infoClass) {
    case FileAccessInformation:
      static_cast<FILE_ACCESS_INFORMATION*>(FileInformation)->AccessFlags = file->grantedAccess;
      iosb.Information = sizeof(FILE_ACCESS_INFORMATION);
      return Finish(IoStatusBlock, iosb, iosb.Status = STATUS_SUCCESS);
    case FileModeInformation:
      static_cast<FILE_MODE_INFORMATION*>(FileInformation)->Mode =
          file->createOptions &
          (FILE_WRITE_THROUGH | FILE_SEQUENTIAL_ONLY | FILE_NO_INTERMEDIATE_BUFFERING |
           FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT | FILE_DELETE_ON_CLOSE);
      iosb.Information = sizeof(FILE_MODE_INFORMATION);
      return Finish(IoStatusBlock, iosb, iosb.Status = STATUS_SUCCESS);
    case FilePositionInformation:
      if (file->fo()->Flags & FO_SYNCHRONOUS_IO) {
        static_cast<FILE_POSITION_INFORMATION*>(FileInformation)->CurrentByteOffset =
            file->fo()->CurrentByteOffset;
        iosb.Information = sizeof(FILE_POSITION_INFORMATION);
        return Finish(IoStatusBlock, iosb, iosb.Status = STATUS_SUCCESS);
      }
      break;
    default:
      break;
  }
  // Buffered I/O: filters and the file system fill a system buffer, which
  // reaches the caller's buffer once, when the request completes.
  SystemBuffer system(Length);
  auto fill = [&](Operation& op) {
    op.iopb.Parameters.QueryFileInformation.Length = Length;
    op.iopb.Parameters.QueryFileInformation.FileInformationClass = infoClass;
    op.iopb.Parameters.QueryFileInformation.InfoBuffer = system.data();
  };
  NTSTATUS status = Run(file, mode, IRP_MJ_QUERY_INFORMATION, 0, fill, iosb,
                        FastIoPossible(file, IRP_MJ_QUERY_INFORMATION, infoClass));
  if (!NT_ERROR(status)) system.CopyOut(FileInformation, iosb.Information);
  return Finish(IoStatusBlock, iosb, status);
}

NTSTATUS SetInformation(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation,
                        ULONG Length, FILE_INFORMATION_CLASS infoClass, KPROCESSOR_MODE mode) {
  if (!IoStatusBlock) return STATUS_ACCESS_VIOLATION;
  if (infoClass <= 0 || infoClass >= FileMaximumInformation) return STATUS_INVALID_INFO_CLASS;
  if (Length < MinimumFileInfoLength(infoClass)) return STATUS_INFO_LENGTH_MISMATCH;
  if (MisalignedFromUser(mode, FileInformation, FileInfoAlignment(infoClass)))
    return STATUS_DATATYPE_MISALIGNMENT;
  HandleRef ref(FileHandle, mode);
  if (!ref.file()) return ref.status();
  if (!ref.Allows(SetAccess(infoClass), mode)) return STATUS_ACCESS_DENIED;
  FileObject* file = ref.file();
  IO_STATUS_BLOCK iosb{};
  if (infoClass == FilePositionInformation && (file->fo()->Flags & FO_SYNCHRONOUS_IO)) {
    // The I/O manager keeps a synchronous file object's position itself, with
    // the checks a file system would make: no negative offset, and an
    // unbuffered handle stands on sector boundaries only.
    const LARGE_INTEGER offset =
        static_cast<FILE_POSITION_INFORMATION*>(FileInformation)->CurrentByteOffset;
    const ULONG sector = file->volume ? file->volume->device.SectorSize : 0;
    if (offset.QuadPart < 0 || ((file->fo()->Flags & FO_NO_INTERMEDIATE_BUFFERING) && sector != 0 &&
                                offset.QuadPart % sector != 0)) {
      return STATUS_INVALID_PARAMETER;
    }
    file->fo()->CurrentByteOffset = offset;
    return Finish(IoStatusBlock, iosb, iosb.Status = STATUS_SUCCESS);
  }
  // Buffered I/O: the caller's buffer is captured once into a system
  // buffer; a caller rewriting its own memory during the call changes
  // nothing below.
  SystemBuffer system(Length);
  system.CopyIn(FileInformation);
  // A rename or link to a full name or a RootDirectory-relative one: the
  // target's parent directory is opened first, and closed after the request.
  RenameTargetDirectory targetDirectory;
  if (NTSTATUS status =
          targetDirectory.Open(file, system.data(), Length, infoClass, mode, nullptr, false);
      !NT_SUCCESS(status)) {
    return Finish(IoStatusBlock, iosb, iosb.Status = status);
  }
  auto fill = [&](Operation& op) {
    auto& p = op.iopb.Parameters.SetFileInformation;
    p.Length = Length;
    p.FileInformationClass = infoClass;
    p.InfoBuffer = system.data();
    p.ParentOfTarget = targetDirectory.Directory();
    if (infoClass == FileRenameInformation || infoClass == FileLinkInformation) {
      p.ReplaceIfExists = static_cast<FILE_RENAME_INFORMATION*>(system.data())->ReplaceIfExists;
    }
  };
  NTSTATUS status = Run(file, mode, IRP_MJ_SET_INFORMATION, 0, fill, iosb);
  return Finish(IoStatusBlock, iosb, status);
}

NTSTATUS QueryDirectory(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation,
                        ULONG Length, FILE_INFORMATION_CLASS infoClass, BOOLEAN ReturnSingleEntry,
                        PUNICODE_STRING FileName, BOOLEAN RestartScan, KPROCESSOR_MODE mode) {
  if (!IoStatusBlock) return STATUS_ACCESS_VIOLATION;
  if (!IsDirectoryClass(infoClass)) return STATUS_INVALID_INFO_CLASS;
  if (Length == 0 || !FileInformation) return STATUS_INVALID_PARAMETER;
  if (MisalignedFromUser(mode, FileInformation, sizeof(ULONG))) return STATUS_DATATYPE_MISALIGNMENT;
  HandleRef ref(FileHandle, mode);
  if (!ref.file()) return ref.status();
  if (!ref.Allows(FILE_LIST_DIRECTORY, mode)) return STATUS_ACCESS_DENIED;
  IO_STATUS_BLOCK iosb{};
  // The pattern is captured into system memory; the listing buffer is the
  // caller's own memory (neither buffered nor direct I/O), which a hostile
  // caller may rewrite while the request runs.
  std::u16string pattern;
  UNICODE_STRING capturedPattern{};
  if (FileName && FileName->Length) {
    pattern.assign(reinterpret_cast<const char16_t*>(FileName->Buffer),
                   FileName->Length / sizeof(WCHAR));
    capturedPattern.Buffer = reinterpret_cast<PWCH>(pattern.data());
    capturedPattern.Length = capturedPattern.MaximumLength = FileName->Length;
  }
  MdlOnlyDirectoryBuffer mdlOnly(mode, FileInformation, Length);
  auto fill = [&](Operation& op) {
    auto& q = op.iopb.Parameters.DirectoryControl.QueryDirectory;
    q.Length = Length;
    q.FileName = capturedPattern.Buffer ? &capturedPattern : nullptr;
    q.FileInformationClass = infoClass;
    q.DirectoryBuffer = mdlOnly.RequestBuffer();
    if (RestartScan) op.iopb.OperationFlags |= SL_RESTART_SCAN;
    if (ReturnSingleEntry) op.iopb.OperationFlags |= SL_RETURN_SINGLE_ENTRY;
  };
  NTSTATUS status;
  {
    HostileDirectoryBuffer hostile(mode, FileInformation, Length);
    status = Run(ref.file(), mode, IRP_MJ_DIRECTORY_CONTROL, IRP_MN_QUERY_DIRECTORY, fill, iosb);
  }
  return Finish(IoStatusBlock, iosb, status);
}

NTSTATUS QueryVolume(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID FsInformation,
                     ULONG Length, FS_INFORMATION_CLASS infoClass, KPROCESSOR_MODE mode) {
  if (!IoStatusBlock) return STATUS_ACCESS_VIOLATION;
  if (infoClass <= 0 || infoClass >= FileFsMaximumInformation) return STATUS_INVALID_INFO_CLASS;
  HandleRef ref(FileHandle, mode);
  if (!ref.file()) return ref.status();
  IO_STATUS_BLOCK iosb{};
  if (infoClass == FileFsDeviceInformation) {
    // Answered by the I/O manager from the device object.
    if (Length < sizeof(FILE_FS_DEVICE_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
    auto* info = static_cast<FILE_FS_DEVICE_INFORMATION*>(FsInformation);
    info->DeviceType = FILE_DEVICE_DISK;
    info->Characteristics = FILE_DEVICE_IS_MOUNTED;
    iosb.Information = sizeof(FILE_FS_DEVICE_INFORMATION);
    return Finish(IoStatusBlock, iosb, iosb.Status = STATUS_SUCCESS);
  }
  auto fill = [&](Operation& op) {
    op.iopb.Parameters.QueryVolumeInformation.Length = Length;
    op.iopb.Parameters.QueryVolumeInformation.FsInformationClass = infoClass;
    op.iopb.Parameters.QueryVolumeInformation.VolumeBuffer = FsInformation;
  };
  NTSTATUS status = Run(ref.file(), mode, IRP_MJ_QUERY_VOLUME_INFORMATION, 0, fill, iosb);
  return Finish(IoStatusBlock, iosb, status);
}

NTSTATUS QuerySecurity(HANDLE Handle, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR sd,
                       ULONG Length, PULONG LengthNeeded, KPROCESSOR_MODE mode) {
  if (!LengthNeeded) return STATUS_ACCESS_VIOLATION;
  HandleRef ref(Handle, mode);
  if (!ref.file()) return ref.status();
  ACCESS_MASK needed = 0;
  if (info &
      (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION)) {
    needed |= READ_CONTROL;
  }
  if (info & SACL_SECURITY_INFORMATION) needed |= ACCESS_SYSTEM_SECURITY;
  if (!ref.Allows(needed, mode)) return STATUS_ACCESS_DENIED;
  IO_STATUS_BLOCK iosb{};
  auto fill = [&](Operation& op) {
    op.iopb.Parameters.QuerySecurity.SecurityInformation = info;
    op.iopb.Parameters.QuerySecurity.Length = Length;
    op.iopb.Parameters.QuerySecurity.SecurityBuffer = sd;
  };
  NTSTATUS status = Run(ref.file(), mode, IRP_MJ_QUERY_SECURITY, 0, fill, iosb);
  // The needed length comes back in Information, also with STATUS_BUFFER_TOO_SMALL.
  *LengthNeeded = static_cast<ULONG>(iosb.Information);
  return status;
}

NTSTATUS Control(bool fsControl, HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, ULONG code,
                 PVOID in, ULONG inLength, PVOID out, ULONG outLength, KPROCESSOR_MODE mode) {
  if (!IoStatusBlock) return STATUS_ACCESS_VIOLATION;
  HandleRef ref(FileHandle, mode);
  if (!ref.file()) return ref.status();
  // The access bits of the control code must be granted to the handle.
  const ULONG access = (code >> 14) & 3;
  ACCESS_MASK needed = 0;
  if (access & 1) needed |= FILE_READ_DATA;
  if (access & 2) needed |= FILE_WRITE_DATA;
  if (!ref.Allows(needed, mode)) return STATUS_ACCESS_DENIED;
  std::vector<UCHAR> system;
  const bool buffered = METHOD_FROM_CTL_CODE(code) == METHOD_BUFFERED;
  if (buffered) {
    system.resize(std::max(inLength, outLength) + 1);
    if (in && inLength) std::memcpy(system.data(), in, inLength);
  }
  IO_STATUS_BLOCK iosb{};
  auto fill = [&](Operation& op) {
    auto& p = op.iopb.Parameters.DeviceIoControl;
    p.Common.OutputBufferLength = outLength;
    p.Common.InputBufferLength = inLength;
    p.Common.IoControlCode = code;  // FsControlCode sits at the same place
    if (buffered) {
      p.Buffered.SystemBuffer = system.data();
      op.data.Flags |= FLTFL_CALLBACK_DATA_SYSTEM_BUFFER;
    } else {
      p.Neither.InputBuffer = in;
      p.Neither.OutputBuffer = out;
    }
  };
  NTSTATUS status =
      Run(ref.file(), mode, fsControl ? IRP_MJ_FILE_SYSTEM_CONTROL : IRP_MJ_DEVICE_CONTROL,
          fsControl ? IRP_MN_USER_FS_REQUEST : 0, fill, iosb);
  if (buffered && !NT_ERROR(status) && out) {
    std::memcpy(out, system.data(), std::min<size_t>(iosb.Information, outLength));
  }
  return Finish(IoStatusBlock, iosb, status);
}

NTSTATUS Flush(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, KPROCESSOR_MODE mode) {
  if (!IoStatusBlock) return STATUS_ACCESS_VIOLATION;
  HandleRef ref(FileHandle, mode);
  if (!ref.file()) return ref.status();
  if (!ref.Allows(FILE_WRITE_DATA | FILE_APPEND_DATA, mode, true)) return STATUS_ACCESS_DENIED;
  IO_STATUS_BLOCK iosb{};
  auto fill = [](Operation&) {};
  NTSTATUS status = Run(ref.file(), mode, IRP_MJ_FLUSH_BUFFERS, 0, fill, iosb);
  return Finish(IoStatusBlock, iosb, status);
}

// Extended attributes: IRP_MJ_QUERY_EA and IRP_MJ_SET_EA, with FILE_READ_EA
// or FILE_WRITE_EA on the handle. The query's EA list and the set's buffer
// are captured into system memory; the query's output buffer stays the
// caller's (as for a listing). The I/O manager's validation of a set's
// buffer (IoCheckEaBufferValidity) is not modelled: the sim's file systems
// keep no extended attributes and refuse both requests.
NTSTATUS QueryEa(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                 BOOLEAN ReturnSingleEntry, PVOID EaList, ULONG EaListLength, PULONG EaIndex,
                 BOOLEAN RestartScan, KPROCESSOR_MODE mode) {
  if (!IoStatusBlock) return STATUS_ACCESS_VIOLATION;
  if (!Buffer || Length == 0 || (EaListLength && !EaList)) return STATUS_INVALID_PARAMETER;
  if (MisalignedFromUser(mode, Buffer, sizeof(ULONG))) return STATUS_DATATYPE_MISALIGNMENT;
  HandleRef ref(FileHandle, mode);
  if (!ref.file()) return ref.status();
  if (!ref.Allows(FILE_READ_EA, mode)) return STATUS_ACCESS_DENIED;
  SystemBuffer list(EaListLength);
  list.CopyIn(EaList);
  IO_STATUS_BLOCK iosb{};
  auto fill = [&](Operation& op) {
    auto& q = op.iopb.Parameters.QueryEa;
    q.Length = Length;
    q.EaBuffer = Buffer;
    q.EaList = EaListLength ? list.data() : nullptr;
    q.EaListLength = EaListLength;
    if (EaIndex) {
      q.EaIndex = *EaIndex;
      op.iopb.OperationFlags |= SL_INDEX_SPECIFIED;
    }
    if (ReturnSingleEntry) op.iopb.OperationFlags |= SL_RETURN_SINGLE_ENTRY;
    if (RestartScan) op.iopb.OperationFlags |= SL_RESTART_SCAN;
  };
  NTSTATUS status = Run(ref.file(), mode, IRP_MJ_QUERY_EA, 0, fill, iosb);
  return Finish(IoStatusBlock, iosb, status);
}

NTSTATUS SetEa(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
               KPROCESSOR_MODE mode) {
  if (!IoStatusBlock) return STATUS_ACCESS_VIOLATION;
  if (!Buffer || Length == 0) return STATUS_INVALID_PARAMETER;
  if (MisalignedFromUser(mode, Buffer, sizeof(ULONG))) return STATUS_DATATYPE_MISALIGNMENT;
  HandleRef ref(FileHandle, mode);
  if (!ref.file()) return ref.status();
  if (!ref.Allows(FILE_WRITE_EA, mode)) return STATUS_ACCESS_DENIED;
  SystemBuffer system(Length);
  system.CopyIn(Buffer);
  IO_STATUS_BLOCK iosb{};
  auto fill = [&](Operation& op) {
    op.iopb.Parameters.SetEa.Length = Length;
    op.iopb.Parameters.SetEa.EaBuffer = system.data();
  };
  NTSTATUS status = Run(ref.file(), mode, IRP_MJ_SET_EA, 0, fill, iosb);
  return Finish(IoStatusBlock, iosb, status);
}

// Byte-range locks: IRP_MJ_LOCK_CONTROL, offered first as fast I/O (the I/O
// manager tries a file system's FastIoLock and FastIoUnlockSingle before it
// builds an IRP). The handle needs read or write access.
NTSTATUS LockControl(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, UCHAR minor,
                     PLARGE_INTEGER ByteOffset, PLARGE_INTEGER Length, ULONG Key,
                     BOOLEAN FailImmediately, BOOLEAN ExclusiveLock, KPROCESSOR_MODE mode) {
  if (!IoStatusBlock || !ByteOffset || !Length) return STATUS_ACCESS_VIOLATION;
  HandleRef ref(FileHandle, mode);
  if (!ref.file()) return ref.status();
  if (!ref.Allows(FILE_READ_DATA | FILE_WRITE_DATA, mode, true)) return STATUS_ACCESS_DENIED;
  LARGE_INTEGER length = *Length;  // captured: the parameters hold a pointer to it
  IO_STATUS_BLOCK iosb{};
  auto fill = [&](Operation& op) {
    auto& p = op.iopb.Parameters.LockControl;
    p.ByteOffset = *ByteOffset;
    p.Length = &length;
    p.Key = Key;
    p.ProcessId = kernel::ProcessBody(op.requestorProcessId);
    p.FailImmediately = FailImmediately;
    p.ExclusiveLock = ExclusiveLock;
  };
  const bool fastIoable = !(ref.file()->fo()->Flags & FO_VOLUME_OPEN);
  NTSTATUS status = Run(ref.file(), mode, IRP_MJ_LOCK_CONTROL, minor, fill, iosb, fastIoable);
  return Finish(IoStatusBlock, iosb, status);
}

// Asynchronous requests in flight, per file object: a wait on a file
// handle returns when its file object has none (the I/O manager signals a
// file object when I/O on it completes).
struct InFlight {
  std::mutex lock;
  std::condition_variable done;
  std::map<const FileObject*, int> count;
};

InFlight& AsyncInFlight() {
  static InFlight inFlight;
  return inFlight;
}

// An asynchronous request still in flight when the test ends waits for a
// change that will not come, in a thread the test cannot join: its handle
// was never closed (the cleanup would have completed it).
kernel::EndOfTestCheckRegistration asyncRequestsLeft([] {
  InFlight& inFlight = AsyncInFlight();
  std::lock_guard guard(inFlight.lock);
  if (!inFlight.count.empty()) {
    verifier::Report(verifier::Check::Io,
                     "asynchronous change notification still pending at the end of the test "
                     "(its directory handle was never closed)");
  }
});

// Change notification: IRP_MJ_DIRECTORY_CONTROL / IRP_MN_NOTIFY_CHANGE_DIRECTORY
// with FILE_LIST_DIRECTORY on the handle, a filter of FILE_NOTIFY_CHANGE_*
// bits (none, or others, is STATUS_INVALID_PARAMETER), the caller's buffer
// as the listing's (neither buffered nor direct). A synchronous handle's
// caller waits for the completion. On an asynchronous handle the call
// returns STATUS_PENDING once the file system keeps the request, and the
// IO_STATUS_BLOCK is written when it completes. The sim runs such a
// request, from its pre-operations on, in a thread of the caller's process
// standing in for the caller's thread, while the caller waits until the
// request is kept or done; the completion (post-operations) arrives as a
// request pended below does. Event and ApcRoutine are ignored, as
// everywhere in the sim: a caller waits on the file handle instead.
NTSTATUS NotifyChange(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer,
                      ULONG Length, ULONG CompletionFilter, BOOLEAN WatchTree,
                      KPROCESSOR_MODE mode) {
  if (!IoStatusBlock) return STATUS_ACCESS_VIOLATION;
  if (CompletionFilter == 0 || (CompletionFilter & ~FILE_NOTIFY_VALID_MASK) != 0) {
    return STATUS_INVALID_PARAMETER;
  }
  if (Length != 0 && !Buffer) return STATUS_ACCESS_VIOLATION;
  if (MisalignedFromUser(mode, Buffer, sizeof(ULONG))) return STATUS_DATATYPE_MISALIGNMENT;
  HandleRef ref(FileHandle, mode);
  if (!ref.file()) return ref.status();
  if (!ref.Allows(FILE_LIST_DIRECTORY, mode)) return STATUS_ACCESS_DENIED;
  FileObject* file = ref.file();
  auto fill = [=](Operation& op) {
    auto& n = op.iopb.Parameters.DirectoryControl.NotifyDirectory;
    n.Length = Length;
    n.CompletionFilter = CompletionFilter;
    n.DirectoryBuffer = Buffer;
    if (WatchTree) op.iopb.OperationFlags |= SL_WATCH_TREE;
  };
  if (file->fo()->Flags & FO_SYNCHRONOUS_IO) {
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status =
        Run(file, mode, IRP_MJ_DIRECTORY_CONTROL, IRP_MN_NOTIFY_CHANGE_DIRECTORY, fill, iosb);
    return Finish(IoStatusBlock, iosb, status);
  }

  struct Issue {
    std::mutex lock;
    std::condition_variable changed;
    bool kept = false, done = false;
    NTSTATUS status = STATUS_PENDING;
  };
  auto issue = std::make_shared<Issue>();
  InFlight& inFlight = AsyncInFlight();
  {
    std::lock_guard guard(inFlight.lock);
    ++inFlight.count[file];
  }
  file->Reference();
  const std::uint32_t processId = kernel::CurrentThread().processId;
  std::thread([=] {
    kernel::CurrentThread().processId = processId;
    auto keptFill = [&](Operation& op) {
      fill(op);
      op.onPendedInFileSystem = [issue] {
        std::lock_guard guard(issue->lock);
        issue->kept = true;
        issue->changed.notify_all();
      };
    };
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status = Run(file, mode, IRP_MJ_DIRECTORY_CONTROL, IRP_MN_NOTIFY_CHANGE_DIRECTORY,
                          keptFill, iosb);
    Finish(IoStatusBlock, iosb, status);
    file->Dereference();
    {
      // Out of flight before the caller can return: a request completed at
      // once is not in flight once the call has returned.
      InFlight& requests = AsyncInFlight();
      std::lock_guard guard(requests.lock);
      if (--requests.count[file] == 0) requests.count.erase(file);
      requests.done.notify_all();
    }
    std::lock_guard guard(issue->lock);
    issue->done = true;
    issue->status = status;
    issue->changed.notify_all();
  }).detach();
  std::unique_lock wait(issue->lock);
  issue->changed.wait(wait, [&] { return issue->kept || issue->done; });
  return issue->done ? issue->status : STATUS_PENDING;
}

NTSTATUS QueryFullAttributes(POBJECT_ATTRIBUTES oa, PFILE_NETWORK_OPEN_INFORMATION info,
                             KPROCESSOR_MODE mode) {
  if (!oa || !info || oa->Length != sizeof(OBJECT_ATTRIBUTES)) return STATUS_INVALID_PARAMETER;
  std::u16string name =
      oa->ObjectName && oa->ObjectName->Buffer
          ? std::u16string(reinterpret_cast<const char16_t*>(oa->ObjectName->Buffer),
                           oa->ObjectName->Length / sizeof(WCHAR))
          : std::u16string();
  Volume* volume = nullptr;
  FILE_OBJECT* related = nullptr;
  kernel::KernelObject* root = nullptr;
  if (oa->RootDirectory) {
    root = kernel::ReferenceHandle(oa->RootDirectory, mode);
    auto* rootFile = dynamic_cast<FileObject*>(root);
    if (!rootFile) {
      if (root) root->Dereference();
      return STATUS_INVALID_HANDLE;
    }
    volume = rootFile->volume;
    related = rootFile->fo();
  } else {
    ParsedName parsed;
    NTSTATUS status = ParseObjectName(name, parsed);
    if (!NT_SUCCESS(status)) return status;
    volume = parsed.volume;
    name = parsed.remainder;
  }
  auto* file = new FileObject(volume, name, related);
  if (root) root->Dereference();
  bool refused;
  NTSTATUS status;
  {
    Operation op(volume, file, IRP_MJ_NETWORK_QUERY_OPEN, 0);
    op.data.RequestorMode = mode;
    op.fastIo = true;
    op.iopb.Parameters.NetworkQueryOpen.NetworkInformation = info;
    status = SendOperation(op);
    refused = op.fastIoRefused;
  }
  file->Dereference();
  if (!refused) return status;
  HANDLE h = nullptr;
  IO_STATUS_BLOCK iosb{};
  status = CreateFileCommon(&h, FILE_READ_ATTRIBUTES | SYNCHRONIZE, oa, &iosb, nullptr, 0,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                            FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0, mode);
  if (!NT_SUCCESS(status)) return status;
  status = QueryInformation(h, &iosb, info, sizeof(*info), FileNetworkOpenInformation, mode);
  kernel::CloseHandle(h, mode);
  return status;
}

}  // namespace sim::io

using namespace sim::io;

NTSTATUS NtQueryFullAttributesFile(POBJECT_ATTRIBUTES ObjectAttributes,
                                   PFILE_NETWORK_OPEN_INFORMATION FileInformation) {
  return QueryFullAttributes(ObjectAttributes, FileInformation, UserMode);
}

NTSTATUS NtCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                      POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                      PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
                      ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                      ULONG EaLength) {
  sim::io::CreateCallSite callSite(__builtin_return_address(0));
  return CreateFileCommon(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock,
                          AllocationSize, FileAttributes, ShareAccess, CreateDisposition,
                          CreateOptions, EaBuffer, EaLength, UserMode);
}

NTSTATUS NtOpenFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                    POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                    ULONG ShareAccess, ULONG OpenOptions) {
  sim::io::CreateCallSite callSite(__builtin_return_address(0));
  return CreateFileCommon(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, nullptr, 0,
                          ShareAccess, FILE_OPEN, OpenOptions, nullptr, 0, UserMode);
}

NTSTATUS NtClose(HANDLE Handle) {
  return sim::kernel::CloseHandle(Handle, UserMode);
}

NTSTATUS NtReadFile(HANDLE FileHandle, HANDLE, PIO_APC_ROUTINE, PVOID,
                    PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                    PLARGE_INTEGER ByteOffset, PULONG Key) {
  return ReadWrite(false, FileHandle, IoStatusBlock, Buffer, Length, ByteOffset, Key, UserMode);
}

NTSTATUS NtWriteFile(HANDLE FileHandle, HANDLE, PIO_APC_ROUTINE, PVOID,
                     PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                     PLARGE_INTEGER ByteOffset, PULONG Key) {
  return ReadWrite(true, FileHandle, IoStatusBlock, Buffer, Length, ByteOffset, Key, UserMode);
}

NTSTATUS NtQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                PVOID FileInformation, ULONG Length,
                                FILE_INFORMATION_CLASS FileInformationClass) {
  return QueryInformation(FileHandle, IoStatusBlock, FileInformation, Length, FileInformationClass,
                          UserMode);
}

NTSTATUS NtSetInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                              PVOID FileInformation, ULONG Length,
                              FILE_INFORMATION_CLASS FileInformationClass) {
  return SetInformation(FileHandle, IoStatusBlock, FileInformation, Length, FileInformationClass,
                        UserMode);
}

NTSTATUS NtQueryDirectoryFile(HANDLE FileHandle, HANDLE, PIO_APC_ROUTINE, PVOID,
                              PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation, ULONG Length,
                              FILE_INFORMATION_CLASS FileInformationClass,
                              BOOLEAN ReturnSingleEntry, PUNICODE_STRING FileName,
                              BOOLEAN RestartScan) {
  return QueryDirectory(FileHandle, IoStatusBlock, FileInformation, Length, FileInformationClass,
                        ReturnSingleEntry, FileName, RestartScan, UserMode);
}

NTSTATUS NtQueryVolumeInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                      PVOID FsInformation, ULONG Length,
                                      FS_INFORMATION_CLASS FsInformationClass) {
  return QueryVolume(FileHandle, IoStatusBlock, FsInformation, Length, FsInformationClass,
                     UserMode);
}

NTSTATUS NtQuerySecurityObject(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                               PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG Length,
                               PULONG LengthNeeded) {
  return QuerySecurity(Handle, SecurityInformation, SecurityDescriptor, Length, LengthNeeded,
                       UserMode);
}

NTSTATUS NtFsControlFile(HANDLE FileHandle, HANDLE, PIO_APC_ROUTINE, PVOID,
                         PIO_STATUS_BLOCK IoStatusBlock, ULONG FsControlCode, PVOID InputBuffer,
                         ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength) {
  return Control(true, FileHandle, IoStatusBlock, FsControlCode, InputBuffer, InputBufferLength,
                 OutputBuffer, OutputBufferLength, UserMode);
}

NTSTATUS NtDeviceIoControlFile(HANDLE FileHandle, HANDLE, PIO_APC_ROUTINE, PVOID,
                               PIO_STATUS_BLOCK IoStatusBlock, ULONG IoControlCode,
                               PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                               ULONG OutputBufferLength) {
  return Control(false, FileHandle, IoStatusBlock, IoControlCode, InputBuffer, InputBufferLength,
                 OutputBuffer, OutputBufferLength, UserMode);
}

NTSTATUS NtQueryEaFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer,
                       ULONG Length, BOOLEAN ReturnSingleEntry, PVOID EaList, ULONG EaListLength,
                       PULONG EaIndex, BOOLEAN RestartScan) {
  return QueryEa(FileHandle, IoStatusBlock, Buffer, Length, ReturnSingleEntry, EaList, EaListLength,
                 EaIndex, RestartScan, UserMode);
}

NTSTATUS NtSetEaFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer,
                     ULONG Length) {
  return SetEa(FileHandle, IoStatusBlock, Buffer, Length, UserMode);
}

NTSTATUS NtLockFile(HANDLE FileHandle, HANDLE, PIO_APC_ROUTINE, PVOID,
                    PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER ByteOffset,
                    PLARGE_INTEGER Length, ULONG Key, BOOLEAN FailImmediately,
                    BOOLEAN ExclusiveLock) {
  return LockControl(FileHandle, IoStatusBlock, IRP_MN_LOCK, ByteOffset, Length, Key,
                     FailImmediately, ExclusiveLock, UserMode);
}

NTSTATUS NtUnlockFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER ByteOffset,
                      PLARGE_INTEGER Length, ULONG Key) {
  return LockControl(FileHandle, IoStatusBlock, IRP_MN_UNLOCK_SINGLE, ByteOffset, Length, Key, TRUE,
                     FALSE, UserMode);
}

namespace sim::io {
void WaitForAsynchronousRequests() {
  InFlight& inFlight = AsyncInFlight();
  std::unique_lock lock(inFlight.lock);
  inFlight.done.wait(lock, [&] { return inFlight.count.empty(); });
}
}  // namespace sim::io

NTSTATUS NtNotifyChangeDirectoryFile(HANDLE FileHandle, HANDLE, PIO_APC_ROUTINE, PVOID,
                                     PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                                     ULONG CompletionFilter, BOOLEAN WatchTree) {
  return NotifyChange(FileHandle, IoStatusBlock, Buffer, Length, CompletionFilter, WatchTree,
                      UserMode);
}

// Waits only on file handles: until no asynchronous request on the file
// object is in flight. A time-out is either none or zero (a poll); the sim
// has no other waitable objects for programs.
NTSTATUS NtWaitForSingleObject(HANDLE Handle, BOOLEAN, PLARGE_INTEGER Timeout) {
  if (Timeout && Timeout->QuadPart != 0) return STATUS_INVALID_PARAMETER;
  HandleRef ref(Handle, UserMode);
  if (!ref.file()) return ref.status();
  InFlight& inFlight = AsyncInFlight();
  std::unique_lock lock(inFlight.lock);
  auto idle = [&] { return inFlight.count.count(ref.file()) == 0; };
  if (Timeout) return idle() ? STATUS_SUCCESS : STATUS_TIMEOUT;
  inFlight.done.wait(lock, idle);
  return STATUS_SUCCESS;
}

NTSTATUS NtFlushBuffersFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock) {
  return Flush(FileHandle, IoStatusBlock, UserMode);
}

// Kernel-mode equivalents.
NTSTATUS ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                      POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                      PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
                      ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                      ULONG EaLength) {
  sim::io::CreateCallSite callSite(__builtin_return_address(0));
  return CreateFileCommon(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock,
                          AllocationSize, FileAttributes, ShareAccess, CreateDisposition,
                          CreateOptions, EaBuffer, EaLength, KernelMode);
}

NTSTATUS ZwOpenFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                    POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                    ULONG ShareAccess, ULONG OpenOptions) {
  sim::io::CreateCallSite callSite(__builtin_return_address(0));
  return CreateFileCommon(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, nullptr, 0,
                          ShareAccess, FILE_OPEN, OpenOptions, nullptr, 0, KernelMode);
}

NTSTATUS ZwReadFile(HANDLE FileHandle, HANDLE, PIO_APC_ROUTINE, PVOID,
                    PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                    PLARGE_INTEGER ByteOffset, PULONG Key) {
  return ReadWrite(false, FileHandle, IoStatusBlock, Buffer, Length, ByteOffset, Key, KernelMode);
}

NTSTATUS ZwWriteFile(HANDLE FileHandle, HANDLE, PIO_APC_ROUTINE, PVOID,
                     PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                     PLARGE_INTEGER ByteOffset, PULONG Key) {
  return ReadWrite(true, FileHandle, IoStatusBlock, Buffer, Length, ByteOffset, Key, KernelMode);
}

NTSTATUS ZwQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                PVOID FileInformation, ULONG Length,
                                FILE_INFORMATION_CLASS FileInformationClass) {
  return QueryInformation(FileHandle, IoStatusBlock, FileInformation, Length, FileInformationClass,
                          KernelMode);
}

NTSTATUS ZwSetInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                              PVOID FileInformation, ULONG Length,
                              FILE_INFORMATION_CLASS FileInformationClass) {
  return SetInformation(FileHandle, IoStatusBlock, FileInformation, Length, FileInformationClass,
                        KernelMode);
}

NTSTATUS ZwQueryDirectoryFile(HANDLE FileHandle, HANDLE, PIO_APC_ROUTINE, PVOID,
                              PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation, ULONG Length,
                              FILE_INFORMATION_CLASS FileInformationClass,
                              BOOLEAN ReturnSingleEntry, PUNICODE_STRING FileName,
                              BOOLEAN RestartScan) {
  return QueryDirectory(FileHandle, IoStatusBlock, FileInformation, Length, FileInformationClass,
                        ReturnSingleEntry, FileName, RestartScan, KernelMode);
}

NTSTATUS ZwQueryVolumeInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                      PVOID FsInformation, ULONG Length,
                                      FS_INFORMATION_CLASS FsInformationClass) {
  return QueryVolume(FileHandle, IoStatusBlock, FsInformation, Length, FsInformationClass,
                     KernelMode);
}

NTSTATUS ZwFsControlFile(HANDLE FileHandle, HANDLE, PIO_APC_ROUTINE, PVOID,
                         PIO_STATUS_BLOCK IoStatusBlock, ULONG FsControlCode, PVOID InputBuffer,
                         ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength) {
  return Control(true, FileHandle, IoStatusBlock, FsControlCode, InputBuffer, InputBufferLength,
                 OutputBuffer, OutputBufferLength, KernelMode);
}
