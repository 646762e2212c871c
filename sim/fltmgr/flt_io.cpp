// I/O a filter issues itself: FltCreateFileEx2 and the FltXxx calls on file
// objects. With an instance the request starts below that instance (and so
// does every later request on a file object it opened); without one it
// starts at the top of the stack, through the filter itself.
#include <string>
#include <vector>

#include "fltmgr/filter_manager.h"
#include "kernel/object_manager.h"

namespace sim::fltmgr {
namespace {

template <class Fill>
NTSTATUS RunBelow(PFLT_INSTANCE instance, PFILE_OBJECT fileObject, UCHAR major, UCHAR minor,
                  Fill&& fill, IO_STATUS_BLOCK& iosb) {
  io::FileObject* file = io::FileObjectFromBody(fileObject);
  if (!file) return STATUS_INVALID_PARAMETER;
  auto thunk = [](io::Operation& op, void* context) {
    op.data.Flags |= FLTFL_CALLBACK_DATA_GENERATED_IO;
    (*static_cast<std::remove_reference_t<Fill>*>(context))(op);
  };
  return io::RunFileOperation(file, instance ? instance : file->targetInstance, KernelMode, major,
                              minor, thunk, &fill, iosb);
}

bool InstanceOk(PFLT_INSTANCE instance) {
  return instance == nullptr || IsInstance(instance);
}

}  // namespace
}  // namespace sim::fltmgr

using namespace sim::fltmgr;

// The FltCreateFile family; `caller` is the code that called the public
// routine (the creation site of the file object).
static NTSTATUS CreateForFilter(const void* caller, PFLT_FILTER Filter, PFLT_INSTANCE Instance,
                                PHANDLE FileHandle, PFILE_OBJECT* FileObject,
                                ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize,
                                ULONG FileAttributes, ULONG ShareAccess, ULONG CreateDisposition,
                                ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength, ULONG Flags) {
  sim::io::CreateCallSite callSite(caller);
  if (FileHandle) *FileHandle = nullptr;
  if (FileObject) *FileObject = nullptr;
  if (!IsFilter(Filter) || !FileHandle || !IoStatusBlock || !ObjectAttributes)
    return STATUS_INVALID_PARAMETER;
  if (Instance && (!IsInstance(Instance) || Instance->filter != Filter))
    return STATUS_INVALID_PARAMETER;
  if (Filter->unregistered || (Instance && Instance->tearingDown))
    return STATUS_FLT_DELETING_OBJECT;
  sim::io::CreateRequest rq;
  rq.attributes = ObjectAttributes;
  rq.desiredAccess = DesiredAccess;
  rq.fileAttributes = FileAttributes;
  rq.shareAccess = ShareAccess;
  rq.disposition = CreateDisposition;
  rq.options = CreateOptions;
  if (AllocationSize) rq.allocationSize = *AllocationSize;
  rq.eaBuffer = EaBuffer;
  rq.eaLength = EaLength;
  rq.mode = KernelMode;
  rq.startBelow = Instance;
  rq.fromFilter = true;
  rq.ioOptions = Flags;
  sim::io::FileObject* file = nullptr;
  IO_STATUS_BLOCK iosb{};
  NTSTATUS status = sim::io::CreateFile(rq, &file, iosb);
  *IoStatusBlock = iosb;
  if (!NT_SUCCESS(status)) return status;
  *FileHandle = sim::kernel::InsertHandle(file, file->grantedAccess,
                                          (ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE) != 0);
  file->fo()->Flags |= FO_HANDLE_CREATED;
  if (FileObject) {
    *FileObject = file->fo();  // the creator's reference passes to the caller
  } else {
    file->Dereference();
  }
  return status;
}

NTSTATUS FLTAPI FltCreateFileEx2(PFLT_FILTER Filter, PFLT_INSTANCE Instance, PHANDLE FileHandle,
                                 PFILE_OBJECT* FileObject, ACCESS_MASK DesiredAccess,
                                 POBJECT_ATTRIBUTES ObjectAttributes,
                                 PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize,
                                 ULONG FileAttributes, ULONG ShareAccess, ULONG CreateDisposition,
                                 ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength, ULONG Flags,
                                 PIO_DRIVER_CREATE_CONTEXT DriverContext) {
  (void)DriverContext;
  return CreateForFilter(__builtin_return_address(0), Filter, Instance, FileHandle, FileObject,
                         DesiredAccess, ObjectAttributes, IoStatusBlock, AllocationSize,
                         FileAttributes, ShareAccess, CreateDisposition, CreateOptions, EaBuffer,
                         EaLength, Flags);
}

NTSTATUS FLTAPI FltCreateFileEx(PFLT_FILTER Filter, PFLT_INSTANCE Instance, PHANDLE FileHandle,
                                PFILE_OBJECT* FileObject, ACCESS_MASK DesiredAccess,
                                POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                                PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                                ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions,
                                PVOID EaBuffer, ULONG EaLength, ULONG Flags) {
  return CreateForFilter(__builtin_return_address(0), Filter, Instance, FileHandle, FileObject,
                         DesiredAccess, ObjectAttributes, IoStatusBlock, AllocationSize,
                         FileAttributes, ShareAccess, CreateDisposition, CreateOptions, EaBuffer,
                         EaLength, Flags);
}

NTSTATUS FLTAPI FltClose(HANDLE FileHandle) {
  return sim::kernel::CloseHandle(FileHandle, KernelMode);
}

NTSTATUS FLTAPI FltQueryInformationFile(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                        PVOID FileInformation, ULONG Length,
                                        FILE_INFORMATION_CLASS FileInformationClass,
                                        PULONG LengthReturned) {
  if (LengthReturned) *LengthReturned = 0;
  if (!InstanceOk(Instance)) return STATUS_INVALID_PARAMETER;
  IO_STATUS_BLOCK iosb{};
  auto fill = [&](sim::io::Operation& op) {
    op.iopb.Parameters.QueryFileInformation.Length = Length;
    op.iopb.Parameters.QueryFileInformation.FileInformationClass = FileInformationClass;
    op.iopb.Parameters.QueryFileInformation.InfoBuffer = FileInformation;
  };
  NTSTATUS status = RunBelow(Instance, FileObject, IRP_MJ_QUERY_INFORMATION, 0, fill, iosb);
  if (LengthReturned) *LengthReturned = static_cast<ULONG>(iosb.Information);
  return status;
}

NTSTATUS FLTAPI FltSetInformationFile(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                      PVOID FileInformation, ULONG Length,
                                      FILE_INFORMATION_CLASS FileInformationClass) {
  if (!InstanceOk(Instance)) return STATUS_INVALID_PARAMETER;
  sim::io::FileObject* file = sim::io::FileObjectFromBody(FileObject);
  if (!file) return STATUS_INVALID_PARAMETER;
  // A rename or link to a full or RootDirectory-relative name: the Filter
  // Manager opens the target directory itself, below the caller (see
  // io/rename_target.cpp), and closes it after the request.
  sim::io::RenameTargetDirectory targetDirectory;
  if (NTSTATUS status = targetDirectory.Open(file, FileInformation, Length, FileInformationClass,
                                             KernelMode, Instance ? Instance : file->targetInstance,
                                             true);
      !NT_SUCCESS(status)) {
    return status;
  }
  IO_STATUS_BLOCK iosb{};
  auto fill = [&](sim::io::Operation& op) {
    auto& p = op.iopb.Parameters.SetFileInformation;
    p.Length = Length;
    p.FileInformationClass = FileInformationClass;
    p.InfoBuffer = FileInformation;
    p.ParentOfTarget = targetDirectory.Directory();
    if (FileInformationClass == FileRenameInformation ||
        FileInformationClass == FileLinkInformation) {
      p.ReplaceIfExists = static_cast<FILE_RENAME_INFORMATION*>(FileInformation)->ReplaceIfExists;
    }
  };
  return RunBelow(Instance, FileObject, IRP_MJ_SET_INFORMATION, 0, fill, iosb);
}

NTSTATUS FLTAPI FltQuerySecurityObject(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                       SECURITY_INFORMATION SecurityInformation,
                                       PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG Length,
                                       PULONG LengthNeeded) {
  if (LengthNeeded) *LengthNeeded = 0;
  if (!InstanceOk(Instance)) return STATUS_INVALID_PARAMETER;
  IO_STATUS_BLOCK iosb{};
  auto fill = [&](sim::io::Operation& op) {
    op.iopb.Parameters.QuerySecurity.SecurityInformation = SecurityInformation;
    op.iopb.Parameters.QuerySecurity.Length = Length;
    op.iopb.Parameters.QuerySecurity.SecurityBuffer = SecurityDescriptor;
  };
  NTSTATUS status = RunBelow(Instance, FileObject, IRP_MJ_QUERY_SECURITY, 0, fill, iosb);
  if (LengthNeeded) *LengthNeeded = static_cast<ULONG>(iosb.Information);
  return status;
}

NTSTATUS FLTAPI FltQueryVolumeInformationFile(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                              PVOID FsInformation, ULONG Length,
                                              FS_INFORMATION_CLASS FsInformationClass,
                                              PULONG LengthReturned) {
  if (LengthReturned) *LengthReturned = 0;
  if (!InstanceOk(Instance)) return STATUS_INVALID_PARAMETER;
  IO_STATUS_BLOCK iosb{};
  auto fill = [&](sim::io::Operation& op) {
    op.iopb.Parameters.QueryVolumeInformation.Length = Length;
    op.iopb.Parameters.QueryVolumeInformation.FsInformationClass = FsInformationClass;
    op.iopb.Parameters.QueryVolumeInformation.VolumeBuffer = FsInformation;
  };
  NTSTATUS status = RunBelow(Instance, FileObject, IRP_MJ_QUERY_VOLUME_INFORMATION, 0, fill, iosb);
  if (LengthReturned) *LengthReturned = static_cast<ULONG>(iosb.Information);
  return status;
}

// Asks the volume below the instance through an open of its root directory
// (the Filter Manager's own volume open, which the instance does not see).
NTSTATUS FLTAPI FltQueryVolumeInformation(PFLT_INSTANCE Instance, PIO_STATUS_BLOCK Iosb,
                                          PVOID FsInformation, ULONG Length,
                                          FS_INFORMATION_CLASS FsInformationClass) {
  if (!IsInstance(Instance) || !Iosb) return STATUS_INVALID_PARAMETER;
  std::u16string root = Instance->volume->volume->deviceName + u"\\";
  UNICODE_STRING name{static_cast<USHORT>(root.size() * 2), static_cast<USHORT>(root.size() * 2),
                      reinterpret_cast<PWCH>(root.data())};
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, &name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr,
                             nullptr);
  sim::io::CreateRequest rq;
  rq.attributes = &oa;
  rq.desiredAccess = FILE_READ_ATTRIBUTES | SYNCHRONIZE;
  rq.shareAccess = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  rq.options = FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT;
  rq.mode = KernelMode;
  rq.startBelow = Instance;
  rq.fromFilter = true;
  sim::io::FileObject* file = nullptr;
  NTSTATUS status = sim::io::CreateFile(rq, &file, *Iosb);
  if (!NT_SUCCESS(status)) return status;
  ULONG returned = 0;
  status = FltQueryVolumeInformationFile(Instance, file->fo(), FsInformation, Length,
                                         FsInformationClass, &returned);
  Iosb->Status = status;
  Iosb->Information = returned;
  // No handle was made: the cleanup the last handle would send goes now.
  HANDLE handle = sim::kernel::InsertHandle(file, file->grantedAccess, true);
  file->fo()->Flags |= FO_HANDLE_CREATED;
  file->Dereference();
  sim::kernel::CloseHandle(handle, KernelMode);
  return status;
}
