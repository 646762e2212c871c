// Records of ShortNameTable: the long form of a path whose last component
// is a short (8.3) name, as the client gave it, kept for 20 seconds.
#pragma once

#include <fltKernel.h>

namespace tavo {

// Lifetime of a cached answer, in 100-nanosecond units (20 seconds).
inline constexpr LONGLONG kShortNameLifetime = 200000000;

struct ShortNameEntry {
  UNICODE_STRING ShortPath;  // key
  UNICODE_STRING LongPath;
  LONGLONG Expiry;
  UNICODE_PREFIX_TABLE_ENTRY PrefixEntry;
};

// Removes an entry from ShortNameTable and frees it with its buffers; the
// caller holds ShortNameTableLock exclusive.
void RemoveShortNameEntry(ShortNameEntry* entry);

// Removes every entry whose expiry is not later than now, stopping early
// when the worker is asked to stop; takes ShortNameTableLock.
void PurgeExpiredShortNames();

// Removes every entry; takes ShortNameTableLock.
void EmptyShortNameTable();

}  // namespace tavo
