// Path classification against the configured roots.
#include "path_classification.h"

#include "../core/globals.h"
#include "../support/locks.h"

namespace tavo {
namespace {

// Copies `root` (or its part after VolumePrefixLength characters) into a
// buffer of the root's MaximumLength; leaves `copy` empty for an empty root.
BOOLEAN CopyRoot(const UNICODE_STRING& root, bool volumeRelative, OwnedString* copy) {
  SharedLock lock(Globals.RootPathLock);
  if (root.Length == 0) return TRUE;
  OwnedString fresh = OwnedString::WithCapacity(NonPagedPool, root.MaximumLength);
  if (!fresh.HasBuffer()) return FALSE;
  if (!volumeRelative) {
    RtlCopyUnicodeString(&fresh.Get(), &root);
  } else {
    const ULONG skip = static_cast<ULONG>(Globals.VolumePrefixLength) * sizeof(WCHAR);
    const USHORT bytes = skip < root.Length ? static_cast<USHORT>(root.Length - skip) : 0;
    if (bytes != 0)
      RtlCopyMemory(fresh->Buffer, reinterpret_cast<PUCHAR>(root.Buffer) + skip, bytes);
    fresh->Length = bytes;
  }
  *copy = static_cast<OwnedString&&>(fresh);
  return TRUE;
}

// Whether `path` is `root` or lies below it (the next character a
// backslash); the path's Length is restored.
bool IsAtOrUnder(PUNICODE_STRING path, const UNICODE_STRING& root) {
  if (root.Length == 0 || path->Length < root.Length) return false;
  const USHORT saved = path->Length;
  if (path->Length > root.Length && path->Buffer[root.Length / sizeof(WCHAR)] == L'\\') {
    path->Length = root.Length;
  }
  const bool equal = RtlCompareUnicodeString(path, &root, TRUE) == 0;
  path->Length = saved;
  return equal;
}

}  // namespace

BOOLEAN CopyMergedViewRoot(OwnedString* copy) {
  return CopyRoot(Globals.MergedViewRoot, false, copy);
}
BOOLEAN CopyBackendRoot(OwnedString* copy) {
  return CopyRoot(Globals.BackendRoot, false, copy);
}
BOOLEAN CopySecondaryViewRoot(OwnedString* copy) {
  return CopyRoot(Globals.SecondaryViewRoot, false, copy);
}
BOOLEAN CopyMergedViewRootVolumeRelative(OwnedString* copy) {
  return CopyRoot(Globals.MergedViewRoot, true, copy);
}
BOOLEAN CopyBackendRootVolumeRelative(OwnedString* copy) {
  return CopyRoot(Globals.BackendRoot, true, copy);
}

// The tests below compare against the configured roots in place, under
// RootPathLock shared: a comparison needs no copy, so they allocate nothing
// and cannot fail for want of pool. (Every create passes through them.)

BOOLEAN IsMergedViewRoot(PUNICODE_STRING path) {
  SharedLock lock(Globals.RootPathLock);
  const UNICODE_STRING& root = Globals.MergedViewRoot;
  if (root.Length == 0 || path->Length < root.Length) return FALSE;
  return RtlCompareUnicodeString(path, &root, TRUE) == 0;
}

BOOLEAN ClassifyViewPath(PUNICODE_STRING path, ViewPathKind* kind) {
  *kind = ViewPathNone;
  SharedLock lock(Globals.RootPathLock);
  const UNICODE_STRING& merged = Globals.MergedViewRoot;
  const UNICODE_STRING& secondary = Globals.SecondaryViewRoot;
  if (merged.Length == 0) return FALSE;
  if (path->Length < merged.Length && path->Length < secondary.Length) return FALSE;
  if (IsAtOrUnder(path, merged)) {
    *kind = ViewPathMerged;
    return TRUE;
  }
  if (IsAtOrUnder(path, secondary)) {
    *kind = ViewPathSecondary;
    return TRUE;
  }
  return FALSE;
}

BOOLEAN IsUnderBackendRoot(PUNICODE_STRING path, UCHAR volumeRelative) {
  SharedLock lock(Globals.RootPathLock);
  UNICODE_STRING backend = Globals.BackendRoot;
  if (volumeRelative) {
    const ULONG skip = static_cast<ULONG>(Globals.VolumePrefixLength) * sizeof(WCHAR);
    backend = skip < backend.Length
                  ? BorrowString(backend.Buffer + Globals.VolumePrefixLength,
                                 static_cast<USHORT>(backend.Length - skip))
                  : UNICODE_STRING{};
  }
  return IsAtOrUnder(path, backend) ? TRUE : FALSE;
}

NTSTATUS SecondaryToMergedViewPath(PUNICODE_STRING path) {
  OwnedString merged, secondary;
  // Without its root the path would be rewritten to its tail alone.
  if (!CopyMergedViewRoot(&merged) || !CopySecondaryViewRoot(&secondary)) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  if (secondary->Length == 0 || path->Length < secondary->Length) return STATUS_INVALID_PARAMETER;
  const ULONG tail = path->Length - secondary->Length;
  const ULONG length = merged->Length + tail;
  const ULONG capacity =
      static_cast<ULONG>(path->MaximumLength) - secondary->Length + merged->Length;
  // Counted strings hold at most 65534 bytes.
  if (capacity > UNICODE_STRING_MAX_BYTES) return STATUS_NAME_TOO_LONG;
  OwnedString rewritten = OwnedString::WithCapacity(NonPagedPool, static_cast<USHORT>(capacity));
  if (!rewritten.HasBuffer()) return STATUS_INSUFFICIENT_RESOURCES;
  RtlCopyMemory(rewritten->Buffer, merged->Buffer, merged->Length);
  RtlCopyMemory(reinterpret_cast<PUCHAR>(rewritten->Buffer) + merged->Length,
                reinterpret_cast<PUCHAR>(path->Buffer) + secondary->Length, tail);
  rewritten->Length = static_cast<USHORT>(length);
  FreePool(path->Buffer);
  *path = rewritten.Release();
  return STATUS_SUCCESS;
}

BOOLEAN IsDesktopIniName(PWCH path, PUSHORT length) {
  const USHORT chars = *length / sizeof(WCHAR);
  USHORT start = 0;
  for (USHORT i = 1; i <= chars; ++i) {
    if (path[i] == L'\\') start = i;
  }
  // The last component runs from its backslash to the terminator.
  UNICODE_STRING last =
      BorrowString(path + start, static_cast<USHORT>((chars - start) * sizeof(WCHAR)));
  static const WCHAR* const kDesktopIni[] = {L"\\Desktop.ini", L"\\desktop.ini", L"\\DESKTOP.INI"};
  for (const WCHAR* name : kDesktopIni) {
    UNICODE_STRING literal;
    RtlInitUnicodeString(&literal, name);
    if (RtlCompareUnicodeString(&last, &literal, TRUE) == 0) return TRUE;
  }
  UNICODE_STRING dot = LiteralString(L"\\.");
  if (RtlCompareUnicodeString(&last, &dot, TRUE) == 0) {
    path[start] = path[start + 1] = path[start + 2] = L'\0';
    *length = static_cast<USHORT>(*length - 4);
  }
  return FALSE;
}

BOOLEAN IsPartialDownloadName(PCUNICODE_STRING name) {
  const USHORT chars = name->Length / sizeof(WCHAR);
  if (chars < 5) return FALSE;
  static const WCHAR kLower[] = L".part";
  static const WCHAR kUpper[] = L".PART";
  const PWCH tail = name->Buffer + chars - 5;
  for (int i = 0; i < 5; ++i) {
    if (tail[i] != kLower[i] && tail[i] != kUpper[i]) return FALSE;
  }
  return TRUE;
}

}  // namespace tavo
