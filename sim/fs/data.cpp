// The data stream: IRP_MJ_READ, IRP_MJ_WRITE, end of file, allocation size
// and the time/attribute bookkeeping a modification brings.
#include <algorithm>
#include <cstring>

#include "fs/volume.h"

namespace sim::fs {
namespace {

bool UsesFilePointer(const LARGE_INTEGER* offset) {
  return offset == nullptr ||
         (offset->HighPart == -1 && offset->LowPart == FILE_USE_FILE_POINTER_POSITION);
}

bool IsWriteToEnd(const LARGE_INTEGER* offset) {
  return offset != nullptr && offset->HighPart == -1 &&
         offset->LowPart == FILE_WRITE_TO_END_OF_FILE;
}

}  // namespace

// A write or size change: the file's last-write and change times move
// (unless this handle froze them) and it needs archiving again.
void Volume::NoteModified(Node* node, Ccb* ccb) {
  const LONGLONG now = Now();
  if (ccb == nullptr || !ccb->freezeLastWrite) node->lastWriteTime = now;
  if (ccb == nullptr || !ccb->freezeChange) node->changeTime = now;
  node->attributes |= FILE_ATTRIBUTE_ARCHIVE;
  ReportChange(node->parent, node->name, FILE_NOTIFY_CHANGE_LAST_WRITE, FILE_ACTION_MODIFIED);
}

NTSTATUS Volume::Read(FILE_OBJECT* fo, void* buffer, ULONG length, const LARGE_INTEGER* byteOffset,
                      IO_STATUS_BLOCK& iosb) {
  std::lock_guard lock(mutex_);
  iosb.Information = 0;
  Fcb* fcb;
  Ccb* ccb;
  if (!Lookup(fo, &fcb, &ccb) || ccb->volumeOpen || fcb->node->isDirectory) {
    return iosb.Status = STATUS_INVALID_DEVICE_REQUEST;
  }
  if ((ccb->grantedAccess & (FILE_READ_DATA | FILE_EXECUTE)) == 0)
    return iosb.Status = STATUS_ACCESS_DENIED;
  const LONGLONG offset =
      UsesFilePointer(byteOffset) ? fo->CurrentByteOffset.QuadPart : byteOffset->QuadPart;
  if (offset < 0) return iosb.Status = STATUS_INVALID_PARAMETER;
  if (length == 0) return iosb.Status = STATUS_SUCCESS;
  const Node* node = fcb->node.get();
  if (offset >= node->EndOfFile()) return iosb.Status = STATUS_END_OF_FILE;
  const auto count = static_cast<ULONG>(std::min<LONGLONG>(length, node->EndOfFile() - offset));
  if (!LocksAllow(fcb, fo, offset, count, false)) return iosb.Status = STATUS_FILE_LOCK_CONFLICT;
  std::memcpy(buffer, node->data.data() + offset, count);
  if ((fo->Flags & FO_SYNCHRONOUS_IO) != 0) fo->CurrentByteOffset.QuadPart = offset + count;
  iosb.Information = count;
  return iosb.Status = STATUS_SUCCESS;
}

// A handle with FILE_APPEND_DATA but not FILE_WRITE_DATA always writes at
// the end of the file, whatever offset it gives (the documentation only says
// such a handle may append; writing elsewhere is not allowed to it).
NTSTATUS Volume::Write(FILE_OBJECT* fo, const void* buffer, ULONG length,
                       const LARGE_INTEGER* byteOffset, IO_STATUS_BLOCK& iosb) {
  std::lock_guard lock(mutex_);
  iosb.Information = 0;
  Fcb* fcb;
  Ccb* ccb;
  if (!Lookup(fo, &fcb, &ccb) || ccb->volumeOpen || fcb->node->isDirectory) {
    return iosb.Status = STATUS_INVALID_DEVICE_REQUEST;
  }
  const bool canWrite = (ccb->grantedAccess & FILE_WRITE_DATA) != 0;
  const bool canAppend = (ccb->grantedAccess & FILE_APPEND_DATA) != 0;
  if (!canWrite && !canAppend) return iosb.Status = STATUS_ACCESS_DENIED;
  Node* node = fcb->node.get();
  LONGLONG offset;
  if (!canWrite || IsWriteToEnd(byteOffset)) {
    offset = node->EndOfFile();
  } else {
    offset = UsesFilePointer(byteOffset) ? fo->CurrentByteOffset.QuadPart : byteOffset->QuadPart;
  }
  if (offset < 0) return iosb.Status = STATUS_INVALID_PARAMETER;
  if (length == 0) return iosb.Status = STATUS_SUCCESS;
  if (!LocksAllow(fcb, fo, offset, length, true)) return iosb.Status = STATUS_FILE_LOCK_CONFLICT;
  const LONGLONG end = offset + length;
  if (end > node->allocationSize) {
    const LONGLONG allocation = ClusterRound(end);
    if (!ReserveAllocation(node->allocationSize, allocation)) return iosb.Status = STATUS_DISK_FULL;
    node->allocationSize = allocation;
  }
  if (end > node->EndOfFile()) {
    node->data.resize(static_cast<std::size_t>(end));
    fo->Flags |= FO_FILE_SIZE_CHANGED;
  }
  std::memcpy(node->data.data() + offset, buffer, length);
  NoteModified(node, ccb);
  UpdateHeaderSizes(fcb);
  fo->Flags |= FO_FILE_MODIFIED;
  if ((fo->Flags & FO_SYNCHRONOUS_IO) != 0) fo->CurrentByteOffset.QuadPart = end;
  iosb.Information = length;
  return iosb.Status = STATUS_SUCCESS;
}

NTSTATUS Volume::FlushBuffers(FILE_OBJECT* fo, IO_STATUS_BLOCK& iosb) {
  std::lock_guard lock(mutex_);
  iosb.Information = 0;
  Fcb* fcb;
  Ccb* ccb;
  if (!Lookup(fo, &fcb, &ccb)) return iosb.Status = STATUS_INVALID_DEVICE_REQUEST;
  return iosb.Status = STATUS_SUCCESS;  // nothing is cached
}

// Growing past the allocation allocates whole clusters; shrinking frees the
// clusters past the new end.
NTSTATUS Volume::SetEndOfFile(Fcb* fcb, Ccb* ccb, LONGLONG size) {
  Node* node = fcb->node.get();
  if (node == nullptr || node->isDirectory || size < 0) return STATUS_INVALID_PARAMETER;
  if ((ccb->grantedAccess & FILE_WRITE_DATA) == 0) return STATUS_ACCESS_DENIED;
  LONGLONG allocation = node->allocationSize;
  if (size > allocation || size < node->EndOfFile()) allocation = ClusterRound(size);
  if (!ReserveAllocation(node->allocationSize, allocation)) return STATUS_DISK_FULL;
  node->allocationSize = allocation;
  node->data.resize(static_cast<std::size_t>(size));
  NoteModified(node, ccb);
  UpdateHeaderSizes(fcb);
  return STATUS_SUCCESS;
}

// The allocation is rounded up to whole clusters; an allocation below the
// end of file truncates the file.
NTSTATUS Volume::SetAllocation(Fcb* fcb, Ccb* ccb, LONGLONG size) {
  Node* node = fcb->node.get();
  if (node == nullptr || node->isDirectory || size < 0) return STATUS_INVALID_PARAMETER;
  if ((ccb->grantedAccess & FILE_WRITE_DATA) == 0) return STATUS_ACCESS_DENIED;
  const LONGLONG allocation = ClusterRound(size);
  if (!ReserveAllocation(node->allocationSize, allocation)) return STATUS_DISK_FULL;
  node->allocationSize = allocation;
  if (size < node->EndOfFile()) {
    node->data.resize(static_cast<std::size_t>(size));
    NoteModified(node, ccb);
  }
  UpdateHeaderSizes(fcb);
  return STATUS_SUCCESS;
}

}  // namespace sim::fs
