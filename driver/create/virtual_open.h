// Virtual opens: an item that exists only on the server is opened by the
// driver itself on a file object it owns. The open is registered on the
// item's OpenHandleEntry with an OpenerRecord, and both are hung on the file
// object (FsContext, FsContext2) and on its StreamHandleContext.
#pragma once

#include <fltKernel.h>

#include "contexts.h"
#include "../support/locks.h"
#include "open_handle_table.h"

namespace tavo {

// Registers the create in `data` as an open of `path`, filled from the
// client's ItemInfoReply. `deleteOnClose` marks the entry when the create
// asked for it. On failure nothing stays registered and the create's status
// is left alone: STATUS_UNSUCCESSFUL when no entry could be made,
// STATUS_INSUFFICIENT_RESOURCES when the opener record could not.
NTSTATUS RegisterVirtualOpen(PFLT_CALLBACK_DATA data, PCUNICODE_STRING path,
                             const UCHAR* itemInfoReply, BOOLEAN deleteOnClose,
                             StreamHandleContext* context);

// Takes the handle's open off its entry, EntryLock then
// OpenHandleTableLock held: the opener is unlinked and freed, the open
// uncounted, and at the entry's last open `atLastOpen(entry)` runs (still
// under both locks) before the entry leaves the table and is freed.
// context->Entry is cleared when the entry went.
template <class AtLastOpen>
void CloseOpenOf(StreamHandleContext* context, AtLastOpen&& atLastOpen);

// Undoes a registration whose handle context could not be attached: the
// opener is unlinked and freed, the open uncounted, and an entry left
// without opens removed and freed. The file object forgets both.
void ReleaseVirtualOpen(PFILE_OBJECT fileObject, StreamHandleContext* context);

template <class AtLastOpen>
void CloseOpenOf(StreamHandleContext* context, AtLastOpen&& atLastOpen) {
  OpenHandleEntry* entry = context->Entry;
  bool last;
  {
    ExclusiveLock entryLock(entry->EntryLock);
    ExclusiveLock table(Globals.OpenHandleTableLock);
    if (context->Opener != nullptr) {
      UnlinkOpener(context->Opener);
      FreeOpenerRecord(context->Opener);
      context->Opener = nullptr;
    }
    --entry->OpenCount;
    last = entry->OpenCount == 0;
    if (last) {
      atLastOpen(entry);
      RtlRemoveUnicodePrefix(&Globals.OpenHandleTable, &entry->PrefixEntry);
    }
  }
  if (last) {
    TeardownOpenHandleEntry(entry);
    context->Entry = nullptr;
  }
}

}  // namespace tavo
