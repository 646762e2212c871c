// IRP_MJ_SET_INFORMATION: basic information (with NTFS's 0 / -1 / -2 time
// semantics), end of file, allocation, position, the delete dispositions
// and renames. Hard links are not supported.
#include <cstring>

#include "fs/names.h"
#include "fs/volume.h"

namespace sim::fs {

NTSTATUS Volume::SetInformation(FILE_OBJECT* fo, FILE_INFORMATION_CLASS infoClass,
                                const void* buffer, ULONG length, const io::RenameTarget* target,
                                IO_STATUS_BLOCK& iosb) {
  std::lock_guard lock(mutex_);
  iosb.Information = 0;
  Fcb* fcb;
  Ccb* ccb;
  if (!Lookup(fo, &fcb, &ccb)) return iosb.Status = STATUS_INVALID_DEVICE_REQUEST;
  auto status = [&](NTSTATUS s) { return iosb.Status = s; };

  if (infoClass == FilePositionInformation) {
    if (length < sizeof(FILE_POSITION_INFORMATION)) return status(STATUS_INFO_LENGTH_MISMATCH);
    const LONGLONG offset =
        static_cast<const FILE_POSITION_INFORMATION*>(buffer)->CurrentByteOffset.QuadPart;
    if (offset < 0) return status(STATUS_INVALID_PARAMETER);
    // Unbuffered handles may only stand on sector boundaries.
    if ((fo->Flags & FO_NO_INTERMEDIATE_BUFFERING) != 0 && offset % options_.sectorSize != 0) {
      return status(STATUS_INVALID_PARAMETER);
    }
    fo->CurrentByteOffset.QuadPart = offset;
    return status(STATUS_SUCCESS);
  }
  if (ccb->volumeOpen) return status(STATUS_INVALID_PARAMETER);

  switch (infoClass) {
    case FileBasicInformation:
      if (length < sizeof(FILE_BASIC_INFORMATION)) return status(STATUS_INFO_LENGTH_MISMATCH);
      return status(SetBasic(fo, fcb, ccb, buffer, length));
    case FileEndOfFileInformation:
      if (length < sizeof(FILE_END_OF_FILE_INFORMATION)) return status(STATUS_INFO_LENGTH_MISMATCH);
      return status(SetEndOfFile(
          fcb, ccb, static_cast<const FILE_END_OF_FILE_INFORMATION*>(buffer)->EndOfFile.QuadPart));
    case FileAllocationInformation:
      if (length < sizeof(FILE_ALLOCATION_INFORMATION)) return status(STATUS_INFO_LENGTH_MISMATCH);
      return status(SetAllocation(
          fcb, ccb,
          static_cast<const FILE_ALLOCATION_INFORMATION*>(buffer)->AllocationSize.QuadPart));
    case FileDispositionInformation:
      if (length < sizeof(FILE_DISPOSITION_INFORMATION)) return status(STATUS_INFO_LENGTH_MISMATCH);
      return status(
          SetDisposition(fo, fcb, ccb,
                         static_cast<const FILE_DISPOSITION_INFORMATION*>(buffer)->DeleteFile
                             ? FILE_DISPOSITION_DELETE
                             : FILE_DISPOSITION_DO_NOT_DELETE));
    case FileDispositionInformationEx:
      if (length < sizeof(FILE_DISPOSITION_INFORMATION_EX))
        return status(STATUS_INFO_LENGTH_MISMATCH);
      return status(SetDisposition(
          fo, fcb, ccb, static_cast<const FILE_DISPOSITION_INFORMATION_EX*>(buffer)->Flags));
    case FileRenameInformation:
    case FileRenameInformationEx:
    case FileRenameInformationBypassAccessCheck:
    case FileRenameInformationExBypassAccessCheck:
      if (length < FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName))
        return status(STATUS_INFO_LENGTH_MISMATCH);
      if (target == nullptr) return status(STATUS_INVALID_PARAMETER);
      return status(Rename(fo, fcb, ccb, *target));
    case FileLinkInformation:
    case FileLinkInformationEx:
    case FileLinkInformationBypassAccessCheck:
    case FileLinkInformationExBypassAccessCheck:
      // One name per file on this volume (its attributes do not advertise
      // FILE_SUPPORTS_HARD_LINKS).
      return status(STATUS_NOT_SUPPORTED);
    default:
      return status(STATUS_INVALID_PARAMETER);
  }
}

// Times: 0 leaves a time alone, -1 stops this handle's operations from
// updating it, -2 lets them update it again, anything else sets it (and,
// as NTFS does, also stops automatic updates through this handle).
// Attributes: 0 leaves them alone; FILE_ATTRIBUTE_NORMAL clears them.
NTSTATUS Volume::SetBasic(FILE_OBJECT*, Fcb* fcb, Ccb* ccb, const void* buffer, ULONG) {
  if ((ccb->grantedAccess & FILE_WRITE_ATTRIBUTES) == 0) return STATUS_ACCESS_DENIED;
  const auto& info = *static_cast<const FILE_BASIC_INFORMATION*>(buffer);
  Node* node = fcb->node.get();
  const LONGLONG times[4] = {info.CreationTime.QuadPart, info.LastAccessTime.QuadPart,
                             info.LastWriteTime.QuadPart, info.ChangeTime.QuadPart};
  for (LONGLONG t : times) {
    if (t < -2) return STATUS_INVALID_PARAMETER;
  }
  ULONG attributes = node->attributes;
  if (info.FileAttributes != 0) {
    if (!node->isDirectory && (info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
      return STATUS_INVALID_PARAMETER;
    if (node->isDirectory && (info.FileAttributes & FILE_ATTRIBUTE_TEMPORARY) != 0)
      return STATUS_INVALID_PARAMETER;
    attributes = (info.FileAttributes & FILE_ATTRIBUTE_VALID_SET_FLAGS & ~FILE_ATTRIBUTE_NORMAL) |
                 (node->isDirectory ? FILE_ATTRIBUTE_DIRECTORY : 0);
  }

  bool* freezes[4] = {nullptr, &ccb->freezeLastAccess, &ccb->freezeLastWrite, &ccb->freezeChange};
  LONGLONG* fields[4] = {&node->creationTime, &node->lastAccessTime, &node->lastWriteTime,
                         &node->changeTime};
  bool changed = attributes != node->attributes;
  for (int i = 0; i < 4; ++i) {
    if (times[i] == -1 || times[i] == -2) {
      if (freezes[i] != nullptr) *freezes[i] = times[i] == -1;
    } else if (times[i] != 0) {
      *fields[i] = times[i];
      if (freezes[i] != nullptr) *freezes[i] = true;
      changed = true;
    }
  }
  node->attributes = attributes;
  if (changed && info.ChangeTime.QuadPart == 0 && !ccb->freezeChange) node->changeTime = Now();
  return STATUS_SUCCESS;
}

// FILE_DISPOSITION_ON_CLOSE sets or clears this handle's delete-on-close;
// otherwise DELETE marks the file delete pending (the last cleanup deletes
// it, or with POSIX semantics the cleanup of this handle unlinks it while
// other handles stay usable) and its absence clears the mark.
NTSTATUS Volume::SetDisposition(FILE_OBJECT* fo, Fcb* fcb, Ccb* ccb, ULONG flags) {
  if ((ccb->grantedAccess & DELETE) == 0) return STATUS_ACCESS_DENIED;
  Node* node = fcb->node.get();
  const bool del = (flags & FILE_DISPOSITION_DELETE) != 0;
  if (del) {
    if (node == root_.get()) return STATUS_CANNOT_DELETE;
    if ((node->attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
        (flags & FILE_DISPOSITION_IGNORE_READONLY_ATTRIBUTE) == 0) {
      return STATUS_CANNOT_DELETE;
    }
    if (node->isDirectory && !node->children.empty()) return STATUS_DIRECTORY_NOT_EMPTY;
  }
  if ((flags & FILE_DISPOSITION_ON_CLOSE) != 0) {
    ccb->deleteOnClose = del;
    return STATUS_SUCCESS;
  }
  if (node->unlinked) return del ? STATUS_SUCCESS : STATUS_FILE_DELETED;
  fcb->deletePending = del;
  fo->DeletePending = del;
  ccb->posixDelete = del && (flags & FILE_DISPOSITION_POSIX_SEMANTICS) != 0;
  return STATUS_SUCCESS;
}

NTSTATUS Volume::Rename(FILE_OBJECT*, Fcb* fcb, Ccb* ccb, const io::RenameTarget& target) {
  Node* node = fcb->node.get();
  if (node == root_.get()) return STATUS_INVALID_PARAMETER;
  if ((ccb->grantedAccess & DELETE) == 0) return STATUS_ACCESS_DENIED;
  if (node->unlinked || fcb->deletePending) return STATUS_DELETE_PENDING;

  // Where the new name goes: the target directory the I/O manager opened
  // (its FileName is the final component, as this volume's
  // SL_OPEN_TARGET_DIRECTORY open left it), or, with no target directory,
  // the source's own directory under a simple name.
  Node* newParent = node->parent;
  const std::u16string& newName = target.name;
  if (target.directory != nullptr) {
    Fcb* directoryFcb;
    Ccb* directoryCcb;
    if (!Lookup(target.directory, &directoryFcb, &directoryCcb) || directoryFcb->node == nullptr ||
        !directoryFcb->node->isDirectory) {
      return STATUS_INVALID_PARAMETER;
    }
    newParent = directoryFcb->node.get();
  }
  if (!IsLegalComponent(newName)) return STATUS_OBJECT_NAME_INVALID;
  if (newParent->fcb != nullptr && newParent->fcb->deletePending) return STATUS_DELETE_PENDING;

  if (node->isDirectory) {
    // Not into its own subtree.
    for (const Node* p = newParent; p != nullptr; p = p->parent) {
      if (p == node) return STATUS_INVALID_PARAMETER;
    }
    // Not while something below it has an open handle: NTFS refuses to
    // change the path of open files under a directory.
    for (const auto& [open, record] : open_) {
      const Fcb* other = record.fcb;
      if (other->node == nullptr || other->cleanupCount == 0 || other == fcb) continue;
      for (const Node* p = other->node->parent; p != nullptr; p = p->parent) {
        if (p == node) return STATUS_ACCESS_DENIED;
      }
    }
  }

  auto existing = FindChild(newParent, newName);
  if (existing != nullptr && existing.get() != node) {
    const ULONG flags = target.flagsEx;
    if (!target.replaceIfExists) return STATUS_OBJECT_NAME_COLLISION;
    if (existing->isDirectory) return STATUS_ACCESS_DENIED;
    if ((existing->attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
        (flags & FILE_RENAME_IGNORE_READONLY_ATTRIBUTE) == 0) {
      return STATUS_ACCESS_DENIED;
    }
    // An open target can only be replaced with POSIX semantics; its opens
    // keep working on the unlinked file.
    if (existing->fcb != nullptr && existing->fcb->cleanupCount != 0 &&
        (flags & FILE_RENAME_POSIX_SEMANTICS) == 0) {
      return STATUS_ACCESS_DENIED;
    }
    DeleteNode(existing.get());
  } else if (existing.get() == node && newParent == node->parent && newName == node->name) {
    return STATUS_SUCCESS;  // the same name: nothing to do
  }

  Node* oldParent = node->parent;
  const std::u16string oldName = node->name;
  auto keep = UnlinkChild(node);
  node->name = newName;
  LinkChild(newParent, keep);
  const ULONG nameFilter =
      node->isDirectory ? FILE_NOTIFY_CHANGE_DIR_NAME : FILE_NOTIFY_CHANGE_FILE_NAME;
  const bool move = oldParent != newParent;
  ReportChange(oldParent, oldName, nameFilter,
               move ? FILE_ACTION_REMOVED : FILE_ACTION_RENAMED_OLD_NAME);
  ReportChange(newParent, node->name, nameFilter,
               move ? FILE_ACTION_ADDED : FILE_ACTION_RENAMED_NEW_NAME);
  TouchDirectory(oldParent);
  TouchDirectory(newParent);
  if (!ccb->freezeChange) node->changeTime = Now();
  return STATUS_SUCCESS;
}

}  // namespace sim::fs
