// Renames of real files (no virtual open). A target outside the view passes
// down, watched by the post-operation when the file is a tracked stream. A
// target in the view is never made in the merged view's folder on disk: the
// file is renamed, on its own file object, to the target's place under
// BackendRoot, once the name is free locally and on the server and the
// client has prepared it. Two reader processes that hold their files open
// in ways that make the first attempt fail get one retry from a worker.
#include "../core/globals.h"
#include "../create/client_requests.h"
#include "../create/name_helpers.h"
#include "../create/requestor.h"
#include "../support/debug.h"
#include "../support/filter_refs.h"
#include "../support/io_holders.h"
#include "../support/locks.h"
#include "../support/pool.h"
#include "item_info_cache.h"
#include "setinfo.h"

namespace tavo {
namespace {

// Limits of a backend target, in characters.
constexpr ULONG kMinBackendTargetChars = 21;
constexpr ULONG kMaxBackendTargetChars = 2581;

// The rename a retry makes again, the backend name the file takes when it
// succeeds, and the server item it replaces (non-paged; owns all three).
struct DeferredRenameContext {
  PoolBuffer Buffer;
  OwnedString NewName;
  ReplacedServerItem Replaced;
};

bool IsRetriedReader(const UNICODE_STRING& image) {
  static const UNICODE_STRING kReaders[] = {LiteralString(L"AcroRd32.exe"),
                                            LiteralString(L"Acrobat.exe")};
  for (const UNICODE_STRING& reader : kReaders) {
    if (RtlCompareUnicodeString(&image, &reader, TRUE) == 0) return true;
  }
  return false;
}

// The rename sent down in place of the caller's: its first byte, and B as
// "\??\X:\..." with the caller's drive letter. A caller that named its
// target by device path gets B as it is. RootDirectory stays null: the new
// name is absolute, and the caller's handle means nothing to a request the
// driver issues itself.
PoolBuffer BuildRedirectedRenameBuffer(const RenameBuffer& rename, const UNICODE_STRING& backend) {
  const ULONG header = FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName);
  const ULONG prefixChars = Globals.VolumePrefixLength;
  ULONG nameBytes;
  if (rename.DriveLetter != 0) {
    nameBytes = backend.Length - 2 * prefixChars + 12;
  } else {
    nameBytes = backend.Length;
  }
  ULONG size = backend.Length + 18;
  if (size < header + nameBytes + sizeof(WCHAR)) size = header + nameBytes + sizeof(WCHAR);
  PoolBuffer buffer = PoolBuffer::Allocate(NonPagedPool, size);
  if (!buffer) return buffer;
  auto* info = buffer.As<FILE_RENAME_INFORMATION>();
  *buffer.Data() = *reinterpret_cast<const UCHAR*>(rename.Info);
  info->RootDirectory = nullptr;
  info->FileNameLength = nameBytes;
  if (rename.DriveLetter != 0) {
    const WCHAR head[] = {L'\\', L'?', L'?', L'\\', rename.DriveLetter, L':'};
    RtlCopyMemory(info->FileName, head, sizeof(head));
    RtlCopyMemory(info->FileName + 6, backend.Buffer + prefixChars,
                  backend.Length - prefixChars * sizeof(WCHAR));
  } else {
    RtlCopyMemory(info->FileName, backend.Buffer, backend.Length);
  }
  return buffer;
}

// Makes a tracked stream's name follow a rename the driver made itself.
void FollowRename(PFLT_INSTANCE instance, PFILE_OBJECT fileObject, const UNICODE_STRING& newName) {
  ContextRef<StreamContext> stream;
  if (!NT_SUCCESS(FltGetStreamContext(instance, fileObject, stream.Receive()))) return;
  OwnedString copy = OwnedString::CopyOf(NonPagedPool, newName, newName.MaximumLength);
  if (!copy.HasBuffer()) return;
  ExclusiveLock lock(Globals.StreamContextLock);
  FreeStringBuffer(stream->FileName);
  stream->FileName = copy.Release();
}

void FLTAPI DeferredRenameWorker(PFLT_DEFERRED_IO_WORKITEM workItem, PFLT_CALLBACK_DATA data,
                          PVOID context) {
  WorkItem owned(workItem);
  PoolPtr<DeferredRenameContext> deferred(static_cast<DeferredRenameContext*>(context));
  PFLT_INSTANCE instance = data->Iopb->TargetInstance;
  PFILE_OBJECT fileObject = data->Iopb->TargetFileObject;
  const NTSTATUS status = FltSetInformationFile(instance, fileObject, deferred->Buffer.Data(),
                                                deferred->Buffer.Size(), FileRenameInformation);
  // The file now has its backend name: its tracked name follows, as after
  // a rename that succeeded at the first attempt.
  if (NT_SUCCESS(status)) {
    FollowRename(instance, fileObject, deferred->NewName.Get());
    deferred->Replaced.Discard();
  }
  deferred.Reset();  // a replaced item not discarded takes its name back
  data->IoStatus.Information = 0;
  data->IoStatus.Status = status;
  FltCompletePendedPreOperation(data, FLT_PREOP_COMPLETE, nullptr);
}

// Queues the one retry of the redirected rename to `backend`; the request
// then pends.
NTSTATUS QueueRetry(PFLT_CALLBACK_DATA data, const PoolBuffer& buffer,
                    const UNICODE_STRING& backend, ReplacedServerItem& replaced) {
  WorkItem workItem;
  if (workItem.Get() == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  auto deferred = PoolPtr<DeferredRenameContext>::Make(kNonPaged);
  if (!deferred) return STATUS_INSUFFICIENT_RESOURCES;
  deferred->Buffer = PoolBuffer::Allocate(NonPagedPool, buffer.Size());
  if (!deferred->Buffer) return STATUS_INSUFFICIENT_RESOURCES;
  RtlCopyMemory(deferred->Buffer.Data(), buffer.Data(), buffer.Size());
  deferred->NewName = OwnedString::CopyOf(NonPagedPool, backend, backend.MaximumLength);
  if (!deferred->NewName.HasBuffer()) return STATUS_INSUFFICIENT_RESOURCES;
  deferred->Replaced = static_cast<ReplacedServerItem&&>(replaced);
  const NTSTATUS status = FltQueueDeferredIoWorkItem(workItem.Get(), data, DeferredRenameWorker,
                                                     DelayedWorkQueue, deferred.Get());
  if (!NT_SUCCESS(status)) {
    replaced = static_cast<ReplacedServerItem&&>(deferred->Replaced);
    return status;
  }
  (void)deferred.Release();
  workItem.Release();
  return STATUS_SUCCESS;
}

// Whether a rename that stays outside the view still concerns the driver:
// its source is in the view or under BackendRoot, or its target is under
// BackendRoot.
bool TouchesDriverFolders(const OwnedString& source, OwnedString& target) {
  ViewPathKind kind = ViewPathNone;
  if (source.HasBuffer()) {
    UNICODE_STRING path = source.Get();
    if (ClassifyViewPath(&path, &kind) || IsUnderBackendRoot(&path, 0)) return true;
  }
  return target.HasBuffer() && IsUnderBackendRoot(&target.Get(), 0);
}

FLT_PREOP_CALLBACK_STATUS RenameOutOfView(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects,
                                          const RenameBuffer& rename, const OwnedString& source,
                                          OwnedString& target, PVOID* completionContext) {
  // The target's folder (ParentOfTarget) is not looked at again: the file
  // system's open of it leaves only the target's final component in its
  // FileName, and the target was placed against that same folder, so a
  // target outside the view never lies in a folder of the view.
  ContextRef<StreamContext> stream;
  const bool tracked = NT_SUCCESS(
      FltGetStreamContext(objects->Instance, objects->FileObject, stream.Receive()));
  // Only the renames the driver handles have their flags cut to the replace
  // bit. Any other file on the volume is none of the view's business: its
  // rename goes down exactly as the caller made it, POSIX semantics and
  // ignore-read-only included.
  if (tracked || TouchesDriverFolders(source, target)) NormaliseRenameFlags(data, rename);
  if (!tracked) return FLT_PREOP_SUCCESS_NO_CALLBACK;
  if (source.HasBuffer()) {
    ExclusiveLock lock(Globals.StreamContextLock);
    if (!RtlEqualUnicodeString(&source.Get(), &stream->FileName, FALSE)) {
      OwnedString copy =
          OwnedString::CopyOf(NonPagedPool, source.Get(), source.Get().MaximumLength);
      if (copy.HasBuffer()) {
        FreeStringBuffer(stream->FileName);
        stream->FileName = copy.Release();
      }
    }
  }
  *completionContext = stream.Release();  // released by the post-operation
  return FLT_PREOP_SUCCESS_WITH_CALLBACK;
}

FLT_PREOP_CALLBACK_STATUS RenameIntoView(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects,
                                         const RenameBuffer& rename, const OwnedString& source,
                                         OwnedString& target) {
  NormaliseRenameFlags(data, rename);
  NTSTATUS status = ResolveViewTarget(data, &target);
  if (!NT_SUCCESS(status)) return CompleteOperation(data, status);
  if (NamesStream(target.Get())) return CompleteOperation(data, STATUS_INVALID_PARAMETER);
  if (!source.HasBuffer()) return CompleteOperation(data, STATUS_UNSUCCESSFUL);
  OwnedString backend;
  ViewPathToBackendPath(&target.Get(), &backend);
  if (!backend.HasBuffer()) return CompleteOperation(data, STATUS_INSUFFICIENT_RESOURCES);
  const ULONG backendChars = backend->Length / sizeof(WCHAR);
  if (backendChars < kMinBackendTargetChars || backendChars > kMaxBackendTargetChars) {
    return CompleteOperation(data, STATUS_NAME_TOO_LONG);
  }
  const bool exists = ProbeBackendFile(&backend.Get(), objects->Instance, 0) != FALSE;
  const bool same = EqualIgnoringCase(source.Get(), backend.Get());
  if (exists && !rename.Replace && !same) {
    return CompleteOperation(data, STATUS_OBJECT_NAME_COLLISION);
  }

  ForgetItemInfo(&target.Get());
  PoolBuffer serverItem;
  QueryItemInfo(data, &target.Get(), &serverItem);
  ReplacedServerItem replaced;  // back in place on every way out but a rename
  if (serverItem) {
    if (!rename.Replace) {
      if (!same) return CompleteOperation(data, STATUS_OBJECT_NAME_COLLISION);
    } else if (!exists && !same) {
      status = replaced.SetAside(data, objects->Instance, target.Get(), serverItem);
      if (!NT_SUCCESS(status)) return CompleteOperation(data, status);
    }
  }
  UCHAR prepared = 0;
  if (!RequestCreatePath(data, &target.Get(), FALSE, &prepared)) {
    return CompleteOperation(data, STATUS_ACCESS_DENIED);
  }

  PoolBuffer redirected = BuildRedirectedRenameBuffer(rename, backend.Get());
  if (!redirected) return CompleteOperation(data, STATUS_INSUFFICIENT_RESOURCES);
  status = FltSetInformationFile(objects->Instance, objects->FileObject, redirected.Data(),
                                 redirected.Size(), FileRenameInformation);
  bool retrying = false;
  if (!NT_SUCCESS(status)) {
    OwnedString image;
    const bool named = NT_SUCCESS(GetProcessImageName(&image, FltGetRequestorProcessIdEx(data)));
    TAVO_PRINT("Process %wZ is for rename\n", &image.Get());
    if (!named || !IsRetriedReader(image.Get())) return CompleteOperation(data, status);
    const NTSTATUS queued = QueueRetry(data, redirected, backend.Get(), replaced);
    if (!NT_SUCCESS(queued)) return CompleteOperation(data, queued);
    retrying = true;
  }
  if (!retrying) {
    FollowRename(objects->Instance, objects->FileObject, backend.Get());
    replaced.Discard();
  }
  ForgetItemInfo(&target.Get());
  OwnedString oldViewPath;
  if (BackendPathToViewPath(&source.Get(), &oldViewPath) && oldViewPath.HasBuffer()) {
    ForgetItemInfo(&oldViewPath.Get());
  }
  NotifyRename(&source.Get(), &backend.Get());
  // From here the worker alone completes a retried request.
  return retrying ? FLT_PREOP_PENDING : CompleteOperation(data, STATUS_SUCCESS);
}

}  // namespace

FLT_PREOP_CALLBACK_STATUS RenameLocalFile(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects,
                                          PVOID* completionContext) {
  // Until the client configures the view no folder on the volume is the
  // driver's, and no target can be placed against a root: the rename goes
  // down as it was made rather than failing for want of a root.
  {
    SharedLock lock(Globals.RootPathLock);
    if (Globals.MergedViewRoot.Length == 0) return FLT_PREOP_SUCCESS_NO_CALLBACK;
  }
  RenameBuffer rename;
  NTSTATUS status = CaptureRenameBuffer(data, &rename);
  if (!NT_SUCCESS(status)) return CompleteOperation(data, status);
  OwnedString source;
  (void)GetCreateFileName(data, objects, &source);
  OwnedString target;
  status = BuildRenameTargetPath(data, rename, source.HasBuffer() ? &source.Get() : nullptr,
                                 &target);
  // A plain new name stays in the file's own folder, which is no folder of
  // the view: without the file's name it still goes down as it came.
  if (!NT_SUCCESS(status) && !source.HasBuffer() && IsPlainLeafName(rename)) {
    return RenameOutOfView(data, objects, rename, source, target, completionContext);
  }
  if (!NT_SUCCESS(status)) return CompleteOperation(data, status);
  ViewPathKind kind = ViewPathNone;
  if (!ClassifyViewPath(&target.Get(), &kind)) {
    return RenameOutOfView(data, objects, rename, source, target, completionContext);
  }
  return RenameIntoView(data, objects, rename, source, target);
}

}  // namespace tavo
