// The caller's rename buffer and the full device path it names.
//
// Names are taken in three forms. A full DOS-device path ("\??\C:\dir\x")
// and a full path on the view's volume ("\Device\HarddiskVolume3\dir\x")
// are both mapped onto the view's volume (the I/O manager has already
// refused a target on another volume). A name relative to RootDirectory
// is placed by the Filter Manager against that directory. A bare name without a backslash
// renames within the source's own folder, as the file system would take
// it. Anything else, and any name with an embedded NUL or a "." or ".."
// component, could land somewhere the view's tests do not see (a ".."
// walking into the merged view's folder on disk): it is refused with
// STATUS_INVALID_PARAMETER.
#include "../core/globals.h"
#include "../support/filter_refs.h"
#include "../support/locks.h"
#include "../tables/short_names.h"
#include "setinfo.h"

namespace tavo {
namespace {

constexpr ULONG kMaxPathBytes = 0xFFFE;  // the longest counted string

bool StartsWith(const UNICODE_STRING& text, const UNICODE_STRING& prefix, bool ignoreCase) {
  if (text.Length < prefix.Length) return false;
  UNICODE_STRING head = BorrowString(text.Buffer, prefix.Length);
  return RtlEqualUnicodeString(&head, &prefix, ignoreCase ? TRUE : FALSE) != FALSE;
}

bool IsDosDevicePath(const UNICODE_STRING& name) {
  const ULONG chars = name.Length / sizeof(WCHAR);
  const WCHAR* c = name.Buffer;
  return chars >= 7 && c[0] == L'\\' && c[1] == L'?' && c[2] == L'?' && c[3] == L'\\' &&
         ((c[4] >= L'A' && c[4] <= L'Z') || (c[4] >= L'a' && c[4] <= L'z')) && c[5] == L':' &&
         c[6] == L'\\';
}

// No NUL, and no component that is "." or "..".
bool IsPlainName(const UNICODE_STRING& name) {
  const ULONG chars = name.Length / sizeof(WCHAR);
  ULONG componentStart = 0;
  for (ULONG i = 0; i <= chars; ++i) {
    if (i < chars && name.Buffer[i] == L'\0') return false;
    if (i == chars || name.Buffer[i] == L'\\') {
      const ULONG length = i - componentStart;
      if ((length == 1 || length == 2) && name.Buffer[componentStart] == L'.' &&
          (length == 1 || name.Buffer[componentStart + 1] == L'.')) {
        return false;
      }
      componentStart = i + 1;
    }
  }
  return true;
}

// head + tail (+ middle character between them when non-zero).
NTSTATUS Join(const UNICODE_STRING& head, WCHAR middle, const UNICODE_STRING& tail,
              OwnedString* joined) {
  const ULONG bytes = head.Length + (middle != 0 ? sizeof(WCHAR) : 0) + tail.Length;
  if (bytes > kMaxPathBytes) return STATUS_NAME_TOO_LONG;
  OwnedString result = OwnedString::WithCapacity(NonPagedPool, static_cast<USHORT>(bytes));
  if (!result.HasBuffer()) return STATUS_INSUFFICIENT_RESOURCES;
  RtlCopyUnicodeString(&result.Get(), &head);
  if (middle != 0) {
    WCHAR text[1] = {middle};
    UNICODE_STRING one = BorrowString(text, sizeof(WCHAR));
    RtlAppendUnicodeStringToString(&result.Get(), &one);
  }
  RtlAppendUnicodeStringToString(&result.Get(), &tail);
  *joined = static_cast<OwnedString&&>(result);
  return STATUS_SUCCESS;
}

// The volume device name: the first VolumePrefixLength characters of
// MergedViewRoot, in the caller's copy of the root.
UNICODE_STRING VolumeNameOf(const OwnedString& root) {
  const ULONG bytes = static_cast<ULONG>(Globals.VolumePrefixLength) * sizeof(WCHAR);
  return BorrowString(root.Get().Buffer,
                      static_cast<USHORT>(bytes < root.Get().Length ? bytes : root.Get().Length));
}

}  // namespace

NTSTATUS CaptureRenameBuffer(PFLT_CALLBACK_DATA data, RenameBuffer* rename) {
  *rename = {};
  auto& params = data->Iopb->Parameters.SetFileInformation;
  const ULONG header = FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName);
  auto* info = static_cast<FILE_RENAME_INFORMATION*>(params.InfoBuffer);
  if (info == nullptr || params.Length < header) return STATUS_INVALID_PARAMETER;
  const ULONG nameBytes = info->FileNameLength;
  if (nameBytes == 0 || nameBytes % sizeof(WCHAR) != 0 || nameBytes > params.Length - header ||
      nameBytes > kMaxPathBytes) {
    return STATUS_INVALID_PARAMETER;
  }
  const UCHAR first = *reinterpret_cast<const UCHAR*>(info);
  rename->Info = info;
  rename->Name = BorrowString(info->FileName, static_cast<USHORT>(nameBytes));
  rename->Replace = params.FileInformationClass == FileRenameInformationEx
                        ? (first & FILE_RENAME_REPLACE_IF_EXISTS) != 0
                        : first != 0;
  if (info->RootDirectory == nullptr && IsDosDevicePath(rename->Name)) {
    rename->DriveLetter = rename->Name.Buffer[4];
  }
  return STATUS_SUCCESS;
}

void NormaliseRenameFlags(PFLT_CALLBACK_DATA data, const RenameBuffer& rename) {
  if (data->Iopb->Parameters.SetFileInformation.FileInformationClass == FileRenameInformationEx) {
    *reinterpret_cast<PUCHAR>(rename.Info) &= static_cast<UCHAR>(FILE_RENAME_REPLACE_IF_EXISTS);
  }
}

bool IsPlainLeafName(const RenameBuffer& rename) {
  if (rename.Info->RootDirectory != nullptr || !IsPlainName(rename.Name)) return false;
  for (ULONG i = 0; i < rename.Name.Length / sizeof(WCHAR); ++i) {
    if (rename.Name.Buffer[i] == L'\\') return false;
  }
  return true;
}

NTSTATUS BuildRenameTargetPath(PFLT_CALLBACK_DATA data, const RenameBuffer& rename,
                               PCUNICODE_STRING sourcePath, OwnedString* target) {
  *target = OwnedString();
  const UNICODE_STRING& name = rename.Name;
  if (!IsPlainName(name)) return STATUS_INVALID_PARAMETER;
  OwnedString root;
  if (!CopyMergedViewRoot(&root)) return STATUS_INSUFFICIENT_RESOURCES;
  if (!root.HasBuffer()) return STATUS_INVALID_PARAMETER;
  const UNICODE_STRING volume = VolumeNameOf(root);

  if (rename.Info->RootDirectory != nullptr) {
    if (name.Buffer[0] == L'\\') return STATUS_INVALID_PARAMETER;
    // Relative to a directory. The target directory the I/O manager opened
    // for the rename (ParentOfTarget) is not documented to carry its path in
    // its FileName (file systems may leave only the final component there):
    // the Filter Manager places the name against the directory the handle
    // names instead.
    FileNameRef destination;
    const NTSTATUS status = FltGetDestinationFileNameInformation(
        data->Iopb->TargetInstance, data->Iopb->TargetFileObject, rename.Info->RootDirectory,
        name.Buffer, name.Length, FLT_FILE_NAME_OPENED | FLT_FILE_NAME_QUERY_DEFAULT,
        destination.Receive());
    if (!NT_SUCCESS(status)) return STATUS_INVALID_PARAMETER;
    return Join(destination->Name, 0, UNICODE_STRING{}, target);
  }
  if (rename.DriveLetter != 0) {
    // "\??\X:" is dropped; the path from its root backslash goes on the volume.
    UNICODE_STRING rest = BorrowString(name.Buffer + 6, static_cast<USHORT>(name.Length - 12));
    return Join(volume, 0, rest, target);
  }
  if (name.Buffer[0] == L'\\') {
    UNICODE_STRING volumeSlash;
    OwnedString withSlash;
    NTSTATUS status = Join(volume, L'\\', UNICODE_STRING{}, &withSlash);
    if (!NT_SUCCESS(status)) return status;
    volumeSlash = withSlash.Get();
    if (!StartsWith(name, volumeSlash, true)) return STATUS_INVALID_PARAMETER;
    return Join(name, 0, UNICODE_STRING{}, target);
  }
  // A bare name: the source's folder.
  for (ULONG i = 0; i < name.Length / sizeof(WCHAR); ++i) {
    if (name.Buffer[i] == L'\\') return STATUS_INVALID_PARAMETER;
  }
  if (sourcePath == nullptr || sourcePath->Length == 0) return STATUS_INVALID_PARAMETER;
  USHORT parentBytes = sourcePath->Length;
  while (parentBytes != 0 && sourcePath->Buffer[parentBytes / sizeof(WCHAR) - 1] != L'\\') {
    parentBytes -= sizeof(WCHAR);
  }
  if (parentBytes == 0) return STATUS_INVALID_PARAMETER;
  return Join(BorrowString(sourcePath->Buffer, parentBytes), 0, name, target);
}

NTSTATUS ResolveViewTarget(PFLT_CALLBACK_DATA data, OwnedString* target) {
  ViewPathKind kind = ViewPathNone;
  ClassifyViewPath(&target->Get(), &kind);
  if (kind == ViewPathSecondary) {
    const NTSTATUS status = SecondaryToMergedViewPath(&target->Get());
    if (!NT_SUCCESS(status)) return status;
  }
  OwnedString expanded;
  if (NT_SUCCESS(ExpandShortNames(data, &target->Get(), &expanded)) &&
      expanded->Length > sizeof(WCHAR)) {
    *target = static_cast<OwnedString&&>(expanded);
  }
  return STATUS_SUCCESS;
}

bool NamesStream(const UNICODE_STRING& path) {
  const ULONG start = Globals.VolumePrefixLength;
  for (ULONG i = start; i < path.Length / sizeof(WCHAR); ++i) {
    if (path.Buffer[i] == L':') return true;
  }
  return false;
}

}  // namespace tavo
