// The remaining operations on the handles the driver serves itself (the
// merged-view root and every virtual item, the handles with a
// StreamHandleContext): volume and file-system requests are answered or
// refused, the device-name request is answered, and data, extended
// attributes, flushes, set-security and the memory and cache managers'
// synchronisation are refused. Other handles pass through. Fast I/O of
// these kinds is refused for every file of the volume, so that it comes
// again as an IRP.
#include <mountdev.h>

#include "../core/callbacks.h"
#include "../core/globals.h"
#include "../create/contexts.h"
#include "../create/path_classification.h"
#include "../support/counted_string.h"
#include "../support/debug.h"
#include "../support/filter_refs.h"
#include "../support/completion.h"
#include "operation_buffer.h"

namespace tavo {
namespace {

// Whether the driver serves the operation's handle itself: the merged-view
// root or a virtual item. A counted handle of a local copy carries an empty
// handle context as its mark; the file system serves it.
bool IsServedHandle(PCFLT_RELATED_OBJECTS objects) {
  ContextRef<StreamHandleContext> handle;
  if (!NT_SUCCESS(
          FltGetStreamHandleContext(objects->Instance, objects->FileObject, handle.Receive()))) {
    return false;
  }
  return handle->IsViewRoot != 0 || IsVirtualOpen(handle.Get());
}

FLT_PREOP_CALLBACK_STATUS AnswerFileSystemControl(PFLT_CALLBACK_DATA data) {
  switch (data->Iopb->Parameters.FileSystemControl.Common.FsControlCode) {
    case FSCTL_GET_REPARSE_POINT:
      return CompleteOperation(data, STATUS_NOT_A_REPARSE_POINT, 0);
    case FSCTL_READ_FILE_USN_DATA:
      return CompleteOperation(data, STATUS_SUCCESS, 0);
    default:
      return CompleteOperation(data, STATUS_INVALID_PARAMETER, 0);
  }
}

// The volume's device name, the first VolumePrefixLength characters of
// MergedViewRoot, as a MOUNTDEV_NAME.
FLT_PREOP_CALLBACK_STATUS AnswerDeviceName(PFLT_CALLBACK_DATA data) {
  const ULONG outputLength = data->Iopb->Parameters.DeviceIoControl.Common.OutputBufferLength;
  OwnedString root;
  if (!CopyMergedViewRoot(&root)) return CompleteOperation(data, STATUS_INSUFFICIENT_RESOURCES, 0);
  ULONG nameBytes = static_cast<ULONG>(Globals.VolumePrefixLength) * sizeof(WCHAR);
  if (nameBytes > root->Length) nameBytes = root->Length;
  const ULONG answerBytes = FIELD_OFFSET(MOUNTDEV_NAME, Name) + nameBytes;
  // The buffer must hold the root's length, and the answer itself: a root
  // that is the volume alone would otherwise let the answer run two bytes
  // past a buffer of exactly its length. A shorter buffer that holds the
  // fixed record learns the length it needs there, as the request's
  // callers expect (Information sizeof(MOUNTDEV_NAME)); one shorter still
  // gets nothing and an Information of 0, within any buffer's length.
  PVOID buffer = GetOperationBuffer(data);
  if (buffer == nullptr) return CompleteOperation(data, STATUS_BUFFER_OVERFLOW, 0);
  auto* answer = static_cast<PMOUNTDEV_NAME>(buffer);
  if (outputLength < root->Length || outputLength < answerBytes) {
    if (outputLength < sizeof(MOUNTDEV_NAME)) {
      return CompleteOperation(data, STATUS_BUFFER_OVERFLOW, 0);
    }
    answer->NameLength = static_cast<USHORT>(nameBytes);
    return CompleteOperation(data, STATUS_BUFFER_OVERFLOW, sizeof(MOUNTDEV_NAME));
  }
  answer->NameLength = static_cast<USHORT>(nameBytes);
  if (nameBytes != 0) RtlCopyMemory(answer->Name, root->Buffer, nameBytes);
  return CompleteOperation(data, STATUS_SUCCESS, answerBytes);
}

}  // namespace

FLT_PREOP_CALLBACK_STATUS FilterPreVolumeOperationCallback(PFLT_CALLBACK_DATA Data,
                                                           PCFLT_RELATED_OBJECTS FltObjects,
                                                           PVOID* CompletionContext) {
  *CompletionContext = nullptr;
  if (FLT_IS_FASTIO_OPERATION(Data)) return FLT_PREOP_DISALLOW_FASTIO;
  if (!IsServedHandle(FltObjects)) return FLT_PREOP_SUCCESS_NO_CALLBACK;
  switch (Data->Iopb->MajorFunction) {
    case IRP_MJ_FILE_SYSTEM_CONTROL:
      return AnswerFileSystemControl(Data);
    case IRP_MJ_QUERY_VOLUME_INFORMATION: {
      // The volume below answers for the merged view.
      auto& query = Data->Iopb->Parameters.QueryVolumeInformation;
      Data->IoStatus.Information = 0;
      FltQueryVolumeInformation(Data->Iopb->TargetInstance, &Data->IoStatus, query.VolumeBuffer,
                                query.Length, query.FsInformationClass);
      return FLT_PREOP_COMPLETE;
    }
    default:
      return CompleteOperation(Data, STATUS_INVALID_PARAMETER, 0);
  }
}

FLT_PREOP_CALLBACK_STATUS FilterPreDeviceControlOperationCallback(PFLT_CALLBACK_DATA Data,
                                                                  PCFLT_RELATED_OBJECTS FltObjects,
                                                                  PVOID* CompletionContext) {
  *CompletionContext = nullptr;
  if (FLT_IS_FASTIO_OPERATION(Data)) return FLT_PREOP_DISALLOW_FASTIO;
  if (!IsServedHandle(FltObjects)) return FLT_PREOP_SUCCESS_NO_CALLBACK;
  if (Data->Iopb->Parameters.DeviceIoControl.Common.IoControlCode ==
      IOCTL_MOUNTDEV_QUERY_DEVICE_NAME) {
    return AnswerDeviceName(Data);
  }
  return CompleteOperation(Data, STATUS_INVALID_PARAMETER, 0);
}

FLT_PREOP_CALLBACK_STATUS FilterPreNetworkQueryOpenOperationCallback(PFLT_CALLBACK_DATA Data,
                                                                     PCFLT_RELATED_OBJECTS,
                                                                     PVOID* CompletionContext) {
  *CompletionContext = nullptr;
  // The caller falls back to a full create, which the create path decides.
  if (FLT_IS_FASTIO_OPERATION(Data)) return FLT_PREOP_DISALLOW_FASTIO;
  return FLT_PREOP_SUCCESS_NO_CALLBACK;
}

FLT_PREOP_CALLBACK_STATUS FilterUnHandledOperation(PFLT_CALLBACK_DATA Data,
                                                   PCFLT_RELATED_OBJECTS FltObjects,
                                                   PVOID* CompletionContext) {
  *CompletionContext = nullptr;
  if (FLT_IS_FASTIO_OPERATION(Data)) return FLT_PREOP_DISALLOW_FASTIO;
  if (!IsServedHandle(FltObjects)) return FLT_PREOP_SUCCESS_NO_CALLBACK;
  TAVO_PRINT("FilterUnHandledOperation: Received major and minor function code %d - %d\n",
             static_cast<int>(static_cast<UCHAR>(Data->Iopb->MajorFunction)),
             static_cast<int>(static_cast<UCHAR>(Data->Iopb->MinorFunction)));
  return CompleteOperation(Data, STATUS_NOT_IMPLEMENTED, 0);
}

FLT_PREOP_CALLBACK_STATUS FilterPreShutdownOperationCallback(PFLT_CALLBACK_DATA,
                                                             PCFLT_RELATED_OBJECTS,
                                                             PVOID* CompletionContext) {
  *CompletionContext = nullptr;
  return FLT_PREOP_SUCCESS_NO_CALLBACK;
}

}  // namespace tavo
