// RtlFreeUnicodeString, which frees the strings Rtl routines allocate
// (RtlQueryRegistryValues here). Those buffers come from paged pool with
// the tag 'Strg', the one the simulation uses for every Rtl string
// allocation (Windows documents only that RtlFreeUnicodeString frees what
// these routines allocate). Freeing a buffer the driver allocated itself
// thus shows up as a pool tag mismatch, and an unfreed result as a leak.
#include "nt/ex.h"
#include "nt/ntstatus.h"
#include "nt/rtl.h"

namespace {

constexpr ULONG kRtlStringTag = 'S' | ('t' << 8) | ('r' << 16) | (static_cast<ULONG>('g') << 24);

}  // namespace

extern "C" {

VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  if (UnicodeString->Buffer != nullptr) ExFreePoolWithTag(UnicodeString->Buffer, kRtlStringTag);
  *UnicodeString = UNICODE_STRING{0, 0, nullptr};
}

}  // extern "C"
