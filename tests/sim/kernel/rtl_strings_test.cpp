// Counted-string routines: copy and append limits, ordering, case-insensitive
// comparison beyond ASCII, and the verifier's reports of
// malformed strings.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "harness/strings.h"
#include "nt/ntstatus.h"
#include "nt/rtl.h"
#include "verifier/verifier.h"

namespace {

using sim::harness::FromUtf8;
using sim::harness::OwnedUnicodeString;
using sim::harness::ToU16;
using sim::harness::ToUtf8;

constexpr WCHAR kSentinel = 0x2A2A;

// A destination buffer of `capacity` characters, pre-filled with a sentinel
// so writes past Length (a NUL or an overrun) are visible.
struct Destination {
  explicit Destination(USHORT capacity, std::u16string initial = u"")
      : chars(capacity + 2, kSentinel) {
    EXPECT_LE(initial.size(), capacity);
    initial.resize(std::min<std::size_t>(initial.size(), capacity));
    for (std::size_t i = 0; i < initial.size(); ++i) chars[i] = static_cast<WCHAR>(initial[i]);
    string.Buffer = chars.data();
    string.Length = static_cast<USHORT>(initial.size() * sizeof(WCHAR));
    string.MaximumLength = static_cast<USHORT>(capacity * sizeof(WCHAR));
  }
  std::u16string Text() const { return ToU16(string); }
  std::vector<WCHAR>
      chars;  // never std::basic_string<WCHAR>: libstdc++ builds it for a 32-bit wchar_t
  UNICODE_STRING string{};
};

TEST(RtlInitUnicodeString, CountsCharactersAndLeavesRoomForTheNul) {
  UNICODE_STRING s;
  RtlInitUnicodeString(&s, L"abc");
  EXPECT_EQ(s.Length, 6);
  EXPECT_EQ(s.MaximumLength, 8);

  RtlInitUnicodeString(&s, nullptr);
  EXPECT_EQ(s.Length, 0);
  EXPECT_EQ(s.MaximumLength, 0);
  EXPECT_EQ(s.Buffer, nullptr);

  WCHAR buffer[4];
  RtlInitEmptyUnicodeString(&s, buffer, sizeof(buffer));
  EXPECT_EQ(s.Length, 0);
  EXPECT_EQ(s.MaximumLength, 8);
  EXPECT_EQ(s.Buffer, buffer);
}

TEST(RtlCopyUnicodeString, TruncatesToTheDestinationAndTerminatesWhenThereIsRoom) {
  struct Case {
    const char* source;
    USHORT capacity;  // characters
    const char* expected;
    bool terminated;
  };
  const Case cases[] = {
      {"abc", 8, "abc", true},
      {"abc", 3, "abc", false},  // exact fit: no room for the NUL, nothing written past it
      {"abcdef", 4, "abcd", false},
      {"", 2, "", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.source) + " into " + std::to_string(c.capacity));
    OwnedUnicodeString source{std::string_view(c.source)};
    Destination destination(c.capacity, std::u16string(c.capacity, u'z'));
    destination.string.Length = 0;
    RtlCopyUnicodeString(&destination.string, source);
    EXPECT_EQ(ToUtf8(destination.string), c.expected);
    const std::size_t next = destination.string.Length / sizeof(WCHAR);
    if (c.terminated) {
      EXPECT_EQ(destination.chars[next], UNICODE_NULL);
    } else {
      EXPECT_NE(destination.chars[next], UNICODE_NULL);
    }
  }

  Destination destination(4, u"abc");
  RtlCopyUnicodeString(&destination.string, nullptr);
  EXPECT_EQ(destination.string.Length, 0);
}

int Sign(LONG v) {
  return (v > 0) - (v < 0);
}

TEST(RtlCompareUnicodeString, OrdersByCharacterThenLength) {
  struct Case {
    const char* a;
    const char* b;
    int caseSensitive;
    int caseInsensitive;
  };
  const Case cases[] = {
      {"abc", "abd", -1, -1},
      {"abc", "ab", 1, 1},
      {"ab", "abc", -1, -1},
      {"", "", 0, 0},
      {"ABC", "abc", -1, 0},        // 'A' (0x41) sorts before 'a' (0x61)
      {"a", "B", 1, -1},            // case-insensitively 'A' < 'B'
      {"Straße", "STRASSE", 1, 1},  // sharp s has no one-character upper case
      {"äpfel", "ÄPFEL", 1, 0},
      {"\u03A3\u039F\u03A6\u038A\u0391", "\u03C3\u03BF\u03C6\u03AF\u03B1", -1, 0},  // ΣΟΦΊΑ, σοφία
      {"Москва", "МОСКВА", 1, 0},
      {"z", "ä", -1, -1},  // code-unit order, not a locale's collation
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
    OwnedUnicodeString a{std::string_view(c.a)}, b{std::string_view(c.b)};
    EXPECT_EQ(Sign(RtlCompareUnicodeString(a, b, FALSE)), c.caseSensitive);
    EXPECT_EQ(Sign(RtlCompareUnicodeString(a, b, TRUE)), c.caseInsensitive);
    EXPECT_EQ(RtlEqualUnicodeString(a, b, FALSE) != FALSE, c.caseSensitive == 0);
    EXPECT_EQ(RtlEqualUnicodeString(a, b, TRUE) != FALSE, c.caseInsensitive == 0);
  }
}

TEST(RtlAppendUnicodeStringToString, AppendsWhenItFitsAndLeavesTheDestinationAloneWhenNot) {
  struct Case {
    const char16_t* initial;
    const char* appended;
    USHORT capacity;
    NTSTATUS status;
    const char* expected;
    bool terminated;
  };
  const Case cases[] = {
      {u"ab", "cd", 8, STATUS_SUCCESS, "abcd", true},
      {u"ab", "cd", 4, STATUS_SUCCESS, "abcd", false},  // exact fit
      {u"ab", "cde", 4, STATUS_BUFFER_TOO_SMALL, "ab", false},
      {u"", "", 0, STATUS_SUCCESS, "", false},
      {u"ab", "", 2, STATUS_SUCCESS, "ab", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.appended) + " into " + std::to_string(c.capacity));
    for (bool counted : {true, false}) {
      Destination destination(c.capacity, c.initial);
      OwnedUnicodeString appended{std::string_view(c.appended)};
      const NTSTATUS status =
          counted ? RtlAppendUnicodeStringToString(&destination.string, appended)
                  : RtlAppendUnicodeToString(&destination.string,
                                             reinterpret_cast<PCWSTR>(appended.text().c_str()));
      EXPECT_EQ(status, c.status) << (counted ? "counted" : "terminated") << " source";
      EXPECT_EQ(ToUtf8(destination.string), c.expected);
      const std::size_t next = destination.string.Length / sizeof(WCHAR);
      EXPECT_EQ(destination.chars[next] == UNICODE_NULL, c.terminated);
      // Nothing was written beyond the destination's buffer.
      EXPECT_EQ(destination.chars[c.capacity], kSentinel);
    }
  }
  Destination destination(4, u"ab");  // a NULL source appends nothing
  EXPECT_EQ(RtlAppendUnicodeToString(&destination.string, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(ToUtf8(destination.string), "ab");
}

TEST(RtlStringChecks, MalformedStringsAreReportedNotTrusted) {
  WCHAR buffer[4] = {L'a', L'b', L'c', L'd'};
  UNICODE_STRING tooLong{8, 4, buffer};  // Length above MaximumLength
  UNICODE_STRING odd{3, 8, buffer};
  UNICODE_STRING noBuffer{4, 4, nullptr};
  Destination destination(2);

  EXPECT_EQ(RtlAppendUnicodeStringToString(&destination.string, &tooLong),
            STATUS_INVALID_PARAMETER);
  RtlCopyUnicodeString(&destination.string, &odd);
  EXPECT_FALSE(RtlEqualUnicodeString(&noBuffer, &noBuffer, TRUE));
  EXPECT_EQ(destination.string.Length, 0);

  const auto violations = sim::verifier::TakeViolations(sim::verifier::Check::String);
  ASSERT_EQ(violations.size(), 3u);
  EXPECT_NE(violations[0].message.find("above MaximumLength"), std::string::npos)
      << violations[0].message;
  EXPECT_NE(violations[1].message.find("odd Length"), std::string::npos) << violations[1].message;
  EXPECT_NE(violations[2].message.find("NULL Buffer"), std::string::npos) << violations[2].message;
}

}  // namespace
