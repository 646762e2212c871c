// The pre-operation of IRP_MJ_SET_INFORMATION: sorts each request into one
// of four cases. A disposition of a tracked stream under BackendRoot passes
// down and is finished by the post-operation; a rename of a real file goes
// where its target decides; a virtual item (whose file object the file
// system never opened) is answered here for every class; everything else,
// the merged-view root's own handles included, passes down.
#include "../core/callbacks.h"
#include "../support/filter_refs.h"
#include "setinfo.h"

namespace tavo {
namespace {

bool IsRename(FILE_INFORMATION_CLASS infoClass) {
  return infoClass == FileRenameInformation || infoClass == FileRenameInformationEx;
}

bool IsDisposition(FILE_INFORMATION_CLASS infoClass) {
  return infoClass == FileDispositionInformation || infoClass == FileDispositionInformationEx;
}

// Classes a virtual item acknowledges without changing anything.
FLT_PREOP_CALLBACK_STATUS AcknowledgeOrRefuse(PFLT_CALLBACK_DATA data,
                                              FILE_INFORMATION_CLASS infoClass) {
  switch (infoClass) {
    case FileBasicInformation:
      return CompleteOperation(data, STATUS_SUCCESS, sizeof(FILE_BASIC_INFORMATION));
    case FilePositionInformation:
    case FileAllocationInformation:
    case FileEndOfFileInformation:
    case FileValidDataLengthInformation:
      return CompleteOperation(data, STATUS_SUCCESS, sizeof(LARGE_INTEGER));
    default:
      return CompleteOperation(data, STATUS_NOT_IMPLEMENTED);
  }
}

}  // namespace

FLT_PREOP_CALLBACK_STATUS FilterPreSetInformationOperationCallback(PFLT_CALLBACK_DATA Data,
                                                                   PCFLT_RELATED_OBJECTS FltObjects,
                                                                   PVOID* CompletionContext) {
  *CompletionContext = nullptr;
  const FILE_INFORMATION_CLASS infoClass =
      Data->Iopb->Parameters.SetFileInformation.FileInformationClass;

  if (IsDisposition(infoClass)) {
    ContextRef<StreamContext> stream;
    if (NT_SUCCESS(FltGetStreamContext(FltObjects->Instance, FltObjects->FileObject,
                                       stream.Receive()))) {
      // A failed refresh keeps the old name; the request still goes down.
      (void)RefreshStreamContextName(FltObjects, stream.Get());
      *CompletionContext = stream.Release();  // released by the post-operation
      return FLT_PREOP_SUCCESS_WITH_CALLBACK;
    }
  }
  if (FLT_IS_FASTIO_OPERATION(Data)) return FLT_PREOP_DISALLOW_FASTIO;

  ContextRef<StreamHandleContext> handle;
  const bool marked = NT_SUCCESS(
      FltGetStreamHandleContext(FltObjects->Instance, FltObjects->FileObject, handle.Receive()));
  // The create path also marks the counted handles of tracked streams under
  // BackendRoot; such a handle is an ordinary file's.
  if (!marked || (!handle->IsViewRoot && !IsVirtualOpen(handle.Get()))) {
    return IsRename(infoClass) ? RenameLocalFile(Data, FltObjects, CompletionContext)
                               : FLT_PREOP_SUCCESS_NO_CALLBACK;
  }
  if (!IsVirtualOpen(handle.Get())) {
    // The merged view's own folder is the driver's: a rename of it goes down
    // under the flag rule of every rename the driver handles.
    RenameBuffer rename;
    if (IsRename(infoClass) && NT_SUCCESS(CaptureRenameBuffer(Data, &rename))) {
      NormaliseRenameFlags(Data, rename);
    }
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
  }
  // An item moved out of the view is a plain local file now: whatever is
  // set through its handles is set on that file.
  if (IsMovedOutOfView(handle.Get())) {
    return SetMovedItemInformation(Data, FltObjects, handle.Get());
  }
  if (IsRename(infoClass)) return RenameVirtualItem(Data, FltObjects, handle.Get());
  if (IsDisposition(infoClass)) return SetVirtualDisposition(Data, FltObjects, handle.Get());
  return AcknowledgeOrRefuse(Data, infoClass);
}

}  // namespace tavo
