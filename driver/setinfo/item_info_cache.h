// Records of ItemInfoCache: the client's item-information answers, kept for
// 20 seconds under the item's merged-view path.
#pragma once

#include <fltKernel.h>

#include "../support/pool.h"

namespace tavo {

// Lifetime of a cached answer, in 100-nanosecond units (20 seconds).
inline constexpr LONGLONG kItemInfoLifetime = 200000000;

struct ItemInfoCacheEntry {
  UNICODE_STRING Path;  // key
  LONGLONG ExpiryTime;
  UNICODE_PREFIX_TABLE_ENTRY PrefixEntry;
  ULONG ReplyLength;
  UCHAR Reply[1];  // ReplyLength bytes
};

// Keeps a copy of the reply for the path, unless the path already has an
// entry (expired or not). A null or empty reply is not cached.
void CacheItemInfo(PCUNICODE_STRING path, const void* reply, ULONG replyLength);

// Server deletes race with questions about the same item: a question asked
// before a delete completed may be answered after it, describing an item
// the server no longer has. The path's delete count tells such answers
// apart: it moves with every completed server delete of the path or of a
// folder above it. Read it before asking; the answer is kept only if it has
// not moved meanwhile (and an open registers only if it has not,
// AddVirtualOpen).
ULONG ServerDeleteGeneration(PCUNICODE_STRING path);
void CacheItemInfoIfCurrent(PCUNICODE_STRING path, const void* reply, ULONG replyLength,
                            ULONG queriedAt);

// A server delete or rename has completed (or was asked for): the item's
// entry and the entries below it go (whatever their case) and the path's
// delete count moves, in one step under ItemInfoCacheLock.
void ForgetDeletedItem(PCUNICODE_STRING path);

// A fresh copy of the path's unexpired reply in *copy (the caller owns it),
// or an empty buffer. An expired entry met here is removed.
void LookupItemInfo(PCUNICODE_STRING path, PoolBuffer* copy);

// Removes the path's entry, if any, whatever the case it was kept under.
void ForgetItemInfo(PCUNICODE_STRING path);

// Removes every entry; takes ItemInfoCacheLock.
void EmptyItemInfoCache();

}  // namespace tavo
