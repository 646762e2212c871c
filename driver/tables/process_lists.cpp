// The allow and block tables and the decisions made from them.
#include "process_lists.h"

#include "../core/globals.h"
#include "../support/counted_string.h"
#include "../support/debug.h"
#include "../support/locks.h"

namespace tavo {
namespace {

// Shell and system hosts are never given empty listings.
bool IsHostProcessName(const UNICODE_STRING& name) {
  static const WCHAR* const kHosts[] = {L"prevhost.exe", L"searchprotocolhost.exe", L"sihost.exe",
                                        L"explorer.exe", L"dllhost.exe"};
  for (const WCHAR* host : kHosts) {
    UNICODE_STRING hostName;
    RtlInitUnicodeString(&hostName, host);
    if (EqualIgnoringCase(name, hostName)) return true;
  }
  return false;
}

template <class Entry>
Entry* Lookup(PUNICODE_PREFIX_TABLE table, const UNICODE_STRING& name) {
  UNICODE_STRING key = name;
  PUNICODE_PREFIX_TABLE_ENTRY found = FindExact(table, &key);
  return found == nullptr ? nullptr : CONTAINING_RECORD(found, Entry, PrefixEntry);
}

// A zeroed ProcessNameEntry with its own copy of the name, or null.
ProcessNameEntry* NewProcessNameEntry(const UNICODE_STRING& name) {
  auto* entry =
      static_cast<ProcessNameEntry*>(AllocateZeroed(NonPagedPool, sizeof(ProcessNameEntry)));
  if (entry == nullptr) return nullptr;
  OwnedString copy = OwnedString::CopyOf(NonPagedPool, name, name.MaximumLength);
  if (!copy.HasBuffer() && name.Length != 0) {
    FreePool(entry);
    return nullptr;
  }
  entry->Name = copy.Release();
  return entry;
}

void FreeBlockedEntry(BlockedProcessEntry* entry) {
  for (ULONG i = 0; i < entry->ExtensionCount; ++i) FreeStringBuffer(entry->Extensions[i]);
  entry->ExtensionCount = 0;
  FreeStringBuffer(entry->Name);
  FreePool(entry);
}

void FreeProcessNameEntry(ProcessNameEntry* entry) {
  FreeStringBuffer(entry->Name);
  FreePool(entry);
}

}  // namespace

NTSTATUS AddBlockedProcess(PUNICODE_PREFIX_TABLE table, const UNICODE_STRING& name,
                           const UNICODE_STRING& extension) {
  BlockedProcessEntry* entry = Lookup<BlockedProcessEntry>(table, name);
  if (entry == nullptr) {
    entry = static_cast<BlockedProcessEntry*>(
        AllocateZeroed(NonPagedPool, sizeof(BlockedProcessEntry)));
    if (entry == nullptr) return STATUS_UNSUCCESSFUL;
    OwnedString copy = OwnedString::CopyOf(NonPagedPool, name, name.MaximumLength);
    if (!copy.HasBuffer()) {
      FreePool(entry);
      return STATUS_UNSUCCESSFUL;
    }
    entry->Name = copy.Release();
    if (!RtlInsertUnicodePrefix(table, &entry->Name, &entry->PrefixEntry)) {
      FreeBlockedEntry(entry);
      return STATUS_UNSUCCESSFUL;
    }
  }

  // No extension, or "*": blocked for every file.
  if (extension.Length == 0 || extension.Buffer[0] == L'*' || extension.Buffer[0] == L'\0') {
    return STATUS_SUCCESS;
  }
  for (ULONG i = 0; i < entry->ExtensionCount; ++i) {
    if (EqualIgnoringCase(entry->Extensions[i], extension)) return STATUS_SUCCESS;
  }
  if (entry->ExtensionCount == kMaxExtensionsPerProcess) return STATUS_INVALID_PARAMETER;
  OwnedString copy = OwnedString::CopyOf(NonPagedPool, extension, extension.MaximumLength);
  if (!copy.HasBuffer()) return STATUS_UNSUCCESSFUL;
  entry->Extensions[entry->ExtensionCount++] = copy.Release();
  return STATUS_SUCCESS;
}

NTSTATUS AddAllowedProcess(PUNICODE_PREFIX_TABLE table, const UNICODE_STRING& name) {
  if (Lookup<ProcessNameEntry>(table, name) != nullptr) return STATUS_SUCCESS;
  ProcessNameEntry* entry = NewProcessNameEntry(name);
  if (entry == nullptr) return STATUS_UNSUCCESSFUL;
  if (!RtlInsertUnicodePrefix(table, &entry->Name, &entry->PrefixEntry)) {
    FreeProcessNameEntry(entry);
    return STATUS_UNSUCCESSFUL;
  }
  return STATUS_SUCCESS;
}

ProcessNameEntry* MakeNoListingRecord(const UNICODE_STRING& name) {
  if (IsHostProcessName(name)) return nullptr;
  return NewProcessNameEntry(name);
}

void EmptyBlockedProcessTable(PUNICODE_PREFIX_TABLE table) {
  for (PUNICODE_PREFIX_TABLE_ENTRY link = RtlNextUnicodePrefix(table, TRUE); link != nullptr;
       link = RtlNextUnicodePrefix(table, TRUE)) {
    RtlRemoveUnicodePrefix(table, link);
    FreeBlockedEntry(CONTAINING_RECORD(link, BlockedProcessEntry, PrefixEntry));
  }
}

void EmptyProcessNameTable(PUNICODE_PREFIX_TABLE table) {
  for (PUNICODE_PREFIX_TABLE_ENTRY link = RtlNextUnicodePrefix(table, TRUE); link != nullptr;
       link = RtlNextUnicodePrefix(table, TRUE)) {
    RtlRemoveUnicodePrefix(table, link);
    FreeProcessNameEntry(CONTAINING_RECORD(link, ProcessNameEntry, PrefixEntry));
  }
}

bool ExtensionMatches(const UNICODE_STRING& fileName, const UNICODE_STRING& extension) {
  const USHORT chars = fileName.Length / sizeof(WCHAR);
  UNICODE_STRING fileExtension{};
  for (USHORT i = chars; i-- > 1;) {
    if (fileName.Buffer[i] == L'.') {
      fileExtension =
          BorrowString(fileName.Buffer + i, static_cast<USHORT>((chars - i) * sizeof(WCHAR)));
      break;
    }
  }
  return EqualIgnoringCase(fileExtension, extension);
}

bool CanDownload(const UNICODE_STRING& fileName, const UNICODE_STRING& processName,
                 ACCESS_MASK desiredAccess) {
  bool allowed = true;
  const bool executeOrAll =
      (desiredAccess & FILE_EXECUTE) != 0 || (desiredAccess & FILE_ALL_ACCESS) == FILE_ALL_ACCESS;
  if (!executeOrAll) {
    bool blocked = false;
    LONG allowListMode;
    {
      SharedLock lock(Globals.BlockListLock);
      allowListMode = ReadFlag(Globals.AllowListMode);
      if (auto* entry = Lookup<BlockedProcessEntry>(&Globals.BlockedProcessTable, processName)) {
        blocked = true;
        allowed = false;
        for (ULONG i = 0; i < entry->ExtensionCount && !allowed; ++i) {
          allowed = ExtensionMatches(fileName, entry->Extensions[i]);
        }
      }
    }
    if (!blocked && allowListMode == 1) {
      SharedLock lock(Globals.AllowListLock);
      allowed = Lookup<ProcessNameEntry>(&Globals.AllowedProcessTable, processName) != nullptr;
    }
  }
  if (allowed) {
    TAVO_PRINT("Requestor Process %wZ can download file %wZ\n", &processName, &fileName);
  } else {
    TAVO_PRINT("Requestor Process %wZ can not download file %wZ\n", &processName, &fileName);
  }
  return allowed;
}

bool IsNoListingProcess(const UNICODE_STRING& processName) {
  SharedLock lock(Globals.BlockListLock);
  return Lookup<ProcessNameEntry>(&Globals.NoListingProcessTable, processName) != nullptr;
}

}  // namespace tavo
