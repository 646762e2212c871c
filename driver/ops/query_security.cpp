// Security queries on a virtual item: the descriptor is borrowed from a real
// object in the backend area, BackendRoot itself for a folder, and for a
// file a sibling of BackendRoot named like it with "txt" for its last three
// characters (made by the first such query). The merged-view root and every
// other handle pass through to the file system.
#include "../core/callbacks.h"
#include "../core/globals.h"
#include "../create/contexts.h"
#include "../create/open_handle_table.h"
#include "../create/path_classification.h"
#include "../support/counted_string.h"
#include "../support/filter_refs.h"
#include "../support/io_holders.h"
#include "../support/completion.h"
#include "operation_buffer.h"

namespace tavo {
namespace {

// Opens the object whose descriptor stands for the item. A file's source
// needs three characters of BackendRoot to rename; a shorter (or missing)
// BackendRoot has no source, which is answered like one that cannot be
// opened.
NTSTATUS OpenSecuritySource(bool isFile, OpenedFile* source) {
  OwnedString path;
  if (!CopyBackendRoot(&path)) return STATUS_INSUFFICIENT_RESOURCES;
  constexpr USHORT kSuffixBytes = 3 * sizeof(WCHAR);
  if (!path.HasBuffer() || path->Length < (isFile ? kSuffixBytes : sizeof(WCHAR))) {
    return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  if (isFile) {
    PWCH suffix = path->Buffer + (path->Length - kSuffixBytes) / sizeof(WCHAR);
    suffix[0] = L't';
    suffix[1] = L'x';
    suffix[2] = L't';
  }
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &path.Get(), OBJ_KERNEL_HANDLE, nullptr, nullptr);
  IO_STATUS_BLOCK ioStatus;
  // No instance: the open starts at the top of the volume's stack.
  return FltCreateFileEx(Globals.FilterHandle, nullptr, source->Handle(), source->FileObject(),
                         SYNCHRONIZE | FILE_READ_EA | FILE_READ_ATTRIBUTES, &attributes, &ioStatus,
                         nullptr, FILE_ATTRIBUTE_NORMAL,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         isFile ? FILE_OPEN_IF : FILE_OPEN,
                         isFile ? FILE_NON_DIRECTORY_FILE : FILE_DIRECTORY_FILE, nullptr, 0, 0);
}

}  // namespace

FLT_PREOP_CALLBACK_STATUS FilterPreQuerySecurityOperationCallback(PFLT_CALLBACK_DATA Data,
                                                                  PCFLT_RELATED_OBJECTS FltObjects,
                                                                  PVOID* CompletionContext) {
  *CompletionContext = nullptr;
  if (FLT_IS_FASTIO_OPERATION(Data)) return FLT_PREOP_DISALLOW_FASTIO;
  ContextRef<StreamHandleContext> handle;
  if (!NT_SUCCESS(FltGetStreamHandleContext(FltObjects->Instance, FltObjects->FileObject,
                                            handle.Receive())) ||
      !IsVirtualOpen(handle.Get())) {
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
  }
  const auto& query = Data->Iopb->Parameters.QuerySecurity;
  PVOID buffer = GetOperationBuffer(Data);
  if (buffer == nullptr && query.Length != 0) {
    return CompleteOperation(Data, STATUS_INSUFFICIENT_RESOURCES, 0);
  }
  const bool isFile =
      handle->Entry != nullptr && (handle->Entry->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  OpenedFile source;
  if (!NT_SUCCESS(OpenSecuritySource(isFile, &source))) {
    return CompleteOperation(Data, STATUS_NOT_IMPLEMENTED, 0);
  }
  ULONG needed = 0;
  const NTSTATUS status = FltQuerySecurityObject(
      FltObjects->Instance, source.Object(), query.SecurityInformation, buffer, query.Length, &needed);
  // The descriptor's length is the one the file system reported: parsing it
  // back out of the caller's buffer would trust memory the caller can
  // rewrite meanwhile.
  if (NT_SUCCESS(status)) return CompleteOperation(Data, status, needed);
  // A buffer too small gets the length the descriptor needs. Any other
  // failure is the caller's answer as it is: reporting it as a short buffer
  // with a needed length of 0 would have the caller retry for ever.
  if (status == STATUS_BUFFER_TOO_SMALL || status == STATUS_BUFFER_OVERFLOW) {
    return CompleteOperation(Data, STATUS_BUFFER_OVERFLOW, needed);
  }
  return CompleteOperation(Data, status, 0);
}

}  // namespace tavo
