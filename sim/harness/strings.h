// Counted-string helpers for tests and tools: build a UNICODE_STRING over a
// std::u16string, and convert UTF-16 <-> UTF-8 for assertions and messages.
// WCHAR is a 16-bit wchar_t here, so never hand these strings to libc wcs*,
// std::wstring streams or GoogleTest's wide printers; compare as
// std::u16string and print as UTF-8.
#pragma once

#include <string>
#include <string_view>

#include "nt/ntdef.h"

namespace sim::harness {

// A UNICODE_STRING that points into `text` (which must outlive it and must
// not be resized). MaximumLength covers the terminating NUL the string holds.
inline UNICODE_STRING MakeUnicodeString(std::u16string& text) {
  UNICODE_STRING s;
  s.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
  s.MaximumLength = static_cast<USHORT>(s.Length + sizeof(WCHAR));
  s.Buffer = reinterpret_cast<PWCH>(text.data());
  return s;
}

// The characters of a counted string (Length bytes; no NUL needed).
inline std::u16string ToU16(const UNICODE_STRING& s) {
  if (s.Buffer == nullptr) return {};
  return std::u16string(reinterpret_cast<const char16_t*>(s.Buffer), s.Length / sizeof(WCHAR));
}

// The characters of a NUL-terminated WCHAR string (e.g. an L"..." literal).
inline std::u16string ToU16(const WCHAR* text) {
  return text == nullptr ? std::u16string()
                         : std::u16string(reinterpret_cast<const char16_t*>(text));
}

// UTF-16 -> UTF-8. An unpaired surrogate becomes U+FFFD.
std::string ToUtf8(std::u16string_view text);
inline std::string ToUtf8(const UNICODE_STRING& s) {
  return ToUtf8(ToU16(s));
}

// UTF-8 -> UTF-16. A malformed sequence becomes U+FFFD.
std::u16string FromUtf8(std::string_view text);

// A UNICODE_STRING that owns its characters (a NUL follows them). Handy for
// inputs built from UTF-8: `OwnedUnicodeString name("\\dir\\file.txt");`,
// then pass `name` (it converts to PUNICODE_STRING) or `name.get()`.
class OwnedUnicodeString {
 public:
  explicit OwnedUnicodeString(std::u16string text) : text_(std::move(text)) { Rebind(); }
  explicit OwnedUnicodeString(std::string_view utf8) : text_(FromUtf8(utf8)) { Rebind(); }
  OwnedUnicodeString(const OwnedUnicodeString& other) : text_(other.text_) { Rebind(); }
  OwnedUnicodeString& operator=(const OwnedUnicodeString& other) {
    text_ = other.text_;
    Rebind();
    return *this;
  }

  PUNICODE_STRING get() { return &string_; }
  operator PUNICODE_STRING() { return &string_; }
  const UNICODE_STRING& operator*() const { return string_; }
  const std::u16string& text() const { return text_; }

 private:
  void Rebind() { string_ = MakeUnicodeString(text_); }
  std::u16string text_;
  UNICODE_STRING string_{};
};

}  // namespace sim::harness
