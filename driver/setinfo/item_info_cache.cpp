// The item-information cache: the client's answers, kept 20 seconds.
#include "item_info_cache.h"

#include "../core/globals.h"
#include "../support/counted_string.h"
#include "../support/locks.h"

namespace tavo {
namespace {

// The entry whose key is `path` in any case (the table holds one entry per
// name, whatever its case); a prefix match on an ancestor is no match. The
// caller holds ItemInfoCacheLock.
ItemInfoCacheEntry* FindEntryAnyCase(PCUNICODE_STRING path) {
  // mingw-w64's declaration takes a non-const name.
  UNICODE_STRING name = *path;
  PUNICODE_PREFIX_TABLE_ENTRY link = RtlFindUnicodePrefix(&Globals.ItemInfoCache, &name, 0);
  if (link == nullptr) return nullptr;
  auto* entry = CONTAINING_RECORD(link, ItemInfoCacheEntry, PrefixEntry);
  return entry->Path.Length == path->Length ? entry : nullptr;
}

// The entry whose key is exactly `path` (case-sensitive): answers are kept
// and looked up under the case they were asked for.
ItemInfoCacheEntry* FindEntry(PCUNICODE_STRING path) {
  ItemInfoCacheEntry* entry = FindEntryAnyCase(path);
  return entry != nullptr && RtlEqualUnicodeString(&entry->Path, path, FALSE) ? entry : nullptr;
}

void RemoveEntry(ItemInfoCacheEntry* entry) {
  RtlRemoveUnicodePrefix(&Globals.ItemInfoCache, &entry->PrefixEntry);
  FreeStringBuffer(entry->Path);
  FreePool(entry);
}

// Whether `key` names something below the folder `path` (ignoring case).
bool IsBelow(const UNICODE_STRING& key, PCUNICODE_STRING path) {
  if (key.Length <= path->Length || key.Buffer[path->Length / sizeof(WCHAR)] != L'\\') {
    return false;
  }
  UNICODE_STRING head = BorrowString(key.Buffer, path->Length);
  return RtlEqualUnicodeString(&head, path, TRUE) != FALSE;
}

// Removes every entry below the folder `path`. The caller holds
// ItemInfoCacheLock.
void RemoveEntriesBelow(PCUNICODE_STRING path) {
  for (bool removed = true; removed;) {
    removed = false;
    for (PUNICODE_PREFIX_TABLE_ENTRY link = RtlNextUnicodePrefix(&Globals.ItemInfoCache, TRUE);
         link != nullptr; link = RtlNextUnicodePrefix(&Globals.ItemInfoCache, FALSE)) {
      auto* entry = CONTAINING_RECORD(link, ItemInfoCacheEntry, PrefixEntry);
      if (IsBelow(entry->Path, path)) {
        RemoveEntry(entry);  // the walk starts again: removal ends it
        removed = true;
        break;
      }
    }
  }
}

LONGLONG Now() {
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  return now.QuadPart;
}

// Completed server deletes, counted per name: in buckets chosen by a hash of
// the upcased path. A bucket shared by two names only costs a needless
// second question. Counts only grow (wrapping), so a sum of them changes
// whenever one of its counts does.
constexpr ULONG kDeleteBuckets = 1024;
volatile LONG DeleteCounts[kDeleteBuckets];

// Every virtual open hashes its whole path more than once: ASCII, nearly
// every character of a path, is upcased here without the table look-up
// (to the same result).
WCHAR UpcaseForHash(WCHAR c) {
  if (c >= 0x80) return RtlUpcaseUnicodeChar(c);
  return c >= L'a' && c <= L'z' ? static_cast<WCHAR>(c - (L'a' - L'A')) : c;
}

ULONG HashStep(ULONG hash, WCHAR c) {
  return (hash ^ UpcaseForHash(c)) * 16777619u;
}

ULONG CountOf(ULONG hash) {
  return static_cast<ULONG>(InterlockedCompareExchange(&DeleteCounts[hash % kDeleteBuckets], 0, 0));
}

// Keeps the reply unless the path has an entry, or (with `queriedAt`) a
// server delete of it or of a folder above it completed since the reply was
// asked for. The caller holds ItemInfoCacheLock.
void CacheLocked(PCUNICODE_STRING path, const void* reply, ULONG replyLength,
                 const ULONG* queriedAt) {
  if (reply == nullptr || replyLength == 0) return;
  if (queriedAt != nullptr && *queriedAt != ServerDeleteGeneration(path)) return;
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

}  // namespace

void CacheItemInfo(PCUNICODE_STRING path, const void* reply, ULONG replyLength) {
  ExclusiveLock lock(Globals.ItemInfoCacheLock);
  CacheLocked(path, reply, replyLength, nullptr);
}

void CacheItemInfoIfCurrent(PCUNICODE_STRING path, const void* reply, ULONG replyLength,
                            ULONG queriedAt) {
  ExclusiveLock lock(Globals.ItemInfoCacheLock);
  CacheLocked(path, reply, replyLength, &queriedAt);
}

ULONG ServerDeleteGeneration(PCUNICODE_STRING path) {
  // The path's own count and the count of every folder above it (each
  // prefix that ends before a backslash): a folder's delete takes its
  // contents with it.
  const USHORT chars = path->Length / sizeof(WCHAR);
  ULONG hash = 2166136261u;
  ULONG sum = 0;
  for (USHORT i = 0; i < chars; ++i) {
    if (path->Buffer[i] == L'\\' && i != 0) sum += CountOf(hash);
    hash = HashStep(hash, path->Buffer[i]);
  }
  return sum + CountOf(hash);
}

void ForgetDeletedItem(PCUNICODE_STRING path) {
  ULONG hash = 2166136261u;
  for (USHORT i = 0; i < path->Length / sizeof(WCHAR); ++i) hash = HashStep(hash, path->Buffer[i]);
  ExclusiveLock lock(Globals.ItemInfoCacheLock);
  if (ItemInfoCacheEntry* entry = FindEntryAnyCase(path)) RemoveEntry(entry);
  // A folder's answers go with it: what was below it (deleted with it, or
  // renamed along with it) no longer has these names.
  RemoveEntriesBelow(path);
  InterlockedIncrement(&DeleteCounts[hash % kDeleteBuckets]);
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

// Names in the view are case-insensitive: an item deleted, created or
// renamed under one case must not be answered from an entry kept under
// another, so forgetting ignores case.
void ForgetItemInfo(PCUNICODE_STRING path) {
  ExclusiveLock lock(Globals.ItemInfoCacheLock);
  if (ItemInfoCacheEntry* entry = FindEntryAnyCase(path)) RemoveEntry(entry);
}

void EmptyItemInfoCache() {
  ExclusiveLock lock(Globals.ItemInfoCacheLock);
  for (PUNICODE_PREFIX_TABLE_ENTRY link = RtlNextUnicodePrefix(&Globals.ItemInfoCache, TRUE);
       link != nullptr; link = RtlNextUnicodePrefix(&Globals.ItemInfoCache, TRUE)) {
    RemoveEntry(CONTAINING_RECORD(link, ItemInfoCacheEntry, PrefixEntry));
  }
}

}  // namespace tavo
