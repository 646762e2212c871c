// The questions the create path (and later the set-information and close
// paths) asks the client about an item of the merged view: may it be
// downloaded, delete the server item, make a path ready. Each is one request
// with a one-byte answer; only a delivered answer of 1 approves.
#pragma once

#include <fltKernel.h>

#include "../support/pool.h"

namespace tavo {

// A zeroed payload: `headerBytes` of fields, then `name` and its NUL, then 4
// zero bytes. Empty when pool is short.
PoolBuffer BuildNamedPayload(ULONG headerBytes, const UNICODE_STRING& name);

// Asks for a server file to be made available under BackendRoot on behalf
// of the create's requestor. The request is sent even when the process may
// not download (flagged NotAllowed), and is then never approved.
BOOLEAN RequestDownloadForCreate(PFLT_CALLBACK_DATA data, PCUNICODE_STRING name);

// Asks for a server item (a file, or a folder with everything in it) to be
// made available under BackendRoot, with no download check: a rename that
// takes the item out of the view needs its contents.
BOOLEAN RequestDownloadOfItem(PFLT_CALLBACK_DATA data, PCUNICODE_STRING name,
                              BOOLEAN isDirectory);

// Asks for the server item to be deleted.
BOOLEAN RequestServerDelete(PFLT_CALLBACK_DATA data, PCUNICODE_STRING name, BOOLEAN isDirectory);
// The same, with the request's status: STATUS_INSUFFICIENT_RESOURCES when
// it could not be made (the client was not asked); *deleted is whether the
// client answered that it deleted the item.
NTSTATUS AskServerDelete(PFLT_CALLBACK_DATA data, PCUNICODE_STRING name, BOOLEAN isDirectory,
                         BOOLEAN* deleted);
// The same on behalf of a request of session `sessionId` that is over (a
// last close whose delete could only be asked later), waiting at most
// `timeLimit` (100-nanosecond units; 0: as every request) for the answer.
NTSTATUS AskServerDeleteForSession(ULONG sessionId, PCUNICODE_STRING name, BOOLEAN isDirectory,
                                   BOOLEAN* deleted, LONGLONG timeLimit = 0);

// Asks for the path to be made ready for a create; *answer receives the
// answer byte (0 when none came), which tells "name too long" (3) apart.
BOOLEAN RequestCreatePath(PFLT_CALLBACK_DATA data, PCUNICODE_STRING name, BOOLEAN isDirectory,
                          UCHAR* answer);

}  // namespace tavo
