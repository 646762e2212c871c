// Text helpers of the agent: Windows-style case-insensitive comparison of
// UTF-16 names and paths, UTF-8 conversion for logs and host paths, and
// splitting of backslash paths. Only the standard library is used.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tavo::agent {

// The upper-case form of one UTF-16 unit as the system's case table has it
// (RtlUpcaseUnicodeChar); units without one, surrogates among them, stay.
char16_t UpcaseUnit(char16_t c);
std::u16string Upcase(std::u16string_view text);
bool EqualsIgnoreCase(std::u16string_view a, std::u16string_view b);

// True when `path` is `root` or lies below it ("root\..."), ignoring case.
bool IsAtOrUnder(std::u16string_view path, std::u16string_view root);

// UTF-16 <-> UTF-8; unpaired surrogates and malformed bytes become U+FFFD.
std::string ToUtf8(std::u16string_view text);
std::u16string FromUtf8(std::string_view text);

// Splits "a\b\c" into its components; empty components are dropped.
std::vector<std::u16string> SplitComponents(std::u16string_view path);
// Joins a relative path and a name with one backslash ("" + "x" = "x").
std::u16string JoinRelative(std::u16string_view parent, std::u16string_view name);
// The last component and everything before it ("a\b" -> "a", "b").
std::u16string ParentOf(std::u16string_view path);
std::u16string LeafOf(std::u16string_view path);

}  // namespace tavo::agent
