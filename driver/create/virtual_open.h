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
// client's ItemInfoReply. `deleteOnClose` marks the entry when the create
// asked for it. On failure nothing stays registered and the create's status
// is left alone: STATUS_UNSUCCESSFUL when no entry could be made,
// STATUS_INSUFFICIENT_RESOURCES when the opener record could not.
NTSTATUS RegisterVirtualOpen(PFLT_CALLBACK_DATA data, PCUNICODE_STRING path,
                             const UCHAR* itemInfoReply, BOOLEAN deleteOnClose,
                             StreamHandleContext* context);

// Undoes a registration whose handle context could not be attached: the
// opener is unlinked and freed, the open uncounted, and an entry left
// without opens removed and freed. The file object forgets both.
void ReleaseVirtualOpen(PFILE_OBJECT fileObject, StreamHandleContext* context);

}  // namespace tavo
