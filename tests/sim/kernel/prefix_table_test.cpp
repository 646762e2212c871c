// Unicode prefix tables: longest match on backslash boundaries, case rules,
// duplicates, enumeration with removal, and verifier reports.
#include <gtest/gtest.h>

#include <deque>
#include <string>

#include "harness/strings.h"
#include "nt/ex.h"
#include "nt/rtl.h"
#include "verifier/verifier.h"

namespace {

using sim::harness::OwnedUnicodeString;
using sim::harness::ToUtf8;

// A table plus caller-owned entries and key strings, as a driver keeps them.
class PrefixTable : public ::testing::Test {
 protected:
  struct Node {
    explicit Node(std::string_view key) : key(key) {}
    OwnedUnicodeString key;
    UNICODE_PREFIX_TABLE_ENTRY entry{};
  };

  void SetUp() override { RtlInitializeUnicodePrefix(&table_); }

  BOOLEAN Insert(std::string_view key) {
    Node& node = nodes_.emplace_back(key);
    return RtlInsertUnicodePrefix(&table_, node.key, &node.entry);
  }

  // The key of the best match for `name`, or "(none)".
  std::string Find(std::string_view name, ULONG caseInsensitiveIndex = 0) {
    OwnedUnicodeString full(name);
    PUNICODE_PREFIX_TABLE_ENTRY match = RtlFindUnicodePrefix(&table_, full, caseInsensitiveIndex);
    return match == nullptr ? "(none)" : ToUtf8(*match->Prefix);
  }

  UNICODE_PREFIX_TABLE table_{};
  std::deque<Node> nodes_;
};

TEST_F(PrefixTable, FindsTheLongestPrefixEndingAtAComponentBoundary) {
  for (const char* key : {"\\a", "\\a\\b", "\\a\\b\\c\\d", "\\x", "\\Über\\ß"})
    ASSERT_TRUE(Insert(key)) << key;
  // The caller's key is linked, not copied; NameLength counts components.
  EXPECT_EQ(nodes_[1].entry.Prefix, nodes_[1].key.get());
  EXPECT_EQ(nodes_[1].entry.NameLength, 2);
  EXPECT_FALSE(Insert("\\A\\B")) << "a prefix already there, ignoring case";
  struct Case {
    const char* name;
    const char* match;
  };
  const Case cases[] = {
      {"\\a\\b", "\\a\\b"},  // the whole name
      {"\\a\\b\\c", "\\a\\b"},
      {"\\a\\b\\", "\\a\\b"},  // trailing backslash
      {"\\a\\bc", "\\a"},      // "\a\b" is a prefix only by characters
      {"\\a\\b\\c\\d\\e\\f", "\\a\\b\\c\\d"},
      {"\\a\\b\\c\\dx", "\\a\\b"},
      {"\\ab", "(none)"},
      {"\\y\\a\\b", "(none)"},  // a match must start at the beginning
      {"\\x\\y", "\\x"},
      {"\\A\\B\\C", "\\a\\b"},  // case-insensitive from index 0
      {"\\über\\ß\\datei", "\\Über\\ß"},
      {"", "(none)"},
  };
  for (const auto& c : cases) EXPECT_EQ(Find(c.name), c.match) << c.name;
}

TEST_F(PrefixTable, RootEntryMatchesEveryPathWithoutALongerEntry) {
  ASSERT_TRUE(Insert("\\"));
  ASSERT_TRUE(Insert("\\dir"));
  EXPECT_EQ(Find("\\dir\\file"), "\\dir");
  EXPECT_EQ(Find("\\other\\file"), "\\");
  EXPECT_EQ(Find("\\"), "\\");
}

TEST_F(PrefixTable, CharactersBeforeTheCaseInsensitiveIndexCompareExactly) {
  ASSERT_TRUE(Insert("\\Dir\\sub"));
  ASSERT_TRUE(Insert("\\Dir"));
  struct Case {
    const char* name;
    ULONG index;
    const char* match;
  };
  const Case cases[] = {
      {"\\dir\\SUB\\x", 0, "\\Dir\\sub"},
      {"\\Dir\\SUB\\x", 4, "\\Dir\\sub"},  // "\Dir" exact, the rest ignoring case
      {"\\Dir\\SUB\\x", 6, "\\Dir"},       // "\Dir\s" must be exact: "\Dir\S" is not
      {"\\dir\\sub", 2, "(none)"},         // "\D" vs "\d"
      {"\\Dir\\sub", 100, "\\Dir\\sub"},   // fully case-sensitive
      {"\\DIR\\sub", 100, "(none)"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Find(c.name, c.index), c.match) << c.name << " index " << c.index;
}

TEST_F(PrefixTable, RemovingTheEntryAWalkReturnsNextSkipsIt) {
  for (const char* key : {"\\a", "\\b", "\\c"}) ASSERT_TRUE(Insert(key));
  EXPECT_EQ(RtlNextUnicodePrefix(&table_, TRUE), &nodes_[0].entry);
  RtlRemoveUnicodePrefix(&table_, &nodes_[1].entry);
  EXPECT_EQ(RtlNextUnicodePrefix(&table_, FALSE), &nodes_[2].entry);
  EXPECT_EQ(RtlNextUnicodePrefix(&table_, FALSE), nullptr);
}

TEST_F(PrefixTable, VerifierReportsMisuse) {
  using sim::verifier::Check;
  ASSERT_TRUE(Insert("\\a"));

  UNICODE_PREFIX_TABLE_ENTRY stranger{};
  RtlRemoveUnicodePrefix(&table_, &stranger);
  auto violations = sim::verifier::TakeViolations(Check::String);
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_NE(violations[0].message.find("not in this prefix table"), std::string::npos)
      << violations[0].message;

  // The same entry linked twice.
  OwnedUnicodeString other("\\b");
  EXPECT_FALSE(RtlInsertUnicodePrefix(&table_, other, &nodes_[0].entry));
  violations = sim::verifier::TakeViolations(Check::String);
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_NE(violations[0].message.find("already in a prefix table"), std::string::npos)
      << violations[0].message;

  UNICODE_PREFIX_TABLE uninitialised{};
  UNICODE_PREFIX_TABLE_ENTRY entry{};
  EXPECT_FALSE(RtlInsertUnicodePrefix(&uninitialised, other, &entry));
  EXPECT_EQ(RtlFindUnicodePrefix(&uninitialised, other, 0), nullptr);
  violations = sim::verifier::TakeViolations(Check::String);
  ASSERT_EQ(violations.size(), 2u);
  EXPECT_NE(violations[0].message.find("not initialised"), std::string::npos)
      << violations[0].message;

  // A prefix without a leading backslash is one component, as on Windows,
  // which does not check it; an empty prefix is refused.
  EXPECT_TRUE(Insert("relative"));
  EXPECT_EQ(Find("relative\\x"), "relative");
  EXPECT_TRUE(sim::verifier::TakeViolations(Check::String).empty());
  EXPECT_FALSE(Insert(""));
  EXPECT_EQ(sim::verifier::TakeViolations(Check::String).size(), 1u);
}

// What a driver keeps in pool: a table, or an entry with its key.
struct PooledEntry {
  UNICODE_PREFIX_TABLE_ENTRY entry;
  UNICODE_STRING key;
  WCHAR text[8];
};
constexpr ULONG kTestTag = 'P' | ('f' << 8) | ('x' << 16) | (static_cast<ULONG>('T') << 24);

PooledEntry* NewPooledEntry(const char16_t* text) {
  auto* p =
      static_cast<PooledEntry*>(ExAllocatePoolWithTag(PagedPool, sizeof(PooledEntry), kTestTag));
  std::u16string chars(text);
  for (std::size_t i = 0; i < chars.size(); ++i) p->text[i] = static_cast<WCHAR>(chars[i]);
  p->key =
      UNICODE_STRING{static_cast<USHORT>(chars.size() * sizeof(WCHAR)), sizeof(p->text), p->text};
  return p;
}

TEST_F(PrefixTable, FreeingATableWithItsEntriesIsAllowed) {
  auto* table = static_cast<PUNICODE_PREFIX_TABLE>(
      ExAllocatePoolWithTag(PagedPool, sizeof(UNICODE_PREFIX_TABLE), kTestTag));
  RtlInitializeUnicodePrefix(table);
  PooledEntry* a = NewPooledEntry(u"\\a");
  PooledEntry* b = NewPooledEntry(u"\\b");
  ASSERT_TRUE(RtlInsertUnicodePrefix(table, &a->key, &a->entry));
  ASSERT_TRUE(RtlInsertUnicodePrefix(table, &b->key, &b->entry));
  // Abandoned whole: the table first, then its entries, none removed.
  ExFreePoolWithTag(table, kTestTag);
  ExFreePoolWithTag(a, kTestTag);
  ExFreePoolWithTag(b, kTestTag);
  EXPECT_TRUE(sim::verifier::TakeViolations(sim::verifier::Check::String).empty());
}

TEST_F(PrefixTable, FreeingAnEntryStillInALiveTableIsReported) {
  PooledEntry* a = NewPooledEntry(u"\\dir");
  ASSERT_TRUE(RtlInsertUnicodePrefix(&table_, &a->key, &a->entry));
  ExFreePoolWithTag(a, kTestTag);
  const auto violations = sim::verifier::TakeViolations(sim::verifier::Check::String);
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_NE(violations[0].message.find("\\DIR"), std::string::npos) << violations[0].message;
  // The table no longer hands out the freed entry.
  EXPECT_EQ(Find("\\dir\\x"), "(none)");
  EXPECT_EQ(RtlNextUnicodePrefix(&table_, TRUE), nullptr);
}

TEST_F(PrefixTable, AnEntryReusedAfterItsTableWasAbandonedCanBeInsertedAgain) {
  UNICODE_PREFIX_TABLE abandoned;
  RtlInitializeUnicodePrefix(&abandoned);
  OwnedUnicodeString key("\\k");
  UNICODE_PREFIX_TABLE_ENTRY entry{};
  ASSERT_TRUE(RtlInsertUnicodePrefix(&abandoned, key, &entry));
  // The owner forgets the table and reuses the entry's memory for a fresh entry.
  entry = UNICODE_PREFIX_TABLE_ENTRY{};
  EXPECT_TRUE(RtlInsertUnicodePrefix(&table_, key, &entry));
  EXPECT_EQ(RtlFindUnicodePrefix(&table_, key, 0), &entry);
  EXPECT_EQ(RtlFindUnicodePrefix(&abandoned, key, 0), nullptr);
}

}  // namespace
