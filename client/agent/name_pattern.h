// Search patterns and 8.3 names as a Windows file system treats them.
//
// MatchesPattern follows FsRtlIsNameInExpression with IgnoreCase:
//   *   any run of characters (also none)
//   ?   exactly one character
//   <   (DOS_STAR) any run of characters that does not take the name's last period
//   >   (DOS_QM) one character; at a period or the end of the name, nothing
//   "   (DOS_DOT) a period, or nothing at the end of the name
// The comparison ignores case (the pattern need not be upcased).
#pragma once

#include <cstddef>
#include <string_view>

namespace tavo::agent {

bool MatchesPattern(std::u16string_view pattern, std::u16string_view name);

// A pattern the file system accepts: one name component, wildcards allowed.
bool IsLegalPattern(std::u16string_view pattern);

inline constexpr std::size_t kMaxComponentChars = 255;

// What Windows makes of a name component. Illegal: empty, "." or "..", a
// control character (NUL included) or one of " * / : < > ? \ |, a
// trailing dot or space, a device name (CON, NUL.txt, COM1, ...). Legal
// names of more than 255 characters are too long.
enum class NameVerdict { kLegal, kIllegal, kTooLong };
NameVerdict CheckComponent(std::u16string_view name);
bool IsLegalComponent(std::u16string_view name);

// True when the name is already a valid 8.3 name (case aside, no spaces),
// so a file system gives it no separate short name.
bool IsShortFormName(std::u16string_view name);

}  // namespace tavo::agent
