// Dispositions. A tracked stream under BackendRoot passes down with its
// context's name refreshed; the post-operation records the outcome. A
// virtual item is answered here: the flag goes to its OpenHandleEntry (the
// last close then deletes it on the server), through its local copy when it
// has one, and a folder is deleted only once the client says it may be.
//
// Locking: DeletePending and the local copy's handle are written under the
// entry's EntryLock, then OpenHandleTableLock (the order of the close path,
// which reads them under both); HasBackendCopy and BackendPath are read
// under the same two, shared. Nothing is held while the client is asked or
// while the local copy is opened.
#include "../core/globals.h"
#include "../create/open_handle_table.h"
#include "../create/requestor.h"
#include "../support/locks.h"
#include "../support/pool.h"
#include "request_payloads.h"
#include "setinfo.h"

namespace tavo {
namespace {

// FileNameInformation of a name of up to 2560 characters.
constexpr ULONG kNameQueryBytes = 5128;

void SetDeletePending(OpenHandleEntry* entry, UCHAR deleteFlag) {
  ExclusiveLock entryLock(entry->EntryLock);
  ExclusiveLock table(Globals.OpenHandleTableLock);
  entry->DeletePending = deleteFlag;
}

// The entry's local copy opened as the virtual open was asked for, kept in
// the entry until its last close. Returns the copy's file object.
NTSTATUS OpenBackendCopy(PCFLT_RELATED_OBJECTS objects, OpenHandleEntry* entry, const OpenerRecord* opener,
                         PFILE_OBJECT* copy) {
  OwnedString path;
  {
    SharedLock entryLock(entry->EntryLock);
    SharedLock table(Globals.OpenHandleTableLock);
    if (entry->BackendHandle != nullptr) {
      *copy = entry->BackendFileObject;
      return STATUS_SUCCESS;
    }
    path = OwnedString::CopyOf(NonPagedPool, entry->BackendPath, entry->BackendPath.Length);
  }
  if (!path.HasBuffer()) return STATUS_INSUFFICIENT_RESOURCES;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &path.Get(), OBJ_KERNEL_HANDLE, nullptr, nullptr);
  IO_STATUS_BLOCK ioStatus;
  HANDLE handle = nullptr;
  PFILE_OBJECT fileObject = nullptr;
  const NTSTATUS status = FltCreateFileEx(
      Globals.FilterHandle, objects->Instance, &handle, &fileObject, opener->DesiredAccess,
      &attributes, &ioStatus, nullptr, opener->FileAttributes, opener->ShareAccess, FILE_OPEN,
      opener->CreateOptions, nullptr, 0, 0);
  if (!NT_SUCCESS(status)) return status;
  ExclusiveLock entryLock(entry->EntryLock);
  ExclusiveLock table(Globals.OpenHandleTableLock);
  if (entry->BackendHandle == nullptr) {
    entry->BackendHandle = handle;
    entry->BackendFileObject = fileObject;
  } else {
    // Another disposition opened the copy meanwhile: its open is kept.
    FltClose(handle);
    ObDereferenceObject(fileObject);
  }
  *copy = entry->BackendFileObject;
  return STATUS_SUCCESS;
}

FLT_PREOP_CALLBACK_STATUS DeleteFolder(PFLT_CALLBACK_DATA data, OpenHandleEntry* entry,
                                       UCHAR deleteFlag) {
  OwnedString path;
  {
    SharedLock entryLock(entry->EntryLock);
    path = OwnedString::CopyOf(NonPagedPool, entry->Path, entry->Path.Length);
  }
  if (!path.HasBuffer()) return CompleteSetInfo(data, STATUS_INSUFFICIENT_RESOURCES);
  UCHAR answer = 0;
  if (!NT_SUCCESS(RequestDeleteCheck(data, &path.Get(), &answer))) {
    return CompleteSetInfo(data, STATUS_ACCESS_DENIED);
  }
  switch (answer) {
    case protocol::kDeleteCheckMayDelete:
      SetDeletePending(entry, deleteFlag);
      return CompleteSetInfo(data, STATUS_SUCCESS);
    case protocol::kDeleteCheckRefused:
      return CompleteSetInfo(data, STATUS_ACCESS_DENIED);
    default:
      return CompleteSetInfo(data, STATUS_DIRECTORY_NOT_EMPTY);
  }
}

}  // namespace

PUCHAR NormalizeDispositionInfo(PFLT_CALLBACK_DATA data) {
  auto& params = data->Iopb->Parameters.SetFileInformation;
  auto* first = static_cast<PUCHAR>(params.InfoBuffer);
  if (params.FileInformationClass == FileDispositionInformationEx) {
    *first &= static_cast<UCHAR>(FILE_DISPOSITION_DELETE);
  } else {
    *first = *first != 0 ? 1 : 0;
  }
  return first;
}

NTSTATUS RefreshStreamContextName(PCFLT_RELATED_OBJECTS objects, StreamContext* context) {
  PoolBuffer query = PoolBuffer::Allocate(NonPagedPool, kNameQueryBytes);
  if (!query) return STATUS_INSUFFICIENT_RESOURCES;
  ULONG returned = 0;
  NTSTATUS status = FltQueryInformationFile(objects->Instance, objects->FileObject, query.Data(),
                                            query.Size(), FileNameInformation, &returned);
  if (!NT_SUCCESS(status)) return status;
  const auto* info = query.As<FILE_NAME_INFORMATION>();
  const ULONG nameBytes = info->FileNameLength;
  if (nameBytes > query.Size() - FIELD_OFFSET(FILE_NAME_INFORMATION, FileName)) {
    return STATUS_INVALID_PARAMETER;
  }
  OwnedString backend;
  if (!CopyBackendRoot(&backend)) return STATUS_INSUFFICIENT_RESOURCES;
  const ULONG prefixBytes = static_cast<ULONG>(Globals.VolumePrefixLength) * sizeof(WCHAR);
  if (!backend.HasBuffer() || backend->Length < prefixBytes) return STATUS_UNSUCCESSFUL;
  const ULONG bytes = prefixBytes + nameBytes;
  if (bytes > UNICODE_STRING_MAX_BYTES) return STATUS_NAME_TOO_LONG;
  OwnedString name = OwnedString::WithCapacity(NonPagedPool, static_cast<USHORT>(bytes));
  if (!name.HasBuffer()) return STATUS_INSUFFICIENT_RESOURCES;
  RtlCopyMemory(name->Buffer, backend->Buffer, prefixBytes);
  RtlCopyMemory(reinterpret_cast<PUCHAR>(name->Buffer) + prefixBytes, info->FileName, nameBytes);
  name->Length = static_cast<USHORT>(bytes);
  ExclusiveLock lock(Globals.StreamContextLock);
  FreeStringBuffer(context->FileName);
  context->FileName = name.Release();
  return STATUS_SUCCESS;
}

FLT_PREOP_CALLBACK_STATUS SetVirtualDisposition(PFLT_CALLBACK_DATA data,
                                                PCFLT_RELATED_OBJECTS objects,
                                                StreamHandleContext* handle) {
  auto& params = data->Iopb->Parameters.SetFileInformation;
  const ULONG needed = params.FileInformationClass == FileDispositionInformationEx
                           ? sizeof(FILE_DISPOSITION_INFORMATION_EX)
                           : sizeof(FILE_DISPOSITION_INFORMATION);
  if (params.InfoBuffer == nullptr || params.Length < needed) {
    return CompleteSetInfo(data, STATUS_INVALID_PARAMETER);
  }
  const UCHAR deleteFlag = *NormalizeDispositionInfo(data);
  OpenHandleEntry* entry = handle->Entry;
  if (entry->IsDirectory) return DeleteFolder(data, entry, deleteFlag);

  bool hasCopy;
  {
    SharedLock entryLock(entry->EntryLock);
    SharedLock table(Globals.OpenHandleTableLock);
    hasCopy = entry->HasBackendCopy != 0 && entry->BackendPath.Length != 0;
  }
  if (!hasCopy) {
    SetDeletePending(entry, deleteFlag);
    return CompleteSetInfo(data, STATUS_SUCCESS);
  }
  PFILE_OBJECT copy = nullptr;
  NTSTATUS status = OpenBackendCopy(objects, entry, handle->Opener, &copy);
  if (!NT_SUCCESS(status)) return CompleteSetInfo(data, status);
  FILE_DISPOSITION_INFORMATION disposition{deleteFlag};
  status = FltSetInformationFile(objects->Instance, copy, &disposition, sizeof(disposition),
                                 FileDispositionInformation);
  if (NT_SUCCESS(status)) SetDeletePending(entry, deleteFlag);
  return CompleteSetInfo(data, status);
}

}  // namespace tavo
