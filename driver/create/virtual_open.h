// Virtual opens: an item that exists only on the server is opened by the
// driver itself on a file object it owns. The open is registered on the
// item's OpenHandleEntry with an OpenerRecord, and both are hung on the file
// object (FsContext, FsContext2) and on its StreamHandleContext.
#pragma once

#include <fltKernel.h>

#include "contexts.h"
#include "open_handle_table.h"

namespace tavo {

// Registers the create in `data` as an open of `path`, filled from the
// client's ItemInfoReply; `queriedAt` is the ServerDeleteGeneration read
// before the reply was asked for. On failure nothing stays registered and
// the create's status is left alone: STATUS_INSUFFICIENT_RESOURCES when the
// opener record could not be made, otherwise as AddVirtualOpen fails.
NTSTATUS RegisterVirtualOpen(PFLT_CALLBACK_DATA data, PCUNICODE_STRING path,
                             const UCHAR* itemInfoReply, ULONG queriedAt,
                             StreamHandleContext* context);

// Marks the entry of a registered open that asked for FILE_DELETE_ON_CLOSE,
// once the open is handed out (a create that fails after registering must
// not delete the item).
void MarkDeleteOnClose(StreamHandleContext* context);

// The close of a virtual open. The opener is unlinked and freed and the
// open uncounted (EntryLock, then OpenHandleTableLock). At the entry's last
// open an item marked for deletion is deleted on the server, with no lock
// held and the entry meanwhile in the table marked Deleting; then the entry
// leaves the table and is freed. The context keeps neither entry nor record.
void CloseVirtualOpen(PFLT_CALLBACK_DATA data, StreamHandleContext* context);

// Asks for the server deletes that last closes could not ask for want of
// pool (the worker, every period). The entries whose request still cannot
// be made stay owed, unless it is the `lastChance` (unload): they are then
// freed with the delete lost and a debug line.
void RetryOwedServerDeletes(bool lastChance);

// Undoes a registration whose handle context could not be attached: no
// cleanup or close will come for it, so it is closed here (as above). The
// file object forgets the entry and the record.
void ReleaseVirtualOpen(PFLT_CALLBACK_DATA data, PFILE_OBJECT fileObject,
                        StreamHandleContext* context);

}  // namespace tavo
