// Post-create work: stream tracking under BackendRoot, the handle context of
// MergedViewRoot, and virtual opens of server-only items.
#include "tracking.h"

#include "../channel/notifications.h"
#include "../core/globals.h"
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

// Makes the create a virtual open of a server item the file system did not
// find; false when the server has no such item or it cannot be registered.
bool OpenVirtually(PFLT_CALLBACK_DATA data, PCUNICODE_STRING name, ULONG options,
                   StreamHandleContext* context) {
  PoolBuffer reply;
  QueryItemInfo(data, name, &reply);
  if (!reply) return false;
  const NTSTATUS status = RegisterVirtualOpen(data, name, reply.Data(),
                                              (options & FILE_DELETE_ON_CLOSE) != 0, context);
  if (status == STATUS_INSUFFICIENT_RESOURCES) {
    data->IoStatus.Status = status;
    data->IoStatus.Information = 0;
  }
  if (!NT_SUCCESS(status)) return false;
  data->IoStatus.Status = STATUS_SUCCESS;
  data->IoStatus.Information = FILE_OPENED;
  return true;
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
      attach = OpenVirtually(data, name, options, context.Get());
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
        if (createStatus == STATUS_SUCCESS)
          FltCancelFileOpen(objects->Instance, objects->FileObject);
        ReleaseVirtualOpen(objects->FileObject, context.Get());
        data->IoStatus.Status = STATUS_INTERNAL_ERROR;
        data->IoStatus.Information = 0;
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
      if (context) ++context->OpenCount;
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
