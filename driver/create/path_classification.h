// Placing a full device path against the configured roots: copies of the
// roots, the at-or-under tests, the rewrite from the secondary root to the
// merged-view root, and the two last components the create path treats
// apart. The tests compare against the roots under RootPathLock (shared);
// the rewrite works on fresh copies. Every routine restores the caller's
// Length before it returns.
#pragma once

#include <fltKernel.h>

#include "../support/counted_string.h"

namespace tavo {

// Result of ClassifyViewPath.
enum ViewPathKind : ULONG {
  ViewPathNone = 0,
  ViewPathMerged = 1,     // at or under MergedViewRoot
  ViewPathSecondary = 2,  // at or under SecondaryViewRoot
};

// Copies of a root; the copy stays empty when the root is not configured
// (or pool is short, which the tests then treat as an empty root). FALSE
// only when pool was short.
BOOLEAN CopyMergedViewRoot(OwnedString* copy);
BOOLEAN CopyBackendRoot(OwnedString* copy);
BOOLEAN CopySecondaryViewRoot(OwnedString* copy);
// The roots without their first VolumePrefixLength characters.
BOOLEAN CopyMergedViewRootVolumeRelative(OwnedString* copy);
BOOLEAN CopyBackendRootVolumeRelative(OwnedString* copy);

// Whether the path is MergedViewRoot itself (ignoring case).
BOOLEAN IsMergedViewRoot(PUNICODE_STRING path);

// Whether the path is at or under MergedViewRoot (kind 1) or, when not,
// SecondaryViewRoot (kind 2). Nothing is in the view while MergedViewRoot is
// not configured.
BOOLEAN ClassifyViewPath(PUNICODE_STRING path, ViewPathKind* kind);

// Whether the path is at or under BackendRoot (or its volume-relative form).
BOOLEAN IsUnderBackendRoot(PUNICODE_STRING path, UCHAR volumeRelative);

// Rewrites a path at or under SecondaryViewRoot to the same place under
// MergedViewRoot; the path's buffer is replaced. On a failure to allocate
// the path is left as it was and STATUS_INSUFFICIENT_RESOURCES returned.
NTSTATUS SecondaryToMergedViewPath(PUNICODE_STRING path);

// Whether the last component of the NUL-terminated path is "\Desktop.ini"
// (any case). A last component "\." is cut off: the path's characters are
// zeroed and *length shortened by 4.
BOOLEAN IsDesktopIniName(PWCH path, PUSHORT length);

// Whether the name ends in ".part" (any case).
BOOLEAN IsPartialDownloadName(PCUNICODE_STRING name);

}  // namespace tavo
