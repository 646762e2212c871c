// Counted-string routines of the run-time library: initialisation, copy,
// comparison, case mapping, append. Case-insensitive
// operations upcase through the simple Unicode mapping (upcase_table.h).
//
// Like Driver Verifier, the simulation reports malformed counted strings
// (odd lengths, Length above MaximumLength, NULL buffers with a length) as
// Check::String violations instead of corrupting memory; the routine then
// does nothing (or fails with STATUS_INVALID_PARAMETER where it returns a
// status).
#include <algorithm>
#include <cstring>

#include "harness/strings.h"
#include "kernel/rtl_string_checks.h"
#include "kernel/upcase_table.h"
#include "nt/ntstatus.h"
#include "nt/rtl.h"
#include "verifier/verifier.h"

namespace sim::kernel {

bool CheckUnicodeString(const UNICODE_STRING* s, const char* routine, const char* parameter) {
  std::string problem;
  if (s == nullptr) {
    problem = "is NULL";
  } else if (s->Length % sizeof(WCHAR) != 0) {
    problem = "has an odd Length (" + std::to_string(s->Length) + ")";
  } else if (s->Length > s->MaximumLength) {
    problem = "has Length " + std::to_string(s->Length) + " above MaximumLength " +
              std::to_string(s->MaximumLength);
  } else if (s->Buffer == nullptr && s->Length != 0) {
    problem = "has a NULL Buffer and Length " + std::to_string(s->Length);
  } else {
    return true;
  }
  verifier::Report(verifier::Check::String,
                   std::string(routine) + ": " + parameter + " " + problem);
  return false;
}

std::string DescribeForMessage(std::u16string_view text) {
  return "\"" + harness::ToUtf8(text) + "\"";
}

namespace {

// Length in characters of a NUL-terminated WCHAR string.
std::size_t TerminatedLength(PCWSTR text) {
  std::size_t n = 0;
  while (text[n] != UNICODE_NULL) ++n;
  return n;
}

// Writes a NUL after the string's characters when the buffer has room.
void TerminateIfRoom(UNICODE_STRING& s) {
  if (s.MaximumLength - s.Length >= static_cast<int>(sizeof(WCHAR))) {
    s.Buffer[s.Length / sizeof(WCHAR)] = UNICODE_NULL;
  }
}

// Appends `bytes` bytes at `source` to `destination` (which is well formed).
NTSTATUS AppendChars(UNICODE_STRING& destination, const WCHAR* source, std::size_t bytes) {
  if (bytes == 0) return STATUS_SUCCESS;
  if (destination.Length + bytes > destination.MaximumLength) return STATUS_BUFFER_TOO_SMALL;
  std::memmove(reinterpret_cast<char*>(destination.Buffer) + destination.Length, source, bytes);
  destination.Length = static_cast<USHORT>(destination.Length + bytes);
  TerminateIfRoom(destination);
  return STATUS_SUCCESS;
}

}  // namespace

}  // namespace sim::kernel

using sim::kernel::CharsOf;
using sim::kernel::CheckUnicodeString;

extern "C" {

SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
  const auto* a = static_cast<const unsigned char*>(Source1);
  const auto* b = static_cast<const unsigned char*>(Source2);
  SIZE_T same = 0;
  while (same < Length && a[same] == b[same]) ++same;
  return same;
}

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  DestinationString->Buffer = const_cast<PWCH>(SourceString);
  if (SourceString == nullptr) {
    DestinationString->Length = DestinationString->MaximumLength = 0;
    return;
  }
  std::size_t bytes = sim::kernel::TerminatedLength(SourceString) * sizeof(WCHAR);
  // A counted string holds at most UNICODE_STRING_MAX_BYTES including the
  // NUL; Windows truncates a longer source, which is always a caller bug.
  constexpr std::size_t kMaxBytes = UNICODE_STRING_MAX_BYTES - sizeof(WCHAR);
  if (bytes > kMaxBytes) {
    sim::verifier::Report(sim::verifier::Check::String,
                          "RtlInitUnicodeString: source of " +
                              std::to_string(bytes / sizeof(WCHAR)) +
                              " characters does not fit a UNICODE_STRING; truncated");
    bytes = kMaxBytes;
  }
  DestinationString->Length = static_cast<USHORT>(bytes);
  DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

// Copies as much as fits; a NULL source empties the destination.
VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
  if (!CheckUnicodeString(DestinationString, "RtlCopyUnicodeString", "DestinationString")) return;
  if (SourceString == nullptr) {
    DestinationString->Length = 0;
    return;
  }
  if (!CheckUnicodeString(SourceString, "RtlCopyUnicodeString", "SourceString")) return;
  const USHORT room = static_cast<USHORT>(DestinationString->MaximumLength & ~1u);
  const USHORT bytes = std::min<USHORT>(SourceString->Length, room);
  if (bytes != 0) std::memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
  DestinationString->Length = bytes;
  sim::kernel::TerminateIfRoom(*DestinationString);
}

// Negative, zero or positive as String1 sorts before, with or after String2:
// character by character (upcased when CaseInSensitive), then by length.
LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                   BOOLEAN CaseInSensitive) {
  if (!CheckUnicodeString(String1, "RtlCompareUnicodeString", "String1") ||
      !CheckUnicodeString(String2, "RtlCompareUnicodeString", "String2")) {
    return 0;
  }
  const auto a = CharsOf(*String1);
  const auto b = CharsOf(*String2);
  const std::size_t common = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < common; ++i) {
    WCHAR ca = static_cast<WCHAR>(a[i]);
    WCHAR cb = static_cast<WCHAR>(b[i]);
    if (CaseInSensitive) {
      ca = sim::kernel::UpcaseChar(ca);
      cb = sim::kernel::UpcaseChar(cb);
    }
    if (ca != cb)
      return static_cast<LONG>(static_cast<USHORT>(ca)) -
             static_cast<LONG>(static_cast<USHORT>(cb));
  }
  return static_cast<LONG>(String1->Length) - static_cast<LONG>(String2->Length);
}

BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                    BOOLEAN CaseInSensitive) {
  if (!CheckUnicodeString(String1, "RtlEqualUnicodeString", "String1") ||
      !CheckUnicodeString(String2, "RtlEqualUnicodeString", "String2")) {
    return FALSE;
  }
  if (String1->Length != String2->Length) return FALSE;
  return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

// TRUE when String1 is a prefix of String2.
BOOLEAN NTAPI RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                     BOOLEAN CaseInSensitive) {
  if (!CheckUnicodeString(String1, "RtlPrefixUnicodeString", "String1") ||
      !CheckUnicodeString(String2, "RtlPrefixUnicodeString", "String2")) {
    return FALSE;
  }
  if (String1->Length > String2->Length) return FALSE;
  UNICODE_STRING head = *String2;
  head.Length = String1->Length;
  return RtlCompareUnicodeString(String1, &head, CaseInSensitive) == 0;
}

WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR SourceCharacter) {
  return sim::kernel::UpcaseChar(SourceCharacter);
}

NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
  if (!CheckUnicodeString(Destination, "RtlAppendUnicodeToString", "Destination"))
    return STATUS_INVALID_PARAMETER;
  if (Source == nullptr) return STATUS_SUCCESS;
  return sim::kernel::AppendChars(*Destination, Source,
                                  sim::kernel::TerminatedLength(Source) * sizeof(WCHAR));
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination,
                                              PCUNICODE_STRING Source) {
  if (!CheckUnicodeString(Destination, "RtlAppendUnicodeStringToString", "Destination") ||
      !CheckUnicodeString(Source, "RtlAppendUnicodeStringToString", "Source")) {
    return STATUS_INVALID_PARAMETER;
  }
  return sim::kernel::AppendChars(*Destination, Source->Buffer, Source->Length);
}

}  // extern "C"
