// Registration of virtual opens on their OpenHandleEntry, and their end.
//
// Locking: OpenHandleTableLock guards the table, every entry's opens
// (counts and opener records) and the Deleting mark; EntryLock guards an
// entry's information fields. The close path takes EntryLock before
// OpenHandleTableLock; the create path never holds both. No lock is held
// while the client deletes an item: the entry stays in the table marked
// Deleting, so that an open meanwhile fails with STATUS_DELETE_PENDING
// instead of making a fresh entry for an item the server is removing, and
// every other open, approval and query goes on.
#include "virtual_open.h"

#include "../core/globals.h"
#include "../support/debug.h"
#include "../support/locks.h"
#include "client_requests.h"

namespace tavo {
namespace {

// Times the last close asks for a delete it could not make for want of pool.
constexpr int kServerDeleteAttempts = 4;
// How long the driver's own threads (the worker, unload) wait for the
// answer to an owed delete: a client that stays silent must not hold the
// worker, nor unload, which waits for the worker, for ever.
constexpr LONGLONG kOwedDeleteTimeLimit = 10LL * 10 * 1000 * 1000;  // 10 s

enum class Asked { Yes, NoPool, NoAnswerInTime };

// Asks once for the server delete of an entry closed for the last time.
// The client's answer, whatever it is, is not asked twice.
Asked AskOnce(ULONG sessionId, OpenHandleEntry* entry, LONGLONG timeLimit = 0) {
  BOOLEAN deleted = FALSE;
  const NTSTATUS status =
      AskServerDeleteForSession(sessionId, &entry->Path, entry->IsDirectory, &deleted, timeLimit);
  if (status == STATUS_INSUFFICIENT_RESOURCES) return Asked::NoPool;
  if (timeLimit != 0 && status == STATUS_IO_TIMEOUT) return Asked::NoAnswerInTime;
  return Asked::Yes;
}

// After the request: releases a local copy the entry still holds, takes the
// entry out of the table and frees it.
void FinishDeletedEntry(OpenHandleEntry* entry) {
  if (entry->HasBackendCopy && entry->BackendHandle != nullptr) {
    FltClose(entry->BackendHandle);
    entry->BackendHandle = nullptr;
    if (entry->BackendFileObject != nullptr) ObDereferenceObject(entry->BackendFileObject);
    entry->BackendFileObject = nullptr;
    FreeStringBuffer(entry->BackendPath);
  }
  FinishServerDelete(entry);
  TeardownOpenHandleEntry(entry);
}

// Whether the entry was finished. The close cannot fail, and a delete
// that is never asked for would bring the item back once the entry is
// gone: a request that could not be made for want of pool is made again,
// and when pool stays short the delete is owed to the worker, which asks
// every period. Until then the entry stays in the table marked Deleting,
// so that opens of the name fail with STATUS_DELETE_PENDING as they do
// while any delete is under way.
// The owed request is the close's own, made late: it carries the session
// of the close's requestor, as the request made at once would have.
bool DeleteOnServer(PFLT_CALLBACK_DATA data, OpenHandleEntry* entry) {
  const ULONG sessionId = RequestorSessionId(data);
  for (int attempt = 0; attempt < kServerDeleteAttempts; ++attempt) {
    if (AskOnce(sessionId, entry) != Asked::NoPool) {
      FinishDeletedEntry(entry);
      return true;
    }
  }
  ExclusiveLock table(Globals.OpenHandleTableLock);
  entry->DeleteOwed = 1;
  entry->OwedSessionId = sessionId;
  return false;
}

void TakeOpenOff(PFLT_CALLBACK_DATA data, StreamHandleContext* context, bool withoutCleanup) {
  OpenHandleEntry* entry = context->Entry;
  bool last;
  bool deleteOnServer = false;
  {
    ExclusiveLock entryLock(entry->EntryLock);
    ExclusiveLock table(Globals.OpenHandleTableLock);
    last = entry->Opens.Remove(context->Opener, withoutCleanup);
    if (last) {
      deleteOnServer = !entry->MovedOut && (entry->DeletePending || entry->DeleteOnClose);
      if (deleteOnServer) {
        entry->Deleting = 1;
      } else {
        RtlRemoveUnicodePrefix(&Globals.OpenHandleTable, &entry->PrefixEntry);
      }
    }
  }
  FreeOpenerRecord(context->Opener);
  context->Opener = nullptr;
  context->Entry = nullptr;
  if (!last) return;
  if (deleteOnServer) {
    (void)DeleteOnServer(data, entry);
    return;
  }
  if (entry->MovedOut && entry->DeleteOnClose && entry->BackendFileObject != nullptr) {
    // The item left the view on a delete-on-close open: the moved file is
    // what that open deletes, when the entry's handle on it closes below.
    FILE_DISPOSITION_INFORMATION disposition{TRUE};
    (void)FltSetInformationFile(data->Iopb->TargetInstance, entry->BackendFileObject,
                                &disposition, sizeof(disposition), FileDispositionInformation);
  }
  TeardownOpenHandleEntry(entry);
}

}  // namespace

NTSTATUS RegisterVirtualOpen(PFLT_CALLBACK_DATA data, PCUNICODE_STRING path,
                             const UCHAR* itemInfoReply, ULONG queriedAt,
                             StreamHandleContext* context) {
  OpenerRecord* opener = MakeOpenerRecord(data);
  if (opener == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  OpenHandleEntry* entry = nullptr;
  const NTSTATUS status = AddVirtualOpen(data, path, opener, queriedAt, &entry);
  if (!NT_SUCCESS(status)) {
    FreeOpenerRecord(opener);
    return status;
  }
  {
    // The open just counted keeps the entry alive until it is closed.
    ExclusiveLock lock(entry->EntryLock);
    FillOpenHandleEntry(entry, itemInfoReply);
  }
  PFILE_OBJECT fileObject = data->Iopb->TargetFileObject;
  fileObject->FsContext = entry;
  fileObject->FsContext2 = opener;
  context->Entry = entry;
  context->Opener = opener;
  return STATUS_SUCCESS;
}

void MarkDeleteOnClose(StreamHandleContext* context) {
  ExclusiveLock lock(context->Entry->EntryLock);
  context->Entry->DeleteOnClose = 1;
}

void RetryOwedServerDeletes(bool lastChance) {
  for (;;) {
    OpenHandleEntry* owed = nullptr;
    {
      // Claimed under the lock: one thread asks for each owed delete.
      ExclusiveLock table(Globals.OpenHandleTableLock);
      for (PUNICODE_PREFIX_TABLE_ENTRY link = RtlNextUnicodePrefix(&Globals.OpenHandleTable, TRUE);
           link != nullptr; link = RtlNextUnicodePrefix(&Globals.OpenHandleTable, FALSE)) {
        auto* entry = CONTAINING_RECORD(link, OpenHandleEntry, PrefixEntry);
        if (entry->DeleteOwed) {
          entry->DeleteOwed = 0;
          owed = entry;
          break;
        }
      }
    }
    if (owed == nullptr) return;
    // Nothing else refers to an owed entry: it has no open, and every new
    // open of its name fails while it is in the table marked Deleting.
    if (AskOnce(owed->OwedSessionId, owed, kOwedDeleteTimeLimit) != Asked::Yes) {
      if (lastChance) {
        TAVO_PRINT("TavoDriver: the server delete of %wZ could not be asked before unload\n",
                   &owed->Path);
      } else {
        ExclusiveLock table(Globals.OpenHandleTableLock);
        owed->DeleteOwed = 1;
        return;  // pool is short, or the client silent, still: the next period asks again
      }
    }
    FinishDeletedEntry(owed);
  }
}

void CloseVirtualOpen(PFLT_CALLBACK_DATA data, StreamHandleContext* context) {
  TakeOpenOff(data, context, false);
}

void ReleaseVirtualOpen(PFLT_CALLBACK_DATA data, PFILE_OBJECT fileObject,
                        StreamHandleContext* context) {
  OpenHandleEntry* entry = context->Entry;
  if (entry == nullptr) return;
  if (fileObject->SectionObjectPointer == &entry->SectionObjectPointers) {
    fileObject->SectionObjectPointer = nullptr;
  }
  TakeOpenOff(data, context, true);
  fileObject->FsContext = nullptr;
  fileObject->FsContext2 = nullptr;
}

}  // namespace tavo
