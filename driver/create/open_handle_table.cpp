// OpenHandleTable and its entries, the file control blocks of virtual opens.
#include "open_handle_table.h"

#include "../core/globals.h"
#include "../setinfo/item_info_cache.h"
#include "../setinfo/rename_reservation.h"
#include "../support/locks.h"
#include "../support/pool.h"
#include "port_messages.h"
#include "request_payloads.h"

namespace tavo {
namespace {

// __fastfail code of a corrupt doubly linked list.
constexpr unsigned int kFastFailCorruptListEntry = 3;

// MainResource is acquired by the create that makes the entry and released
// by whichever thread tears it down, so its ownership is handed to an owner
// pointer: the entry's address with the two low bits set.
PVOID MainResourceOwner(OpenHandleEntry* entry) {
  return reinterpret_cast<PVOID>(reinterpret_cast<ULONG_PTR>(entry) | 3);
}

LONGLONG ReadI64(const UCHAR* bytes, ULONG offset) {
  LONGLONG value;
  RtlCopyMemory(&value, bytes + offset, sizeof(value));
  return value;
}

ULONG ReadU32(const UCHAR* bytes, ULONG offset) {
  ULONG value;
  RtlCopyMemory(&value, bytes + offset, sizeof(value));
  return value;
}

OpenHandleEntry* FindExactEntry(PCUNICODE_STRING path) {
  PUNICODE_PREFIX_TABLE_ENTRY found =
      RtlFindUnicodePrefix(&Globals.OpenHandleTable, const_cast<PUNICODE_STRING>(path), 0);
  if (found == nullptr) return nullptr;
  auto* entry = CONTAINING_RECORD(found, OpenHandleEntry, PrefixEntry);
  return entry->Path.Length == path->Length ? entry : nullptr;
}

// A new entry keyed by `path` and inserted in the table (whose lock the
// caller holds); null when pool is short.
OpenHandleEntry* AddEntry(PCUNICODE_STRING path) {
  OpenHandleEntry* entry = NewOpenHandleEntry(nullptr);
  if (entry == nullptr) return nullptr;
  OwnedString key = OwnedString::CopyOf(NonPagedPool, *path, path->MaximumLength);
  if (!key.HasBuffer()) {
    TeardownOpenHandleEntry(entry);
    return nullptr;
  }
  entry->Path = key.Release();
  ExAcquireResourceExclusiveLite(&entry->MainResource, TRUE);
  ExSetResourceOwnerPointer(&entry->MainResource, MainResourceOwner(entry));
  RtlCopyMemory(entry->Signature, "Tavo", sizeof(entry->Signature));
  entry->Opens.Initialize();
  RtlInsertUnicodePrefix(&Globals.OpenHandleTable, &entry->Path, &entry->PrefixEntry);
  entry->NumberOfLinks = 1;
  return entry;
}

}  // namespace

void EntryOpens::Initialize() {
  OpenCount = 0;
  ReferenceCount = 0;
  InitializeListHead(&Openers);
}

void EntryOpens::Add(OpenerRecord* opener) {
  ++OpenCount;
  InterlockedIncrement(&ReferenceCount);
  PLIST_ENTRY last = Openers.Blink;
  if (last->Flink != &Openers) __fastfail(kFastFailCorruptListEntry);
  InsertTailList(&Openers, &opener->Links);
}

bool EntryOpens::Remove(OpenerRecord* opener, bool withoutCleanup) {
  if (opener != nullptr) {
    PLIST_ENTRY next = opener->Links.Flink;
    PLIST_ENTRY previous = opener->Links.Blink;
    if (next->Blink != &opener->Links || previous->Flink != &opener->Links) {
      __fastfail(kFastFailCorruptListEntry);
    }
    RemoveEntryList(&opener->Links);
    InitializeListHead(&opener->Links);
  }
  if (withoutCleanup) InterlockedDecrement(&ReferenceCount);
  if (OpenCount != 0) --OpenCount;
  // Every close follows its cleanup, so the second condition holds at the
  // last close; it keeps an entry whose cleanup is still running alive.
  return OpenCount == 0 && InterlockedCompareExchange(&ReferenceCount, 0, 0) <= 0;
}

NTSTATUS FindOrAddOpenHandleEntry(PFLT_CALLBACK_DATA data, PCUNICODE_STRING path,
                                  OpenHandleEntry** entry, UCHAR* created, UCHAR create) {
  UNREFERENCED_PARAMETER(data);
  *created = 0;
  ExclusiveLock table(Globals.OpenHandleTableLock);
  OpenHandleEntry* found = FindExactEntry(path);
  if (found == nullptr && create) {
    found = AddEntry(path);
    if (found != nullptr) *created = 1;
  }
  if (found == nullptr) return STATUS_UNSUCCESSFUL;
  *entry = found;
  return STATUS_SUCCESS;
}

namespace {

// The caller holds OpenHandleTableLock.
NTSTATUS CheckNotDeletedLocked(OpenHandleEntry* found, PCUNICODE_STRING path, ULONG queriedAt) {
  // An entry whose item moved out of the view still holds the old name's
  // key until its server item is gone: a new item there cannot be opened
  // until then. As on NTFS, an item whose delete is pending (a disposition
  // through one of its handles) cannot be opened either: a copy downloaded
  // meanwhile would outlive the server delete of the last close.
  if (found != nullptr && (found->Deleting || found->MovedOut || found->DeletePending)) {
    return STATUS_DELETE_PENDING;
  }
  if (found == nullptr && ServerDeleteGeneration(path) != queriedAt) return STATUS_RETRY;
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS CheckNotDeleted(PCUNICODE_STRING path, ULONG queriedAt) {
  ExclusiveLock table(Globals.OpenHandleTableLock);
  return CheckNotDeletedLocked(FindExactEntry(path), path, queriedAt);
}

NTSTATUS AddVirtualOpen(PFLT_CALLBACK_DATA data, PCUNICODE_STRING path, OpenerRecord* opener,
                        ULONG queriedAt, OpenHandleEntry** entry) {
  RenameWaiter waiter;
  {
    ExclusiveLock table(Globals.OpenHandleTableLock);
    // Once unload has decided to go on, no new open may make it return with
    // a file object the driver owns still open.
    if (Globals.Unloading) return STATUS_UNSUCCESSFUL;
    if (!QueueIfReservedLocked(path, &waiter)) {
      OpenHandleEntry* found = FindExactEntry(path);
      const NTSTATUS current = CheckNotDeletedLocked(found, path, queriedAt);
      if (!NT_SUCCESS(current)) return current;
      if (found == nullptr) {
        found = AddEntry(path);
        if (found == nullptr) return STATUS_UNSUCCESSFUL;
      }
      found->Opens.Add(opener);
      data->Iopb->TargetFileObject->SectionObjectPointer = &found->SectionObjectPointers;
      *entry = found;
      return STATUS_SUCCESS;
    }
  }
  WaitForRename(&waiter);
  return STATUS_RETRY;
}

void FinishServerDelete(OpenHandleEntry* entry) {
  // The count moves before the entry leaves the table: an open that finds
  // no entry afterwards sees that a delete overtook its question.
  ForgetDeletedItem(&entry->Path);
  ExclusiveLock table(Globals.OpenHandleTableLock);
  RtlRemoveUnicodePrefix(&Globals.OpenHandleTable, &entry->PrefixEntry);
}

OpenHandleEntry* NewOpenHandleEntry(PFILE_OBJECT fileObject) {
  auto* entry = static_cast<OpenHandleEntry*>(AllocateZeroed(NonPagedPool, sizeof(OpenHandleEntry)));
  if (entry == nullptr) return nullptr;
  entry->NodeTag = kOpenHandleEntryNodeTag;

  FSRTL_ADVANCED_FCB_HEADER& header = entry->Header;
  header.NodeTypeCode = kOpenHandleEntryNodeType;
  header.NodeByteSize = kOpenHandleEntryNodeSize;
  header.Resource = &entry->MainResource;
  header.PagingIoResource = &entry->PagingIoResource;
  ExInitializeFastMutex(&entry->HeaderMutex);
  header.FastMutex = &entry->HeaderMutex;
  header.Flags |= FSRTL_FLAG_ADVANCED_HEADER;
  header.Flags2 |= FSRTL_FLAG2_SUPPORTS_FILTER_CONTEXTS;
  header.Version = FSRTL_FCB_HEADER_V1;
  InitializeListHead(&header.FilterContexts);
  header.PushLock = 0;
  header.FileContextSupportPointer = nullptr;

  if (!NT_SUCCESS(ExInitializeResourceLite(&entry->MainResource))) {
    FreePool(entry);
    return nullptr;
  }
  if (!NT_SUCCESS(ExInitializeResourceLite(&entry->PagingIoResource))) {
    ExDeleteResourceLite(&entry->MainResource);
    FreePool(entry);
    return nullptr;
  }
  if (!NT_SUCCESS(ExInitializeResourceLite(&entry->EntryLock))) {
    ExDeleteResourceLite(&entry->PagingIoResource);
    ExDeleteResourceLite(&entry->MainResource);
    FreePool(entry);
    return nullptr;
  }
  header.IsFastIoPossible = FastIoIsNotPossible;
  if (fileObject != nullptr) fileObject->SectionObjectPointer = &entry->SectionObjectPointers;
  return entry;
}

void FillOpenHandleEntry(OpenHandleEntry* entry, const UCHAR* reply) {
  using protocol::ItemInfoReply;
  entry->FileAttributes = ReadU32(reply, __builtin_offsetof(ItemInfoReply, FileAttributes));
  entry->CreationTime = ReadI64(reply, __builtin_offsetof(ItemInfoReply, CreationTime));
  const LONGLONG lastWrite = ReadI64(reply, __builtin_offsetof(ItemInfoReply, LastWriteTime));
  entry->LastWriteTime = lastWrite;
  entry->ChangeTime = lastWrite;
  entry->LastAccessTime = lastWrite;
  entry->AllocationSize = ReadI64(reply, __builtin_offsetof(ItemInfoReply, AllocationSize));
  entry->EndOfFile = ReadI64(reply, __builtin_offsetof(ItemInfoReply, EndOfFile));
  entry->IsDirectory = (entry->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? 1 : 0;
}

void TeardownOpenHandleEntry(OpenHandleEntry* entry) {
  if (entry == nullptr) return;
  FSRTL_ADVANCED_FCB_HEADER& header = entry->Header;
  if (header.PagingIoResource != nullptr) {
    ExDeleteResourceLite(header.PagingIoResource);
    header.PagingIoResource = nullptr;
  }
  if (header.Resource != nullptr) {
    // Held since the entry was made, unless it never reached the table.
    if (entry->Path.Buffer != nullptr) {
      ExReleaseResourceForThreadLite(
          header.Resource, reinterpret_cast<ERESOURCE_THREAD>(MainResourceOwner(entry)));
    }
    ExDeleteResourceLite(header.Resource);
    header.Resource = nullptr;
  }
  ExDeleteResourceLite(&entry->EntryLock);
  FsRtlTeardownPerStreamContexts(&header);
  // A local copy still held here (no delete was asked at the last close)
  // is released with the entry.
  if (entry->BackendHandle != nullptr) FltClose(entry->BackendHandle);
  if (entry->BackendFileObject != nullptr) ObDereferenceObject(entry->BackendFileObject);
  FreeStringBuffer(entry->BackendPath);
  FreeStringBuffer(entry->Path);
  FreePool(entry);
}

}  // namespace tavo

namespace tavo {

void MarkBackendCopy(PCUNICODE_STRING path, OwnedString* backendPath) {
  // The table lock keeps the entry from being torn down by a last close
  // while its fields are written.
  ExclusiveLock table(Globals.OpenHandleTableLock);
  OpenHandleEntry* entry = FindExactEntry(path);
  // An entry whose item is being deleted keeps no new copy.
  if (entry == nullptr || entry->Deleting || entry->MovedOut) return;
  FreeStringBuffer(entry->BackendPath);
  entry->BackendPath = backendPath->Release();
  entry->HasBackendCopy = 1;
}

}  // namespace tavo

namespace tavo {

OpenHandleEntry* FindExactEntryLocked(PCUNICODE_STRING path) { return FindExactEntry(path); }

// Exclusive even for look-ups: a walk of the table moves the table's own
// cursor (RtlNextUnicodePrefix), so two walks at once would skip entries.
bool PathHasOtherEntry(PCUNICODE_STRING path, const OpenHandleEntry* entry) {
  ExclusiveLock table(Globals.OpenHandleTableLock);
  const OpenHandleEntry* found = FindExactEntry(path);
  return found != nullptr && found != entry;
}

bool PathHasEntryBelow(PCUNICODE_STRING path) {
  ExclusiveLock table(Globals.OpenHandleTableLock);
  return PathHasEntryBelowLocked(path);
}

bool PathHasEntryBelowLocked(PCUNICODE_STRING path) {
  const USHORT chars = path->Length / sizeof(WCHAR);
  for (PUNICODE_PREFIX_TABLE_ENTRY link = RtlNextUnicodePrefix(&Globals.OpenHandleTable, TRUE);
       link != nullptr; link = RtlNextUnicodePrefix(&Globals.OpenHandleTable, FALSE)) {
    const UNICODE_STRING& key = CONTAINING_RECORD(link, OpenHandleEntry, PrefixEntry)->Path;
    if (key.Length <= path->Length || key.Buffer[chars] != L'\\') continue;
    UNICODE_STRING head = BorrowString(key.Buffer, path->Length);
    if (RtlEqualUnicodeString(&head, path, TRUE)) return true;
  }
  return false;
}

OwnedString CopyEntryPath(const OpenHandleEntry& entry) {
  SharedLock entryLock(const_cast<ERESOURCE&>(entry.EntryLock));
  return OwnedString::CopyOf(NonPagedPool, entry.Path, entry.Path.Length);
}

NTSTATUS RenameOpenHandleEntry(OpenHandleEntry* entry, OwnedString* newPath) {
  if (!newPath->HasBuffer()) return STATUS_INSUFFICIENT_RESOURCES;
  ExclusiveLock entryLock(entry->EntryLock);
  ExclusiveLock table(Globals.OpenHandleTableLock);
  const OpenHandleEntry* found = FindExactEntry(&newPath->Get());
  if (found != nullptr && found != entry) return STATUS_OBJECT_NAME_COLLISION;
  RtlRemoveUnicodePrefix(&Globals.OpenHandleTable, &entry->PrefixEntry);
  FreeStringBuffer(entry->Path);
  entry->Path = newPath->Release();
  RtlInsertUnicodePrefix(&Globals.OpenHandleTable, &entry->Path, &entry->PrefixEntry);
  return STATUS_SUCCESS;
}

}  // namespace tavo
