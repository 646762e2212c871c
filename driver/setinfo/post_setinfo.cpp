// The post-operation of renames and dispositions of tracked streams under
// BackendRoot, and the rename notification the whole path sends. A
// StreamContext's FileName follows its stream: swapped under
// StreamContextLock, which every reader of it holds.
#include "../channel/notifications.h"
#include "../core/callbacks.h"
#include "../core/globals.h"
#include "../create/name_helpers.h"
#include "../support/debug.h"
#include "../support/filter_refs.h"
#include "../support/locks.h"
#include "item_info_cache.h"
#include "port_messages.h"
#include "setinfo.h"

namespace tavo {
namespace {

using protocol::kNotificationRenamed;

// Kind, the two lengths (each counting a NUL), the two names with their
// NULs, then 4 unused zero bytes.
PoolBuffer BuildRenameNotification(const UNICODE_STRING& oldName, const UNICODE_STRING& newName) {
  const ULONG oldBytes = oldName.Length + sizeof(WCHAR);
  const ULONG newBytes = newName.Length + sizeof(WCHAR);
  PoolBuffer payload = PoolBuffer::Allocate(NonPagedPool, 16 + oldBytes + newBytes);
  if (!payload) return payload;
  const ULONG header[3] = {kNotificationRenamed, oldBytes, newBytes};
  RtlCopyMemory(payload.Data(), header, sizeof(header));
  if (oldName.Length != 0) RtlCopyMemory(payload.Data() + 12, oldName.Buffer, oldName.Length);
  if (newName.Length != 0) {
    RtlCopyMemory(payload.Data() + 12 + oldBytes, newName.Buffer, newName.Length);
  }
  return payload;
}

// Forgets the cached server answer for the view item a backend path
// stands for.
void ForgetViewItemOf(PCUNICODE_STRING backendPath) {
  OwnedString viewPath;
  if (BackendPathToViewPath(backendPath, &viewPath) && viewPath.HasBuffer()) {
    ForgetItemInfo(&viewPath.Get());
  }
}

void FinishRename(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects,
                  StreamContext* context) {
  OwnedString newName;
  if (!NT_SUCCESS(GetCreateFileName(data, objects, &newName))) return;
  OwnedString oldName;
  {
    SharedLock lock(Globals.StreamContextLock);
    oldName = OwnedString::CopyOf(NonPagedPool, context->FileName, context->FileName.Length);
  }
  // A download in progress renamed into place is the client's own doing:
  // not reported.
  if (!IsPartialDownloadName(&newName.Get()) && oldName.HasBuffer()) {
    NotifyRename(&oldName.Get(), &newName.Get());
    ForgetViewItemOf(&oldName.Get());
  }
  ExclusiveLock lock(Globals.StreamContextLock);
  FreeStringBuffer(context->FileName);
  context->FileName = newName.Release();
}

}  // namespace

void NotifyRename(PCUNICODE_STRING oldName, PCUNICODE_STRING newName) {
  TAVO_PRINT("TavoDriver: Renamed %wZ to %wZ\n", oldName, newName);
  PoolBuffer payload = BuildRenameNotification(*oldName, *newName);
  const NTSTATUS status =
      payload ? SendFileChangeNotification(payload.Data(), payload.Size(), kNotificationRenamed)
              : STATUS_INSUFFICIENT_RESOURCES;
  if (!NT_SUCCESS(status)) TAVO_PRINT("TavoDriver: Rename Notification Failed\n");
}

FLT_POSTOP_CALLBACK_STATUS FilterPostSetInformationOperationCallback(
    PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects, PVOID CompletionContext,
    FLT_POST_OPERATION_FLAGS Flags) {
  ContextRef<StreamContext> context(static_cast<StreamContext*>(CompletionContext));
  if (!context || Data->IoStatus.Status != STATUS_SUCCESS) return FLT_POSTOP_FINISHED_PROCESSING;
  switch (Data->Iopb->Parameters.SetFileInformation.FileInformationClass) {
    case FileRenameInformation:
    case FileRenameInformationEx:
      // While the instance is being torn down no name can be asked for.
      if ((Flags & FLTFL_POST_OPERATION_DRAINING) == 0) FinishRename(Data, FltObjects, context.Get());
      break;
    case FileDispositionInformation:
    case FileDispositionInformationEx: {
      const UCHAR deleteFlag = *NormalizeDispositionInfo(Data);
      ExclusiveLock lock(Globals.StreamContextLock);
      context->DeletePending = deleteFlag;
      break;
    }
    default:
      break;
  }
  return FLT_POSTOP_FINISHED_PROCESSING;
}

}  // namespace tavo
