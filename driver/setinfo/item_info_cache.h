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

// A fresh copy of the path's unexpired reply in *copy (the caller owns it),
// or an empty buffer. An expired entry met here is removed.
void LookupItemInfo(PCUNICODE_STRING path, PoolBuffer* copy);

// Removes the path's entry, if any.
void ForgetItemInfo(PCUNICODE_STRING path);

// Removes every entry; takes ItemInfoCacheLock.
void EmptyItemInfoCache();

}  // namespace tavo
