// File-name rules of the volume (see names.h).
#include "fs/names.h"

#include "kernel/upcase_table.h"

namespace sim::fs {
namespace {

bool IsIllegalChar(char16_t c) {
  if (c < 0x20) return true;
  switch (c) {
    case u'"':
    case u'*':
    case u'/':
    case u':':
    case u'<':
    case u'>':
    case u'?':
    case u'\\':
    case u'|':
      return true;
    default:
      return false;
  }
}

bool IsWildcard(char16_t c) {
  return c == u'*' || c == u'?' || c == u'<' || c == u'>' || c == u'"';
}

UNICODE_STRING View(std::u16string_view text) {
  UNICODE_STRING s;
  s.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
  s.MaximumLength = s.Length;
  s.Buffer = reinterpret_cast<PWCH>(const_cast<char16_t*>(text.data()));
  return s;
}

}  // namespace

std::u16string Upcase(std::u16string_view text) {
  std::u16string out(text);
  for (auto& c : out) c = static_cast<char16_t>(kernel::UpcaseChar(static_cast<WCHAR>(c)));
  return out;
}

bool IsLegalComponent(std::u16string_view name) {
  if (name.empty() || name.size() > kMaxComponentChars) return false;
  if (name == u"." || name == u"..") return false;
  for (char16_t c : name) {
    if (IsIllegalChar(c)) return false;
  }
  return true;
}

NTSTATUS SplitPath(std::u16string_view path, std::vector<std::u16string>* components,
                   bool* trailingBackslash) {
  components->clear();
  *trailingBackslash = false;
  if (!path.empty() && path.front() == u'\\') path.remove_prefix(1);
  if (path.empty()) return STATUS_SUCCESS;
  if (path.back() == u'\\') {
    *trailingBackslash = true;
    path.remove_suffix(1);
  }
  while (true) {
    const auto slash = path.find(u'\\');
    const auto part = path.substr(0, slash);
    if (!IsLegalComponent(part)) return STATUS_OBJECT_NAME_INVALID;
    components->emplace_back(part);
    if (slash == std::u16string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return STATUS_SUCCESS;
}

bool IsLegalPattern(std::u16string_view pattern) {
  if (pattern.empty() || pattern.size() > kMaxComponentChars) return false;
  for (char16_t c : pattern) {
    if (IsWildcard(c)) continue;
    if (IsIllegalChar(c)) return false;
  }
  return true;
}

bool HasWildcards(std::u16string_view pattern) {
  for (char16_t c : pattern) {
    if (IsWildcard(c)) return true;
  }
  return false;
}

bool NeedsShortName(std::u16string_view name) {
  UNICODE_STRING s = View(name);
  BOOLEAN spaces = FALSE;
  return !RtlIsNameLegalDOS8Dot3(&s, nullptr, &spaces) || spaces;
}

bool MatchesPattern(std::u16string_view upcasedPattern, std::u16string_view name) {
  UNICODE_STRING expression = View(upcasedPattern);
  UNICODE_STRING candidate = View(name);
  return FsRtlIsNameInExpression(&expression, &candidate, TRUE, nullptr) != FALSE;
}

}  // namespace sim::fs
