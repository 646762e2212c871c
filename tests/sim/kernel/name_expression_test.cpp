// FsRtlIsNameInExpression with '*', '?' and the DOS wildcards, case rules and
// an explicit upcase table; FsRtlDoesNameContainWildCards.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness/strings.h"
#include "nt/rtl.h"
#include "verifier/verifier.h"

namespace {

using sim::harness::OwnedUnicodeString;

bool Matches(std::string_view expression, std::string_view name, bool ignoreCase,
             PWCH upcaseTable = nullptr) {
  OwnedUnicodeString e(expression), n(name);
  return FsRtlIsNameInExpression(e, n, ignoreCase ? TRUE : FALSE, upcaseTable) != FALSE;
}

struct Case {
  const char* expression;
  const char* name;
  bool matches;
};

// Case-sensitive rows (case rules are below). The rows the agent's matcher
// shares (tests/agent/names_and_paths_test.cpp) are put to this routine
// there too, upcased, and are not repeated here.
TEST(FsRtlIsNameInExpression, Wildcards) {
  const Case cases[] = {
      // '*' and '?'
      {"*", "", false},  // documented: "*" does not match an empty name
      {"", "", true},
      {"", "a", false},
      {"abc", "abcd", false},
      {"???", "ab", false},
      {"*.txt", ".txt", true},
      {"*.*", "a.b", true},
      {"a*b*c", "aXXbYYc", true},
      {"a*b*c", "aXXcYYb", false},
      {"*a", "bbba", true},
      {"**", "x", true},
      // '<' (DOS_STAR) stops at the last period
      {"<.TXT", "TXT", false},
      {"<.TXT", ".TXT", true},
      {"<.<", "A.B.C", true},  // "A.B", the last period, then "C"
      {"<\"*", "A.B.C", true},  // "*.*" as the Win32 layer passes it: every name
      {"<\"", "ABC", true},     // "*.": names without an extension
      {"<\"", "A.B", false},
      {"<\"", "A.", true},
      // '>' (DOS_QM) stops at a period or the end
      {">>>>>>>>\">>>", "ABCDEFGH.IJK", true},
      {">>>>>>>>\">>>", "ABCDEFGHI", false},
      {">>>>>>>>\">>>", "ABC.DEFG", false},
      {">", "AB", false},
      {">>.TXT", "A.TXT", true},
      {">.TXT", ".TXT", true},
      {">", ".", false},  // '>' matches nothing at the period, which is left over
      // '"' (DOS_DOT) is a period, or nothing at the end
      {"FOO\"*", "FOO.BAR", true},
      {"FOO\"*", "FOO", true},
      {"A\"B", "AB", false},  // zero characters only at the end of the name
      {"A\"", "AX", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Matches(c.expression, c.name, false), c.matches)
        << "expression '" << c.expression << "' name '" << c.name << "'";
  }
}

TEST(FsRtlIsNameInExpression, CaseRules) {
  EXPECT_TRUE(Matches("ABC", "abc", true));
  EXPECT_FALSE(Matches("ABC", "abc", false));
  // The expression must already be upcased: a lower-case one never matches,
  // and the verifier says why.
  EXPECT_FALSE(Matches("abc", "abc", true));
  auto violations = sim::verifier::TakeViolations(sim::verifier::Check::String);
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_NE(violations[0].message.find("not upper case"), std::string::npos)
      << violations[0].message;
  EXPECT_TRUE(Matches("ÄRGER*.TXT", "ärgerlich.txt", true));
  EXPECT_TRUE(Matches("\u03A3\u039F\u03A6\u038A\u0391", "\u03C3\u03BF\u03C6\u03AF\u03B1",
                      true));  // ΣΟΦΊΑ, σοφία
  EXPECT_TRUE(Matches("*Я", "моя", true));

  // An explicit table replaces the system one: with an ASCII-only table,
  // 'ä' stays lower case and no longer matches 'Ä'.
  std::vector<WCHAR> asciiOnly(0x10000);
  for (unsigned c = 0; c < 0x10000; ++c)
    asciiOnly[c] = static_cast<WCHAR>(c >= 'a' && c <= 'z' ? c - 32 : c);
  EXPECT_TRUE(Matches("ABC", "abc", true, asciiOnly.data()));
  EXPECT_FALSE(Matches("ÄBC", "äbc", true, asciiOnly.data()));
}

TEST(FsRtlIsNameInExpression, SwappedArgumentsAreReported) {
  EXPECT_FALSE(Matches("file.txt", "*.txt", false));
  const auto violations = sim::verifier::TakeViolations(sim::verifier::Check::String);
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_NE(violations[0].message.find("contains wildcards"), std::string::npos)
      << violations[0].message;
}

// The set-of-positions match is linear in the name for a fixed pattern; a
// backtracking matcher takes exponential time here and the test times out.
TEST(FsRtlIsNameInExpression, PathologicalPatternsStayFast) {
  const std::string name(2000, 'A');
  EXPECT_FALSE(Matches("*A*A*A*A*A*A*A*A*A*A*A*A*B", name, false));
  EXPECT_TRUE(Matches("*A*A*A*A*A*A*A*A*A*A*A*A*A", name, false));
  EXPECT_FALSE(Matches("<A<A<A<A<A<A<A<A<A<A<A<B", name, false));
  EXPECT_FALSE(Matches(std::string(200, '*') + "B", name, false));
}

TEST(FsRtlDoesNameContainWildCards, FindsEveryWildcardCharacter) {
  const Case cases[] = {
      {"", "", false},     {"file.txt", "", false}, {"\\dir\\file", "", false},
      {"*.txt", "", true}, {"fil?", "", true},      {"a<b", "", true},
      {"a>b", "", true},   {"a\"b", "", true},      {"[x].txt", "", false},
  };
  for (const auto& c : cases) {
    OwnedUnicodeString name{std::string_view(c.expression)};
    EXPECT_EQ(FsRtlDoesNameContainWildCards(name) != FALSE, c.matches) << c.expression;
  }
}

}  // namespace
