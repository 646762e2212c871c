// File names on the volume: upcasing (the volume's upcase table is the
// kernel's simple case mapping), component and path validation as NTFS
// applies it in the NT namespace, search-pattern validation, and the
// question whether a long name needs a generated 8.3 name.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <ntifs.h>

namespace sim::fs {

inline constexpr std::size_t kMaxComponentChars = 255;

std::u16string Upcase(std::u16string_view text);

// A legal NTFS name component: 1 to 255 characters, none of them a control
// character (below 0x20) or one of  " * / : < > ? \ |  , and not "." or "..".
// Trailing spaces and periods are legal: the Win32 layer strips them before
// a name reaches the NT namespace, and NTFS keeps what it is given. A colon
// would name an alternate data stream, which this volume does not have, so
// it is refused with the other invalid characters.
bool IsLegalComponent(std::u16string_view name);

// Splits a volume-relative path ("\a\b", "a\b" when relative, "\" for the
// root) into components. A trailing backslash is allowed and reported (the
// target must then be a directory); an empty component elsewhere ("\a\\b")
// or an illegal one is STATUS_OBJECT_NAME_INVALID.
NTSTATUS SplitPath(std::u16string_view path, std::vector<std::u16string>* components,
                   bool* trailingBackslash);

// A directory-search pattern: a name component in which the wildcards
// * ? < > " are allowed and which may be "." or "..".
bool IsLegalPattern(std::u16string_view pattern);
bool HasWildcards(std::u16string_view pattern);

// True when NTFS would give `name` a generated short name: it is not
// already a legal 8.3 name (case aside) without spaces.
bool NeedsShortName(std::u16string_view name);

// Pattern match with FsRtlIsNameInExpression (the pattern is upcased).
bool MatchesPattern(std::u16string_view upcasedPattern, std::u16string_view name);

}  // namespace sim::fs
