// Harness calls standing in for the memory manager's modified page writer
// and the cache manager's flush of a file: each brackets its work with the
// file system's acquire and release callbacks, which filters get as
// FS-filter operations (IRP_MJ_ACQUIRE_FOR_MOD_WRITE /
// IRP_MJ_RELEASE_FOR_MOD_WRITE, IRP_MJ_ACQUIRE_FOR_CC_FLUSH /
// IRP_MJ_RELEASE_FOR_CC_FLUSH), from the System process in kernel mode.
#pragma once

#include "nt/ntdef.h"

namespace sim::harness {

// The modified page writer's pass over a file opened by `handle` (a handle
// of the calling thread's process): acquire for mod-write with the ending
// offset of the write, then, if that succeeded, release with the resource
// the acquire returned. The sim maps no pages, so no paging write comes in
// between. Returns the acquire's status.
NTSTATUS WriteModifiedPages(HANDLE handle, LONGLONG endingOffset);

// The cache manager's flush of a file: acquire for cache flush, then, if
// that succeeded, release. Returns the acquire's status.
NTSTATUS FlushCachedFile(HANDLE handle);

}  // namespace sim::harness
