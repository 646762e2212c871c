// Helpers around a create, a rename or a delete: the full name of the file a
// request is about, the mapping between a merged-view path and its local
// copy under BackendRoot, the test for a local copy, and the client's
// information about a server item.
#pragma once

#include <fltKernel.h>

#include "../support/counted_string.h"
#include "../support/pool.h"

namespace tavo {

// The opened name of the create's target file, in a new non-paged buffer
// the caller owns. Fails (allocating nothing) when there is no file object
// or both name queries fail.
NTSTATUS GetCreateFileName(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects,
                           OwnedString* name);

// BackendRoot followed by what follows MergedViewRoot in `path` (a path at
// or under MergedViewRoot), with 10 spare bytes of capacity; no buffer when
// pool is short.
void ViewPathToBackendPath(PCUNICODE_STRING path, OwnedString* backendPath);

// MergedViewRoot followed by what follows BackendRoot in `path`; FALSE (the
// output untouched) when the path is not at or under BackendRoot. TRUE with
// no buffer when pool is short.
BOOLEAN BackendPathToViewPath(PCUNICODE_STRING path, OwnedString* viewPath);

// Whether a file (or, with directoryCounts, a file or a folder) exists at the
// path, opened below the driver on `instance`.
BOOLEAN ProbeBackendFile(PCUNICODE_STRING path, PFLT_INSTANCE instance, UCHAR directoryCounts);

// The client's item-information answer for the merged-view path (at least
// the 60 bytes of protocol::ItemInfoReply), from ItemInfoCache or from the
// client, in *reply (the caller owns it); empty when the server has no such
// item or the client cannot be asked.
void QueryItemInfo(PFLT_CALLBACK_DATA data, PCUNICODE_STRING path, PoolBuffer* reply);

// How many times a question about an item is asked when server deletes of
// the item keep overtaking its answer.
inline constexpr int kItemQueryAttempts = 4;

// QueryItemInfo for a create about to act on the answer, asked again while
// a completed server delete of the item overtakes it. STATUS_SUCCESS with
// the answer; STATUS_OBJECT_NAME_NOT_FOUND without one;
// STATUS_DELETE_PENDING (with the answer) while the item's last close is
// deleting it on the server.
NTSTATUS QueryCurrentItemInfo(PFLT_CALLBACK_DATA data, PCUNICODE_STRING path, PoolBuffer* reply);

}  // namespace tavo
