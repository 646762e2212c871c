// The Rtl string routines that allocate: RtlUpcaseUnicodeString and
// RtlDowncaseUnicodeString with AllocateDestinationString, and
// RtlFreeUnicodeString. Their buffers come from paged pool with the tag
// 'Strg', the one the simulation uses for every Rtl string allocation
// (Windows documents only that RtlFreeUnicodeString frees what these
// routines allocate). Freeing a buffer the driver allocated itself thus
// shows up as a pool tag mismatch, and an unfreed result as a leak.
#include "kernel/rtl_string_checks.h"
#include "kernel/upcase_table.h"
#include "nt/ex.h"
#include "nt/ntstatus.h"
#include "nt/rtl.h"

namespace sim::kernel {
namespace {

constexpr ULONG kRtlStringTag = 'S' | ('t' << 8) | ('r' << 16) | (static_cast<ULONG>('g') << 24);

// Maps Source into Destination (allocated when asked), character by
// character, so Destination may be Source itself.
NTSTATUS MapCase(PUNICODE_STRING destination, PCUNICODE_STRING source, BOOLEAN allocate,
                 WCHAR (*map)(WCHAR), const char* routine) {
  if (!CheckUnicodeString(source, routine, "SourceString")) return STATUS_INVALID_PARAMETER;
  const USHORT length = source->Length;
  if (allocate) {
    auto* buffer = static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, length, kRtlStringTag));
    if (buffer == nullptr) return STATUS_NO_MEMORY;
    for (USHORT i = 0; i < length / sizeof(WCHAR); ++i) buffer[i] = map(source->Buffer[i]);
    destination->Buffer = buffer;
    destination->MaximumLength = length;
  } else {
    if (!CheckUnicodeString(destination, routine, "DestinationString"))
      return STATUS_INVALID_PARAMETER;
    if (length > destination->MaximumLength) return STATUS_BUFFER_OVERFLOW;
    for (USHORT i = 0; i < length / sizeof(WCHAR); ++i)
      destination->Buffer[i] = map(source->Buffer[i]);
  }
  destination->Length = length;
  return STATUS_SUCCESS;
}

}  // namespace
}  // namespace sim::kernel

extern "C" {

NTSTATUS NTAPI RtlUpcaseUnicodeString(PUNICODE_STRING DestinationString,
                                      PCUNICODE_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
  return sim::kernel::MapCase(DestinationString, SourceString, AllocateDestinationString,
                              sim::kernel::UpcaseChar, "RtlUpcaseUnicodeString");
}

NTSTATUS NTAPI RtlDowncaseUnicodeString(PUNICODE_STRING DestinationString,
                                        PCUNICODE_STRING SourceString,
                                        BOOLEAN AllocateDestinationString) {
  return sim::kernel::MapCase(DestinationString, SourceString, AllocateDestinationString,
                              sim::kernel::DowncaseChar, "RtlDowncaseUnicodeString");
}

VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  if (UnicodeString->Buffer != nullptr)
    ExFreePoolWithTag(UnicodeString->Buffer, sim::kernel::kRtlStringTag);
  *UnicodeString = UNICODE_STRING{0, 0, nullptr};
}

}  // extern "C"
