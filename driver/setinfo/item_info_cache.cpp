// Teardown of the item-information cache.
#include "item_info_cache.h"

#include "../core/globals.h"
#include "../support/counted_string.h"
#include "../support/locks.h"

namespace tavo {

void EmptyItemInfoCache() {
  ExclusiveLock lock(Globals.ItemInfoCacheLock);
  for (PUNICODE_PREFIX_TABLE_ENTRY link = RtlNextUnicodePrefix(&Globals.ItemInfoCache, TRUE);
       link != nullptr; link = RtlNextUnicodePrefix(&Globals.ItemInfoCache, TRUE)) {
    RtlRemoveUnicodePrefix(&Globals.ItemInfoCache, link);
    auto* entry = CONTAINING_RECORD(link, ItemInfoCacheEntry, PrefixEntry);
    FreeStringBuffer(entry->Path);
    FreePool(entry);
  }
}

}  // namespace tavo
