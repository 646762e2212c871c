// The bottom of the stack: turns an operation's parameters into a call of
// the volume's file system, as the file system's dispatch routines would
// read them from the IRP.
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "io/io_manager.h"
#include "io/user_buffers.h"
#include "kernel/lifecycle.h"
#include "kernel/object_manager.h"
#include "verifier/verifier.h"

namespace sim::io {
namespace {

std::string Utf8(std::u16string_view s) {
  std::string out;
  for (char16_t c : s) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

void* BufferOf(PVOID buffer, PMDL mdl) {
  if (buffer) return buffer;
  return mdl ? MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority) : nullptr;
}

// Reads the target of a rename or link from the request: the buffer's name
// and replace flag, and the target directory the I/O manager opened
// (ParentOfTarget). A target directory on another volume is refused as a
// file system refuses a target file object of another device; one this
// file system never opened (a filter's own file object passed down) is a
// verifier report.
NTSTATUS ReadRenameTarget(Operation& op, bool exClass, RenameTarget& target) {
  auto& p = op.iopb.Parameters.SetFileInformation;
  const auto* info = static_cast<const FILE_RENAME_INFORMATION*>(p.InfoBuffer);
  const ULONG header = FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName);
  if (p.Length < header || info->FileNameLength > p.Length - header) return STATUS_INVALID_PARAMETER;
  target.flagsEx = exClass ? info->Flags : 0;
  target.replaceIfExists =
      exClass ? (info->Flags & FILE_RENAME_REPLACE_IF_EXISTS) != 0 : info->ReplaceIfExists != 0;
  target.directory = p.ParentOfTarget;
  if (target.directory == nullptr) {
    target.name.assign(reinterpret_cast<const char16_t*>(info->FileName),
                       info->FileNameLength / sizeof(WCHAR));
    return target.name.empty() ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
  }
  FileObject* directory = FileObjectFromBody(target.directory);
  if (directory == nullptr || directory->volume != op.volume) return STATUS_NOT_SAME_DEVICE;
  if (!op.volume->fs->Owns(target.directory)) {
    verifier::Report(verifier::Check::Io,
                     "rename or link reached the file system with a target directory (\"" +
                         Utf8(directory->Name()) + "\") it never opened");
    return STATUS_INVALID_PARAMETER;
  }
  target.name = directory->Name();
  return STATUS_SUCCESS;
}

// METHOD_BUFFERED controls go through one system buffer for input and output.
NTSTATUS CallControl(Operation& op, bool fsControl) {
  FileSystem& fs = *op.volume->fs;
  FILE_OBJECT* fo = op.iopb.TargetFileObject;
  auto& p = op.iopb.Parameters;
  const ULONG code =
      fsControl ? p.FileSystemControl.Common.FsControlCode : p.DeviceIoControl.Common.IoControlCode;
  const ULONG inLength = p.DeviceIoControl.Common.InputBufferLength;
  const ULONG outLength = p.DeviceIoControl.Common.OutputBufferLength;
  IO_STATUS_BLOCK& iosb = op.data.IoStatus;
  if (METHOD_FROM_CTL_CODE(code) == METHOD_BUFFERED) {
    void* system = p.DeviceIoControl.Buffered.SystemBuffer;
    return fsControl ? fs.FileSystemControl(fo, code, system, inLength, system, outLength, iosb)
                     : fs.DeviceControl(fo, code, system, inLength, system, outLength, iosb);
  }
  void* in = p.DeviceIoControl.Neither.InputBuffer;
  void* out =
      BufferOf(p.DeviceIoControl.Neither.OutputBuffer, p.DeviceIoControl.Neither.OutputMdlAddress);
  return fsControl ? fs.FileSystemControl(fo, code, in, inLength, out, outLength, iosb)
                   : fs.DeviceControl(fo, code, in, inLength, out, outLength, iosb);
}

// The file system's fast query-open: the attributes of the file the file
// object names, through an open of its own that no filter sees.
NTSTATUS QueryOpen(Operation& op) {
  FileSystem& fs = *op.volume->fs;
  FILE_OBJECT probe{};
  probe.Size = sizeof(FILE_OBJECT);
  probe.DeviceObject = &op.volume->device;
  probe.FileName = op.iopb.TargetFileObject->FileName;
  probe.RelatedFileObject = op.iopb.TargetFileObject->RelatedFileObject;
  CreateParameters params;
  params.desiredAccess = FILE_READ_ATTRIBUTES | SYNCHRONIZE;
  params.shareAccess = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  params.disposition = FILE_OPEN;
  params.requestorMode = op.data.RequestorMode;
  IO_STATUS_BLOCK iosb{};
  NTSTATUS status = fs.Create(&probe, params, iosb);
  if (!NT_SUCCESS(status)) return status;
  auto* info = op.iopb.Parameters.NetworkQueryOpen.NetworkInformation;
  status = fs.QueryInformation(&probe, FileNetworkOpenInformation, info, sizeof(*info), iosb);
  op.data.IoStatus.Information = NT_SUCCESS(status) ? sizeof(*info) : 0;
  IO_STATUS_BLOCK ignored{};
  fs.Cleanup(&probe, ignored);
  fs.Close(&probe);
  return status;
}

struct KeptRequests {
  std::mutex lock;
  std::condition_variable changed;
  std::uint64_t count = 0;
};

KeptRequests& Kept() {
  static KeptRequests kept;
  return kept;
}

// MDL reads (IRP_MN_MDL), as the cache manager answers them for a file
// system (CcMdlRead / CcMdlReadComplete): the read hands back an MDL that
// describes the data in the cache (here: a copy the I/O path owns) in the
// request's MdlAddress; IRP_MN_MDL | IRP_MN_COMPLETE gives it back. An
// end-of-file read hands back none. Completing an MDL this path did not
// hand out is a verifier report, and so is one still out at the end of a
// test (the caller never completed its MDL read).
struct MdlReads {
  std::mutex lock;
  std::map<PMDL, std::unique_ptr<unsigned char[]>> out;
};

MdlReads& OutstandingMdls() {
  static MdlReads reads;
  return reads;
}

kernel::EndOfTestCheckRegistration mdlReadsLeft([] {
  MdlReads& reads = OutstandingMdls();
  std::lock_guard guard(reads.lock);
  if (reads.out.empty()) return;
  verifier::Report(verifier::Check::Io, std::to_string(reads.out.size()) +
                                            " MDL read(s) never completed (IRP_MN_MDL | "
                                            "IRP_MN_COMPLETE)");
  for (auto& [mdl, buffer] : reads.out) IoFreeMdl(mdl);
  reads.out.clear();
});

NTSTATUS MdlRead(Operation& op, IO_STATUS_BLOCK& iosb) {
  auto& r = op.iopb.Parameters.Read;
  MdlReads& reads = OutstandingMdls();
  if (op.iopb.MinorFunction & IRP_MN_COMPLETE) {
    std::lock_guard guard(reads.lock);
    auto it = reads.out.find(r.MdlAddress);
    if (it == reads.out.end()) {
      verifier::Report(verifier::Check::Io,
                       "MDL read completed with an MDL the file system did not hand out");
      return STATUS_INVALID_PARAMETER;
    }
    IoFreeMdl(it->first);
    reads.out.erase(it);
    r.MdlAddress = nullptr;
    return STATUS_SUCCESS;
  }
  auto buffer = std::make_unique<unsigned char[]>(r.Length ? r.Length : 1);
  LARGE_INTEGER offset = r.ByteOffset;
  NTSTATUS status =
      op.volume->fs->Read(op.iopb.TargetFileObject, buffer.get(), r.Length, &offset, iosb);
  if (!NT_SUCCESS(status) || iosb.Information == 0) return status;
  PMDL mdl = IoAllocateMdl(buffer.get(), static_cast<ULONG>(iosb.Information), FALSE, FALSE,
                           nullptr);
  if (!mdl) {
    iosb.Information = 0;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  MmBuildMdlForNonPagedPool(mdl);
  r.MdlAddress = mdl;
  std::lock_guard guard(reads.lock);
  reads.out.emplace(mdl, std::move(buffer));
  return status;
}

}  // namespace

std::uint64_t KeptRequestCount() {
  std::lock_guard guard(Kept().lock);
  return Kept().count;
}

void WaitForKeptRequests(std::uint64_t count) {
  std::unique_lock lock(Kept().lock);
  Kept().changed.wait(lock, [count] { return Kept().count >= count; });
}

void CallFileSystem(Operation& op) {
  FileSystem& fs = *op.volume->fs;
  FILE_OBJECT* fo = op.iopb.TargetFileObject;
  IO_STATUS_BLOCK& iosb = op.data.IoStatus;
  auto& p = op.iopb.Parameters;
  iosb.Information = 0;
  const UCHAR major = op.iopb.MajorFunction;

  if (major == IRP_MJ_CREATE) {
    CreateParameters params;
    params.desiredAccess = p.Create.SecurityContext ? p.Create.SecurityContext->DesiredAccess : 0;
    params.options = p.Create.Options & FILE_VALID_OPTION_FLAGS;
    params.disposition = p.Create.Options >> 24;
    params.shareAccess = p.Create.ShareAccess;
    params.fileAttributes = p.Create.FileAttributes;
    params.allocationSize = p.Create.AllocationSize;
    params.flags = op.iopb.OperationFlags;
    params.requestorMode = op.data.RequestorMode;
    params.ignoreShareAccess = IoIsFileObjectIgnoringSharing(fo) != FALSE;
    params.eaBuffer = p.Create.EaBuffer;
    params.eaLength = p.Create.EaLength;
    ACCESS_MASK granted = 0;
    params.grantedAccess = &granted;
    iosb.Status = fs.Create(fo, params, iosb);
    if (NT_SUCCESS(iosb.Status) && iosb.Status != STATUS_REPARSE && op.file) {
      op.file->openedByFileSystem = true;
      if (granted != 0) op.file->grantedAccess = granted;
    }
    return;
  }

  if (major == IRP_MJ_NETWORK_QUERY_OPEN) {
    iosb.Status = QueryOpen(op);
    return;
  }

  // Shutdown names no file: the file system flushes what it caches (the
  // in-memory volume has nothing to write back) and succeeds.
  if (major == IRP_MJ_SHUTDOWN) {
    iosb.Status = STATUS_SUCCESS;
    return;
  }

  if (!fs.Owns(fo)) {
    const std::u16string name = op.file ? op.file->Name() : std::u16string();
    verifier::Report(verifier::Check::Io,
                     "operation (major " + std::to_string(major) +
                         ") reached the file system for a file object it never opened (\"" +
                         Utf8(name) + "\")");
    iosb.Status = major == IRP_MJ_CLOSE ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST;
    return;
  }

  switch (major) {
    case IRP_MJ_CLEANUP:
      iosb.Status = fs.Cleanup(fo, iosb);
      break;
    case IRP_MJ_CLOSE:
      fs.Close(fo);
      iosb.Status = STATUS_SUCCESS;
      break;
    case IRP_MJ_READ:
    case IRP_MJ_WRITE: {
      const bool read = major == IRP_MJ_READ;
      if (read && (op.iopb.MinorFunction & IRP_MN_MDL)) {
        iosb.Status = MdlRead(op, iosb);
        break;
      }
      LARGE_INTEGER offset = read ? p.Read.ByteOffset : p.Write.ByteOffset;
      const ULONG length = read ? p.Read.Length : p.Write.Length;
      void* buffer = read ? BufferOf(p.Read.ReadBuffer, p.Read.MdlAddress)
                          : BufferOf(p.Write.WriteBuffer, p.Write.MdlAddress);
      if (offset.HighPart == -1 && offset.LowPart == FILE_USE_FILE_POINTER_POSITION) {
        offset = fo->CurrentByteOffset;
      }
      iosb.Status = read ? fs.Read(fo, buffer, length, &offset, iosb)
                         : fs.Write(fo, buffer, length, &offset, iosb);
      // Synchronous file objects advance their position (the file system
      // may have done so already; the result is the same).
      const bool toEnd = offset.HighPart == -1 && offset.LowPart == FILE_WRITE_TO_END_OF_FILE;
      if (NT_SUCCESS(iosb.Status) && (fo->Flags & FO_SYNCHRONOUS_IO) && !toEnd) {
        fo->CurrentByteOffset.QuadPart = offset.QuadPart + static_cast<LONGLONG>(iosb.Information);
      }
      break;
    }
    case IRP_MJ_QUERY_INFORMATION:
      iosb.Status = fs.QueryInformation(fo, p.QueryFileInformation.FileInformationClass,
                                        p.QueryFileInformation.InfoBuffer,
                                        p.QueryFileInformation.Length, iosb);
      break;
    case IRP_MJ_SET_INFORMATION: {
      const FILE_INFORMATION_CLASS infoClass = p.SetFileInformation.FileInformationClass;
      RenameTarget target;
      RenameTarget* targetPtr = nullptr;
      const bool rename = infoClass == FileRenameInformation ||
                          infoClass == FileRenameInformationEx ||
                          infoClass == FileLinkInformation || infoClass == FileLinkInformationEx;
      if (rename) {
        const bool ex = infoClass == FileRenameInformationEx || infoClass == FileLinkInformationEx;
        NTSTATUS status = ReadRenameTarget(op, ex, target);
        if (!NT_SUCCESS(status)) {
          iosb.Status = status;
          break;
        }
        targetPtr = &target;
      }
      iosb.Status = fs.SetInformation(fo, infoClass, p.SetFileInformation.InfoBuffer,
                                      p.SetFileInformation.Length, targetPtr, iosb);
      break;
    }
    case IRP_MJ_DIRECTORY_CONTROL: {
      if (op.iopb.MinorFunction == IRP_MN_NOTIFY_CHANGE_DIRECTORY) {
        auto& n = p.DirectoryControl.NotifyDirectory;
        NotifyRequest request;
        request.completionFilter = n.CompletionFilter;
        request.watchTree = (op.iopb.OperationFlags & SL_WATCH_TREE) != 0;
        request.pending = [&op] {
          op.pendedByFileSystem = true;
          if (op.onPendedInFileSystem) op.onPendedInFileSystem();
          std::lock_guard guard(Kept().lock);
          ++Kept().count;
          Kept().changed.notify_all();
        };
        iosb.Status = fs.NotifyChangeDirectory(fo, request, BufferOf(n.DirectoryBuffer, n.MdlAddress),
                                               n.Length, iosb);
        break;
      }
      if (op.iopb.MinorFunction != IRP_MN_QUERY_DIRECTORY) {
        iosb.Status = STATUS_INVALID_DEVICE_REQUEST;
        break;
      }
      auto& q = p.DirectoryControl.QueryDirectory;
      DirectoryQuery query;
      query.infoClass = q.FileInformationClass;
      query.pattern = q.FileName;
      query.fileIndex = q.FileIndex;
      query.flags = op.iopb.OperationFlags;
      // The file system runs where the caller's buffer is valid: an MDL-only
      // user buffer (io/user_buffers.h) is reached through its system alias.
      iosb.Status = fs.QueryDirectory(
          fo, query, SystemAddressOf(BufferOf(q.DirectoryBuffer, q.MdlAddress)), q.Length, iosb);
      break;
    }
    case IRP_MJ_QUERY_VOLUME_INFORMATION:
      iosb.Status = fs.QueryVolumeInformation(fo, p.QueryVolumeInformation.FsInformationClass,
                                              p.QueryVolumeInformation.VolumeBuffer,
                                              p.QueryVolumeInformation.Length, iosb);
      break;
    case IRP_MJ_QUERY_SECURITY:
      iosb.Status =
          fs.QuerySecurity(fo, p.QuerySecurity.SecurityInformation,
                           BufferOf(p.QuerySecurity.SecurityBuffer, p.QuerySecurity.MdlAddress),
                           p.QuerySecurity.Length, iosb);
      break;
    case IRP_MJ_SET_SECURITY:
      iosb.Status = fs.SetSecurity(fo, p.SetSecurity.SecurityInformation,
                                   p.SetSecurity.SecurityDescriptor, iosb);
      break;
    case IRP_MJ_FILE_SYSTEM_CONTROL:
      iosb.Status = CallControl(op, true);
      break;
    case IRP_MJ_DEVICE_CONTROL:
      iosb.Status = CallControl(op, false);
      break;
    case IRP_MJ_ACQUIRE_FOR_SECTION_SYNCHRONIZATION:
    case IRP_MJ_RELEASE_FOR_SECTION_SYNCHRONIZATION:
      // The file system's default (FsRtl) callbacks: its FCB resources; the
      // sim's file systems serialize on their own locks, so nothing to take.
      iosb.Status = STATUS_SUCCESS;
      break;
    case IRP_MJ_ACQUIRE_FOR_MOD_WRITE:
      // The default (FsRtl) acquire: the FCB's resources, none of which the
      // sim's file systems use; no resource comes back to release.
      if (p.AcquireForModifiedPageWriter.ResourceToRelease)
        *p.AcquireForModifiedPageWriter.ResourceToRelease = nullptr;
      iosb.Status = STATUS_SUCCESS;
      break;
    case IRP_MJ_RELEASE_FOR_MOD_WRITE:
    case IRP_MJ_ACQUIRE_FOR_CC_FLUSH:
    case IRP_MJ_RELEASE_FOR_CC_FLUSH:
      iosb.Status = STATUS_SUCCESS;
      break;
    case IRP_MJ_QUERY_EA:
    case IRP_MJ_SET_EA:
      // The sim's file systems keep no extended attributes (a create with
      // an EA buffer is refused the same way).
      iosb.Status = STATUS_EAS_NOT_SUPPORTED;
      break;
    case IRP_MJ_LOCK_CONTROL: {
      ByteRangeRequest request;
      request.offset = p.LockControl.ByteOffset.QuadPart;
      request.length = p.LockControl.Length ? p.LockControl.Length->QuadPart : 0;
      request.key = p.LockControl.Key;
      request.processId = op.requestorProcessId;
      request.exclusive = p.LockControl.ExclusiveLock != FALSE;
      request.failImmediately = p.LockControl.FailImmediately != FALSE;
      iosb.Status = fs.LockControl(fo, op.iopb.MinorFunction, request, iosb);
      break;
    }
    case IRP_MJ_FLUSH_BUFFERS:
      iosb.Status = fs.FlushBuffers(fo, iosb);
      break;
    default:
      iosb.Status = STATUS_INVALID_DEVICE_REQUEST;
      break;
  }
}

}  // namespace sim::io
