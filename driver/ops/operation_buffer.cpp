#include "operation_buffer.h"

namespace tavo {
namespace {

PVOID MapMdl(PMDL mdl) {
  if (mdl == nullptr) return nullptr;
  if (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) {
    return mdl->MappedSystemVa;
  }
  return MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE,
                                      NormalPagePriority);
}

// Where the operation keeps its MDL and its raw buffer.
struct BufferSlots {
  PMDL* mdl = nullptr;
  PVOID raw = nullptr;
};

// Maps the MDL in *slots.mdl; a user-mode caller's buffer without one is
// locked first (FltLockUserBuffer stores the MDL it builds in that slot).
PVOID MapOrLock(PFLT_CALLBACK_DATA Data, const BufferSlots& slots) {
  if (*slots.mdl != nullptr) return MapMdl(*slots.mdl);
  if (Data->RequestorMode == UserMode) {
    if (!NT_SUCCESS(FltLockUserBuffer(Data))) return nullptr;
    return MapMdl(*slots.mdl);
  }
  return slots.raw;
}

PVOID DeviceControlBuffer(PFLT_CALLBACK_DATA Data) {
  auto& control = Data->Iopb->Parameters.DeviceIoControl;
  switch (METHOD_FROM_CTL_CODE(control.Common.IoControlCode)) {
    case METHOD_BUFFERED:
      return control.Buffered.SystemBuffer;
    case METHOD_OUT_DIRECT:
      return MapMdl(control.Direct.OutputMdlAddress);
    case METHOD_NEITHER:
      if (Data->RequestorMode != UserMode) return nullptr;
      if (control.Neither.OutputMdlAddress == nullptr &&
          !NT_SUCCESS(FltLockUserBuffer(Data))) {
        return nullptr;
      }
      return MapMdl(control.Neither.OutputMdlAddress);
    default:  // METHOD_IN_DIRECT: the output is not the caller's to return
      return nullptr;
  }
}

}  // namespace

PVOID GetOperationBuffer(PFLT_CALLBACK_DATA Data) {
  auto& p = Data->Iopb->Parameters;
  switch (Data->Iopb->MajorFunction) {
    case IRP_MJ_DIRECTORY_CONTROL:
      if (Data->Iopb->MinorFunction != IRP_MN_QUERY_DIRECTORY) return nullptr;
      return MapOrLock(Data, {&p.DirectoryControl.QueryDirectory.MdlAddress,
                              p.DirectoryControl.QueryDirectory.DirectoryBuffer});
    case IRP_MJ_QUERY_SECURITY:
      return MapOrLock(Data, {&p.QuerySecurity.MdlAddress, p.QuerySecurity.SecurityBuffer});
    case IRP_MJ_QUERY_INFORMATION:
      return p.QueryFileInformation.InfoBuffer;
    case IRP_MJ_DEVICE_CONTROL:
      return DeviceControlBuffer(Data);
    default:
      return nullptr;
  }
}

}  // namespace tavo
