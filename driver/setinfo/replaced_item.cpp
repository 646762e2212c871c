// The server item a replacing rename takes the place of. It is not deleted
// before the rename: a rename that then fails (the client refuses it, the
// file system cannot move the local file) would have lost it. It is renamed
// aside on the server instead, with a plain rename request (its local copy
// follows it, as after every server rename), and deleted only once the
// rename has taken its name; any other end gives it its name back.
#include "../core/globals.h"
#include "../create/client_requests.h"
#include "../create/name_helpers.h"
#include "../support/debug.h"
#include "../support/io_holders.h"
#include "item_info_cache.h"
#include "request_payloads.h"
#include "setinfo.h"

namespace tavo {
namespace {

// Added to the item's name while it stands aside.
constexpr WCHAR kAsideSuffix[] = L".tavo-replaced";

bool IsFolderReply(const PoolBuffer& itemInfo) {
  ULONG attributes = 0;
  RtlCopyMemory(&attributes,
                itemInfo.Data() + __builtin_offsetof(protocol::ItemInfoReply, FileAttributes),
                sizeof(attributes));
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Deletes the local copy of the item set aside, if the client keeps one.
void DeleteLocalCopy(PFLT_INSTANCE instance, const UNICODE_STRING& viewPath) {
  OwnedString copy;
  ViewPathToBackendPath(&viewPath, &copy);
  if (!copy.HasBuffer()) return;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &copy.Get(), OBJ_KERNEL_HANDLE, nullptr, nullptr);
  IO_STATUS_BLOCK ioStatus;
  OpenedFile file;
  if (!NT_SUCCESS(FltCreateFileEx(Globals.FilterHandle, instance, file.Handle(),
                                  file.FileObject(), DELETE | SYNCHRONIZE, &attributes, &ioStatus,
                                  nullptr, FILE_ATTRIBUTE_NORMAL,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  FILE_OPEN, FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT,
                                  nullptr, 0, 0))) {
    return;
  }
  FILE_DISPOSITION_INFORMATION disposition{TRUE};
  (void)FltSetInformationFile(instance, file.Object(), &disposition, sizeof(disposition),
                              FileDispositionInformation);
}

}  // namespace

ReplacedServerItem& ReplacedServerItem::operator=(ReplacedServerItem&& other) noexcept {
  if (this != &other) {
    Restore();
    data_ = other.data_;
    instance_ = other.instance_;
    target_ = static_cast<OwnedString&&>(other.target_);
    aside_ = static_cast<OwnedString&&>(other.aside_);
  }
  return *this;
}

void ReplacedServerItem::Restore() {
  if (!aside_.HasBuffer()) return;
  ULONG answer = protocol::kRenameNoAnswer;
  const NTSTATUS status =
      RequestServerRename(data_, &aside_.Get(), &target_.Get(), false, &answer);
  if (!NT_SUCCESS(status) || answer != protocol::kRenameDone) {
    TAVO_PRINT("Failed to rename %wZ back to %wZ \n", &aside_.Get(), &target_.Get());
  }
  ForgetItemInfo(&aside_.Get());
  ForgetItemInfo(&target_.Get());
  aside_ = OwnedString();
}

NTSTATUS ReplacedServerItem::SetAside(PFLT_CALLBACK_DATA data, PFLT_INSTANCE instance,
                                      const UNICODE_STRING& target, const PoolBuffer& itemInfo) {
  // As on NTFS, a rename never replaces a folder.
  if (IsFolderReply(itemInfo)) return STATUS_ACCESS_DENIED;
  const UNICODE_STRING suffix = LiteralString(kAsideSuffix);
  if (static_cast<ULONG>(target.Length) + suffix.Length > UNICODE_STRING_MAX_BYTES) {
    return STATUS_NAME_TOO_LONG;
  }
  OwnedString targetCopy = OwnedString::CopyOf(NonPagedPool, target, target.Length);
  OwnedString aside = OwnedString::WithCapacity(
      NonPagedPool, static_cast<USHORT>(target.Length + suffix.Length));
  if (!targetCopy.HasBuffer() || !aside.HasBuffer()) return STATUS_INSUFFICIENT_RESOURCES;
  RtlCopyUnicodeString(&aside.Get(), &target);
  RtlAppendUnicodeStringToString(&aside.Get(), &suffix);
  ULONG answer = protocol::kRenameNoAnswer;
  const NTSTATUS status = RequestServerRename(data, &target, &aside.Get(), false, &answer);
  ForgetDeletedItem(&target);
  ForgetItemInfo(&aside.Get());
  // The name stays taken unless the client moved the item: nothing to undo.
  if (!NT_SUCCESS(status) || answer != protocol::kRenameDone) return STATUS_ACCESS_DENIED;
  data_ = data;
  instance_ = instance;
  target_ = static_cast<OwnedString&&>(targetCopy);
  aside_ = static_cast<OwnedString&&>(aside);
  return STATUS_SUCCESS;
}

void ReplacedServerItem::Discard() {
  if (!aside_.HasBuffer()) return;
  if (!RequestServerDelete(data_, &aside_.Get(), FALSE)) {
    TAVO_PRINT("Failed to delete the file %wZ for replacing \n", &target_.Get());
  }
  DeleteLocalCopy(instance_, aside_.Get());
  ForgetDeletedItem(&aside_.Get());
  aside_ = OwnedString();
}

}  // namespace tavo
