// OpenHandleTable: one OpenHandleEntry per server-only item that has open
// handles. The driver completes the opens of such items itself and owns
// their file objects; the entry is their file control block (FsContext),
// with an advanced FCB header so the Filter Manager can attach contexts,
// and the open's OpenerRecord is their FsContext2.
#pragma once

#include <fltKernel.h>

#include "../support/counted_string.h"
#include "requestor.h"

namespace tavo {

inline constexpr CSHORT kOpenHandleEntryNodeType = 0x0502;
inline constexpr CSHORT kOpenHandleEntryNodeSize = 0x58;
inline constexpr ULONG kOpenHandleEntryNodeTag = 0x7704;

// The opens of one entry: how many are not yet closed (OpenCount), how many
// not yet cleaned up (ReferenceCount), and one OpenerRecord per open handle.
// All of it changes only under OpenHandleTableLock, which is also what the
// installer query and the teardown report hold while they walk the
// openers; cleanup alone changes ReferenceCount without that lock, so it is
// interlocked. The rules of an entry's life are the methods below.
struct EntryOpens {
  ULONG OpenCount;
  volatile LONG ReferenceCount;
  LIST_ENTRY Openers;  // OpenerRecord.Links

  void Initialize();
  // A registering create: counted for its close and its cleanup, and its
  // record linked at the tail.
  void Add(OpenerRecord* opener);
  // A cleanup of one of the opens.
  void CleanedUp() { InterlockedDecrement(&ReferenceCount); }
  // A close (or an open taken back before it was ever handed out, which
  // will see no cleanup either): the record is unlinked, the open
  // uncounted. True when the entry has no open left, every cleanup seen.
  bool Remove(OpenerRecord* opener, bool withoutCleanup);
  // Calls visit(opener) in list order until it returns false; false then.
  template <class Visit>
  bool ForEach(Visit&& visit);
};

struct OpenHandleEntry {
  FSRTL_ADVANCED_FCB_HEADER Header;
  ULONG NodeTag;
  SECTION_OBJECT_POINTERS SectionObjectPointers;
  ERESOURCE MainResource;  // held exclusive from creation until teardown
  ERESOURCE PagingIoResource;
  FAST_MUTEX HeaderMutex;
  UCHAR Signature[4];  // "Tavo"
  EntryOpens Opens;       // under OpenHandleTableLock
  UNICODE_STRING Path;    // full merged-view path, the table key
  UNICODE_PREFIX_TABLE_ENTRY PrefixEntry;
  ERESOURCE EntryLock;    // guards the information fields
  // Set under OpenHandleTableLock by the last close of an item to be
  // deleted, while the client deletes it; the entry stays in the table so
  // that opens of the item meanwhile fail instead of finding nothing.
  UCHAR Deleting;
  LONGLONG CreationTime;
  LONGLONG LastAccessTime;
  LONGLONG LastWriteTime;
  LONGLONG ChangeTime;
  ULONG FileAttributes;
  LONGLONG AllocationSize;
  LONGLONG EndOfFile;
  ULONG NumberOfLinks;
  UCHAR IsDirectory;
  UCHAR DeletePending;
  UCHAR HasBackendCopy;
  UCHAR DeleteOnClose;
  UNICODE_STRING BackendPath;  // the local copy under BackendRoot, own buffer
  PFILE_OBJECT BackendFileObject;
  HANDLE BackendHandle;
  // Set once the item was moved out of the view: the server item is gone,
  // and the entry's opens now stand for the moved local file, which
  // BackendFileObject holds open (so it follows the file wherever it goes,
  // as a handle does) and BackendPath names. Its key then follows the moved
  // file too, and its last close deletes nothing on the server.
  UCHAR MovedOut;
  // Set under OpenHandleTableLock, with Deleting, when the last close
  // could not ask for the server delete for want of pool: the worker asks,
  // on behalf of the session of that close's request (OwedSessionId).
  UCHAR DeleteOwed;
  ULONG OwedSessionId;
};

// Finds the entry whose path is exactly `path` (any case); with `create`,
// adds one when there is none. STATUS_UNSUCCESSFUL when there is no entry
// (or none could be made). Opens are counted by AddVirtualOpen, which also
// links the open's record under the same lock.
NTSTATUS FindOrAddOpenHandleEntry(PFLT_CALLBACK_DATA data, PCUNICODE_STRING path,
                                  OpenHandleEntry** entry, UCHAR* created, UCHAR create);

// Registers the open of `opener` on the entry of `path`, made if there is
// none, in one step under OpenHandleTableLock. The file object's
// SectionObjectPointer then points at the entry's. Fails with
// STATUS_DELETE_PENDING while the item's delete is pending or being made
// by its last close;
// with STATUS_UNSUCCESSFUL once unload has decided to go on;
// with STATUS_RETRY when no entry exists and a server delete has completed
// of the path (or of a folder above it) since `queriedAt` (its
// ServerDeleteGeneration read before the item's information was asked for),
// so that information may describe a deleted item; with STATUS_RETRY, after
// waiting for it to end, when a rename in flight holds the path (the
// information may describe the item the rename is moving); with
// STATUS_UNSUCCESSFUL when no entry could be made.
NTSTATUS AddVirtualOpen(PFLT_CALLBACK_DATA data, PCUNICODE_STRING path, OpenerRecord* opener,
                        ULONG queriedAt, OpenHandleEntry** entry);

// Whether `path`'s information, asked for when its delete count was
// `queriedAt`, still describes a live item: STATUS_DELETE_PENDING while its
// delete is pending or its last close is deleting it on the server,
// STATUS_RETRY when a server delete
// of it (or of a folder above it) completed since, STATUS_SUCCESS otherwise.
NTSTATUS CheckNotDeleted(PCUNICODE_STRING path, ULONG queriedAt);

// A new entry with its header and locks set up, not in the table; null when
// pool is short. The file object, if given, points at its section pointers
// once the entry is complete (never at an entry that is freed again).
OpenHandleEntry* NewOpenHandleEntry(PFILE_OBJECT fileObject);

// Refreshes an entry's times, sizes and attributes from an ItemInfoReply.
void FillOpenHandleEntry(OpenHandleEntry* entry, const UCHAR* itemInfoReply);

// The end of a last close that deleted its item on the server: forgets the
// item's cached information, counts the delete, and takes the entry out of
// the table. The caller then tears the entry down.
void FinishServerDelete(OpenHandleEntry* entry);

// Whether an entry other than `entry` is keyed by exactly `path`.
bool PathHasOtherEntry(PCUNICODE_STRING path, const OpenHandleEntry* entry);
// Whether an entry is keyed by a path below the folder `path` (any case).
bool PathHasEntryBelow(PCUNICODE_STRING path);
// The same two lookups for a caller that holds OpenHandleTableLock
// exclusive (a walk moves the table's cursor): the
// entry keyed by exactly `path` (any case), or null.
OpenHandleEntry* FindExactEntryLocked(PCUNICODE_STRING path);
bool PathHasEntryBelowLocked(PCUNICODE_STRING path);

// Gives an entry a new path (its table key) after its item was renamed on
// the server: EntryLock, then OpenHandleTableLock. The entry takes the
// path's buffer (made before the server was asked, so that nothing here
// needs pool). Changes nothing and fails with STATUS_OBJECT_NAME_COLLISION
// when another entry holds the path.
NTSTATUS RenameOpenHandleEntry(OpenHandleEntry* entry, OwnedString* newPath);

// A copy of the entry's path, taken under its EntryLock: a rename gives
// the entry a new path buffer and frees the old one, so the path is never
// read in place without that lock. Empty when pool is short.
OwnedString CopyEntryPath(const OpenHandleEntry& entry);

// Frees an entry that is no longer in the table, with every resource it
// still owns (a local copy's handle, object reference and path included).
void TeardownOpenHandleEntry(OpenHandleEntry* entry);

}  // namespace tavo

namespace tavo {

// Records an approved local copy on the entry of `path`, if the item has a
// virtual open: HasBackendCopy, and BackendPath takes `backendPath`'s buffer
// (an earlier one is freed). Without an entry `backendPath` is left alone.
void MarkBackendCopy(PCUNICODE_STRING path, OwnedString* backendPath);

}  // namespace tavo

#include "../core/globals.h"

namespace tavo {

template <class Visit>
bool EntryOpens::ForEach(Visit&& visit) {
  for (PLIST_ENTRY link = Openers.Flink; link != &Openers; link = link->Flink) {
    if (!visit(*CONTAINING_RECORD(link, OpenerRecord, Links))) return false;
  }
  return true;
}

// Calls visit(entry, opener) for every opener of every entry, in table and
// list order, until it returns false. The caller holds OpenHandleTableLock.
template <class Visit>
void ForEachOpener(Visit&& visit) {
  for (PUNICODE_PREFIX_TABLE_ENTRY found = RtlNextUnicodePrefix(&Globals.OpenHandleTable, TRUE);
       found != nullptr; found = RtlNextUnicodePrefix(&Globals.OpenHandleTable, FALSE)) {
    auto* entry = CONTAINING_RECORD(found, OpenHandleEntry, PrefixEntry);
    if (!entry->Opens.ForEach([&](OpenerRecord& opener) { return visit(*entry, opener); })) return;
  }
}

}  // namespace tavo
