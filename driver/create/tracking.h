// What the create path records after a create: a StreamContext on streams
// under BackendRoot (open count, delete-on-close, the file-created
// notification), a StreamHandleContext on handles of MergedViewRoot, and
// the virtual open of a server-only item the file system did not find.
#pragma once

#include <fltKernel.h>

#include "../support/pool.h"

namespace tavo {

// The completion context a decided create hands to its post-create: a copy
// of the create's name without a trailing backslash, the string and its
// buffer each in paged pool. Null when pool is short.
PUNICODE_STRING MakeCompletionName(PCUNICODE_STRING name);
void FreeCompletionName(PUNICODE_STRING name);

// The post-create work; consumes the completion name. Always
// FLT_POSTOP_FINISHED_PROCESSING.
FLT_POSTOP_CALLBACK_STATUS PostCreateWork(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects,
                                          PVOID completionContext, FLT_POST_OPERATION_FLAGS flags);

// Counts a successful create of a stream under BackendRoot on its
// StreamContext and tells the client of a new file. Consumes the name.
FLT_POSTOP_CALLBACK_STATUS TrackBackendCreate(PFLT_CALLBACK_DATA data,
                                              PCFLT_RELATED_OBJECTS objects, PUNICODE_STRING name,
                                              FLT_POST_OPERATION_FLAGS flags);

// A file-change notification payload naming one file: Kind, the name's
// length with its NUL, a zero second length, the name, 4 zero bytes.
PoolBuffer BuildFileNotification(ULONG kind, const UNICODE_STRING& name);

}  // namespace tavo
