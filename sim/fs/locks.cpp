// Byte-range locks, as LockFileEx documents them: an exclusive lock may not
// overlap any locked range; a shared lock may overlap shared locks, and an
// exclusive one only when both came through the same file object. An
// exclusive lock denies reads and writes through every other file object;
// a shared lock denies writes to everyone, its owner included. A lock is
// owned by its file object, process and key: unlocking needs the same range
// and owner. Cleanup releases the file object's locks. A lock that cannot
// be granted at once fails with STATUS_LOCK_NOT_GRANTED when asked to fail
// immediately, and otherwise waits until it can be granted.
//
// Where the documentation is silent: a zero-length range overlaps nothing
// (it is granted and released like any other, and conflicts with nothing).
#include <algorithm>

#include "fs/volume.h"

namespace sim::fs {
namespace {

bool Overlap(LONGLONG offset1, LONGLONG length1, LONGLONG offset2, LONGLONG length2) {
  if (length1 == 0 || length2 == 0) return false;
  return offset1 < offset2 + length2 && offset2 < offset1 + length1;
}

bool Conflicts(const Fcb* fcb, const FILE_OBJECT* fo, const io::ByteRangeRequest& request) {
  for (const RangeLock& held : fcb->locks) {
    if (!Overlap(held.offset, held.length, request.offset, request.length)) continue;
    if (request.exclusive || (held.exclusive && held.fileObject != fo)) return true;
  }
  return false;
}

}  // namespace

bool Volume::LocksAllow(const Fcb* fcb, const FILE_OBJECT* fo, LONGLONG offset, LONGLONG length,
                        bool write) {
  for (const RangeLock& held : fcb->locks) {
    if (!Overlap(held.offset, held.length, offset, length)) continue;
    if (held.exclusive ? held.fileObject != fo : write) return false;
  }
  return true;
}

void Volume::ReleaseLocksOf(Fcb* fcb, const FILE_OBJECT* fo) {
  const auto before = fcb->locks.size();
  std::erase_if(fcb->locks, [fo](const RangeLock& held) { return held.fileObject == fo; });
  if (fcb->locks.size() != before) locksChanged_.notify_all();
}

NTSTATUS Volume::LockControl(FILE_OBJECT* fo, UCHAR minor, const io::ByteRangeRequest& request,
                             IO_STATUS_BLOCK& iosb) {
  std::unique_lock lock(mutex_);
  iosb.Information = 0;
  Fcb* fcb;
  Ccb* ccb;
  if (!Lookup(fo, &fcb, &ccb) || ccb->volumeOpen || fcb->node->isDirectory)
    return iosb.Status = STATUS_INVALID_DEVICE_REQUEST;
  if (request.offset < 0 || request.length < 0) return iosb.Status = STATUS_INVALID_PARAMETER;
  auto owned = [&](const RangeLock& held) {
    return held.fileObject == fo && held.processId == request.processId;
  };
  switch (minor) {
    case IRP_MN_LOCK: {
      if (Conflicts(fcb, fo, request)) {
        if (request.failImmediately) return iosb.Status = STATUS_LOCK_NOT_GRANTED;
        // The waiter's own open keeps the FCB; its cleanup cannot run while
        // its handle is in use by this call.
        locksChanged_.wait(lock, [&] { return !Conflicts(fcb, fo, request); });
      }
      fcb->locks.push_back(RangeLock{request.offset, request.length, request.key, request.processId,
                                     fo, request.exclusive});
      return iosb.Status = STATUS_SUCCESS;
    }
    case IRP_MN_UNLOCK_SINGLE: {
      auto it = std::find_if(fcb->locks.begin(), fcb->locks.end(), [&](const RangeLock& held) {
        return owned(held) && held.offset == request.offset && held.length == request.length &&
               held.key == request.key;
      });
      if (it == fcb->locks.end()) return iosb.Status = STATUS_RANGE_NOT_LOCKED;
      fcb->locks.erase(it);
      break;
    }
    case IRP_MN_UNLOCK_ALL:
      std::erase_if(fcb->locks, owned);
      break;
    case IRP_MN_UNLOCK_ALL_BY_KEY:
      std::erase_if(fcb->locks,
                    [&](const RangeLock& held) { return owned(held) && held.key == request.key; });
      break;
    default:
      return iosb.Status = STATUS_INVALID_DEVICE_REQUEST;
  }
  locksChanged_.notify_all();
  return iosb.Status = STATUS_SUCCESS;
}

}  // namespace sim::fs
