// Renames of server items (virtual opens). The file object belongs to the
// driver, so nothing passes down: the client renames the item on the
// server and the driver's names follow its answer. An item leaving the view
// is downloaded, its copy moved to the target, and the server item deleted;
// its handles then follow the moved file, on which every later
// set-information through them is made.
// A folder with a copy under BackendRoot has that copy renamed here once
// the client agrees.
//
// No lock is held while the client is asked; the new name is reserved
// meanwhile (rename_reservation.h). The new name is given to the
// entry under its EntryLock, then OpenHandleTableLock (the close path's
// order), and the cached answers follow the server: the old name's delete
// count moves (no stale answer may bring it back) and the new name's answer
// is dropped.
#include "../core/globals.h"
#include "../create/client_requests.h"
#include "../create/name_helpers.h"
#include "../create/open_handle_table.h"
#include "../create/requestor.h"
#include "../support/debug.h"
#include "../support/io_holders.h"
#include "../support/locks.h"
#include "../support/pool.h"
#include "item_info_cache.h"
#include "rename_reservation.h"
#include "request_payloads.h"
#include "setinfo.h"

namespace tavo {
namespace {

using namespace protocol;

// Limits of a local folder's target under BackendRoot, in characters.
constexpr ULONG kMinFolderTargetChars = 21;
constexpr ULONG kMaxFolderTargetChars = 2071;

// The file object's new name, given before the server is asked: a name
// that needs pool the I/O manager cannot get then fails the rename while
// nothing has changed. Unless the rename is kept, the old name goes back
// into the buffer that now holds the longer of the two (no pool needed).
class [[nodiscard]] FileObjectNameSwap {
 public:
  explicit FileObjectNameSwap(PFILE_OBJECT fileObject) : fileObject_(fileObject) {}
  FileObjectNameSwap(const FileObjectNameSwap&) = delete;
  FileObjectNameSwap& operator=(const FileObjectNameSwap&) = delete;
  ~FileObjectNameSwap() {
    if (swapped_ && !kept_) {
      (void)IoReplaceFileObjectName(fileObject_, old_->Buffer, old_->Length);
    }
  }
  // `name` is volume-relative, as the I/O manager leaves a file object's name.
  NTSTATUS Swap(const UNICODE_STRING& name) {
    old_ = OwnedString::CopyOf(NonPagedPool, fileObject_->FileName, fileObject_->FileName.Length);
    if (!old_.HasBuffer()) return STATUS_INSUFFICIENT_RESOURCES;
    const NTSTATUS status = IoReplaceFileObjectName(fileObject_, name.Buffer, name.Length);
    swapped_ = NT_SUCCESS(status);
    return status;
  }
  void Keep() { kept_ = true; }

 private:
  PFILE_OBJECT fileObject_;
  OwnedString old_;
  bool swapped_ = false;
  bool kept_ = false;
};

struct VirtualRename {
  PFLT_CALLBACK_DATA data;
  PCFLT_RELATED_OBJECTS objects;
  OpenHandleEntry* entry;
  const OpenerRecord* opener;
  RenameBuffer rename;
  OwnedString path;    // the entry's path when the rename began
  bool isDirectory;
  OwnedString target;  // T
  bool inView;
  OwnedString newKey;  // the entry's path after a rename on the server
  OwnedString newCopy;  // and the path of its local copy, which the client moves along
  FileObjectNameSwap* name;
};

FLT_PREOP_CALLBACK_STATUS Complete(VirtualRename& op, NTSTATUS status, ULONG_PTR information = 0) {
  return CompleteOperation(op.data, status, information);
}

// A rename buffer naming `path` by its full device path, with the caller's
// first byte and no root directory (a handle of the caller's means nothing
// to a request the driver issues itself).
PoolBuffer BuildRenameTo(const VirtualRename& op, const UNICODE_STRING& path, ULONG* length) {
  const ULONG header = FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName);
  *length = header + path.Length + sizeof(WCHAR);
  PoolBuffer buffer = PoolBuffer::Allocate(NonPagedPool, *length);
  if (!buffer) return buffer;
  auto* info = buffer.As<FILE_RENAME_INFORMATION>();
  *buffer.Data() = *reinterpret_cast<const UCHAR*>(op.rename.Info);
  info->FileNameLength = path.Length;
  RtlCopyMemory(info->FileName, path.Buffer, path.Length);
  return buffer;
}

NTSTATUS OpenLocal(const VirtualRename& op, PUNICODE_STRING path, ACCESS_MASK access,
                   ULONG attributes, ULONG share, ULONG options, OpenedFile* file) {
  OBJECT_ATTRIBUTES objectAttributes;
  InitializeObjectAttributes(&objectAttributes, path, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  IO_STATUS_BLOCK ioStatus;
  return FltCreateFileEx(Globals.FilterHandle, op.objects->Instance, file->Handle(),
                         file->FileObject(), access, &objectAttributes, &ioStatus, nullptr,
                         attributes, share, FILE_OPEN, options, nullptr, 0, 0);
}

// The entry takes the new path (the file object has its new name already),
// and its record of a local copy the copy's new place: the client moves the
// copy with the server item (a copy the entry holds open follows by itself).
NTSTATUS GiveNewName(VirtualRename& op) {
  const NTSTATUS status = RenameOpenHandleEntry(op.entry, &op.newKey);
  if (!NT_SUCCESS(status)) return status;
  {
    ExclusiveLock entryLock(op.entry->EntryLock);
    ExclusiveLock table(Globals.OpenHandleTableLock);
    if (op.entry->HasBackendCopy && op.newCopy.HasBuffer()) {
      FreeStringBuffer(op.entry->BackendPath);
      op.entry->BackendPath = op.newCopy.Release();
    }
  }
  op.name->Keep();
  ForgetDeletedItem(&op.path.Get());
  ForgetItemInfo(&op.target.Get());
  return STATUS_SUCCESS;
}

// The item's handles follow the file they now stand for, as a handle on a
// moved file does: the entry keeps an open of the moved file and its new
// name, and is marked as out of the view. An earlier open of the copy (the
// same file, which it follows) is kept rather than `file`: a delete through
// another handle may be using it, and the entry's opens of the copy are
// closed only once no handle of the item is left.
void FollowMoveOut(VirtualRename& op, OpenedFile& file, OwnedString& moved) {
  ExclusiveLock entryLock(op.entry->EntryLock);
  ExclusiveLock table(Globals.OpenHandleTableLock);
  if (op.entry->BackendHandle == nullptr) {
    file.Release(&op.entry->BackendHandle, &op.entry->BackendFileObject);
  }
  FreeStringBuffer(op.entry->BackendPath);
  op.entry->BackendPath = moved.Release();
  op.entry->HasBackendCopy = 1;
  op.entry->MovedOut = 1;
}

FLT_PREOP_CALLBACK_STATUS MoveOutOfView(VirtualRename& op) {
  OwnedString copy;
  ViewPathToBackendPath(&op.path.Get(), &copy);
  if (!copy.HasBuffer()) return Complete(op, STATUS_INSUFFICIENT_RESOURCES);
  if (!RequestDownloadOfItem(op.data, &op.path.Get(), op.isDirectory)) {
    return Complete(op, STATUS_ACCESS_DENIED);
  }
  OwnedString recorded = OwnedString::CopyOf(NonPagedPool, copy.Get(), copy.Get().MaximumLength);
  if (!recorded.HasBuffer()) return Complete(op, STATUS_INSUFFICIENT_RESOURCES);
  {
    ExclusiveLock entryLock(op.entry->EntryLock);
    ExclusiveLock table(Globals.OpenHandleTableLock);
    FreeStringBuffer(op.entry->BackendPath);
    op.entry->BackendPath = recorded.Release();
    op.entry->HasBackendCopy = 1;
  }
  OpenedFile file;
  if (!NT_SUCCESS(OpenLocal(op, &copy.Get(), op.opener->DesiredAccess, op.opener->FileAttributes,
                            op.opener->ShareAccess, op.opener->CreateOptions, &file))) {
    return Complete(op, STATUS_UNSUCCESSFUL);
  }
  ULONG length = 0;
  PoolBuffer buffer = BuildRenameTo(op, op.target.Get(), &length);
  if (!buffer) return Complete(op, STATUS_INSUFFICIENT_RESOURCES);
  // Made before the move, so that nothing after it needs pool.
  OwnedString moved =
      OwnedString::CopyOf(NonPagedPool, op.target.Get(), op.target.Get().MaximumLength);
  OwnedString key = OwnedString::CopyOf(NonPagedPool, op.target.Get(), op.target.Get().Length);
  if (!moved.HasBuffer() || !key.HasBuffer()) return Complete(op, STATUS_INSUFFICIENT_RESOURCES);
  const NTSTATUS status = FltSetInformationFile(op.objects->Instance, file.Object(), buffer.Data(),
                                                length, FileRenameInformation);
  if (!NT_SUCCESS(status)) return Complete(op, status);
  FollowMoveOut(op, file, moved);
  // A folder's delete on the server covers it only while it is empty: the
  // move of its downloaded copy is reported as well, as the move of a
  // folder's local copy is, so that the client removes what it had of it.
  if (op.isDirectory) NotifyRename(&copy.Get(), &op.target.Get());
  if (!RequestServerDelete(op.data, &op.path.Get(), op.isDirectory)) {
    TAVO_PRINT("Failed to delete the server item %wZ after renaming it out of Tavo area \n",
               &op.path.Get());
  }
  ForgetDeletedItem(&op.path.Get());
  // Once the server item is gone, the entry is keyed by the moved file's
  // path (outside the view, where no open looks): a new item at the old
  // name can be opened at once, while unload and the installer still see
  // the entry's opens, and its name is the one a handle on a moved file
  // reports. Until then the old key keeps opens of the item being deleted
  // failing. Should another entry hold that path, the old name stays
  // taken until the last close.
  (void)RenameOpenHandleEntry(op.entry, &key);
  return Complete(op, status, op.rename.Info->FileNameLength + 24);
}

FLT_PREOP_CALLBACK_STATUS RenameServerItem(VirtualRename& op) {
  PoolBuffer serverItem;
  if (op.inView) QueryItemInfo(op.data, &op.target.Get(), &serverItem);
  const bool same = EqualIgnoringCase(op.path.Get(), op.target.Get());
  if (serverItem && !same && !op.rename.Replace) {
    return Complete(op, STATUS_OBJECT_NAME_COLLISION);
  }
  // The new name is held from before the replaced item leaves it until the
  // entry has it (or the item set aside is back): an item open under it
  // cannot be replaced nor take the name. Declared before `replaced`, so
  // it is released after the item set aside is back. A folder leaving the
  // view holds what lies below its old name the same way.
  RenameReservation reservation;
  if (!same &&
      !NT_SUCCESS(reservation.Reserve(op.entry, op.path.Get(), op.target.Get(), op.isDirectory))) {
    return Complete(op, STATUS_ACCESS_DENIED);
  }
  ReplacedServerItem replaced;  // back in place on every way out but a rename
  if (serverItem && !same) {
    const NTSTATUS aside =
        replaced.SetAside(op.data, op.objects->Instance, op.target.Get(), serverItem);
    if (!NT_SUCCESS(aside)) return Complete(op, aside);
  }

  ULONG answer = kRenameNoAnswer;
  const NTSTATUS status =
      RequestServerRename(op.data, &op.path.Get(), &op.target.Get(), false, &answer);
  if (answer == kRenameMoveOutOfView) {
    // Moving the copy to a target in the view would make the file in the
    // merged view's own folder on disk: only a target outside is moved.
    return op.inView ? Complete(op, STATUS_ACCESS_DENIED) : MoveOutOfView(op);
  }
  // A name outside the view is no server name: there, only a move out is
  // acted on.
  if (!NT_SUCCESS(status) || !op.inView) return Complete(op, STATUS_ACCESS_DENIED);
  switch (answer) {
    case kRenameDone:
      // The server has the new name: the driver's names follow it even if
      // the file object's name cannot be replaced.
      replaced.Discard();
      return Complete(op, GiveNewName(op));
    case kRenameAcceptedWithoutNewName:
      ForgetItemInfo(&op.path.Get());
      return Complete(op, STATUS_SUCCESS);
    default:
      return Complete(op, STATUS_ACCESS_DENIED);
  }
}

void UndoServerRename(const VirtualRename& op) {
  ULONG answer = kRenameNoAnswer;
  const NTSTATUS status =
      RequestServerRename(op.data, &op.target.Get(), &op.path.Get(), true, &answer);
  if (!NT_SUCCESS(status) || answer != kRenameDone) {
    TAVO_PRINT("Failed to rename %wZ back to %wZ \n", &op.target.Get(), &op.path.Get());
  }
  ForgetItemInfo(&op.target.Get());
  ForgetItemInfo(&op.path.Get());
}

FLT_PREOP_CALLBACK_STATUS RenameLocalFolder(VirtualRename& op, OpenedFile& folder,
                                            const UNICODE_STRING& folderCopy) {
  OwnedString backend;
  RenameReservation reservation;
  if (op.inView) {
    ViewPathToBackendPath(&op.target.Get(), &backend);
    if (!backend.HasBuffer()) return Complete(op, STATUS_INSUFFICIENT_RESOURCES);
    const ULONG chars = backend->Length / sizeof(WCHAR);
    if (chars < kMinFolderTargetChars || chars > kMaxFolderTargetChars) {
      return Complete(op, STATUS_NAME_TOO_LONG);
    }
    // A name taken on the server is refused before the server is asked to
    // rename (afterwards the renamed folder itself would stand there).
    ForgetItemInfo(&op.target.Get());
    PoolBuffer serverItem;
    QueryItemInfo(op.data, &op.target.Get(), &serverItem);
    if (serverItem && !op.rename.Replace && !EqualIgnoringCase(op.path.Get(), op.target.Get())) {
      return Complete(op, STATUS_OBJECT_NAME_COLLISION);
    }
  } else {
    backend = OwnedString::CopyOf(NonPagedPool, op.target.Get(), op.target.Get().MaximumLength);
    if (!backend.HasBuffer()) return Complete(op, STATUS_INSUFFICIENT_RESOURCES);
  }
  if (!EqualIgnoringCase(op.path.Get(), op.target.Get()) &&
      !NT_SUCCESS(reservation.Reserve(op.entry, op.path.Get(), op.target.Get(), true))) {
    return Complete(op, STATUS_ACCESS_DENIED);
  }

  ULONG answer = kRenameNoAnswer;
  const NTSTATUS status =
      RequestServerRename(op.data, &op.path.Get(), &op.target.Get(), true, &answer);
  if (answer == kRenameDownloadFolderFirst) {
    if (!RequestDownloadOfItem(op.data, &op.path.Get(), TRUE)) {
      return Complete(op, STATUS_ACCESS_DENIED);
    }
  } else if (!NT_SUCCESS(status) || answer != kRenameDone) {
    return Complete(op, STATUS_ACCESS_DENIED);
  }
  if (op.inView) {
    UCHAR prepared = 0;
    if (!RequestCreatePath(op.data, &op.target.Get(), FALSE, &prepared)) {
      TAVO_PRINT("Failed to createPath %wZ \n", &op.target.Get());
    }
  }

  ULONG length = 0;
  PoolBuffer buffer = BuildRenameTo(op, backend.Get(), &length);
  if (!buffer) return Complete(op, STATUS_INSUFFICIENT_RESOURCES);
  // A folder leaving the view: its entry follows the moved folder (made
  // before the move, so that nothing after it needs pool).
  OwnedString movedKey;
  if (!op.inView) {
    movedKey = OwnedString::CopyOf(NonPagedPool, op.target.Get(), op.target.Get().Length);
    if (!movedKey.HasBuffer()) return Complete(op, STATUS_INSUFFICIENT_RESOURCES);
  }
  const NTSTATUS renamed = FltSetInformationFile(op.objects->Instance, folder.Object(),
                                                 buffer.Data(), length, FileRenameInformation);
  if (!NT_SUCCESS(renamed)) {
    // The server has the new name but the folder on disk cannot follow (a
    // file below it is open, say): the server is asked to take the old
    // name back, so that server, backend folder and tables agree again.
    // (Out of the view the answer only lets the local rename go ahead.)
    if (answer == kRenameDone && op.inView) UndoServerRename(op);
    return Complete(op, renamed);
  }
  NotifyRename(&folderCopy, &backend.Get());
  OwnedString viewPath;
  if (BackendPathToViewPath(&folderCopy, &viewPath) && viewPath.HasBuffer()) {
    ForgetItemInfo(&viewPath.Get());
  }
  if (op.inView && answer == kRenameDone) return Complete(op, GiveNewName(op));
  ForgetDeletedItem(&op.path.Get());
  if (!op.inView) {
    // The client deletes the server folder once told of the move: the
    // handles go on with the moved folder, as those of a file moved out
    // do, and its old name is free at once.
    FollowMoveOut(op, folder, backend);
    (void)RenameOpenHandleEntry(op.entry, &movedKey);
  }
  return Complete(op, STATUS_SUCCESS);
}

}  // namespace

bool IsMovedOutOfView(const StreamHandleContext* handle) {
  SharedLock entryLock(handle->Entry->EntryLock);
  return handle->Entry->MovedOut != 0;
}

// The moved file is held open by the entry, which the handle in use keeps
// alive; its file object is set once, by the move, before MovedOut.
FLT_PREOP_CALLBACK_STATUS SetMovedItemInformation(PFLT_CALLBACK_DATA data,
                                                  PCFLT_RELATED_OBJECTS objects,
                                                  StreamHandleContext* handle) {
  OpenHandleEntry* entry = handle->Entry;
  PFILE_OBJECT moved;
  OwnedString source;
  {
    SharedLock entryLock(entry->EntryLock);
    moved = entry->BackendFileObject;
    source = OwnedString::CopyOf(NonPagedPool, entry->BackendPath, entry->BackendPath.Length);
  }
  auto& params = data->Iopb->Parameters.SetFileInformation;
  const FILE_INFORMATION_CLASS infoClass = params.FileInformationClass;
  if (infoClass != FileRenameInformation && infoClass != FileRenameInformationEx) {
    return CompleteOperation(data, FltSetInformationFile(objects->Instance, moved,
                                                         params.InfoBuffer, params.Length,
                                                         infoClass));
  }
  RenameBuffer rename;
  NTSTATUS status = CaptureRenameBuffer(data, &rename);
  if (!NT_SUCCESS(status)) return CompleteOperation(data, status);
  if (!source.HasBuffer()) return CompleteOperation(data, STATUS_INSUFFICIENT_RESOURCES);
  OwnedString target;
  status = BuildRenameTargetPath(data, rename, &source.Get(), &target);
  if (!NT_SUCCESS(status)) return CompleteOperation(data, status);
  // Back into the view or under BackendRoot, the file would need what a
  // rename of a local file into the view does (the client preparing the
  // target, the redirection): that rename is made on a new open of the
  // file, not on the handles of the item that left.
  ViewPathKind kind = ViewPathNone;
  if (ClassifyViewPath(&target.Get(), &kind) || IsUnderBackendRoot(&target.Get(), 0)) {
    return CompleteOperation(data, STATUS_ACCESS_DENIED);
  }
  const ULONG header = FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName);
  const ULONG length = header + target->Length + sizeof(WCHAR);
  PoolBuffer buffer = PoolBuffer::Allocate(NonPagedPool, length);
  if (!buffer) return CompleteOperation(data, STATUS_INSUFFICIENT_RESOURCES);
  auto* info = buffer.As<FILE_RENAME_INFORMATION>();
  // The caller's flags (or replace byte) as made: the file is no view's.
  RtlCopyMemory(buffer.Data(), rename.Info, sizeof(ULONG));
  info->FileNameLength = target->Length;
  RtlCopyMemory(info->FileName, target->Buffer, target->Length);
  // The entry's key follows the file too: made before the rename, so that
  // nothing after it needs pool.
  OwnedString key = OwnedString::CopyOf(NonPagedPool, target.Get(), target->Length);
  if (!key.HasBuffer()) return CompleteOperation(data, STATUS_INSUFFICIENT_RESOURCES);
  status = FltSetInformationFile(objects->Instance, moved, buffer.Data(), length, infoClass);
  if (NT_SUCCESS(status)) {
    {
      ExclusiveLock entryLock(entry->EntryLock);
      ExclusiveLock table(Globals.OpenHandleTableLock);
      FreeStringBuffer(entry->BackendPath);
      entry->BackendPath = target.Release();
    }
    (void)RenameOpenHandleEntry(entry, &key);
  }
  return CompleteOperation(data, status);
}

FLT_PREOP_CALLBACK_STATUS RenameVirtualItem(PFLT_CALLBACK_DATA data,
                                            PCFLT_RELATED_OBJECTS objects,
                                            StreamHandleContext* handle) {
  FileObjectNameSwap name(objects->FileObject);
  VirtualRename op{data,  objects, handle->Entry, handle->Opener, {}, {}, false, {}, false, {},
                   {},    &name};
  NTSTATUS status = CaptureRenameBuffer(data, &op.rename);
  if (!NT_SUCCESS(status)) return Complete(op, status);
  NormaliseRenameFlags(data, op.rename);
  {
    SharedLock entryLock(op.entry->EntryLock);
    op.path = OwnedString::CopyOf(NonPagedPool, op.entry->Path, op.entry->Path.Length);
    op.isDirectory = op.entry->IsDirectory != 0;
  }
  if (!op.path.HasBuffer()) return Complete(op, STATUS_INSUFFICIENT_RESOURCES);

  status = BuildRenameTargetPath(data, op.rename, &op.path.Get(), &op.target);
  if (!NT_SUCCESS(status)) return Complete(op, status);
  ForgetItemInfo(&op.target.Get());
  ViewPathKind kind = ViewPathNone;
  op.inView = ClassifyViewPath(&op.target.Get(), &kind) != FALSE;
  if (op.inView) {
    status = ResolveViewTarget(data, &op.target);
    if (!NT_SUCCESS(status)) return Complete(op, status);
    if (NamesStream(op.target.Get())) return Complete(op, STATUS_INVALID_PARAMETER);
    // Aside names are the driver's own: the client takes a rename to one
    // for an item set aside by a replacing rename, and would finish or undo
    // that replace after a restart (deleting the item, or renaming it back).
    if (IsAsideName(op.target.Get()) && !EqualIgnoringCase(op.path.Get(), op.target.Get())) {
      return Complete(op, STATUS_OBJECT_NAME_INVALID);
    }
    op.newKey = OwnedString::CopyOf(NonPagedPool, op.target.Get(), op.target.Get().Length);
    ViewPathToBackendPath(&op.target.Get(), &op.newCopy);
    if (!op.newKey.HasBuffer() || !op.newCopy.HasBuffer()) {
      return Complete(op, STATUS_INSUFFICIENT_RESOURCES);
    }
    const USHORT prefixBytes = static_cast<USHORT>(Globals.VolumePrefixLength * sizeof(WCHAR));
    if (op.target->Length <= prefixBytes) return Complete(op, STATUS_INVALID_PARAMETER);
    status = name.Swap(BorrowString(op.target->Buffer + Globals.VolumePrefixLength,
                                    static_cast<USHORT>(op.target->Length - prefixBytes)));
    if (!NT_SUCCESS(status)) return Complete(op, status);
  }

  // As on NTFS, a folder with an item open below it keeps its name: the
  // open items' entries and names would otherwise go on naming the old
  // place.
  if (op.isDirectory && PathHasEntryBelow(&op.path.Get())) {
    return Complete(op, STATUS_ACCESS_DENIED);
  }
  if (op.isDirectory) {
    OwnedString folderCopy;
    ViewPathToBackendPath(&op.path.Get(), &folderCopy);
    if (!folderCopy.HasBuffer()) return Complete(op, STATUS_INSUFFICIENT_RESOURCES);
    OpenedFile folder;
    if (NT_SUCCESS(OpenLocal(op, &folderCopy.Get(), DELETE | SYNCHRONIZE | FILE_READ_ATTRIBUTES,
                             FILE_ATTRIBUTE_DIRECTORY,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, &folder))) {
      return RenameLocalFolder(op, folder, folderCopy.Get());
    }
  }
  return RenameServerItem(op);
}

}  // namespace tavo
