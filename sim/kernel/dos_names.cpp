// Short (8.3) names and path dissection: RtlGenerate8dot3Name,
// RtlIsNameLegalDOS8Dot3 and FsRtlDissectName.
//
// Short-name generation follows NTFS as publicly described: the long name,
// upper-cased, loses its leading periods and spaces, every other space and
// every period but the last; the characters a short name cannot hold
// (: ; , + = [ ]) become underscores. The extension is up to three characters
// after the last period. Successive calls with one context for colliding
// names give BASENA~1 ... BASENA~4, then switch to the first two characters,
// four hex digits of a checksum of the long name and ~1, ~2, ... (LO1A2B~1);
// the base shrinks as the number grows, and after a million attempts the
// routine gives up with STATUS_FILE_SYSTEM_LIMITATION.
//
// Choices where Windows documents nothing:
// - The checksum is a 16-bit fold of FNV-1a over the upcased long name
//   (Windows' exact function is not documented; only its shape matters).
// - Without AllowExtendedCharacters, characters outside 0x20-0x7F become '_';
//   with it, they are kept upcased (the simulation has no OEM code page).
//   The characters no file name may hold (controls, " * / < > ? \ |) are
//   dropped.
// - A long name left with no base characters starts straight away with the
//   checksum form.
// - RtlIsNameLegalDOS8Dot3 treats the OEM code page as ASCII: a character
//   above 0x7F cannot be converted, so the name is not a legal short name.
//   Neither part of a legal name may begin or end with a space.
#include <algorithm>
#include <string>

#include "kernel/rtl_string_checks.h"
#include "kernel/upcase_table.h"
#include "nt/ntstatus.h"
#include "nt/rtl.h"
#include "verifier/verifier.h"

// The documented layout.
static_assert(sizeof(GENERATE_NAME_CONTEXT) == 36);
static_assert(FIELD_OFFSET(GENERATE_NAME_CONTEXT, NameBuffer) == 4);
static_assert(FIELD_OFFSET(GENERATE_NAME_CONTEXT, ExtensionLength) == 20);
static_assert(FIELD_OFFSET(GENERATE_NAME_CONTEXT, LastIndexValue) == 32);

namespace sim::kernel {
namespace {

constexpr std::size_t kShortNameMaxChars = 12;
constexpr ULONG kMaxIndex = 999999;  // "~999999" still leaves a base character

// Characters a long name may hold but a short name may not.
bool BecomesUnderscore(char16_t c) {
  return c == u':' || c == u';' || c == u',' || c == u'+' || c == u'=' || c == u'[' || c == u']';
}

// Characters no file name may hold; dropped if they appear.
bool IsInvalidInAnyName(char16_t c) {
  return c < 0x20 || c == u'"' || c == u'*' || c == u'/' || c == u'<' || c == u'>' || c == u'?' ||
         c == u'\\' || c == u'|';
}

// The short-name form of one character of a long name, or 0 to drop it.
char16_t ShortNameChar(char16_t c, bool allowExtended) {
  if (c == u' ' || c == u'.' || IsInvalidInAnyName(c)) return 0;
  if (BecomesUnderscore(c)) return u'_';
  if (c > 0x7F && (!allowExtended || (c >= 0xD800 && c <= 0xDFFF))) return u'_';
  return static_cast<char16_t>(UpcaseChar(static_cast<WCHAR>(c)));
}

// No short name uses more of the base than the context can remember.
constexpr std::size_t kBaseCharsKept = RTL_NUMBER_OF(GENERATE_NAME_CONTEXT{}.NameBuffer);

struct ShortNameParts {
  std::u16string base;       // cleaned, at most kBaseCharsKept characters
  std::u16string extension;  // cleaned, at most three characters
};

ShortNameParts SplitLongName(std::u16string_view name, bool allowExtended) {
  std::size_t start = 0;
  while (start < name.size() && (name[start] == u'.' || name[start] == u' ')) ++start;
  name.remove_prefix(start);
  const std::size_t lastDot = name.rfind(u'.');
  const std::u16string_view basePart =
      lastDot == std::u16string_view::npos ? name : name.substr(0, lastDot);
  const std::u16string_view extensionPart =
      lastDot == std::u16string_view::npos ? std::u16string_view() : name.substr(lastDot + 1);
  ShortNameParts parts;
  for (char16_t c : basePart) {
    if (parts.base.size() == kBaseCharsKept) break;
    if (char16_t s = ShortNameChar(c, allowExtended)) parts.base += s;
  }
  for (char16_t c : extensionPart) {
    if (parts.extension.size() == 3) break;
    if (char16_t s = ShortNameChar(c, allowExtended)) parts.extension += s;
  }
  return parts;
}

USHORT Checksum(std::u16string_view name) {
  std::uint32_t hash = 2166136261u;
  for (char16_t c : name) {
    const auto unit = static_cast<std::uint16_t>(UpcaseChar(static_cast<WCHAR>(c)));
    hash = (hash ^ (unit & 0xFF)) * 16777619u;
    hash = (hash ^ (unit >> 8)) * 16777619u;
  }
  return static_cast<USHORT>((hash >> 16) ^ (hash & 0xFFFF));
}

// Does the context describe this long name's parts (a continued sequence)?
bool ContextMatches(const GENERATE_NAME_CONTEXT& context, const ShortNameParts& parts) {
  if (context.LastIndexValue == 0) return false;
  const std::size_t nameLength =
      std::min<std::size_t>(parts.base.size(), RTL_NUMBER_OF(context.NameBuffer));
  if (context.NameLength != nameLength) return false;
  for (std::size_t i = 0; i < nameLength; ++i) {
    if (static_cast<char16_t>(context.NameBuffer[i]) != parts.base[i]) return false;
  }
  const std::size_t extensionLength = parts.extension.empty() ? 0 : parts.extension.size() + 1;
  if (context.ExtensionLength != extensionLength) return false;
  for (std::size_t i = 1; i < extensionLength; ++i) {
    if (static_cast<char16_t>(context.ExtensionBuffer[i]) != parts.extension[i - 1]) return false;
  }
  return true;
}

void StartContext(GENERATE_NAME_CONTEXT& context, const ShortNameParts& parts) {
  context = GENERATE_NAME_CONTEXT{};
  context.NameLength = static_cast<UCHAR>(
      std::min<std::size_t>(parts.base.size(), RTL_NUMBER_OF(context.NameBuffer)));
  for (std::size_t i = 0; i < context.NameLength; ++i)
    context.NameBuffer[i] = static_cast<WCHAR>(parts.base[i]);
  if (!parts.extension.empty()) {
    context.ExtensionBuffer[0] = L'.';
    for (std::size_t i = 0; i < parts.extension.size(); ++i) {
      context.ExtensionBuffer[i + 1] = static_cast<WCHAR>(parts.extension[i]);
    }
    context.ExtensionLength = static_cast<ULONG>(parts.extension.size() + 1);
  }
}

std::u16string FormatShortName(const GENERATE_NAME_CONTEXT& context, const ShortNameParts& parts) {
  std::u16string suffix = u"~";
  for (char c : std::to_string(context.LastIndexValue)) suffix += static_cast<char16_t>(c);
  const std::size_t room = 8 - suffix.size();
  std::u16string head;
  if (context.CheckSumInserted) {
    static constexpr char16_t kHex[] = u"0123456789ABCDEF";
    std::u16string hex;
    for (int shift = 12; shift >= 0; shift -= 4) hex += kHex[(context.Checksum >> shift) & 0xF];
    const std::size_t baseChars =
        room > 4 ? std::min<std::size_t>({parts.base.size(), 2, room - 4}) : 0;
    head = parts.base.substr(0, baseChars) + hex.substr(0, std::min<std::size_t>(4, room));
  } else {
    head = parts.base.substr(0, std::min<std::size_t>(6, room));
  }
  std::u16string result = head + suffix;
  if (!parts.extension.empty()) result += u"." + parts.extension;
  return result;
}

}  // namespace
}  // namespace sim::kernel

using sim::kernel::CharsOf;
using sim::kernel::CheckUnicodeString;

extern "C" {

NTSTATUS NTAPI RtlGenerate8dot3Name(PCUNICODE_STRING Name, BOOLEAN AllowExtendedCharacters,
                                    PGENERATE_NAME_CONTEXT Context, PUNICODE_STRING Name8dot3) {
  if (!CheckUnicodeString(Name, "RtlGenerate8dot3Name", "Name") ||
      !CheckUnicodeString(Name8dot3, "RtlGenerate8dot3Name", "Name8dot3")) {
    return STATUS_INVALID_PARAMETER;
  }
  if (Name8dot3->MaximumLength < sim::kernel::kShortNameMaxChars * sizeof(WCHAR)) {
    sim::verifier::Report(sim::verifier::Check::String,
                          "RtlGenerate8dot3Name: Name8dot3 holds " +
                              std::to_string(Name8dot3->MaximumLength) +
                              " bytes; at least 24 are required");
    return STATUS_BUFFER_TOO_SMALL;
  }
  const auto longName = CharsOf(*Name);
  const auto parts = sim::kernel::SplitLongName(longName, AllowExtendedCharacters != FALSE);
  auto& context = *Context;

  if (!sim::kernel::ContextMatches(context, parts)) {
    sim::kernel::StartContext(context, parts);
    context.LastIndexValue = 1;
    if (parts.base.empty()) {
      context.CheckSumInserted = TRUE;
      context.Checksum = sim::kernel::Checksum(longName);
    }
  } else if (!context.CheckSumInserted && context.LastIndexValue == 4) {
    // Four plain attempts collided: switch to the checksum form.
    context.CheckSumInserted = TRUE;
    context.Checksum = sim::kernel::Checksum(longName);
    context.LastIndexValue = 1;
  } else if (context.LastIndexValue >= sim::kernel::kMaxIndex) {
    return STATUS_FILE_SYSTEM_LIMITATION;
  } else {
    ++context.LastIndexValue;
  }

  const std::u16string shortName = sim::kernel::FormatShortName(context, parts);
  std::copy(shortName.begin(), shortName.end(), reinterpret_cast<char16_t*>(Name8dot3->Buffer));
  Name8dot3->Length = static_cast<USHORT>(shortName.size() * sizeof(WCHAR));
  return STATUS_SUCCESS;
}

BOOLEAN NTAPI RtlIsNameLegalDOS8Dot3(PCUNICODE_STRING Name, POEM_STRING OemName,
                                     PBOOLEAN NameContainsSpaces) {
  if (!CheckUnicodeString(Name, "RtlIsNameLegalDOS8Dot3", "Name")) return FALSE;
  const auto name = CharsOf(*Name);
  if (name.empty() || name.size() > sim::kernel::kShortNameMaxChars) return FALSE;

  // Translate to the (ASCII) OEM code page, upper-cased.
  std::string oem;
  for (char16_t c : name) {
    if (c > 0x7F) return FALSE;
    oem += static_cast<char>(sim::kernel::UpcaseChar(static_cast<WCHAR>(c)));
  }
  if (OemName != nullptr) {
    if (OemName->MaximumLength < oem.size() || OemName->Buffer == nullptr) return FALSE;
    std::copy(oem.begin(), oem.end(), OemName->Buffer);
    OemName->Length = static_cast<USHORT>(oem.size());
  }

  const bool hasSpaces = oem.find(' ') != std::string::npos;
  auto result = [&](bool legal) -> BOOLEAN {
    if (legal && NameContainsSpaces != nullptr) *NameContainsSpaces = hasSpaces ? TRUE : FALSE;
    return legal ? TRUE : FALSE;
  };
  if (oem == "." || oem == "..") return result(true);

  for (char c : oem) {
    const char16_t unit = static_cast<unsigned char>(c);
    if (sim::kernel::IsInvalidInAnyName(unit) || sim::kernel::BecomesUnderscore(unit) ||
        c == 0x7F) {
      return result(false);
    }
  }
  const std::size_t dot = oem.find('.');
  const std::string base = oem.substr(0, dot);
  const std::string extension = dot == std::string::npos ? std::string() : oem.substr(dot + 1);
  if (base.empty() || base.size() > 8) return result(false);
  if (dot != std::string::npos && (extension.empty() || extension.size() > 3)) return result(false);
  if (extension.find('.') != std::string::npos) return result(false);
  for (const std::string* part : {&base, &extension}) {
    if (!part->empty() && (part->front() == ' ' || part->back() == ' ')) return result(false);
  }
  return result(true);
}

// A leading backslash is skipped; the first name runs to the next backslash,
// and the remainder starts after it. Both outputs point into Path's buffer.
VOID NTAPI FsRtlDissectName(UNICODE_STRING Path, PUNICODE_STRING FirstName,
                            PUNICODE_STRING RemainingName) {
  *FirstName = UNICODE_STRING{0, 0, nullptr};
  *RemainingName = UNICODE_STRING{0, 0, nullptr};
  if (!CheckUnicodeString(&Path, "FsRtlDissectName", "Path")) return;
  const auto path = CharsOf(Path);
  std::size_t start = !path.empty() && path.front() == u'\\' ? 1 : 0;
  std::size_t end = path.find(u'\\', start);
  if (end == std::u16string_view::npos) end = path.size();
  auto slice = [&](std::size_t from, std::size_t to) {
    const auto bytes = static_cast<USHORT>((to - from) * sizeof(WCHAR));
    return UNICODE_STRING{bytes, bytes, Path.Buffer + from};
  };
  if (end > start) *FirstName = slice(start, end);
  if (end + 1 < path.size()) *RemainingName = slice(end + 1, path.size());
}

}  // extern "C"
