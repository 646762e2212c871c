// The item-information cache: the client's answers, kept 20 seconds.
#include "item_info_cache.h"

#include "../core/globals.h"
#include "../support/counted_string.h"
#include "../support/locks.h"

namespace tavo {
namespace {

// The entry whose key is exactly `path` (case-sensitive); a prefix match on
// an ancestor, or the same path in another case, is no match. The caller
// holds ItemInfoCacheLock.
ItemInfoCacheEntry* FindEntry(PCUNICODE_STRING path) {
  // mingw-w64's declaration takes a non-const name.
  UNICODE_STRING name = *path;
  PUNICODE_PREFIX_TABLE_ENTRY link = RtlFindUnicodePrefix(&Globals.ItemInfoCache, &name, 0);
  if (link == nullptr) return nullptr;
  auto* entry = CONTAINING_RECORD(link, ItemInfoCacheEntry, PrefixEntry);
  return RtlCompareUnicodeString(&entry->Path, path, FALSE) == 0 ? entry : nullptr;
}

void RemoveEntry(ItemInfoCacheEntry* entry) {
  RtlRemoveUnicodePrefix(&Globals.ItemInfoCache, &entry->PrefixEntry);
  FreeStringBuffer(entry->Path);
  FreePool(entry);
}

LONGLONG Now() {
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  return now.QuadPart;
}

}  // namespace

void CacheItemInfo(PCUNICODE_STRING path, const void* reply, ULONG replyLength) {
  if (reply == nullptr || replyLength == 0) return;
  ExclusiveLock lock(Globals.ItemInfoCacheLock);
  if (FindEntry(path) != nullptr) return;
  const LONGLONG now = Now();
  auto* entry = static_cast<ItemInfoCacheEntry*>(
      AllocateZeroed(NonPagedPool, FIELD_OFFSET(ItemInfoCacheEntry, Reply) + replyLength));
  if (entry == nullptr) return;
  OwnedString key = OwnedString::CopyOf(NonPagedPool, *path, path->MaximumLength);
  if (!key.HasBuffer()) {
    FreePool(entry);
    return;
  }
  entry->Path = key.Release();
  RtlCopyMemory(entry->Reply, reply, replyLength);
  entry->ReplyLength = replyLength;
  entry->ExpiryTime = now + kItemInfoLifetime;
  if (!RtlInsertUnicodePrefix(&Globals.ItemInfoCache, &entry->Path, &entry->PrefixEntry)) {
    // The same path in another case is cached already.
    FreeStringBuffer(entry->Path);
    FreePool(entry);
  }
}

void LookupItemInfo(PCUNICODE_STRING path, PoolBuffer* copy) {
  *copy = PoolBuffer();
  ExclusiveLock lock(Globals.ItemInfoCacheLock);
  ItemInfoCacheEntry* entry = FindEntry(path);
  if (entry == nullptr) return;
  if (entry->ExpiryTime > Now()) {
    PoolBuffer fresh = PoolBuffer::Allocate(NonPagedPool, entry->ReplyLength);
    if (fresh) RtlCopyMemory(fresh.Data(), entry->Reply, entry->ReplyLength);
    *copy = static_cast<PoolBuffer&&>(fresh);
  } else {
    RemoveEntry(entry);
  }
}

void ForgetItemInfo(PCUNICODE_STRING path) {
  ExclusiveLock lock(Globals.ItemInfoCacheLock);
  if (ItemInfoCacheEntry* entry = FindEntry(path)) RemoveEntry(entry);
}

void EmptyItemInfoCache() {
  ExclusiveLock lock(Globals.ItemInfoCacheLock);
  for (PUNICODE_PREFIX_TABLE_ENTRY link = RtlNextUnicodePrefix(&Globals.ItemInfoCache, TRUE);
       link != nullptr; link = RtlNextUnicodePrefix(&Globals.ItemInfoCache, TRUE)) {
    RemoveEntry(CONTAINING_RECORD(link, ItemInfoCacheEntry, PrefixEntry));
  }
}

}  // namespace tavo
