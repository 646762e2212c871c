// Unicode case mapping: the simple upper-case mapping of the whole Basic
// Multilingual Plane, not only ASCII, and the pool tag of Rtl string buffers.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "harness/strings.h"
#include "kernel/upcase_table.h"
#include "nt/ex.h"
#include "nt/ntstatus.h"
#include "nt/rtl.h"
#include "verifier/verifier.h"

namespace {

std::string Hex(unsigned c) {
  char text[8];
  std::snprintf(text, sizeof(text), "U+%04X", c);
  return text;
}

TEST(RtlUpcaseUnicodeChar, MapsLettersOfEveryScriptToTheirSimpleUpperCase) {
  struct Case {
    char16_t from;
    char16_t to;
  };
  const Case cases[] = {
      {u'a', u'A'},
      {u'z', u'Z'},
      {u'A', u'A'},
      {u'1', u'1'},
      {u'\\', u'\\'},
      {u'ä', u'Ä'},
      {u'é', u'É'},
      {u'ÿ', u'\u0178'},
      {u'µ', u'\u039C'},
      {u'α', u'Α'},
      {u'ω', u'Ω'},
      {u'ς', u'Σ'},
      {u'я', u'Я'},
      {u'ё', u'Ё'},
      {u'ǆ', u'Ǆ'},
      {u'ǅ', u'Ǆ'},
      {u'ı', u'I'},
      {u'ᾳ', u'ᾼ'},
      {u'ｚ', u'Ｚ'},
      {u'ⓐ', u'Ⓐ'},
      {u'ա', u'Ա'},
      {u'ა', u'\u1C90'},  // Georgian Mkhedruli to Mtavruli (Unicode 11 and later)
      // No simple upper case: unchanged.
      {u'ß', u'ß'},
      {u'ŉ', u'ŉ'},
      {u'ﬁ', u'ﬁ'},
      {u'中', u'中'},
      {char16_t{0xD800}, char16_t{0xD800}},
      {char16_t{0xDC00}, char16_t{0xDC00}},  // surrogates
  };
  for (const auto& c : cases) {
    EXPECT_EQ(static_cast<unsigned>(RtlUpcaseUnicodeChar(static_cast<WCHAR>(c.from))),
              static_cast<unsigned>(c.to))
        << Hex(c.from);
  }
}

// Properties of the whole table: a mapped character is a fixed point, the
// expanded table agrees with the routine, and the mapping covers the plane
// (a table limited to ASCII or Latin-1 maps far fewer characters).
TEST(UpcaseTable, IsConsistentAcrossThePlane) {
  const WCHAR* table = sim::kernel::FullUpcaseTable();
  unsigned mapped = 0;
  for (unsigned c = 0; c < 0x10000; ++c) {
    const WCHAR upper = RtlUpcaseUnicodeChar(static_cast<WCHAR>(c));
    ASSERT_EQ(table[c], upper) << Hex(c);
    ASSERT_EQ(RtlUpcaseUnicodeChar(upper), upper)
        << Hex(c) << " upcases to " << Hex(upper) << ", which changes again";
    if (upper != static_cast<WCHAR>(c)) ++mapped;
  }
  EXPECT_GT(mapped, 1000u);
  EXPECT_LT(mapped, 1500u);
  EXPECT_STREQ(sim::kernel::upcase_data::kUnicodeVersion, "14.0.0");
}

// The pool tag of Rtl string buffers, "Strg".
constexpr ULONG kRtlStringTag = 'S' | ('t' << 8) | ('r' << 16) | (static_cast<ULONG>('g') << 24);

TEST(RtlFreeUnicodeString, ABufferTheRtlDidNotAllocateIsAWrongTagFree) {
  constexpr ULONG kDriverTag = 'T' | ('a' << 8) | ('v' << 16) | (static_cast<ULONG>('o') << 24);
  UNICODE_STRING s{0, 16, static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, 16, kDriverTag))};
  ASSERT_NE(s.Buffer, nullptr);
  RtlFreeUnicodeString(&s);
  const auto violations = sim::verifier::TakeViolations(sim::verifier::Check::PoolWrongTag);
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_NE(violations[0].message.find("Strg"), std::string::npos) << violations[0].message;
}

}  // namespace
