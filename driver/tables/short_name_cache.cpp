// Expiry and teardown of the short-name cache.
#include "short_name_cache.h"

#include "../core/globals.h"
#include "../support/counted_string.h"
#include "../support/locks.h"

namespace tavo {

void RemoveShortNameEntry(ShortNameEntry* entry) {
  RtlRemoveUnicodePrefix(&Globals.ShortNameTable, &entry->PrefixEntry);
  FreeStringBuffer(entry->LongPath);
  FreeStringBuffer(entry->ShortPath);
  FreePool(entry);
}

void PurgeExpiredShortNames() {
  ExclusiveLock lock(Globals.ShortNameTableLock);
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  // After each removal the walk starts again from the first entry.
  PUNICODE_PREFIX_TABLE_ENTRY link = RtlNextUnicodePrefix(&Globals.ShortNameTable, TRUE);
  while (link != nullptr && !ReadFlag(Globals.WorkerStopFlag)) {
    auto* entry = CONTAINING_RECORD(link, ShortNameEntry, PrefixEntry);
    if (entry->Expiry <= now.QuadPart) {
      RemoveShortNameEntry(entry);
      link = RtlNextUnicodePrefix(&Globals.ShortNameTable, TRUE);
    } else {
      link = RtlNextUnicodePrefix(&Globals.ShortNameTable, FALSE);
    }
  }
}

void EmptyShortNameTable() {
  ExclusiveLock lock(Globals.ShortNameTableLock);
  for (PUNICODE_PREFIX_TABLE_ENTRY link = RtlNextUnicodePrefix(&Globals.ShortNameTable, TRUE);
       link != nullptr; link = RtlNextUnicodePrefix(&Globals.ShortNameTable, TRUE)) {
    RemoveShortNameEntry(CONTAINING_RECORD(link, ShortNameEntry, PrefixEntry));
  }
}

}  // namespace tavo
