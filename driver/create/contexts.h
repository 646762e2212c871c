// The Filter Manager contexts the create path attaches: a StreamContext on
// every tracked stream under BackendRoot, a StreamHandleContext on every
// handle of MergedViewRoot itself and of a virtual item.
#pragma once

#include <fltKernel.h>

namespace tavo {

struct OpenHandleEntry;
struct OpenerRecord;

// Registered at 64 bytes, paged pool.
struct StreamHandleContext {
  UCHAR IsViewRoot;              // 1: the handle is on MergedViewRoot itself
  UNICODE_STRING SearchPattern;  // directory enumeration's last pattern, own buffer
  ULONG EnumerationIndex;
  volatile LONG QueryInProgress;  // 1 while a directory query runs on the handle
  UNICODE_STRING RootPath;  // copy of MergedViewRoot when IsViewRoot, own buffer
  OpenHandleEntry* Entry;   // the virtual item; null otherwise
  OpenerRecord* Opener;     // this open's record; null otherwise
};
static_assert(sizeof(void*) != 8 || sizeof(StreamHandleContext) == 64,
              "StreamHandleContext fills its registered size");

// Registered at 24 bytes, paged pool.
struct StreamContext {
  UCHAR DeletePending;
  UCHAR DeleteOnClose;
  ULONG OpenCount;          // tracked creates minus cleanups, under StreamContextLock
  UNICODE_STRING FileName;  // full name under BackendRoot, own buffer
};
static_assert(sizeof(void*) != 8 || sizeof(StreamContext) == 24,
              "StreamContext fills its registered size");

inline constexpr SIZE_T kStreamHandleContextSize = sizeof(StreamHandleContext);
inline constexpr SIZE_T kStreamContextSize = sizeof(StreamContext);

// The handle context of a virtual open (IsViewRoot 0 with an Entry); a
// context without Entry is not a virtual open.
inline bool IsVirtualOpen(const StreamHandleContext* context) {
  return context != nullptr && context->IsViewRoot == 0 && context->Entry != nullptr;
}

}  // namespace tavo
