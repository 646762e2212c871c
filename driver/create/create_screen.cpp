// The create screen. The full decision takes the name the Filter Manager
// gives for the create and tests it against the roots. For an absolute
// open (no RelatedFileObject) that name is the volume's device name
// followed by the file object's FileName; two routes name it differently:
// this driver's own name provider, and the composition used when the Filter
// Manager names nothing, put MergedViewRoot's volume part in front instead
// (the same device name on the view's own volume). The screen tests both
// joins, piece by piece and without copying, with the rule the full tests
// use: equal to the root ignoring case, or equal up to the root's length and
// followed by a backslash. When neither join is at or under any root, no
// route can place the name in a root, and neither can trimming a final
// "\." (a shorter name under a root implies the longer one is too).
//
// The screen relies on the Filter Manager's own composition of an opened
// name: a name provider below this filter that named creates otherwise
// would make the two disagree. It is written for stacks without one.
//
// Most names are told apart by the roots' lengths alone, read from one
// word without RootPathLock: a join can be a root or lie below it only if it
// is exactly as long, or has a backslash right after the root's length. Only
// names that pass that test are compared with the roots under the lock.
//
// Relative opens (their name depends on the directory's own, possibly
// virtual, name), parent opens of rename targets (named from the file
// object alone) and volumes whose name does not fit the stack buffer go the
// full way.
#include "create_screen.h"

#include "../core/globals.h"
#include "../support/counted_string.h"
#include "../support/locks.h"

namespace tavo {
namespace {

// Volume device names are short ("\Device\HarddiskVolume3"); a longer one
// is simply not screened.
constexpr USHORT kVolumeNameChars = 96;

bool IsWholeChars(const UNICODE_STRING& string) {
  return (string.Length % sizeof(WCHAR)) == 0;
}

// Whether the first `bytes` bytes of `text` from byte `offset` equal
// `expected` (of exactly `bytes` bytes) ignoring case.
bool SliceEquals(const UNICODE_STRING& text, ULONG offset, ULONG bytes, const WCHAR* expected) {
  if (bytes == 0) return true;
  const UNICODE_STRING slice =
      BorrowString(text.Buffer + offset / sizeof(WCHAR), static_cast<USHORT>(bytes));
  const UNICODE_STRING other = BorrowString(expected, static_cast<USHORT>(bytes));
  return EqualIgnoringCase(slice, other);
}

// Whether `head` followed by `tail` is `root` or lies below it.
bool JoinIsAtOrUnder(const UNICODE_STRING& head, const UNICODE_STRING& tail,
                     const UNICODE_STRING& root) {
  const ULONG total = static_cast<ULONG>(head.Length) + tail.Length;
  if (root.Length == 0 || total < root.Length) return false;
  if (total > root.Length) {
    // The character right after the root's length must be a backslash.
    const ULONG at = root.Length;
    const WCHAR next = at < head.Length ? head.Buffer[at / sizeof(WCHAR)]
                                        : tail.Buffer[(at - head.Length) / sizeof(WCHAR)];
    if (next != L'\\') return false;
  }
  const ULONG inHead = head.Length < root.Length ? head.Length : root.Length;
  return SliceEquals(head, 0, inHead, root.Buffer) &&
         SliceEquals(tail, 0, root.Length - inHead, root.Buffer + inHead / sizeof(WCHAR));
}

// Nothing is in the view while MergedViewRoot is not configured, not even
// under SecondaryViewRoot.
bool JoinIsUnderAnyRoot(const UNICODE_STRING& head, const UNICODE_STRING& tail) {
  if (JoinIsAtOrUnder(head, tail, Globals.BackendRoot)) return true;
  if (Globals.MergedViewRoot.Length == 0) return false;
  return JoinIsAtOrUnder(head, tail, Globals.MergedViewRoot) ||
         JoinIsAtOrUnder(head, tail, Globals.SecondaryViewRoot);
}

// Globals.RootLengths, in characters: 16 bits each.
struct RootLengths {
  ULONG Merged, Secondary, Backend, VolumePrefix;
};

LONG64 Pack(const RootLengths& lengths) {
  return static_cast<LONG64>(lengths.Merged) | static_cast<LONG64>(lengths.Secondary) << 16 |
         static_cast<LONG64>(lengths.Backend) << 32 |
         static_cast<LONG64>(lengths.VolumePrefix) << 48;
}

RootLengths ReadRootLengths() {
  const auto word = static_cast<ULONG64>(InterlockedCompareExchange64(&Globals.RootLengths, 0, 0));
  return {static_cast<ULONG>(word & 0xFFFF), static_cast<ULONG>(word >> 16 & 0xFFFF),
          static_cast<ULONG>(word >> 32 & 0xFFFF), static_cast<ULONG>(word >> 48)};
}

// Whether a join of `headChars` characters (its text in `head`, or not
// known when null) and `tail` may be a root of `rootChars` characters or lie
// below it, judged by lengths and the character after the root's length.
bool JoinMayBeAtOrUnder(const UNICODE_STRING* head, ULONG headChars, const UNICODE_STRING& tail,
                        ULONG rootChars) {
  const ULONG total = headChars + tail.Length / sizeof(WCHAR);
  if (rootChars == 0 || total < rootChars) return false;
  if (total == rootChars) return true;
  if (rootChars < headChars) return head == nullptr || head->Buffer[rootChars] == L'\\';
  return tail.Buffer[rootChars - headChars] == L'\\';
}

bool JoinMayBeUnderAnyRoot(const UNICODE_STRING* head, ULONG headChars,
                           const UNICODE_STRING& tail, const RootLengths& lengths) {
  if (JoinMayBeAtOrUnder(head, headChars, tail, lengths.Backend)) return true;
  if (lengths.Merged == 0) return false;
  return JoinMayBeAtOrUnder(head, headChars, tail, lengths.Merged) ||
         JoinMayBeAtOrUnder(head, headChars, tail, lengths.Secondary);
}

// Whether the roots' lengths alone place both joins under no root; the
// same two joins as below, the second with the merged root's volume part
// (only its length is known here) in front.
bool LengthsRuleOutEveryRoot(const UNICODE_STRING& volumeName, const UNICODE_STRING& fileName) {
  const RootLengths lengths = ReadRootLengths();
  if (JoinMayBeUnderAnyRoot(&volumeName, volumeName.Length / sizeof(WCHAR), fileName, lengths)) {
    return false;
  }
  if (lengths.Merged == 0) return true;
  if (lengths.VolumePrefix > lengths.Merged) return false;
  return !JoinMayBeUnderAnyRoot(nullptr, lengths.VolumePrefix, fileName, lengths);
}

}  // namespace

void PublishRootLengths(USHORT volumePrefixChars) {
  constexpr ULONG kChar = sizeof(WCHAR);
  const RootLengths lengths{Globals.MergedViewRoot.Length / kChar,
                            Globals.SecondaryViewRoot.Length / kChar,
                            Globals.BackendRoot.Length / kChar, volumePrefixChars};
  InterlockedExchange64(&Globals.RootLengths, Pack(lengths));
}

BOOLEAN IsNameOutsideEveryRoot(PCUNICODE_STRING volumeName, PCUNICODE_STRING fileName) {
  if (!IsWholeChars(*volumeName) || !IsWholeChars(*fileName)) return FALSE;
  if (LengthsRuleOutEveryRoot(*volumeName, *fileName)) return TRUE;
  SharedLock lock(Globals.RootPathLock);
  if (JoinIsUnderAnyRoot(*volumeName, *fileName)) return FALSE;
  // The name the driver composes itself: MergedViewRoot's volume part in
  // front (without a merged root that route names nothing at all).
  const UNICODE_STRING& merged = Globals.MergedViewRoot;
  const ULONG prefixBytes = static_cast<ULONG>(Globals.VolumePrefixLength) * sizeof(WCHAR);
  if (merged.Length == 0) return TRUE;
  if (prefixBytes > merged.Length) return FALSE;
  const UNICODE_STRING mergedVolume = BorrowString(merged.Buffer, static_cast<USHORT>(prefixBytes));
  return JoinIsUnderAnyRoot(mergedVolume, *fileName) ? FALSE : TRUE;
}

BOOLEAN IsCreateOutsideEveryRoot(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects) {
  if (objects == nullptr || objects->FileObject == nullptr || objects->Volume == nullptr) {
    return FALSE;
  }
  const PFILE_OBJECT fileObject = objects->FileObject;
  if (fileObject->RelatedFileObject != nullptr || fileObject->FileName.Length == 0 ||
      (data->Iopb->OperationFlags & SL_OPEN_TARGET_DIRECTORY) != 0) {
    return FALSE;
  }
  WCHAR volumeChars[kVolumeNameChars];
  UNICODE_STRING volumeName{0, static_cast<USHORT>(sizeof(volumeChars)), volumeChars};
  if (!NT_SUCCESS(FltGetVolumeName(objects->Volume, &volumeName, nullptr))) return FALSE;
  return IsNameOutsideEveryRoot(&volumeName, &fileObject->FileName);
}

}  // namespace tavo
