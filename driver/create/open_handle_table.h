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

struct OpenHandleEntry {
  FSRTL_ADVANCED_FCB_HEADER Header;
  ULONG NodeTag;
  SECTION_OBJECT_POINTERS SectionObjectPointers;
  ERESOURCE MainResource;  // held exclusive from creation until teardown
  ERESOURCE PagingIoResource;
  FAST_MUTEX HeaderMutex;
  UCHAR Signature[4];  // "Tavo"
  ULONG OpenCount;        // opens not yet closed; under OpenHandleTableLock
  volatile LONG ReferenceCount;  // opens not yet cleaned up; interlocked
  UNICODE_STRING Path;    // full merged-view path, the table key
  UNICODE_PREFIX_TABLE_ENTRY PrefixEntry;
  LIST_ENTRY Openers;     // OpenerRecord.Links, under EntryLock
  ERESOURCE EntryLock;    // guards the information fields and Openers
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
};

// Finds the entry whose path is exactly `path` (any case); with `create`,
// adds one when there is none and counts the open on the entry found or
// made. STATUS_UNSUCCESSFUL when there is no entry (or none could be made).
NTSTATUS FindOrAddOpenHandleEntry(PFLT_CALLBACK_DATA data, PCUNICODE_STRING path,
                                  OpenHandleEntry** entry, UCHAR* created, UCHAR create);

// A new entry with its header and locks set up, not in the table; null when
// pool is short. The file object, if given, points at its section pointers.
OpenHandleEntry* NewOpenHandleEntry(PFILE_OBJECT fileObject);

// Refreshes an entry's times, sizes and attributes from an ItemInfoReply.
void FillOpenHandleEntry(OpenHandleEntry* entry, const UCHAR* itemInfoReply);

// Links an opener record at the tail of the entry's Openers, or removes it,
// stopping the system if the list is found corrupt.
void LinkOpener(OpenHandleEntry* entry, OpenerRecord* opener);
void UnlinkOpener(OpenerRecord* opener);

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

// Calls visit(entry, opener) for every opener of every entry, in table and
// list order, until it returns false. The caller holds OpenHandleTableLock.
template <class Visit>
void ForEachOpener(Visit&& visit) {
  for (PUNICODE_PREFIX_TABLE_ENTRY found = RtlNextUnicodePrefix(&Globals.OpenHandleTable, TRUE);
       found != nullptr; found = RtlNextUnicodePrefix(&Globals.OpenHandleTable, FALSE)) {
    auto* entry = CONTAINING_RECORD(found, OpenHandleEntry, PrefixEntry);
    for (PLIST_ENTRY link = entry->Openers.Flink; link != &entry->Openers; link = link->Flink) {
      if (!visit(*entry, *CONTAINING_RECORD(link, OpenerRecord, Links))) return;
    }
  }
}

}  // namespace tavo
