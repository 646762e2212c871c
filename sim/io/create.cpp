// The create path: parameter checks, name parsing (full names and
// RootDirectory-relative ones), the create operation down the stack, and the
// re-parse of a create completed with STATUS_REPARSE.
#include "io/io_manager.h"
#include "kernel/object_manager.h"

namespace sim::io {
namespace {

std::u16string ToU16(const UNICODE_STRING* s) {
  if (!s || !s->Buffer) return {};
  return std::u16string(reinterpret_cast<const char16_t*>(s->Buffer), s->Length / sizeof(WCHAR));
}

// The checks NtCreateFile makes before any driver sees the open.
NTSTATUS ValidateCreate(const CreateRequest& rq, ACCESS_MASK access) {
  const ULONG options = rq.options;
  if (rq.disposition > FILE_MAXIMUM_DISPOSITION) return STATUS_INVALID_PARAMETER;
  if (options & ~FILE_VALID_OPTION_FLAGS) return STATUS_INVALID_PARAMETER;
  if (rq.shareAccess & ~FILE_SHARE_VALID_FLAGS) return STATUS_INVALID_PARAMETER;
  if ((options & FILE_DIRECTORY_FILE) && (options & FILE_NON_DIRECTORY_FILE)) {
    return STATUS_INVALID_PARAMETER;
  }
  if ((options & FILE_DIRECTORY_FILE) && rq.disposition != FILE_CREATE &&
      rq.disposition != FILE_OPEN && rq.disposition != FILE_OPEN_IF) {
    return STATUS_INVALID_PARAMETER;
  }
  const ULONG sync = options & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT);
  if (sync == (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT))
    return STATUS_INVALID_PARAMETER;
  if (sync && !(access & SYNCHRONIZE)) return STATUS_INVALID_PARAMETER;
  if ((options & FILE_DELETE_ON_CLOSE) && !(access & DELETE)) return STATUS_INVALID_PARAMETER;
  if ((options & FILE_NO_INTERMEDIATE_BUFFERING) && (access & FILE_APPEND_DATA)) {
    return STATUS_INVALID_PARAMETER;
  }
  if (rq.eaBuffer == nullptr && rq.eaLength != 0) return STATUS_INVALID_PARAMETER;
  return STATUS_SUCCESS;
}

ULONG FileObjectFlagsFor(const CreateRequest& rq) {
  ULONG flags = 0;
  if (rq.options & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT))
    flags |= FO_SYNCHRONOUS_IO;
  if (rq.options & FILE_SYNCHRONOUS_IO_ALERT) flags |= FO_ALERTABLE_IO;
  if (rq.options & FILE_NO_INTERMEDIATE_BUFFERING) flags |= FO_NO_INTERMEDIATE_BUFFERING;
  if (rq.options & FILE_WRITE_THROUGH) flags |= FO_WRITE_THROUGH;
  if (rq.options & FILE_SEQUENTIAL_ONLY) flags |= FO_SEQUENTIAL_ONLY;
  if (rq.options & FILE_RANDOM_ACCESS) flags |= FO_RANDOM_ACCESS;
  if (!(rq.attributes->Attributes & OBJ_CASE_INSENSITIVE)) flags |= FO_OPENED_CASE_SENSITIVE;
  return flags;
}

// A create that failed although the file system opened the file, without
// FltCancelFileOpen (the verifier has reported the post-create that did it).
// Windows would leave the file open in the file system for good; the sim
// closes it there, unseen by the filters, so the volume stays consistent.
void CloseLeftOpenInFileSystem(FileObject* file) {
  for (UCHAR major : {IRP_MJ_CLEANUP, IRP_MJ_CLOSE}) {
    Operation op(file->volume, file, major, 0);
    CallFileSystem(op);
  }
  file->openedByFileSystem = false;
}

}  // namespace

ACCESS_MASK MapGenericFileAccess(ACCESS_MASK access) {
  if (access & GENERIC_READ) access |= FILE_GENERIC_READ;
  if (access & GENERIC_WRITE) access |= FILE_GENERIC_WRITE;
  if (access & GENERIC_EXECUTE) access |= FILE_GENERIC_EXECUTE;
  if (access & GENERIC_ALL) access |= FILE_ALL_ACCESS;
  // No security model: the maximum is everything a file has.
  if (access & MAXIMUM_ALLOWED) access |= FILE_ALL_ACCESS;
  return access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
}

NTSTATUS CreateFile(const CreateRequest& rq, FileObject** fileOut, IO_STATUS_BLOCK& iosb) {
  *fileOut = nullptr;
  iosb.Information = 0;
  const OBJECT_ATTRIBUTES* oa = rq.attributes;
  if (!oa || oa->Length != sizeof(OBJECT_ATTRIBUTES)) return iosb.Status = STATUS_INVALID_PARAMETER;
  const ACCESS_MASK access = MapGenericFileAccess(rq.desiredAccess);
  // IO_NO_PARAMETER_CHECKING: the caller vouches for its parameters, so the
  // I/O manager's own checks are skipped (the sim never probes kernel
  // buffers anyway); the file system still refuses what it cannot serve.
  NTSTATUS status =
      (rq.ioOptions & IO_NO_PARAMETER_CHECKING) ? STATUS_SUCCESS : ValidateCreate(rq, access);
  if (!NT_SUCCESS(status)) return iosb.Status = status;

  std::u16string name = ToU16(oa->ObjectName);
  Volume* volume = nullptr;
  FILE_OBJECT* related = nullptr;
  kernel::KernelObject* root = nullptr;
  if (oa->RootDirectory) {
    root = kernel::ReferenceHandle(oa->RootDirectory, rq.mode);
    FileObject* rootFile = dynamic_cast<FileObject*>(root);
    if (!rootFile) {
      if (root) root->Dereference();
      return iosb.Status = root ? STATUS_OBJECT_TYPE_MISMATCH : STATUS_INVALID_HANDLE;
    }
    if (!name.empty() && name[0] == u'\\') {
      root->Dereference();
      return iosb.Status = STATUS_OBJECT_PATH_SYNTAX_BAD;
    }
    volume = rootFile->volume;
    related = rootFile->fo();
  } else {
    if (name.empty()) return iosb.Status = STATUS_OBJECT_NAME_INVALID;
    ParsedName parsed;
    status = ParseObjectName(name, parsed);
    if (!NT_SUCCESS(status)) return iosb.Status = status;
    volume = parsed.volume;
    name = std::move(parsed.remainder);
  }

  for (int reparses = 0;; ++reparses) {
    auto* file = new FileObject(volume, name, related);
    file->fo()->Flags |= FileObjectFlagsFor(rq);
    if (name.empty() && !related) file->fo()->Flags |= FO_VOLUME_OPEN;
    file->targetInstance = rq.startBelow;
    file->kernelCreated = rq.fromFilter;
    // IO_IGNORE_SHARE_ACCESS_CHECK marks the new file object before the
    // create is sent: filters see it with IoIsFileObjectIgnoringSharing, the
    // file system skips its share-access check and bookkeeping for it.
    if (rq.ioOptions & IO_IGNORE_SHARE_ACCESS_CHECK) file->ignoreSharing = true;

    Operation op(volume, file, IRP_MJ_CREATE, 0);
    op.data.RequestorMode = rq.mode;
    op.kernelOpenedTarget = rq.fromFilter;
    // MAXIMUM_ALLOWED goes down as it is: the file system's access check
    // decides what it amounts to (a read-only file: no write access).
    op.securityContext.DesiredAccess =
        (rq.desiredAccess & MAXIMUM_ALLOWED)
            ? (MapGenericFileAccess(rq.desiredAccess & ~MAXIMUM_ALLOWED) | MAXIMUM_ALLOWED)
            : access;
    op.securityContext.FullCreateOptions = rq.options;
    auto& create = op.iopb.Parameters.Create;
    create.SecurityContext = &op.securityContext;
    create.Options = (rq.disposition << 24) | (rq.options & FILE_VALID_OPTION_FLAGS);
    create.FileAttributes = static_cast<USHORT>(rq.fileAttributes & FILE_ATTRIBUTE_VALID_FLAGS);
    create.ShareAccess = static_cast<USHORT>(rq.shareAccess);
    create.EaLength = rq.eaLength;
    create.EaBuffer = rq.eaBuffer;
    create.AllocationSize = rq.allocationSize;
    op.iopb.IrpFlags |= IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API;
    if (file->fo()->Flags & FO_OPENED_CASE_SENSITIVE) op.iopb.OperationFlags |= SL_CASE_SENSITIVE;
    // The create options the file system reads from its stack location.
    if (rq.ioOptions & IO_FORCE_ACCESS_CHECK) op.iopb.OperationFlags |= SL_FORCE_ACCESS_CHECK;
    if (rq.ioOptions & IO_OPEN_TARGET_DIRECTORY) op.iopb.OperationFlags |= SL_OPEN_TARGET_DIRECTORY;
    if (rq.ioOptions & IO_STOP_ON_SYMLINK) op.iopb.OperationFlags |= SL_STOP_ON_SYMLINK;

    file->createInProgress = true;
    status = SendOperation(op);
    file->createInProgress = false;
    iosb = op.data.IoStatus;

    if (status == STATUS_REPARSE && op.data.IoStatus.Information == IO_REPARSE) {
      // The new name (a full object name) is in the file object.
      std::u16string newName = file->Name();
      file->Dereference();
      if (reparses + 1 >= kMaxReparseCount) {
        status = STATUS_REPARSE_POINT_NOT_RESOLVED;
        break;
      }
      ParsedName parsed;
      status = ParseObjectName(newName, parsed);
      if (!NT_SUCCESS(status)) break;
      volume = parsed.volume;
      name = std::move(parsed.remainder);
      related = nullptr;
      continue;
    }
    if (!NT_SUCCESS(status) || status == STATUS_REPARSE) {
      // A reparse the I/O manager does not handle (reparse-point tags) fails
      // the open here.
      if (status == STATUS_REPARSE) status = STATUS_IO_REPARSE_TAG_NOT_HANDLED;
      if (file->openedByFileSystem) CloseLeftOpenInFileSystem(file);
      file->Dereference();
      break;
    }
    file->opened = true;
    if (!file->openedByFileSystem || file->grantedAccess == 0) file->grantedAccess = access;
    file->createOptions = rq.options;
    *fileOut = file;
    break;
  }
  if (root) root->Dereference();
  iosb.Status = status;
  if (!NT_SUCCESS(status)) iosb.Information = 0;
  return status;
}

}  // namespace sim::io
