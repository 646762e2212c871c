// The IRP_MJ_CREATE callbacks: they decide only where the create's work
// runs. At PASSIVE_LEVEL it runs in the requesting thread (which then sees
// the real requestor and waits for the client); a callback entered at
// DISPATCH_LEVEL or above hands it to the delayed work queue.
#include "../core/callbacks.h"
#include "../support/io_holders.h"
#include "../support/pool.h"
#include "create_decision.h"
#include "create_screen.h"
#include "tracking.h"

namespace tavo {
namespace {

struct DeferredPreCreateContext {
  PFLT_CALLBACK_DATA Data;
  PCFLT_RELATED_OBJECTS FltObjects;
  PVOID* CompletionContext;
};

struct DeferredPostCreateContext {
  PFLT_CALLBACK_DATA Data;
  PCFLT_RELATED_OBJECTS FltObjects;
  PVOID CompletionContext;  // the completion name, or null
  FLT_POST_OPERATION_FLAGS Flags;
};

bool MustDefer(PFLT_CALLBACK_DATA data) {
  return KeGetCurrentIrql() >= DISPATCH_LEVEL && FLT_IS_IRP_OPERATION(data);
}

void FLTAPI DeferredPreCreateWorker(PFLT_DEFERRED_IO_WORKITEM workItem, PFLT_CALLBACK_DATA data,
                             PVOID context) {
  WorkItem owned(workItem);
  PoolPtr<DeferredPreCreateContext> deferred(static_cast<DeferredPreCreateContext*>(context));
  PVOID completionContext = nullptr;
  const FLT_PREOP_CALLBACK_STATUS result =
      DecideCreate(data, deferred->FltObjects, &completionContext);
  FltCompletePendedPreOperation(
      data, result, result == FLT_PREOP_SUCCESS_WITH_CALLBACK ? completionContext : nullptr);
}

void FLTAPI DeferredPostCreateWorker(PFLT_DEFERRED_IO_WORKITEM workItem, PFLT_CALLBACK_DATA data,
                              PVOID context) {
  WorkItem owned(workItem);
  PoolPtr<DeferredPostCreateContext> deferred(static_cast<DeferredPostCreateContext*>(context));
  PostCreateWork(data, deferred->FltObjects, deferred->CompletionContext, deferred->Flags);
  FltCompletePendedPostOperation(data);
}

}  // namespace

FLT_PREOP_CALLBACK_STATUS FilterPreCreateOperationCallback(PFLT_CALLBACK_DATA Data,
                                                           PCFLT_RELATED_OBJECTS FltObjects,
                                                           PVOID* CompletionContext) {
  *CompletionContext = nullptr;
  if (FLT_IS_FASTIO_OPERATION(Data)) return FLT_PREOP_DISALLOW_FASTIO;
  if (!MustDefer(Data)) {
    if (IsCreateOutsideEveryRoot(Data, FltObjects)) return FLT_PREOP_SUCCESS_NO_CALLBACK;
    return DecideCreate(Data, FltObjects, CompletionContext);
  }

  // Not deferred (no work item, no record, queue refused): the create goes
  // down with a post-create that has nothing to do.
  WorkItem workItem;
  if (workItem.Get() == nullptr) return FLT_PREOP_SUCCESS_WITH_CALLBACK;
  auto deferred = PoolPtr<DeferredPreCreateContext>::Make(kNonPaged);
  if (!deferred) return FLT_PREOP_SUCCESS_WITH_CALLBACK;
  deferred->Data = Data;
  deferred->FltObjects = FltObjects;
  deferred->CompletionContext = CompletionContext;
  const NTSTATUS status = FltQueueDeferredIoWorkItem(workItem.Get(), Data, DeferredPreCreateWorker,
                                                     DelayedWorkQueue, deferred.Get());
  if (!NT_SUCCESS(status)) return FLT_PREOP_SUCCESS_WITH_CALLBACK;
  (void)deferred.Release();
  workItem.Release();
  return FLT_PREOP_PENDING;
}

FLT_POSTOP_CALLBACK_STATUS FilterPostCreateOperationCallback(PFLT_CALLBACK_DATA Data,
                                                             PCFLT_RELATED_OBJECTS FltObjects,
                                                             PVOID CompletionContext,
                                                             FLT_POST_OPERATION_FLAGS Flags) {
  // The Filter Manager calls post-create at PASSIVE_LEVEL in the thread that
  // issued the create, so on Windows the deferral below does not run; it
  // stays as the guard that keeps the create's work off a raised IRQL should
  // a post-create ever arrive there.
  if (!MustDefer(Data)) return PostCreateWork(Data, FltObjects, CompletionContext, Flags);

  WorkItem workItem;
  auto deferred = PoolPtr<DeferredPostCreateContext>::Make(kNonPaged);
  if (workItem.Get() != nullptr && deferred) {
    deferred->Data = Data;
    deferred->FltObjects = FltObjects;
    deferred->CompletionContext = CompletionContext;
    deferred->Flags = Flags;
    const NTSTATUS status = FltQueueDeferredIoWorkItem(
        workItem.Get(), Data, DeferredPostCreateWorker, DelayedWorkQueue, deferred.Get());
    if (NT_SUCCESS(status)) {
      (void)deferred.Release();
      workItem.Release();
      return FLT_POSTOP_MORE_PROCESSING_REQUIRED;
    }
  }
  // The create stays as the file system completed it.
  FreeCompletionName(static_cast<PUNICODE_STRING>(CompletionContext));
  return FLT_POSTOP_FINISHED_PROCESSING;
}

}  // namespace tavo
