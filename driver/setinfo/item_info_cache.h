// Records of ItemInfoCache: the client's item-information answers, kept for
// 20 seconds under the item's merged-view path.
#pragma once

#include <fltKernel.h>

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

// Removes every entry; takes ItemInfoCacheLock.
void EmptyItemInfoCache();

}  // namespace tavo
