// Expansion of 8.3 short names in paths of the merged view. Server-only items
// have no short names on disk, so the client is asked for the long form of
// each short prefix; its answers are kept in ShortNameTable for 20 seconds.
#pragma once

#include <fltKernel.h>

#include "../support/counted_string.h"

namespace tavo {

// Bytes of every expanded path's buffer (and of a long-name answer).
inline constexpr USHORT kExpandedPathBytes = 2560;

// The path with every 8.3-legal component below MergedViewRoot in its long
// form, in a new buffer of kExpandedPathBytes the caller owns.
// STATUS_UNSUCCESSFUL (nothing asked) for an empty path or one without '~'.
// Callers replace their path only on success with a result longer than one
// character. `data` may be null (no requesting operation).
NTSTATUS ExpandShortNames(PFLT_CALLBACK_DATA data, PCUNICODE_STRING path, OwnedString* expanded);

// Rebuilds the path into `result` (empty, with room) component by component,
// each short component below the root replaced through ShortNameTable or the
// client. Holds ShortNameTableLock exclusive throughout.
NTSTATUS WalkShortNameCache(PFLT_CALLBACK_DATA data, PCUNICODE_STRING path,
                            PUNICODE_STRING result);

// Asks the client for the long form of `name`; on success copies the answer
// into `destination` (up to its MaximumLength). `name` and `destination` may
// be the same string.
NTSTATUS QueryLongName(PFLT_CALLBACK_DATA data, PCUNICODE_STRING name,
                       PUNICODE_STRING destination);

}  // namespace tavo
