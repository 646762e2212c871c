// The server item a replacing rename takes the place of. It is not deleted
// before the rename: a rename that then fails (the client refuses it, the
// file system cannot move the local file) would have lost it. It is renamed
// aside on the server instead, with a plain rename request (its local copy
// follows it, as after every server rename), and deleted only once the
// rename has taken its name; any other end gives it its name back.
#include "../core/globals.h"
#include "../create/client_requests.h"
#include "../create/name_helpers.h"
#include "../create/open_handle_table.h"
#include "../support/debug.h"
#include "../support/io_holders.h"
#include "item_info_cache.h"
#include "request_payloads.h"
#include "setinfo.h"

namespace tavo {
namespace {

// Added to the item's name while it stands aside; when that name is
// taken, a digit after a dash tells the tries apart.
constexpr WCHAR kAsideSuffix[] = L".tavo-replaced";
constexpr USHORT kAsideSuffixChars = sizeof(kAsideSuffix) / sizeof(WCHAR) - 1;
constexpr ULONG kAsideNameTries = 10;
// The longest final component an aside name may have: 255 UTF-16 units,
// NTFS's limit, and also 255 bytes once in UTF-8, the limit of the hosts
// a client commonly keeps its server items on. A long name is cut so that
// its aside name stays within both.
constexpr USHORT kMaxComponentUnits = 255;
constexpr ULONG kMaxComponentUtf8Bytes = 255;

bool IsHighSurrogate(WCHAR c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(WCHAR c) { return c >= 0xDC00 && c <= 0xDFFF; }

// How many of the `count` units at `name` to keep so that they take at most
// `units` UTF-16 units and `bytes` UTF-8 bytes; a surrogate pair is kept
// or cut whole.
USHORT UnitsToKeep(const WCHAR* name, USHORT count, USHORT units, ULONG bytes) {
  USHORT kept = 0;
  ULONG used = 0;
  while (kept < count) {
    const bool pair =
        kept + 1 < count && IsHighSurrogate(name[kept]) && IsLowSurrogate(name[kept + 1]);
    const USHORT step = pair ? 2 : 1;
    const WCHAR c = name[kept];
    const ULONG size = pair ? 4 : c < 0x80 ? 1 : c < 0x800 ? 2 : 3;
    if (kept + step > units || used + size > bytes) break;
    kept += step;
    used += size;
  }
  return kept;
}

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

// Whether the item's local copy is open. An open that shares nothing
// fails while any other open of the copy may read, write or delete it.
bool LocalCopyIsOpen(PFLT_INSTANCE instance, const UNICODE_STRING& viewPath) {
  OwnedString copy;
  ViewPathToBackendPath(&viewPath, &copy);
  if (!copy.HasBuffer()) return false;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &copy.Get(), OBJ_KERNEL_HANDLE, nullptr, nullptr);
  IO_STATUS_BLOCK ioStatus;
  OpenedFile file;
  return FltCreateFileEx(Globals.FilterHandle, instance, file.Handle(), file.FileObject(),
                         DELETE | SYNCHRONIZE, &attributes, &ioStatus, nullptr,
                         FILE_ATTRIBUTE_NORMAL, 0, FILE_OPEN,
                         FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0,
                         0) == STATUS_SHARING_VIOLATION;
}

// The aside name of try `attempt`: the target, its final component cut
// to leave room for the suffix, then the suffix (and "-<attempt>"; the
// suffix is ASCII, one UTF-8 byte a unit).
NTSTATUS MakeAsideName(const UNICODE_STRING& target, ULONG attempt, OwnedString* aside) {
  const USHORT chars = target.Length / sizeof(WCHAR);
  USHORT leafStart = chars;
  while (leafStart != 0 && target.Buffer[leafStart - 1] != L'\\') --leafStart;
  const USHORT suffixChars = kAsideSuffixChars + (attempt != 0 ? 2 : 0);
  const USHORT keep = UnitsToKeep(target.Buffer + leafStart, chars - leafStart,
                                  kMaxComponentUnits - suffixChars,
                                  kMaxComponentUtf8Bytes - suffixChars);
  const ULONG bytes = (static_cast<ULONG>(leafStart) + keep + suffixChars) * sizeof(WCHAR);
  if (bytes > UNICODE_STRING_MAX_BYTES) return STATUS_NAME_TOO_LONG;
  *aside = OwnedString::WithCapacity(NonPagedPool, static_cast<USHORT>(bytes));
  if (!aside->HasBuffer()) return STATUS_INSUFFICIENT_RESOURCES;
  UNICODE_STRING head =
      BorrowString(target.Buffer, static_cast<USHORT>((leafStart + keep) * sizeof(WCHAR)));
  const UNICODE_STRING suffix = LiteralString(kAsideSuffix);
  RtlCopyUnicodeString(&aside->Get(), &head);
  RtlAppendUnicodeStringToString(&aside->Get(), &suffix);
  if (attempt != 0) {
    const WCHAR tail[] = {L'-', static_cast<WCHAR>(L'0' + attempt), 0};
    RtlAppendUnicodeToString(&aside->Get(), tail);
  }
  return STATUS_SUCCESS;
}

// Whether nothing goes by `aside`: no server item, no open, no local file.
bool IsFreeName(PFLT_CALLBACK_DATA data, PFLT_INSTANCE instance, const UNICODE_STRING& aside) {
  if (PathHasOtherEntry(&aside, nullptr)) return false;
  ForgetItemInfo(&aside);
  PoolBuffer item;
  QueryItemInfo(data, &aside, &item);
  if (item) return false;
  OwnedString copy;
  ViewPathToBackendPath(&aside, &copy);
  return copy.HasBuffer() && !ProbeBackendFile(&copy.Get(), instance, TRUE);
}

}  // namespace

bool IsAsideName(const UNICODE_STRING& path) {
  USHORT chars = path.Length / sizeof(WCHAR);
  if (chars >= 2 && path.Buffer[chars - 2] == L'-' && path.Buffer[chars - 1] >= L'1' &&
      path.Buffer[chars - 1] <= L'9') {
    chars -= 2;
  }
  if (chars <= kAsideSuffixChars || path.Buffer[chars - kAsideSuffixChars - 1] == L'\\') {
    return false;
  }
  const UNICODE_STRING tail =
      BorrowString(path.Buffer + chars - kAsideSuffixChars, kAsideSuffixChars * sizeof(WCHAR));
  const UNICODE_STRING suffix = LiteralString(kAsideSuffix);
  return RtlEqualUnicodeString(&tail, &suffix, TRUE);
}

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
  // As on NTFS, a rename never replaces a folder, nor a file that is open
  // (virtually, or through its local copy, which would otherwise stay in
  // place of the file that takes the name).
  if (IsFolderReply(itemInfo) || PathHasOtherEntry(&target, nullptr) ||
      LocalCopyIsOpen(instance, target)) {
    return STATUS_ACCESS_DENIED;
  }
  OwnedString targetCopy = OwnedString::CopyOf(NonPagedPool, target, target.Length);
  if (!targetCopy.HasBuffer()) return STATUS_INSUFFICIENT_RESOURCES;
  // The aside name must name nothing yet: the server would refuse it, or
  // the item found there would be deleted in place of the replaced one.
  OwnedString aside;
  for (ULONG attempt = 0;; ++attempt) {
    if (attempt == kAsideNameTries) return STATUS_ACCESS_DENIED;
    const NTSTATUS made = MakeAsideName(target, attempt, &aside);
    if (!NT_SUCCESS(made)) return made;
    if (IsFreeName(data, instance, aside.Get())) break;
  }
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
