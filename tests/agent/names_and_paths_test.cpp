// Name rules and path mapping: the DOS wildcard matcher (checked against
// the kernel's FsRtlIsNameInExpression), 8.3 recognition, case-insensitive
// comparison and the view/backend/server path map.
#include <ntifs.h>

#include "agent_test_support.h"
#include "harness/strings.h"
#include "name_pattern.h"
#include "short_names.h"
#include "text.h"
#include "view_paths.h"

namespace tavo::agent::testing {
namespace {

using sim::harness::ToUtf8;

struct PatternCase {
  const char16_t* pattern;
  const char16_t* name;
  bool matches;
};

const PatternCase kPatterns[] = {
    {u"*", u"anything.txt", true},
    {u"*.txt", u"notes.TXT", true},
    {u"*.txt", u"notes.txt.bak", false},
    {u"a?c", u"abc", true},
    {u"a?c", u"ac", false},
    {u"<.txt", u"a.b.txt", true},
    {u"<.txt", u"a.txt.doc", false},
    {u"<", u"a.b", false},  // it cannot take the last period
    {u"<", u"ab", true},
    {u"*.*", u"noextension", false},
    {u"<\"*", u"noextension", true},  // what Win32 "*.*" becomes
    {u">>>>>>>>\">>>", u"README", true},
    {u">>>>>>>>\">>>", u"README.TXT", true},
    {u">>>>>>>>\">>>", u"TOOLONGNAME.TXT", false},
    {u"file>", u"file", true},
    {u"file>", u"file1", true},
    {u"file>", u"file12", false},
    {u"a\"", u"a", true},
    {u"a\"", u"a.", true},
    {u"a\"b", u"a.b", true},
    {u"Report*", u"REPORT 2024.docx", true},
    {u"\u00e9t\u00e9*", u"\u00c9T\u00c9.txt", true},
    {u"", u"", true},
    {u"?", u"", false},
};

TEST(NamePattern, AgreesWithTheKernelsExpressionMatcher) {
  for (const PatternCase& c : kPatterns) {
    EXPECT_EQ(MatchesPattern(c.pattern, c.name), c.matches)
        << ToUtf8(c.pattern) << " vs " << ToUtf8(c.name);
    if (std::u16string(c.name).empty()) continue;
    // The same question put to FsRtlIsNameInExpression (upcased expression).
    sim::harness::OwnedUnicodeString expression(Upcase(c.pattern));
    sim::harness::OwnedUnicodeString name(std::u16string(c.name));
    EXPECT_EQ(FsRtlIsNameInExpression(expression.get(), name.get(), TRUE, nullptr) != FALSE,
              c.matches)
        << "kernel: " << ToUtf8(c.pattern) << " vs " << ToUtf8(c.name);
  }
}

TEST(NamePattern, ShortFormAndLegalNames) {
  struct {
    const char16_t* name;
    bool shortForm;
    bool legal;
  } cases[] = {
      {u"README", true, true},       {u"readme.txt", true, true},
      {u"ABCDEFGH.TXT", true, true}, {u"ABCDEFGHI.TXT", false, true},
      {u"A.TEXT", false, true},      {u"a b.txt", false, true},
      {u"a.b.c", false, true},       {u"A+B.TXT", false, true},
      {u"LONGRE~1.DOC", true, true}, {u".hidden", false, true},
      {u"\u00e9t\u00e9.txt", false, true}, {u"CONSOLE.txt", true, true},
      {u"COM10", true, true},        {u"a*b", false, false},
      {u"a:b", false, false},        {u"..", false, false},
      {u"", false, false},           {u"a\tb", false, false},
      {u"x.", false, false},  // Win32 strips trailing dots and spaces: unreachable names
      {u"x ", false, false},         {u"NUL", true, false},
      {u"con.txt", true, false},     {u"Com1", true, false},
      {u"LPT9.log", true, false},    {u"COM\u00b9", false, false},
      {u"CONIN$", true, false},     {u"aux .c", false, false},
      {u"COM0", true, false},        {u"LPT0.txt", true, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsShortFormName(c.name), c.shortForm) << ToUtf8(c.name);
    EXPECT_EQ(IsLegalComponent(c.name), c.legal) << ToUtf8(c.name);
  }
  EXPECT_TRUE(IsLegalComponent(std::u16string(255, u'a')));
  EXPECT_FALSE(IsLegalComponent(std::u16string(256, u'a')));
}

TEST(ShortNames, AFreeNumberKeepsTheNameWithinEightCharacters) {
  const std::set<std::u16string> taken = {u"QUARTE~1.DOC", u"QUARTE~2.DOC", u"README"};
  for (int i = 3; i <= 9; ++i) {
    EXPECT_EQ(FirstFreeShortName(u"QUARTE~" + std::u16string(1, u'0' + i) + u".DOC", taken),
              u"QUARTE~" + std::u16string(1, u'0' + i) + u".DOC");
  }
  EXPECT_EQ(ToUtf8(FirstFreeShortName(u"quarte~1.doc", taken)), "quarte~3.doc");
  std::set<std::u16string> nine = taken;
  for (int i = 3; i <= 9; ++i) nine.insert(u"QUARTE~" + std::u16string(1, u'0' + i) + u".DOC");
  EXPECT_EQ(ToUtf8(FirstFreeShortName(u"QUARTE~1.DOC", nine)), "QUART~10.DOC");
}

// A folder's short names are remembered only when the driver made one for
// every name asked; otherwise the next listing asks again.
TEST(ShortNames, AFailedOrIncompleteAnswerIsAskedAgain) {
  std::vector<std::optional<std::vector<std::u16string>>> answers = {
      std::nullopt, std::vector<std::u16string>{}, std::vector<std::u16string>{u"QUARTE~1.DOC"}};
  std::size_t asked = 0;
  ShortNameBook book([&](const std::vector<std::u16string>&) { return answers.at(asked++); });
  const std::vector<std::u16string> names = {u"quarterly report.doc"};
  EXPECT_TRUE(book.ForFolder(u"docs", names).empty());
  EXPECT_FALSE(book.LongNameOf(u"docs", u"QUARTE~1.DOC"));
  EXPECT_TRUE(book.ForFolder(u"docs", names).empty());
  EXPECT_EQ(book.ForFolder(u"docs", names).size(), 1u);
  EXPECT_EQ(asked, 3u);
  EXPECT_EQ(book.LongNameOf(u"docs", u"quarte~1.doc"), u"quarterly report.doc");
}

TEST(Text, CaseInsensitiveComparisonAndUtf8) {
  EXPECT_TRUE(
      EqualsIgnoreCase(u"\\Device\\HarddiskVolume3\\USERS", u"\\device\\harddiskvolume3\\users"));
  // Case pairs beyond Latin-1, as the volume folds them: Cyrillic, y with
  // diaeresis, the micro sign, final sigma, Armenian, Georgian.
  EXPECT_TRUE(EqualsIgnoreCase(u"\u0436\u00ff\u00b5\u03c2\u0561\u2d00",
                               u"\u0416\u0178\u039c\u03a3\u0531\u10a0"));
  EXPECT_FALSE(EqualsIgnoreCase(u"a", u"b"));
  EXPECT_TRUE(IsAtOrUnder(u"C\\Tavo\\x", u"c\\tavo"));
  EXPECT_TRUE(IsAtOrUnder(u"C\\Tavo", u"c\\tavo"));
  EXPECT_FALSE(IsAtOrUnder(u"C\\TavoSecondary\\x", u"c\\tavo"));
  EXPECT_FALSE(IsAtOrUnder(u"\\x", u""));  // a root not configured holds nothing
  const std::u16string mixed = u"r\u00e9sum\u00e9 \U0001F600.txt";
  EXPECT_EQ(FromUtf8(agent::ToUtf8(mixed)), mixed);
  EXPECT_EQ(agent::ToUtf8(u"\u00e9"), "\xC3\xA9");
  EXPECT_EQ(FromUtf8("\xFF"
                     "a"),
            u"\uFFFDa");
  // A high surrogate pairs only with a low one; U+E000 after it is a unit of its own.
  EXPECT_EQ(agent::ToUtf8(u"\xD83D\xE000"), "\xEF\xBF\xBD\xEE\x80\x80");
}

TEST(ViewPaths, MapsBetweenViewBackendAndServer) {
  ViewPaths paths({kView, kBackend, kSecondary});
  struct {
    std::u16string path;
    std::optional<std::u16string> server;
  } views[] = {
      {kView, u""},
      {std::u16string(kView) + u"\\", u""},
      {View(u"docs\\a.txt"), u"docs\\a.txt"},
      {Upcase(View(u"Docs\\A.txt")), u"DOCS\\A.TXT"},
      {std::u16string(kSecondary) + u"\\docs\\a.txt", u"docs\\a.txt"},
      {std::u16string(kView) + u"Other\\a.txt", std::nullopt},
      {u"\\Device\\HarddiskVolume3\\Windows\\notepad.exe", std::nullopt},
      {View(u"docs\\\\a.txt"), std::nullopt},
      {View(u".."), std::nullopt},
      {View(u"docs\\..\\..\\victim"), std::nullopt},
      {View(u".\\a.txt"), std::nullopt},
      {View(u"C:\\Windows"), std::nullopt},
      {View(u"a.txt:stream"), std::nullopt},
      {View(u"x/../../y"), std::nullopt},
      {View(u"docs\\NUL"), std::nullopt},
      {View(std::u16string(u"docs\0junk", 9)), std::nullopt},
      {View(std::u16string(kMaxPathChars, u'a')), std::nullopt},
  };
  for (const auto& c : views) {
    EXPECT_EQ(paths.ViewToServer(c.path), c.server) << ToUtf8(c.path);
  }
  EXPECT_EQ(paths.BackendToServer(Backend(u"docs\\a.txt")), u"docs\\a.txt");
  EXPECT_EQ(paths.BackendToServer(View(u"docs\\a.txt")), std::nullopt);
  EXPECT_EQ(paths.AnyToServer(View(u"docs\\a.txt")), u"docs\\a.txt");
  EXPECT_EQ(paths.ServerToBackend(u"docs\\a.txt"), Backend(u"docs\\a.txt"));
  EXPECT_EQ(paths.ServerToBackend(u""), kBackend);
  EXPECT_EQ(paths.ServerToView(u"x"), View(u"x"));
}

}  // namespace
}  // namespace tavo::agent::testing
