// Sections backed by files (NtCreateSection), as far as the layers below see
// them: the memory manager brackets the section's creation with the file
// system's acquire and release callbacks (which filters get as
// IRP_MJ_ACQUIRE_FOR_SECTION_SYNCHRONIZATION and
// IRP_MJ_RELEASE_FOR_SECTION_SYNCHRONIZATION, FS-filter operations), asks the
// size of the file in between (IRP_MJ_QUERY_INFORMATION, FileStandardInformation,
// from the top of the stack), and keeps the file object referenced while
// the section lives: the file's IRP_MJ_CLOSE waits for the section's last
// handle. Pages are never mapped.
#include <ntapi.h>

#include "io/io_manager.h"
#include "kernel/object_manager.h"

namespace sim::io {
namespace {

struct SectionBody {
  LARGE_INTEGER size;
  ULONG protection;
  ULONG attributes;
};

class SectionObject final : public kernel::KernelObject {
 public:
  SectionObject(FileObject* file, SectionBody body) : file_(file), body_(body) {
    file_->Reference();
    kernel::RegisterObjectBody(this);
  }
  const char* TypeName() const override { return "Section"; }
  void* Body() override { return &body_; }

 protected:
  void OnLastReference() override { file_->Dereference(); }

 private:
  FileObject* file_;
  SectionBody body_;
};

// One FS-filter callback of the memory manager.
NTSTATUS SectionCallback(FileObject* file, UCHAR major, ULONG protection, ULONG attributes) {
  IO_STATUS_BLOCK iosb{};
  auto setup = [](Operation& op, void* context) {
    const auto* values = static_cast<const ULONG*>(context);
    op.data.Flags = FLTFL_CALLBACK_DATA_FS_FILTER_OPERATION;
    op.data.RequestorMode = KernelMode;
    auto& p = op.iopb.Parameters.AcquireForSectionSynchronization;
    p.SyncType = SyncTypeCreateSection;
    p.PageProtection = values[0];
    p.AllocationAttributes = values[1];
  };
  ULONG values[2] = {protection, attributes};
  return RunFileOperation(file, nullptr, KernelMode, major, 0, setup, values, iosb);
}

ACCESS_MASK FileAccessFor(ULONG protection, ULONG attributes) {
  ACCESS_MASK access = FILE_READ_DATA;
  if (protection & (PAGE_READWRITE | PAGE_EXECUTE_READWRITE)) access |= FILE_WRITE_DATA;
  if ((attributes & SEC_IMAGE) || (protection & (PAGE_EXECUTE | PAGE_EXECUTE_READ)))
    access |= FILE_EXECUTE;
  return access;
}

}  // namespace
}  // namespace sim::io

NTSTATUS NtCreateSection(PHANDLE SectionHandle, ACCESS_MASK DesiredAccess,
                         POBJECT_ATTRIBUTES ObjectAttributes, PLARGE_INTEGER MaximumSize,
                         ULONG SectionPageProtection, ULONG AllocationAttributes,
                         HANDLE FileHandle) {
  using namespace sim::io;
  (void)ObjectAttributes;
  if (!SectionHandle) return STATUS_ACCESS_VIOLATION;
  *SectionHandle = nullptr;
  const ULONG protections = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE |
                            PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE;
  if ((SectionPageProtection & ~protections) || SectionPageProtection == 0)
    return STATUS_INVALID_PAGE_PROTECTION;
  if (!(AllocationAttributes & (SEC_COMMIT | SEC_IMAGE | SEC_RESERVE)))
    return STATUS_INVALID_PARAMETER;
  if (!FileHandle) return STATUS_INVALID_PARAMETER;  // page-file-backed sections are not modelled
  ACCESS_MASK granted = 0;
  sim::kernel::KernelObject* object = sim::kernel::ReferenceHandle(FileHandle, UserMode, &granted);
  auto* file = dynamic_cast<FileObject*>(object);
  if (!file) {
    if (object) object->Dereference();
    return object ? STATUS_OBJECT_TYPE_MISMATCH : STATUS_INVALID_HANDLE;
  }
  const ACCESS_MASK needed = FileAccessFor(SectionPageProtection, AllocationAttributes);
  NTSTATUS status = STATUS_SUCCESS;
  LARGE_INTEGER size{};
  if ((granted & needed) != needed) {
    status = STATUS_ACCESS_DENIED;
  } else {
    status = SectionCallback(file, IRP_MJ_ACQUIRE_FOR_SECTION_SYNCHRONIZATION,
                             SectionPageProtection, AllocationAttributes);
    if (NT_SUCCESS(status)) {
      FILE_STANDARD_INFORMATION standard{};
      IO_STATUS_BLOCK iosb{};
      auto query = [](Operation& op, void* context) {
        auto& q = op.iopb.Parameters.QueryFileInformation;
        q.FileInformationClass = FileStandardInformation;
        q.InfoBuffer = context;
        q.Length = sizeof(FILE_STANDARD_INFORMATION);
        op.iopb.IrpFlags |= IRP_SYNCHRONOUS_API;
      };
      status = RunFileOperation(file, nullptr, KernelMode, IRP_MJ_QUERY_INFORMATION, 0, query,
                                &standard, iosb);
      SectionCallback(file, IRP_MJ_RELEASE_FOR_SECTION_SYNCHRONIZATION, SectionPageProtection,
                      AllocationAttributes);
      size = MaximumSize && MaximumSize->QuadPart ? *MaximumSize : standard.EndOfFile;
      if (NT_SUCCESS(status) && size.QuadPart == 0) status = STATUS_MAPPED_FILE_SIZE_ZERO;
    }
  }
  if (NT_SUCCESS(status)) {
    auto* section =
        new SectionObject(file, SectionBody{size, SectionPageProtection, AllocationAttributes});
    *SectionHandle = sim::kernel::InsertHandle(section, DesiredAccess, false);
    section->Dereference();  // the handle holds it
  }
  file->Dereference();
  return status;
}
