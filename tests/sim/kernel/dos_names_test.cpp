// Short names: generation sequences for colliding long names, the cleanup of
// a long name into 8.3 form, legality of short names, and FsRtlDissectName.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

#include "harness/strings.h"
#include "nt/ntstatus.h"
#include "nt/rtl.h"
#include "verifier/verifier.h"

namespace {

using sim::harness::OwnedUnicodeString;
using sim::harness::ToUtf8;

// Calls RtlGenerate8dot3Name `count` times with one context, as a file
// system does while each generated name collides.
std::vector<std::string> Generate(std::string_view longName, int count,
                                  bool allowExtended = false) {
  OwnedUnicodeString name(longName);
  GENERATE_NAME_CONTEXT context{};
  std::vector<std::string> result;
  for (int i = 0; i < count; ++i) {
    WCHAR buffer[12];
    UNICODE_STRING shortName{0, sizeof(buffer), buffer};
    EXPECT_EQ(RtlGenerate8dot3Name(name, allowExtended, &context, &shortName), STATUS_SUCCESS);
    result.push_back(ToUtf8(shortName));
  }
  return result;
}

TEST(RtlGenerate8dot3Name, CollisionsCountToFourThenSwitchToTheChecksumForm) {
  const auto names = Generate("LongFileName.txt", 7);
  EXPECT_EQ(names[0], "LONGFI~1.TXT");
  EXPECT_EQ(names[1], "LONGFI~2.TXT");
  EXPECT_EQ(names[2], "LONGFI~3.TXT");
  EXPECT_EQ(names[3], "LONGFI~4.TXT");
  const std::regex checksumForm("LO[0-9A-F]{4}~1\\.TXT");
  EXPECT_TRUE(std::regex_match(names[4], checksumForm)) << names[4];
  // The checksum stays; the index counts on.
  EXPECT_EQ(names[5], names[4].substr(0, 6) + "~2.TXT");
  EXPECT_EQ(names[6], names[4].substr(0, 6) + "~3.TXT");

  // The checksum comes from the whole long name: names that share their
  // first characters part ways there.
  const auto other = Generate("LongFileNameOther.txt", 5);
  EXPECT_EQ(other[0], "LONGFI~1.TXT");
  EXPECT_NE(other[4], names[4]);
}

TEST(RtlGenerate8dot3Name, CleansTheLongNameIntoEightDotThree) {
  struct Case {
    const char* longName;
    bool allowExtended;
    const char* shortName;
  };
  const Case cases[] = {
      {"my document.docx", false, "MYDOCU~1.DOC"},
      {"lower.txt", false, "LOWER~1.TXT"},
      {"ab.c", false, "AB~1.C"},
      {"noextension", false, "NOEXTE~1"},
      {"x.verylongext", false, "X~1.VER"},
      {"file.name.with.dots.html", false, "FILENA~1.HTM"},  // only the last period counts
      {".gitignore", false, "GITIGN~1"},                    // leading periods are skipped
      {"..hidden.tar.gz", false, "HIDDEN~1.GZ"},
      {"  spaced  name .txt", false, "SPACED~1.TXT"},
      {"a+b=c[1];d,e.txt", false, "A_B_C_~1.TXT"},
      {"semi;colon.t;t", false, "SEMI_C~1.T_T"},
      {"trailing.", false, "TRAILI~1"},
      {"résumé.txt", false, "R_SUM_~1.TXT"},
      {"résumé.txt", true, "RÉSUMÉ~1.TXT"},
      {"\u03A9\u03BC\u03AD\u03B3\u03B1.doc", true,
       "\u03A9\u039C\u0388\u0393\u0391~1.DOC"},  // Ωμέγα
      {"日本語のファイル.txt", false, "______~1.TXT"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Generate(c.longName, 1, c.allowExtended)[0], c.shortName)
        << c.longName << (c.allowExtended ? " (extended)" : "");
  }
}

TEST(RtlGenerate8dot3Name, ANameWithNoUsableBaseStartsWithTheChecksum) {
  const auto names = Generate("....", 2);
  const std::regex checksumOnly("[0-9A-F]{4}~1");
  EXPECT_TRUE(std::regex_match(names[0], checksumOnly)) << names[0];
  EXPECT_EQ(names[1], names[0].substr(0, 4) + "~2");
}

TEST(RtlGenerate8dot3Name, AContextReusedForAnotherNameStartsAgain) {
  GENERATE_NAME_CONTEXT context{};
  WCHAR buffer[12];
  UNICODE_STRING shortName{0, sizeof(buffer), buffer};
  OwnedUnicodeString first("first long name.txt"), second("second long name.txt");
  ASSERT_EQ(RtlGenerate8dot3Name(first, FALSE, &context, &shortName), STATUS_SUCCESS);
  ASSERT_EQ(RtlGenerate8dot3Name(first, FALSE, &context, &shortName), STATUS_SUCCESS);
  EXPECT_EQ(ToUtf8(shortName), "FIRSTL~2.TXT");
  ASSERT_EQ(RtlGenerate8dot3Name(second, FALSE, &context, &shortName), STATUS_SUCCESS);
  EXPECT_EQ(ToUtf8(shortName), "SECOND~1.TXT");
}

// A long run of collisions: every name is distinct and a valid 8.3 name, the
// base shrinks as the number grows, and the routine gives up after a
// million attempts.
TEST(RtlGenerate8dot3Name, ManyCollisionsStayDistinctUntilTheLimit) {
  OwnedUnicodeString name("collision test.dat");
  GENERATE_NAME_CONTEXT context{};
  WCHAR buffer[12];
  UNICODE_STRING shortName{0, sizeof(buffer), buffer};
  std::set<std::u16string> seen;
  const std::regex shape("[A-Z0-9]{1,6}~[0-9]{1,6}\\.DAT");
  NTSTATUS status = STATUS_SUCCESS;
  int calls = 0;
  while ((status = RtlGenerate8dot3Name(name, FALSE, &context, &shortName)) == STATUS_SUCCESS) {
    ++calls;
    const std::u16string text = sim::harness::ToU16(shortName);
    if (calls <= 200 || calls % 10000 == 0) {
      ASSERT_TRUE(std::regex_match(ToUtf8(text), shape)) << ToUtf8(text);
      ASSERT_LE(text.find(u'.'), 8u);
      ASSERT_TRUE(seen.insert(text).second) << "repeated " << ToUtf8(text);
    }
    ASSERT_LE(calls, 1100000) << "never gave up";
  }
  EXPECT_EQ(status, STATUS_FILE_SYSTEM_LIMITATION);
  EXPECT_GE(calls, 999999);
}

TEST(RtlGenerate8dot3Name, ASmallOutputBufferIsReported) {
  OwnedUnicodeString name("some long name.txt");
  GENERATE_NAME_CONTEXT context{};
  WCHAR buffer[8];
  UNICODE_STRING shortName{0, sizeof(buffer), buffer};
  EXPECT_EQ(RtlGenerate8dot3Name(name, FALSE, &context, &shortName), STATUS_BUFFER_TOO_SMALL);
  const auto violations = sim::verifier::TakeViolations(sim::verifier::Check::String);
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_NE(violations[0].message.find("at least 24"), std::string::npos) << violations[0].message;
}

TEST(RtlIsNameLegalDOS8Dot3, AcceptsOnlyWellFormedShortNames) {
  struct Case {
    const char* name;
    bool spaces;
    const char* oem;  // the upper-cased OEM form
  };
  const Case legal[] = {
      {"FILE.TXT", false, "FILE.TXT"},
      {"file.txt", false, "FILE.TXT"},
      {"ABCDEFGH.TXT", false, "ABCDEFGH.TXT"},
      {"ABC", false, "ABC"},
      {"A", false, "A"},
      {"A B.TXT", true, "A B.TXT"},
      {"A~1.T_T", false, "A~1.T_T"},
      {".", false, "."},
      {"..", false, ".."},
  };
  for (const auto& c : legal) {
    SCOPED_TRACE(c.name);
    OwnedUnicodeString name{std::string_view(c.name)};
    CHAR oemBuffer[12];
    OEM_STRING oem{0, sizeof(oemBuffer), oemBuffer};
    BOOLEAN spaces = 2;
    EXPECT_TRUE(RtlIsNameLegalDOS8Dot3(name, &oem, &spaces));
    EXPECT_TRUE(RtlIsNameLegalDOS8Dot3(name, nullptr, nullptr));
    EXPECT_EQ(spaces != FALSE, c.spaces);
    EXPECT_EQ(std::string(oem.Buffer, oem.Length), c.oem);
  }
  for (const char* illegal : {"",        "...",    "ABCDEFGHI", "TOOLONGNAME.TXT",
                              "A.TEXT",  "A.B.C",  ".TXT",      "ABC.",
                              "AB .TXT", "AB. TX", "ABC ",      "A+B",
                              "A[1]",    "A;B",    "A,B",       "A=B",
                              "A*B",     "A?B",    "A\\B",      "é.TXT"}) {
    OwnedUnicodeString name{std::string_view(illegal)};
    CHAR oemBuffer[12];
    OEM_STRING oem{0, sizeof(oemBuffer), oemBuffer};
    BOOLEAN spaces = 2;
    EXPECT_FALSE(RtlIsNameLegalDOS8Dot3(name, &oem, &spaces)) << illegal;
    EXPECT_FALSE(RtlIsNameLegalDOS8Dot3(name, nullptr, nullptr)) << illegal;
  }
}

TEST(FsRtlDissectName, SplitsOffTheFirstName) {
  struct Case {
    const char* path;
    const char* first;
    const char* remaining;
  };
  const Case cases[] = {
      {"", "", ""},
      {"A", "A", ""},
      {"A\\B\\C\\D\\E", "A", "B\\C\\D\\E"},
      {"*A?", "*A?", ""},
      {"\\A", "A", ""},
      {"A[,]", "A[,]", ""},
      {"A\\\\B+;\\C", "A", "\\B+;\\C"},
      {"\\A\\B", "A", "B"},
      {"\\A\\", "A", ""},
      {"A\\", "A", ""},
      {"\\", "", ""},
      {"\\\\A", "", "A"},  // only the first backslash is skipped
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    OwnedUnicodeString path{std::string_view(c.path)};
    UNICODE_STRING first, remaining;
    FsRtlDissectName(*path, &first, &remaining);
    EXPECT_EQ(ToUtf8(first), c.first);
    EXPECT_EQ(ToUtf8(remaining), c.remaining);
    // Both point into the path's buffer.
    const PWCH begin = path.get()->Buffer;
    const PWCH end = begin + path.get()->Length / sizeof(WCHAR);
    for (const UNICODE_STRING* part : {&first, &remaining}) {
      if (part->Length == 0) continue;
      EXPECT_GE(part->Buffer, begin);
      EXPECT_LE(part->Buffer + part->Length / sizeof(WCHAR), end);
    }
  }
}

}  // namespace
