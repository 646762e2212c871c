// Harness calls standing in for the memory manager's modified page writer
// and the cache manager's flush of a file: each brackets its work with the
// file system's acquire and release callbacks, which filters get as
// FS-filter operations (IRP_MJ_ACQUIRE_FOR_MOD_WRITE /
// IRP_MJ_RELEASE_FOR_MOD_WRITE, IRP_MJ_ACQUIRE_FOR_CC_FLUSH /
// IRP_MJ_RELEASE_FOR_CC_FLUSH), from the System process in kernel mode.
#pragma once

#include <ntifs.h>

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

// MDL reads as the SMB server sends them (kernel mode, System process):
// IRP_MJ_READ with IRP_MN_MDL, offered as fast I/O first where the file
// object allows it, hands back in *mdl an MDL describing the data (null at
// end of file); MdlReadComplete gives it back with IRP_MN_MDL |
// IRP_MN_COMPLETE. Both return the operation's status.
NTSTATUS MdlRead(HANDLE handle, LONGLONG offset, ULONG length, PMDL* mdl,
                 IO_STATUS_BLOCK* iosb);
NTSTATUS MdlReadComplete(HANDLE handle, PMDL mdl);

}  // namespace sim::harness
