// Name helpers around a create, a rename or a delete, and the client's
// item-information query.
//
// Shortage of pool: every routine here fails cleanly. It returns
// STATUS_INSUFFICIENT_RESOURCES (GetCreateFileName) or an empty result
// (no output buffer, no reply), frees whatever it had taken and leaves the
// caches as they were; its caller then treats the name as unavailable or the
// item as absent.
#include "name_helpers.h"

#include "../channel/request_exchange.h"
#include "../core/globals.h"
#include "../names/view_names.h"
#include "../setinfo/item_info_cache.h"
#include "../support/filter_refs.h"
#include "../support/io_holders.h"
#include "open_handle_table.h"
#include "path_classification.h"
#include "request_payloads.h"
#include "requestor.h"

namespace tavo {
namespace {

// Spare bytes after a mapped path, for callers that append to it.
constexpr ULONG kMappedPathSpareBytes = 10;

// A copy of the name-information's Name in a buffer of its MaximumLength.
NTSTATUS CopyName(const UNICODE_STRING& source, OwnedString* name) {
  OwnedString copy = OwnedString::CopyOf(NonPagedPool, source, source.MaximumLength);
  if (!copy.HasBuffer()) return STATUS_INSUFFICIENT_RESOURCES;
  *name = static_cast<OwnedString&&>(copy);
  return STATUS_SUCCESS;
}

// `head` followed by `path` without its first `skipBytes` bytes, with spare
// capacity; no buffer when the lengths do not fit a counted string or pool
// is short.
void Rebase(const UNICODE_STRING& head, PCUNICODE_STRING path, USHORT skipBytes,
            OwnedString* output) {
  *output = OwnedString();
  if (path->Length < skipBytes) return;
  const ULONG tail = path->Length - skipBytes;
  const ULONG length = head.Length + tail;
  if (length + kMappedPathSpareBytes > UNICODE_STRING_MAX_BYTES) return;
  OwnedString mapped =
      OwnedString::WithCapacity(NonPagedPool, static_cast<USHORT>(length + kMappedPathSpareBytes));
  if (!mapped.HasBuffer()) return;
  RtlCopyUnicodeString(&mapped.Get(), &head);
  if (tail != 0) {
    RtlCopyMemory(reinterpret_cast<PUCHAR>(mapped->Buffer) + head.Length,
                  reinterpret_cast<const UCHAR*>(path->Buffer) + skipBytes, tail);
  }
  mapped->Length = static_cast<USHORT>(length);
  *output = static_cast<OwnedString&&>(mapped);
}

// The item-information payload for the path: header, name, NUL, 4 zero bytes.
PoolBuffer BuildItemInfoRequest(PFLT_CALLBACK_DATA data, PCUNICODE_STRING path) {
  PoolBuffer payload =
      PoolBuffer::Allocate(NonPagedPool, path->Length + protocol::kItemInfoRequestOverhead);
  if (!payload) return payload;
  protocol::ItemInfoRequest header{};
  header.SessionId = RequestorSessionId(data);
  header.QueryKind = protocol::kQueryItemInfo;
  header.NameLength = path->Length + sizeof(WCHAR);
  RtlCopyMemory(payload.Data(), &header, sizeof(header));
  if (path->Length != 0) {
    RtlCopyMemory(payload.Data() + protocol::kItemInfoNameOffset, path->Buffer, path->Length);
  }
  return payload;
}

}  // namespace

NTSTATUS GetCreateFileName(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects,
                           OwnedString* name) {
  *name = OwnedString();
  if (objects == nullptr || objects->FileObject == nullptr) return STATUS_UNSUCCESSFUL;
  // The parent open of a rename or link target is decided on the whole
  // target name, as the file object carries it: the name the Filter Manager
  // gives for it may already be cut to the parent folder (this driver's name
  // provider does that for a target the server does not know).
  if ((data->Iopb->OperationFlags & SL_OPEN_TARGET_DIRECTORY) != 0) {
    return ComposeCreateName(objects->Instance, objects->FileObject, name);
  }

  FileNameRef info;
  NTSTATUS status = FltGetFileNameInformation(
      data, FLT_FILE_NAME_OPENED | FLT_FILE_NAME_REQUEST_FROM_CURRENT_PROVIDER, info.Receive());
  if (NT_SUCCESS(status)) {
    // Only Name is used: a parse failure does not matter here.
    (void)FltParseFileNameInformation(info.Get());
    return CopyName(info->Name, name);
  }

  status = FltGetFileNameInformation(
      data, FLT_FILE_NAME_OPENED | FLT_FILE_NAME_QUERY_ALWAYS_ALLOW_CACHE_LOOKUP, info.Receive());
  // On a thread whose top-level IRP is set (the file system is already
  // active on it) the Filter Manager names nothing. Passed down unnamed, a
  // create under the view would reach the view's folder on disk: the name
  // is composed from the file object instead.
  if (status == STATUS_FLT_INVALID_NAME_REQUEST || status == STATUS_FLT_NAME_CACHE_MISS) {
    return ComposeCreateName(objects->Instance, objects->FileObject, name);
  }
  if (!NT_SUCCESS(status)) return status;
  // A name from the Filter Manager always begins with its volume's device
  // name, a create relative to an open directory included: it is used as it
  // is (putting the volume's name in front again would name nothing).
  return CopyName(info->Name, name);
}

void ViewPathToBackendPath(PCUNICODE_STRING path, OwnedString* backendPath) {
  OwnedString merged, backend;
  CopyMergedViewRoot(&merged);
  CopyBackendRoot(&backend);
  // A root that could not be copied (or is not configured) maps nothing.
  if (!merged.HasBuffer() || !backend.HasBuffer()) {
    *backendPath = OwnedString();
    return;
  }
  Rebase(backend.Get(), path, merged->Length, backendPath);
}

BOOLEAN BackendPathToViewPath(PCUNICODE_STRING path, OwnedString* viewPath) {
  // The test restores the Length it shortens; it works on a copy of the
  // caller's counted string all the same.
  UNICODE_STRING probe = *path;
  if (!IsUnderBackendRoot(&probe, FALSE)) return FALSE;
  OwnedString merged, backend;
  CopyMergedViewRoot(&merged);
  CopyBackendRoot(&backend);
  // TRUE without a buffer: the path is under BackendRoot, but its view path
  // cannot be made (pool is short, or a root changed in between).
  if (!merged.HasBuffer() || !backend.HasBuffer()) {
    *viewPath = OwnedString();
    return TRUE;
  }
  Rebase(merged.Get(), path, backend->Length, viewPath);
  return TRUE;
}

BOOLEAN ProbeBackendFile(PCUNICODE_STRING path, PFLT_INSTANCE instance, UCHAR directoryCounts) {
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, const_cast<PUNICODE_STRING>(path), OBJ_KERNEL_HANDLE,
                             nullptr, nullptr);
  IO_STATUS_BLOCK ioStatus;
  OpenedFile file;
  const NTSTATUS status = FltCreateFileEx(
      Globals.FilterHandle, instance, file.Handle(), file.FileObject(),
      SYNCHRONIZE | FILE_READ_ATTRIBUTES | FILE_READ_EA, &attributes, &ioStatus, nullptr,
      FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
      FILE_NON_DIRECTORY_FILE, nullptr, 0, 0);
  if (NT_SUCCESS(status)) return TRUE;
  return directoryCounts && status == STATUS_FILE_IS_A_DIRECTORY ? TRUE : FALSE;
}

void QueryItemInfo(PFLT_CALLBACK_DATA data, PCUNICODE_STRING path, PoolBuffer* reply) {
  // A cached answer too short to hold the fields callers read is passed
  // over: the client is asked instead.
  LookupItemInfo(path, reply);
  if (*reply && reply->Size() >= protocol::kItemInfoReplySize) return;
  *reply = PoolBuffer();

  const ULONG queriedAt = ServerDeleteGeneration(path);
  PoolBuffer payload = BuildItemInfoRequest(data, path);
  if (!payload) return;
  const ULONG capacity = path->Length + protocol::kItemInfoAnswerSlack;
  PoolBuffer answer = PoolBuffer::Allocate(NonPagedPool, capacity);
  if (!answer) return;
  ULONG answerLength = 0;
  const NTSTATUS status =
      SendRequestAndWait(payload.Data(), payload.Size(), protocol::kRequestItemQuery, answer.Data(),
                         capacity, &answerLength);
  // A negative status says the server has no such item. A success that
  // delivered fewer bytes than the fields callers read (nothing at all when
  // the wait ended without an answer) is taken as absence too; nothing is
  // cached, so the next query asks again.
  if (!NT_SUCCESS(status) || answerLength < protocol::kItemInfoReplySize) return;
  CacheItemInfoIfCurrent(path, answer.Data(), answerLength, queriedAt);
  *reply = static_cast<PoolBuffer&&>(answer);
}

NTSTATUS QueryCurrentItemInfo(PFLT_CALLBACK_DATA data, PCUNICODE_STRING path, PoolBuffer* reply) {
  for (int attempt = 0; attempt < kItemQueryAttempts; ++attempt) {
    const ULONG queriedAt = ServerDeleteGeneration(path);
    QueryItemInfo(data, path, reply);
    if (!*reply) return STATUS_OBJECT_NAME_NOT_FOUND;
    const NTSTATUS current = CheckNotDeleted(path, queriedAt);
    if (current != STATUS_RETRY) return current;
  }
  // Deleted each time it was asked about.
  *reply = PoolBuffer();
  return STATUS_OBJECT_NAME_NOT_FOUND;
}

}  // namespace tavo
