// Process allow and block lists: who may trigger downloads, and who sees
// empty listings. Process names are image names without a path; every
// comparison ignores case.
#pragma once

#include <fltKernel.h>

namespace tavo {

inline constexpr ULONG kMaxExtensionsPerProcess = 32;

// A blocked process and the extensions it may still download (non-paged, zeroed).
struct BlockedProcessEntry {
  UNICODE_STRING Name;
  UNICODE_PREFIX_TABLE_ENTRY PrefixEntry;
  ULONG ExtensionCount;
  UNICODE_STRING Extensions[kMaxExtensionsPerProcess];
};

// A record of AllowedProcessTable or NoListingProcessTable.
struct ProcessNameEntry {
  UNICODE_STRING Name;
  UNICODE_PREFIX_TABLE_ENTRY PrefixEntry;
};

// Adds a process (and an extension it may download) to a block table; the
// caller holds the table's lock exclusive. STATUS_UNSUCCESSFUL when the
// record cannot be allocated; STATUS_INVALID_PARAMETER for a further
// distinct extension when the process already has the maximum.
NTSTATUS AddBlockedProcess(PUNICODE_PREFIX_TABLE table, const UNICODE_STRING& name,
                           const UNICODE_STRING& extension);

// Adds a process to an allow table; the caller holds the table's lock.
NTSTATUS AddAllowedProcess(PUNICODE_PREFIX_TABLE table, const UNICODE_STRING& name);

// A NoListingProcessTable record for the name, or null for the shell and
// system host processes (and when pool is short). The caller inserts it.
ProcessNameEntry* MakeNoListingRecord(const UNICODE_STRING& name);

// Removes and frees every record of a table; the caller holds its lock.
void EmptyBlockedProcessTable(PUNICODE_PREFIX_TABLE table);
void EmptyProcessNameTable(PUNICODE_PREFIX_TABLE table);

// Whether the file's extension (from its last dot, never its first
// character) equals the listed extension, ignoring case.
bool ExtensionMatches(const UNICODE_STRING& fileName, const UNICODE_STRING& extension);

// The download decision for a process opening a file with an access.
bool CanDownload(const UNICODE_STRING& fileName, const UNICODE_STRING& processName,
                 ACCESS_MASK desiredAccess);

// Whether the process is listed to see empty directory listings.
bool IsNoListingProcess(const UNICODE_STRING& processName);

}  // namespace tavo
