// Cleanup and close. A local copy under BackendRoot is closed by the file
// system; the driver counts its handles and tells the client when the last
// one goes on a file to be deleted. A virtual item never reaches the file
// system: the driver completes its cleanup and close; the last close of an
// item marked for deletion has it deleted on the server, then its entry is
// removed and freed (virtual_open.cpp). Everything else passes through.
#include "../channel/notifications.h"
#include "../core/callbacks.h"
#include "../core/globals.h"
#include "../create/contexts.h"
#include "../create/name_helpers.h"
#include "../create/open_handle_table.h"
#include "../create/tracking.h"
#include "../create/virtual_open.h"
#include "../dirctl/listing_pages.h"
#include "../setinfo/item_info_cache.h"
#include "../support/counted_string.h"
#include "../support/debug.h"
#include "../support/filter_refs.h"
#include "../support/locks.h"
#include "port_messages.h"

namespace tavo {
namespace {

FLT_PREOP_CALLBACK_STATUS CompleteWithSuccess(PFLT_CALLBACK_DATA data) {
  data->IoStatus.Status = STATUS_SUCCESS;
  data->IoStatus.Information = 0;
  return FLT_PREOP_COMPLETE;
}

// Tells the client a local copy was deleted and forgets the item's cached
// server information.
void NotifyDeleted(PCFLT_RELATED_OBJECTS objects, const UNICODE_STRING& fileName) {
  TAVO_PRINT("TavoDriver: Deleting fileObject %wZ\n, and fileName %wZ\n",
             &objects->FileObject->FileName, &fileName);
  PoolBuffer payload = BuildFileNotification(protocol::kNotificationDeleted, fileName);
  const NTSTATUS status =
      payload ? SendFileChangeNotification(payload.Data(), payload.Size(),
                                           protocol::kNotificationDeleted)
              : STATUS_INSUFFICIENT_RESOURCES;
  if (!NT_SUCCESS(status)) TAVO_PRINT("TavoDriver: Rename Notification Failed\n");
  OwnedString viewPath;
  if (BackendPathToViewPath(&fileName, &viewPath) && viewPath.HasBuffer()) {
    ForgetItemInfo(&viewPath.Get());
  }
}

}  // namespace

FLT_PREOP_CALLBACK_STATUS FilterPreCleanupOperationCallback(PFLT_CALLBACK_DATA Data,
                                                            PCFLT_RELATED_OBJECTS FltObjects,
                                                            PVOID* CompletionContext) {
  *CompletionContext = nullptr;
  if (FLT_IS_FASTIO_OPERATION(Data)) return FLT_PREOP_DISALLOW_FASTIO;
  ContextRef<StreamHandleContext> handle;
  const bool marked = NT_SUCCESS(
      FltGetStreamHandleContext(FltObjects->Instance, FltObjects->FileObject, handle.Receive()));
  // Only a handle the post-create counted (and marked) ends a count, and
  // only a marked handle can be a virtual open: every other cleanup on the
  // volume leaves here, without looking for the stream's context.
  if (!marked) return FLT_PREOP_SUCCESS_NO_CALLBACK;
  ContextRef<StreamContext> stream;
  if (NT_SUCCESS(FltGetStreamContext(FltObjects->Instance, FltObjects->FileObject,
                                     stream.Receive()))) {
    *CompletionContext = stream.Release();  // released by the post-cleanup
    return FLT_PREOP_SUCCESS_WITH_CALLBACK;
  }
  if (IsVirtualOpen(handle.Get())) {
    handle->Entry->Opens.CleanedUp();
    return CompleteWithSuccess(Data);
  }
  return FLT_PREOP_SUCCESS_NO_CALLBACK;
}

FLT_POSTOP_CALLBACK_STATUS FilterPostCleanupOperationCallback(PFLT_CALLBACK_DATA,
                                                              PCFLT_RELATED_OBJECTS FltObjects,
                                                              PVOID CompletionContext,
                                                              FLT_POST_OPERATION_FLAGS) {
  ContextRef<StreamContext> stream(static_cast<StreamContext*>(CompletionContext));
  if (!stream) return FLT_POSTOP_FINISHED_PROCESSING;
  OwnedString deleted;
  bool copyFailed = false;
  {
    ExclusiveLock lock(Globals.StreamContextLock);
    // Every handle that gets here was counted: the cleanup that ends the
    // last count reports the delete, once.
    const bool lastCounted = stream->OpenCount == 1;
    if (stream->OpenCount != 0) --stream->OpenCount;
    if (lastCounted && (stream->DeletePending || stream->DeleteOnClose)) {
      deleted = OwnedString::CopyOf(NonPagedPool, stream->FileName, stream->FileName.MaximumLength);
      copyFailed = !deleted.HasBuffer();
    }
  }
  if (deleted.HasBuffer()) {
    NotifyDeleted(FltObjects, deleted.Get());
  } else if (copyFailed) {
    TAVO_PRINT("TavoDriver: Rename Notification Failed\n");
  }
  return FLT_POSTOP_FINISHED_PROCESSING;
}

FLT_PREOP_CALLBACK_STATUS FilterPreCloseOperationCallback(PFLT_CALLBACK_DATA Data,
                                                          PCFLT_RELATED_OBJECTS FltObjects,
                                                          PVOID* CompletionContext) {
  *CompletionContext = nullptr;
  if (FLT_IS_FASTIO_OPERATION(Data)) return FLT_PREOP_DISALLOW_FASTIO;
  CriticalRegion region;
  ContextRef<StreamHandleContext> handle;
  // As at cleanup: a file object without the driver's mark holds nothing of
  // the driver's, and every such close on the volume leaves here, without
  // looking for the stream's context.
  if (!NT_SUCCESS(FltGetStreamHandleContext(FltObjects->Instance, FltObjects->FileObject,
                                            handle.Receive()))) {
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
  }
  ContextRef<StreamContext> stream;
  if (NT_SUCCESS(FltGetStreamContext(FltObjects->Instance, FltObjects->FileObject,
                                     stream.Receive()))) {
    *CompletionContext = stream.Release();  // released by the post-close
    return FLT_PREOP_SUCCESS_WITH_CALLBACK;
  }
  if (IsVirtualOpen(handle.Get())) {
    CloseVirtualOpen(Data, handle.Get());
    return CompleteWithSuccess(Data);
  }
  return FLT_PREOP_SUCCESS_NO_CALLBACK;
}

FLT_POSTOP_CALLBACK_STATUS FilterPostCloseOperationCallback(PFLT_CALLBACK_DATA,
                                                            PCFLT_RELATED_OBJECTS, PVOID CompletionContext,
                                                            FLT_POST_OPERATION_FLAGS) {
  ContextRef<StreamContext> stream(static_cast<StreamContext*>(CompletionContext));
  return FLT_POSTOP_FINISHED_PROCESSING;
}

void StreamHandleContextCleanup(PFLT_CONTEXT Context, FLT_CONTEXT_TYPE) {
  auto* context = static_cast<StreamHandleContext*>(Context);
  FreeStringBuffer(context->RootPath);
  FreeStringBuffer(context->SearchPattern);
  DropListingPage(context);
}

void StreamContextCleanup(PFLT_CONTEXT Context, FLT_CONTEXT_TYPE) {
  auto* context = static_cast<StreamContext*>(Context);
  FreeStringBuffer(context->FileName);
}

}  // namespace tavo
