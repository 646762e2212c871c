// Directory change notification (IRP_MN_NOTIFY_CHANGE_DIRECTORY), as
// documented for NtNotifyChangeDirectoryFile, ReadDirectoryChangesW and the
// FsRtlNotify package file systems use:
// - a request on a handle to a directory completes when a change matching
//   its filter happens in the directory (or below it, with SL_WATCH_TREE),
//   with FILE_NOTIFY_INFORMATION records naming the changed entry relative
//   to the watched directory, ULONG-aligned, the last next-offset zero;
// - the handle's first request sets the watch up; changes that happen while
//   no request is pending are kept and returned by the next one, up to as
//   many bytes as that first request's buffer had; more than fit are
//   dropped and the next request completes with STATUS_NOTIFY_ENUM_DIR and
//   no records (as does a request whose own buffer is too small);
// - the handle's cleanup completes its pending request with
//   STATUS_NOTIFY_CLEANUP, and requests after it fail the same way.
// Where the documentation is silent:
// - the filter and watch-tree choice of the first request stay in force for
//   the handle (FsRtl keeps one notify record per open; later requests join
//   it), later ones' are ignored;
// - a request on a handle to a file, or to the volume, fails with
//   STATUS_INVALID_PARAMETER, and one on a deleted directory with
//   STATUS_DELETE_PENDING, as NTFS answers;
// - the volume reports names (FILE_NOTIFY_CHANGE_FILE_NAME / DIR_NAME: a
//   create, a delete, a rename within a directory as RENAMED_OLD_NAME then
//   RENAMED_NEW_NAME, a move between directories as REMOVED from one and
//   ADDED to the other) and data writes (FILE_NOTIFY_CHANGE_LAST_WRITE, as
//   MODIFIED); attribute, time, size and security changes are not reported.
#include <cstring>

#include "fs/volume.h"

namespace sim::fs {
namespace {

ULONG RecordSize(const std::u16string& name) {
  const ULONG size = static_cast<ULONG>(FIELD_OFFSET(FILE_NOTIFY_INFORMATION, FileName) +
                                        name.size() * sizeof(WCHAR));
  return (size + sizeof(ULONG) - 1) & ~static_cast<ULONG>(sizeof(ULONG) - 1);
}

}  // namespace

NTSTATUS Volume::NotifyChangeDirectory(FILE_OBJECT* fileObject, const io::NotifyRequest& request,
                                       void* buffer, ULONG length, IO_STATUS_BLOCK& iosb) {
  std::unique_lock lock(mutex_);
  iosb.Information = 0;
  Fcb* fcb;
  Ccb* ccb;
  if (!Lookup(fileObject, &fcb, &ccb)) return iosb.Status = STATUS_INVALID_DEVICE_REQUEST;
  if (ccb->cleanedUp) return iosb.Status = STATUS_NOTIFY_CLEANUP;
  Node* node = fcb->node.get();
  if (node == nullptr || !node->isDirectory) return iosb.Status = STATUS_INVALID_PARAMETER;
  if (node->unlinked || fcb->deletePending) return iosb.Status = STATUS_DELETE_PENDING;
  if (!ccb->watching) {
    ccb->watching = true;
    ccb->notifyFilter = request.completionFilter;
    ccb->notifyWatchTree = request.watchTree;
    ccb->notifyCapacity = length;
    watchers_[ccb] = node;
  }
  if (ccb->changes.empty() && !ccb->notifyOverflow) {
    request.pending();
    changesReported_.wait(
        lock, [ccb] { return ccb->cleanedUp || !ccb->changes.empty() || ccb->notifyOverflow; });
    if (ccb->changes.empty() && !ccb->notifyOverflow) return iosb.Status = STATUS_NOTIFY_CLEANUP;
  }
  const bool fits = !ccb->notifyOverflow && ccb->notifyBytes <= length;
  if (fits) {
    auto* out = static_cast<unsigned char*>(buffer);
    ULONG offset = 0;
    FILE_NOTIFY_INFORMATION* previous = nullptr;
    for (const Ccb::Change& change : ccb->changes) {
      auto* record = reinterpret_cast<FILE_NOTIFY_INFORMATION*>(out + offset);
      const ULONG size = RecordSize(change.name);
      std::memset(record, 0, size);
      record->Action = change.action;
      record->FileNameLength = static_cast<ULONG>(change.name.size() * sizeof(WCHAR));
      std::memcpy(record->FileName, change.name.data(), record->FileNameLength);
      if (previous) previous->NextEntryOffset = static_cast<ULONG>(
                        reinterpret_cast<unsigned char*>(record) -
                        reinterpret_cast<unsigned char*>(previous));
      previous = record;
      offset += size;
    }
    iosb.Information = offset;
  }
  ccb->changes.clear();
  ccb->notifyBytes = 0;
  ccb->notifyOverflow = false;
  return iosb.Status = fits ? STATUS_SUCCESS : STATUS_NOTIFY_ENUM_DIR;
}

void Volume::ReportChange(const Node* parent, const std::u16string& name, ULONG filter,
                          ULONG action) {
  if (watchers_.empty() || parent == nullptr) return;
  bool reported = false;
  for (auto& [ccb, watched] : watchers_) {
    if ((ccb->notifyFilter & filter) == 0) continue;
    // The name relative to the watched directory: found by climbing from
    // the changed entry's directory.
    std::u16string relative = name;
    const Node* at = parent;
    while (at != nullptr && at != watched && ccb->notifyWatchTree) {
      relative = at->name + u"\\" + relative;
      at = at->parent;
    }
    if (at != watched) continue;
    const ULONG size = RecordSize(relative);
    if (ccb->notifyBytes + size > ccb->notifyCapacity) {
      ccb->notifyOverflow = true;
      ccb->changes.clear();
      ccb->notifyBytes = 0;
    } else if (!ccb->notifyOverflow) {
      ccb->changes.push_back({action, relative});
      ccb->notifyBytes += size;
    }
    reported = true;
  }
  if (reported) changesReported_.notify_all();
}

void Volume::StopWatching(Ccb* ccb) {
  if (watchers_.erase(ccb) != 0) changesReported_.notify_all();
}

}  // namespace sim::fs
