// Counted UTF-16 strings (UNICODE_STRING) the driver owns or borrows.
#pragma once

#include <fltKernel.h>

#include "pool.h"

namespace tavo {

// A UNICODE_STRING over a literal, for names fixed in the code.
template <USHORT N>
constexpr UNICODE_STRING LiteralString(const WCHAR (&text)[N]) {
  return UNICODE_STRING{static_cast<USHORT>((N - 1) * sizeof(WCHAR)),
                        static_cast<USHORT>(N * sizeof(WCHAR)), const_cast<PWCH>(text)};
}

// A UNICODE_STRING over `bytes` bytes of `text` (no terminator needed).
inline UNICODE_STRING BorrowString(const WCHAR* text, USHORT bytes) {
  return UNICODE_STRING{bytes, bytes, const_cast<PWCH>(text)};
}

// Number of characters before the first NUL in `text`, looking at no more
// than `maxChars` characters.
inline ULONG BoundedLength(const WCHAR* text, ULONG maxChars) {
  ULONG length = 0;
  while (length < maxChars && text[length] != L'\0') ++length;
  return length;
}

inline bool EqualIgnoringCase(const UNICODE_STRING& a, const UNICODE_STRING& b) {
  return RtlEqualUnicodeString(&a, &b, TRUE) != FALSE;
}

// A counted string with its own zeroed pool buffer of a fixed maximum length.
class OwnedString {
 public:
  OwnedString() = default;
  OwnedString(const OwnedString&) = delete;
  OwnedString& operator=(const OwnedString&) = delete;
  OwnedString(OwnedString&& other) noexcept : string_(other.string_) { other.string_ = {}; }
  OwnedString& operator=(OwnedString&& other) noexcept {
    if (this != &other) {
      Reset();
      string_ = other.string_;
      other.string_ = {};
    }
    return *this;
  }
  ~OwnedString() { Reset(); }

  // An empty string able to hold maximumBytes bytes; empty (no buffer) when
  // pool is short.
  [[nodiscard]] static OwnedString WithCapacity(POOL_TYPE poolType, USHORT maximumBytes) {
    OwnedString owned;
    owned.string_.Buffer = static_cast<PWCH>(AllocateZeroed(poolType, maximumBytes));
    if (owned.string_.Buffer != nullptr) owned.string_.MaximumLength = maximumBytes;
    return owned;
  }

  // A copy of `source` in a buffer of maximumBytes bytes (at least the
  // source's length); no buffer when pool is short.
  [[nodiscard]] static OwnedString CopyOf(POOL_TYPE poolType, const UNICODE_STRING& source,
                                          USHORT maximumBytes) {
    if (maximumBytes < source.Length) maximumBytes = source.Length;
    OwnedString owned = WithCapacity(poolType, maximumBytes);
    if (owned.HasBuffer()) RtlCopyUnicodeString(&owned.string_, &source);
    return owned;
  }

  bool HasBuffer() const { return string_.Buffer != nullptr; }
  const UNICODE_STRING& Get() const { return string_; }
  UNICODE_STRING& Get() { return string_; }
  UNICODE_STRING* operator->() { return &string_; }

  // Gives the buffer to a record that frees it itself.
  [[nodiscard]] UNICODE_STRING Release() {
    UNICODE_STRING string = string_;
    string_ = {};
    return string;
  }

  void Reset() {
    FreePool(string_.Buffer);
    string_ = {};
  }

 private:
  UNICODE_STRING string_{};
};

// Frees the buffer of a counted string that a record owns, leaving it empty.
inline void FreeStringBuffer(UNICODE_STRING& string) {
  FreePool(string.Buffer);
  string = {};
}

// A NUL-terminated form of a counted string's characters: the terminator is
// written in place when the buffer has room after the characters, else they
// are copied with one. Chars() is null when pool was short for the copy.
class TerminatedName {
 public:
  explicit TerminatedName(UNICODE_STRING& name) {
    if (name.MaximumLength > name.Length) {
      name.Buffer[name.Length / sizeof(WCHAR)] = L'\0';
      chars_ = name.Buffer;
      return;
    }
    copy_ = PoolBuffer::Allocate(NonPagedPool, name.Length + sizeof(WCHAR));
    if (!copy_) return;
    if (name.Length != 0) RtlCopyMemory(copy_.Data(), name.Buffer, name.Length);
    chars_ = copy_.As<WCHAR>();
  }
  TerminatedName(const TerminatedName&) = delete;
  TerminatedName& operator=(const TerminatedName&) = delete;
  PWCH Chars() const { return chars_; }

 private:
  PoolBuffer copy_;
  PWCH chars_ = nullptr;
};

}  // namespace tavo
