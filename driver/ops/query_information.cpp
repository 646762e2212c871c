// Information and security queries. A virtual item has nothing below it:
// the stat-type classes are answered from its entry and its security
// descriptor is borrowed from a real object in the backend area. A local
// copy under BackendRoot is answered by the file system, and the name it
// gives is rewritten to the item's merged-view name. The merged-view root
// and everything else pass through.
#include "../core/callbacks.h"
#include "../core/globals.h"
#include "../create/contexts.h"
#include "../create/open_handle_table.h"
#include "../create/path_classification.h"
#include "../support/counted_string.h"
#include "../support/filter_refs.h"
#include "../support/locks.h"
#include "../support/completion.h"
#include "operation_buffer.h"

namespace tavo {
namespace {

constexpr ULONG kNameHeaderBytes = FIELD_OFFSET(FILE_NAME_INFORMATION, FileName);  // 4
// The smallest name record a caller may ask for: the header rounded up to
// the record's alignment, as the records' sizes are.
constexpr ULONG kNameRecordMinimum = 8;

// Copies a fixed record when the caller's buffer holds it; the record's size
// is the Information either way.
template <class Record>
FLT_PREOP_CALLBACK_STATUS AnswerRecord(PFLT_CALLBACK_DATA data, PVOID buffer, ULONG length,
                                       const Record& record) {
  if (length < sizeof(Record) || buffer == nullptr) {
    return CompleteOperation(data, STATUS_BUFFER_OVERFLOW, sizeof(Record));
  }
  RtlCopyMemory(buffer, &record, sizeof(Record));
  return CompleteOperation(data, STATUS_SUCCESS, sizeof(Record));
}

// The entry's path as a name record: whole, or as much as the caller's
// buffer holds past its 8-byte minimum.
FLT_PREOP_CALLBACK_STATUS AnswerName(PFLT_CALLBACK_DATA data, PVOID buffer, ULONG length,
                                     const UNICODE_STRING& path) {
  const ULONG pathBytes = path.Length;
  if (length < kNameRecordMinimum || buffer == nullptr) {
    return CompleteOperation(data, STATUS_BUFFER_OVERFLOW, pathBytes + kNameRecordMinimum);
  }
  auto* record = static_cast<PFILE_NAME_INFORMATION>(buffer);
  if (length < pathBytes + kNameRecordMinimum) {
    // The partial name fills the buffer past the 8-byte minimum; it lies
    // wholly inside the buffer since FileName starts at offset 4.
    const ULONG copied = length - kNameRecordMinimum;
    record->FileNameLength = copied;
    RtlCopyMemory(record->FileName, path.Buffer, copied);
    return CompleteOperation(data, STATUS_BUFFER_OVERFLOW, length);
  }
  record->FileNameLength = pathBytes;
  if (pathBytes != 0) RtlCopyMemory(record->FileName, path.Buffer, pathBytes);
  return CompleteOperation(data, STATUS_SUCCESS, pathBytes + kNameRecordMinimum);
}

FLT_PREOP_CALLBACK_STATUS AnswerFromEntry(PFLT_CALLBACK_DATA data, const OpenHandleEntry& entry) {
  const auto& query = data->Iopb->Parameters.QueryFileInformation;
  PVOID buffer = GetOperationBuffer(data);
  const ULONG length = query.Length;
  switch (query.FileInformationClass) {
    case FileBasicInformation: {
      FILE_BASIC_INFORMATION basic{};
      basic.CreationTime.QuadPart = entry.CreationTime;
      basic.LastAccessTime.QuadPart = entry.LastAccessTime;
      basic.LastWriteTime.QuadPart = entry.LastWriteTime;
      basic.ChangeTime.QuadPart = entry.ChangeTime;
      basic.FileAttributes = entry.FileAttributes;
      return AnswerRecord(data, buffer, length, basic);
    }
    case FileStandardInformation: {
      // A pending delete is the driver's to carry out at the last close;
      // until then the item is reported as not being deleted.
      FILE_STANDARD_INFORMATION standard{};
      standard.AllocationSize.QuadPart = entry.AllocationSize;
      standard.EndOfFile.QuadPart = entry.EndOfFile;
      standard.NumberOfLinks = entry.NumberOfLinks;
      standard.DeletePending = FALSE;
      standard.Directory = entry.IsDirectory ? TRUE : FALSE;
      return AnswerRecord(data, buffer, length, standard);
    }
    case FileInternalInformation: {
      FILE_INTERNAL_INFORMATION internal{};
      internal.IndexNumber.QuadPart = 1;
      return AnswerRecord(data, buffer, length, internal);
    }
    case FileNetworkOpenInformation: {
      FILE_NETWORK_OPEN_INFORMATION network{};
      network.CreationTime.QuadPart = entry.CreationTime;
      network.LastAccessTime.QuadPart = entry.LastAccessTime;
      network.LastWriteTime.QuadPart = entry.LastWriteTime;
      network.ChangeTime.QuadPart = entry.ChangeTime;
      network.AllocationSize.QuadPart = entry.AllocationSize;
      network.EndOfFile.QuadPart = entry.EndOfFile;
      network.FileAttributes = entry.FileAttributes;
      return AnswerRecord(data, buffer, length, network);
    }
    case FileNameInformation: {
      OwnedString path = CopyEntryPath(entry);
      if (!path.HasBuffer()) return CompleteOperation(data, STATUS_INSUFFICIENT_RESOURCES, 0);
      return AnswerName(data, buffer, length, path.Get());
    }
    default:
      return CompleteOperation(data, STATUS_NOT_IMPLEMENTED, 0);
  }
}

// Rewrites the name record the file system returned for a local copy from
// its backend name to its merged-view name. The record lies `offset` bytes
// into the caller's buffer and has `length` bytes of it; `returned` bytes of
// the name are in it; `whole` is the length of the whole name (more than
// `returned` when the file system reported STATUS_BUFFER_OVERFLOW).
void RewriteBackendName(PFLT_CALLBACK_DATA data, PFILE_NAME_INFORMATION record, ULONG offset,
                        ULONG length, ULONG returned, ULONG whole) {
  UNICODE_STRING name = BorrowString(record->FileName, static_cast<USHORT>(returned));
  OwnedString view, backend;
  // Without the roots the name cannot be rewritten, and a local copy's
  // name is a backend name: it is not left for the caller.
  if (!CopyMergedViewRootVolumeRelative(&view) || !CopyBackendRootVolumeRelative(&backend)) {
    RtlZeroMemory(record->FileName, returned);
    record->FileNameLength = 0;
    data->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
    data->IoStatus.Information = 0;
    return;
  }
  if (!view.HasBuffer() || !backend.HasBuffer()) return;
  const bool partial = whole > returned;
  // A name cut short before the end of BackendRoot is tested as a prefix
  // of it: a backend name is never shown, not even in part.
  const bool underBackend = returned >= backend->Length
                                ? IsUnderBackendRoot(&name, TRUE) != FALSE
                                : partial && RtlPrefixUnicodeString(&name, &backend.Get(), TRUE);
  if (!underBackend || whole < backend->Length) return;

  const ULONG tailWhole = whole - backend->Length;
  const ULONG tailHere = returned > backend->Length ? returned - backend->Length : 0;
  const ULONG viewWhole = view->Length + tailWhole;
  const ULONG room = (length - kNameHeaderBytes) & ~1u;
  if (!partial && length < viewWhole + kNameRecordMinimum) {
    RtlZeroMemory(record->FileName, returned);
    record->FileNameLength = 0;
    data->IoStatus.Status = STATUS_BUFFER_TOO_SMALL;
    data->IoStatus.Information = offset + viewWhole + kNameRecordMinimum;
    return;
  }
  // The merged-view name, or (after an overflow) as much of it as is known
  // and fits; the whole name's length is reported either way.
  ULONG known = view->Length + tailHere;
  if (known > room) known = room;
  PoolBuffer rewritten = PoolBuffer::Allocate(NonPagedPool, known != 0 ? known : 1);
  if (!rewritten) {
    RtlZeroMemory(record->FileName, returned);
    record->FileNameLength = 0;
    data->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
    data->IoStatus.Information = 0;
    return;
  }
  const ULONG headBytes = known < view->Length ? known : view->Length;
  RtlCopyMemory(rewritten.Data(), view->Buffer, headBytes);
  if (known > headBytes) {
    RtlCopyMemory(rewritten.Data() + headBytes,
                  reinterpret_cast<const UCHAR*>(record->FileName) + backend->Length,
                  known - headBytes);
  }
  if (returned > known) RtlZeroMemory(record->FileName, returned);
  RtlCopyMemory(record->FileName, rewritten.Data(), known);
  // After an overflow the length reported is one that a retry with a
  // buffer of the header and that many bytes gets the name whole in: room
  // for the backend name (the file system's answer) and for the rewritten
  // record. The merged-view name alone would have a caller whose backend
  // name is the longer retry for ever.
  ULONG reported = viewWhole + kNameRecordMinimum - kNameHeaderBytes;
  if (reported < whole) reported = whole;
  record->FileNameLength = partial ? reported : known;
  data->IoStatus.Information =
      offset + (partial ? kNameHeaderBytes + known : kNameRecordMinimum + known);
}

}  // namespace

FLT_PREOP_CALLBACK_STATUS FilterPreQueryInformationOperationCallback(
    PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects, PVOID* CompletionContext) {
  *CompletionContext = nullptr;
  if (FLT_IS_FASTIO_OPERATION(Data)) return FLT_PREOP_DISALLOW_FASTIO;
  ContextRef<StreamContext> stream;
  if (NT_SUCCESS(
          FltGetStreamContext(FltObjects->Instance, FltObjects->FileObject, stream.Receive()))) {
    *CompletionContext = stream.Release();  // released by the post-operation
    return FLT_PREOP_SUCCESS_WITH_CALLBACK;
  }
  ContextRef<StreamHandleContext> handle;
  if (!NT_SUCCESS(FltGetStreamHandleContext(FltObjects->Instance, FltObjects->FileObject,
                                            handle.Receive())) ||
      !IsVirtualOpen(handle.Get())) {
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
  }
  // Another open of the item refreshes its information fields under
  // EntryLock; they are read under it too.
  SharedLock entryLock(handle->Entry->EntryLock);
  return AnswerFromEntry(Data, *handle->Entry);
}

FLT_POSTOP_CALLBACK_STATUS FilterPostQueryInformationOperationCallback(
    PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS, PVOID CompletionContext,
    FLT_POST_OPERATION_FLAGS Flags) {
  ContextRef<StreamContext> stream(static_cast<StreamContext*>(CompletionContext));
  if (Flags & FLTFL_POST_OPERATION_DRAINING) return FLT_POSTOP_FINISHED_PROCESSING;
  const auto& query = Data->Iopb->Parameters.QueryFileInformation;
  // The name classes, and the name that ends the all-information record:
  // a local copy never shows its backend path.
  ULONG offset = 0;
  if (query.FileInformationClass == FileAllInformation) {
    offset = FIELD_OFFSET(FILE_ALL_INFORMATION, NameInformation);
  } else if (query.FileInformationClass != FileNameInformation &&
             query.FileInformationClass != FileNormalizedNameInformation) {
    return FLT_POSTOP_FINISHED_PROCESSING;
  }
  // A name too long for the caller's buffer comes back partial with
  // STATUS_BUFFER_OVERFLOW: it is rewritten too, or the caller would see
  // part of the backend path.
  const NTSTATUS status = Data->IoStatus.Status;
  if (!NT_SUCCESS(status) && status != STATUS_BUFFER_OVERFLOW) {
    return FLT_POSTOP_FINISHED_PROCESSING;
  }
  auto* buffer = static_cast<PUCHAR>(GetOperationBuffer(Data));
  if (buffer == nullptr || query.Length < offset + kNameHeaderBytes) {
    return FLT_POSTOP_FINISHED_PROCESSING;
  }
  auto* record = reinterpret_cast<PFILE_NAME_INFORMATION>(buffer + offset);
  const ULONG length = query.Length - offset;
  // What the file system put in the buffer, bounded by the buffer.
  const ULONG_PTR filled = Data->IoStatus.Information;
  ULONG returned = filled > offset + kNameHeaderBytes
                       ? static_cast<ULONG>(filled - offset - kNameHeaderBytes)
                       : 0;
  const ULONG room = (length - kNameHeaderBytes) & ~1u;
  if (returned > room) returned = room;
  returned &= ~1u;
  ULONG whole = record->FileNameLength & ~1u;
  if (status != STATUS_BUFFER_OVERFLOW || whole < returned) whole = returned;
  if (whole > UNICODE_STRING_MAX_BYTES) return FLT_POSTOP_FINISHED_PROCESSING;
  RewriteBackendName(Data, record, offset, length, returned, whole);
  return FLT_POSTOP_FINISHED_PROCESSING;
}

}  // namespace tavo
