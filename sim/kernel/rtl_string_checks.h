// Shared by the Rtl string, prefix-table and name routines: a view of a
// counted string's characters and the verifier's well-formedness check.
#pragma once

#include <string>
#include <string_view>

#include "nt/ntdef.h"

namespace sim::kernel {

// The characters of a counted string (Length bytes). Call only on strings
// that passed CheckUnicodeString.
inline std::u16string_view CharsOf(const UNICODE_STRING& s) {
  if (s.Buffer == nullptr) return {};
  return {reinterpret_cast<const char16_t*>(s.Buffer), s.Length / sizeof(WCHAR)};
}

// Reports Check::String and returns false when `s` is malformed: NULL, an
// odd Length, Length above MaximumLength, or a NULL Buffer with a non-zero
// Length. `routine` and `parameter` name the offending argument.
bool CheckUnicodeString(const UNICODE_STRING* s, const char* routine, const char* parameter);

// The string in UTF-8, for violation messages.
std::string DescribeForMessage(std::u16string_view text);

}  // namespace sim::kernel
