// Post-create work: stream tracking under BackendRoot, the handle context of
// MergedViewRoot, and virtual opens of server-only items.
#include "tracking.h"

#include "../channel/notifications.h"
#include "../core/globals.h"
#include "../setinfo/item_info_cache.h"
#include "../support/counted_string.h"
#include "../support/debug.h"
#include "../support/filter_refs.h"
#include "../support/locks.h"
#include "contexts.h"
#include "name_helpers.h"
#include "path_classification.h"
#include "port_messages.h"
#include "requestor.h"
#include "virtual_open.h"

namespace tavo {
namespace {

void NotifyCreated(const StreamContext& context) {
  PoolBuffer payload;
  {
    ExclusiveLock lock(Globals.StreamContextLock);
    payload = BuildFileNotification(0, context.FileName);
  }
  if (!payload) {
    TAVO_PRINT("TavoDriver: Create Notification Failed\n");
    return;
  }
  const NTSTATUS status =
      SendFileChangeNotification(payload.Data(), payload.Size(), protocol::kNotificationCreated);
  if (!NT_SUCCESS(status)) TAVO_PRINT("TavoDriver: Create Notification Failed\n");
}

// The stream's context, made and attached when the stream has none yet.
// The caller holds StreamContextLock. Empty when the stream cannot be
// tracked.
ContextRef<StreamContext> FindOrAttachStreamContext(PCFLT_RELATED_OBJECTS objects,
                                                    const UNICODE_STRING& name) {
  ContextRef<StreamContext> context;
  NTSTATUS status = FltGetStreamContext(objects->Instance, objects->FileObject, context.Receive());
  if (NT_SUCCESS(status)) return context;
  if (status != STATUS_NOT_FOUND) return {};

  status = FltAllocateContext(Globals.FilterHandle, FLT_STREAM_CONTEXT, kStreamContextSize,
                              PagedPool, context.Receive());
  if (!NT_SUCCESS(status) || !context) return {};
  RtlZeroMemory(context.Get(), kStreamContextSize);
  OwnedString fileName = OwnedString::CopyOf(NonPagedPool, name, name.MaximumLength);
  // A stream whose name cannot be kept is not tracked.
  if (!fileName.HasBuffer()) return {};
  context->FileName = fileName.Release();

  ContextRef<StreamContext> replaced;
  status = FltSetStreamContext(objects->Instance, objects->FileObject,
                               FLT_SET_CONTEXT_REPLACE_IF_EXISTS, context.Get(),
                               reinterpret_cast<PFLT_CONTEXT*>(replaced.Receive()));
  if (!NT_SUCCESS(status)) {
    TAVO_PRINT("TavoDriver: Cannot track operations on Backend Path fileObject %wZ\n, and "
               "fileName %wZ\n",
               &objects->FileObject->FileName, &name);
    return {};
  }
  return context;
}


// Marks the create's handle as one counted in its stream's OpenCount: a
// handle context with neither root nor entry. Cleanup decrements the count
// only for a marked handle, so a handle opened before the stream was
// tracked (or while the roots were elsewhere) never ends another's count.
// False when the mark cannot be made; the handle then goes uncounted.
bool MarkCountedHandle(PCFLT_RELATED_OBJECTS objects) {
  ContextRef<StreamHandleContext> mark;
  if (!NT_SUCCESS(FltAllocateContext(Globals.FilterHandle, FLT_STREAMHANDLE_CONTEXT,
                                     kStreamHandleContextSize, PagedPool, mark.Receive())) ||
      !mark) {
    return false;
  }
  RtlZeroMemory(mark.Get(), kStreamHandleContextSize);
  return NT_SUCCESS(FltSetStreamHandleContext(objects->Instance, objects->FileObject,
                                              FLT_SET_CONTEXT_KEEP_IF_EXISTS, mark.Get(), nullptr));
}

// Makes the create a virtual open of a server item the file system did not
// find; false when the server has no such item or it cannot be registered
// (the create's status then says why, unless it should stay not-found).
bool OpenVirtually(PFLT_CALLBACK_DATA data, PCUNICODE_STRING name, StreamHandleContext* context) {
  NTSTATUS status = STATUS_RETRY;
  for (int attempt = 0; attempt < kItemQueryAttempts && status == STATUS_RETRY; ++attempt) {
    const ULONG queriedAt = ServerDeleteGeneration(name);
    PoolBuffer reply;
    QueryItemInfo(data, name, &reply);
    if (!reply) return false;
    status = RegisterVirtualOpen(data, name, reply.Data(), queriedAt, context);
  }
  if (NT_SUCCESS(status)) {
    data->IoStatus.Status = STATUS_SUCCESS;
    data->IoStatus.Information = FILE_OPENED;
    return true;
  }
  // No entry could be made, or deletes of the name kept overtaking the
  // question (it was deleted each time it was asked about): the create keeps
  // its not-found status.
  if (status != STATUS_UNSUCCESSFUL && status != STATUS_RETRY) {
    data->IoStatus.Status = status;
    data->IoStatus.Information = 0;
  }
  return false;
}

}  // namespace

PUNICODE_STRING MakeCompletionName(PCUNICODE_STRING name) {
  auto* string = static_cast<PUNICODE_STRING>(AllocateZeroed(PagedPool, sizeof(UNICODE_STRING)));
  if (string == nullptr) return nullptr;
  USHORT length = name->Length;
  if (length >= sizeof(WCHAR) && name->Buffer[length / sizeof(WCHAR) - 1] == L'\\') {
    length -= sizeof(WCHAR);
  }
  const USHORT capacity = name->MaximumLength > length ? name->MaximumLength : length;
  string->Buffer = static_cast<PWCH>(AllocateZeroed(PagedPool, capacity == 0 ? 1 : capacity));
  if (string->Buffer == nullptr) {
    FreePool(string);
    return nullptr;
  }
  string->MaximumLength = capacity;
  if (length != 0) RtlCopyMemory(string->Buffer, name->Buffer, length);
  string->Length = length;
  return string;
}

void FreeCompletionName(PUNICODE_STRING name) {
  if (name == nullptr) return;
  FreePool(name->Buffer);
  FreePool(name);
}

PoolBuffer BuildFileNotification(ULONG kind, const UNICODE_STRING& name) {
  using protocol::NotificationPayload;
  const ULONG nameLength = name.Length + sizeof(WCHAR);
  PoolBuffer payload = PoolBuffer::Allocate(
      NonPagedPool, protocol::kNotificationNamesOffset + nameLength + 4);
  if (!payload) return payload;
  NotificationPayload header{kind, nameLength, 0};
  RtlCopyMemory(payload.Data(), &header, sizeof(header));
  if (name.Length != 0) {
    RtlCopyMemory(payload.Data() + protocol::kNotificationNamesOffset, name.Buffer, name.Length);
  }
  return payload;
}

FLT_POSTOP_CALLBACK_STATUS PostCreateWork(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects,
                                          PVOID completionContext, FLT_POST_OPERATION_FLAGS flags) {
  auto* name = static_cast<PUNICODE_STRING>(completionContext);
  if (name == nullptr) return FLT_POSTOP_FINISHED_PROCESSING;
  if (IsUnderBackendRoot(name, FALSE)) return TrackBackendCreate(data, objects, name, flags);

  CriticalRegion region;
  const ULONG options = CreateOptionsOf(data);
  ContextRef<StreamHandleContext> context;
  NTSTATUS status = FltAllocateContext(Globals.FilterHandle, FLT_STREAMHANDLE_CONTEXT,
                                       kStreamHandleContextSize, PagedPool, context.Receive());
  if (NT_SUCCESS(status) && context) {
    RtlZeroMemory(context.Get(), kStreamHandleContextSize);
    bool attach = false;
    const NTSTATUS createStatus = data->IoStatus.Status;
    if (createStatus == STATUS_SUCCESS) {
      if (IsMergedViewRoot(name)) {
        context->IsViewRoot = 1;
        OwnedString rootPath;
        CopyMergedViewRoot(&rootPath);
        context->RootPath = rootPath.Release();
      }
      attach = true;
    } else if (createStatus == STATUS_OBJECT_NAME_NOT_FOUND ||
               createStatus == STATUS_OBJECT_PATH_NOT_FOUND) {
      attach = OpenVirtually(data, name, context.Get());
    }
    if (attach) {
      ContextRef<StreamHandleContext> replaced;
      status = FltSetStreamHandleContext(objects->Instance, objects->FileObject,
                                         FLT_SET_CONTEXT_REPLACE_IF_EXISTS, context.Get(),
                                         reinterpret_cast<PFLT_CONTEXT*>(replaced.Receive()));
      if (!NT_SUCCESS(status)) {
        // The handle will never be closed through the driver: undo the
        // registration of a virtual open before failing the create. A file
        // the file system opened (the root) is closed below first: Windows
        // lets a post-create fail a successful open only that way.
        if (createStatus == STATUS_SUCCESS) {
          FltCancelFileOpen(objects->Instance, objects->FileObject);
        }
        ReleaseVirtualOpen(data, objects->FileObject, context.Get());
        data->IoStatus.Status = STATUS_INTERNAL_ERROR;
        data->IoStatus.Information = 0;
      } else if (IsVirtualOpen(context.Get()) && (options & FILE_DELETE_ON_CLOSE) != 0) {
        MarkDeleteOnClose(context.Get());
      }
    }
  }
  FreeCompletionName(name);
  return FLT_POSTOP_FINISHED_PROCESSING;
}

FLT_POSTOP_CALLBACK_STATUS TrackBackendCreate(PFLT_CALLBACK_DATA data,
                                              PCFLT_RELATED_OBJECTS objects, PUNICODE_STRING name,
                                              FLT_POST_OPERATION_FLAGS) {
  CriticalRegion region;
  {
    TerminatedName terminated(*name);
    bool track = terminated.Chars() != nullptr && data->IoStatus.Status == STATUS_SUCCESS;
    if (track) {
      USHORT length = name->Length;
      // May trim a final "\." off the name.
      const bool desktopIni = IsDesktopIniName(terminated.Chars(), &length) != FALSE;
      name->Length = length;
      track = !desktopIni && !IsPartialDownloadName(name);
    }
    ContextRef<StreamContext> context;
    if (track) {
      ExclusiveLock lock(Globals.StreamContextLock);
      context = FindOrAttachStreamContext(objects, *name);
      if (context && MarkCountedHandle(objects)) ++context->OpenCount;
    }
    if (context) {
      if ((CreateOptionsOf(data) & FILE_DELETE_ON_CLOSE) != 0) context->DeleteOnClose = 1;
      PUNICODE_STRING fileObjectName = &objects->FileObject->FileName;
      switch (data->IoStatus.Information) {
        case FILE_SUPERSEDED:
          TAVO_PRINT("TavoDriver: Backend Path FILE_SUPERSEDED fileObject %wZ\n, and fileName %wZ\n",
                     fileObjectName, name);
          break;
        case FILE_CREATED:
          TAVO_PRINT("TavoDriver: Backend Path FILE_CREATED fileObject %wZ\n, and fileName %wZ\n",
                     fileObjectName, name);
          NotifyCreated(*context.Get());
          break;
        case FILE_OVERWRITTEN:
          TAVO_PRINT(
              "TavoDriver: Backend Path FILE_OVERWRITTEN fileObject %wZ\n, and fileName %wZ\n",
              fileObjectName, name);
          break;
        default:
          break;
      }
    }
  }
  FreeCompletionName(name);
  return FLT_POSTOP_FINISHED_PROCESSING;
}

}  // namespace tavo
