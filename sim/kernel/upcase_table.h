// Unicode case mapping of the simulated kernel: the simple (one-to-one)
// upper- and lower-case mappings of the Basic Multilingual Plane, generated
// from the Unicode character database by upcase_table_gen.py (the version is
// in kUnicodeVersion). RtlUpcaseUnicodeChar, case-insensitive string
// comparison, prefix tables, name matching and the simulated NTFS volume all
// go through these tables. NTFS compares names through the $UpCase table it
// writes when a volume is formatted; for practical purposes that table is
// this mapping, so the volume uses it as its upcase table.
#pragma once

#include <cstdint>

#include "nt/ntdef.h"

namespace sim::kernel {

namespace upcase_data {
extern const char kUnicodeVersion[];
extern const std::uint8_t kUpcasePageIndex[256];
extern const std::uint16_t kUpcasePages[][256];
extern const std::uint8_t kDowncasePageIndex[256];
extern const std::uint16_t kDowncasePages[][256];
}  // namespace upcase_data

// Characters with no simple upper (lower) case map to themselves, as do
// surrogate code units.
inline WCHAR UpcaseChar(WCHAR c) {
  const auto unit = static_cast<std::uint16_t>(c);
  const auto page = upcase_data::kUpcasePageIndex[unit >> 8];
  return static_cast<WCHAR>(
      static_cast<std::uint16_t>(unit + upcase_data::kUpcasePages[page][unit & 0xFF]));
}

inline WCHAR DowncaseChar(WCHAR c) {
  const auto unit = static_cast<std::uint16_t>(c);
  const auto page = upcase_data::kDowncasePageIndex[unit >> 8];
  return static_cast<WCHAR>(
      static_cast<std::uint16_t>(unit + upcase_data::kDowncasePages[page][unit & 0xFF]));
}

// The whole mapping as a 65536-entry table indexed by code unit, in the form
// a file system keeps its upcase table (and FsRtlIsNameInExpression takes).
const WCHAR* FullUpcaseTable();

}  // namespace sim::kernel
