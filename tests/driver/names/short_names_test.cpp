// Expansion of 8.3 short names through ShortNameTable and the client.
#include "core/globals.h"
#include "harness/clock.h"
#include "names_fixture.h"
#include "support/locks.h"
#include "tables/short_name_cache.h"
#include "tables/short_names.h"

namespace tavo::testing {
namespace {

using sim::harness::KernelDuration;
using sim::harness::ToU16;
using sim::harness::ToUtf8;

struct Expansion {
  NTSTATUS status = STATUS_PENDING;
  std::u16string text;
  bool hasBuffer = false;
  USHORT maximumLength = 0;
};

Expansion Expand(const std::u16string& path) {
  TestPath input(path);
  OwnedString expanded;
  Expansion result;
  result.status = ExpandShortNames(nullptr, &input.string, &expanded);
  result.hasBuffer = expanded.HasBuffer();
  result.text = ToU16(expanded.Get());
  result.maximumLength = expanded->MaximumLength;
  return result;
}

// The cached short paths and their long forms.
std::map<std::u16string, std::u16string> CachedEntries() {
  std::map<std::u16string, std::u16string> entries;
  ExclusiveLock lock(Globals.ShortNameTableLock);
  for (auto* link = RtlNextUnicodePrefix(&Globals.ShortNameTable, TRUE); link != nullptr;
       link = RtlNextUnicodePrefix(&Globals.ShortNameTable, FALSE)) {
    auto* entry = CONTAINING_RECORD(link, ShortNameEntry, PrefixEntry);
    entries[ToU16(entry->ShortPath)] = ToU16(entry->LongPath);
  }
  return entries;
}

class ShortNamesTest : public NamesTest {
 protected:
  void SetUp() override {
    NamesTest::SetUp();
    SetLongName(kRoot + u"\\PROGRA~1", kRoot + u"\\Program Files");
    SetLongName(kRoot + u"\\Program Files\\REPORT~1.DOC",
                kRoot + u"\\Program Files\\Report 2024.doc");
    SetLongName(kRoot + u"\\Program Files\\NOTES~1.TXT", kRoot + u"\\Program Files\\Notes Old.txt");
    SetLongName(kRoot + u"\\DOCS", kRoot + u"\\Docs");
    SetLongName(kRoot + u"\\Docs\\LETTER~1.TXT", kRoot + u"\\Docs\\Letter to Bob.txt");
  }
};

TEST_F(ShortNamesTest, ExpandsEveryShortComponentBelowTheRoot) {
  struct Case {
    std::u16string path;
    std::u16string expanded;
    std::vector<std::u16string> asked;  // long-name queries, in order
  };
  const Case cases[] = {
      // Nested short components: the second query already has the first
      // component in its long form.
      {kRoot + u"\\PROGRA~1\\REPORT~1.DOC",
       kRoot + u"\\Program Files\\Report 2024.doc",
       {kRoot + u"\\PROGRA~1", kRoot + u"\\Program Files\\REPORT~1.DOC"}},
      // A plain 8.3-legal name (no '~') is resolved too, as long as the path
      // holds a '~' somewhere; long components are kept as they are.
      {kRoot + u"\\DOCS\\LETTER~1.TXT\\Long Folder Name",
       kRoot + u"\\Docs\\Letter to Bob.txt\\Long Folder Name",
       {kRoot + u"\\DOCS", kRoot + u"\\Docs\\LETTER~1.TXT"}},
      // A trailing separator is dropped.
      {kRoot + u"\\Long Name~x\\", kRoot + u"\\Long Name~x", {}},
  };
  for (const Case& c : cases) {
    const std::size_t before = LongNameQueries().size();
    Expansion result = Expand(c.path);
    EXPECT_EQ(result.status, STATUS_SUCCESS) << ToUtf8(c.path);
    EXPECT_EQ(result.text, c.expanded) << ToUtf8(c.path);
    EXPECT_EQ(result.maximumLength, kExpandedPathBytes);
    auto asked = LongNameQueries();
    EXPECT_EQ(std::vector<std::u16string>(asked.begin() + before, asked.end()), c.asked)
        << ToUtf8(c.path);
  }
}

// The root's own components (here ANN~1, Users) are never expanded, even
// when they are short names.
TEST_F(ShortNamesTest, ComponentsOfTheRootAreNeverExpanded) {
  const std::u16string root = u"\\Device\\HarddiskVolume3\\Users\\ANN~1\\Tavo";
  ASSERT_EQ(client_->Channel().Configure(1, root, kBackendRoot, kSecondaryViewRoot).hresult, S_OK);
  Expansion result = Expand(root + u"\\A Long File Name.txt");
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.text, root + u"\\A Long File Name.txt");
  EXPECT_TRUE(LongNameQueries().empty());
  EXPECT_TRUE(CachedEntries().empty());
}

// A failed expansion hands out no buffer: without a '~' nothing is asked;
// without a client the failure is the port's.
TEST_F(ShortNamesTest, FailuresHandOutNoBuffer) {
  const std::u16string paths[] = {kRoot + u"\\DOCS\\FILE.TXT", u""};
  for (const auto& path : paths) {
    Expansion result = Expand(path);
    EXPECT_EQ(result.status, STATUS_UNSUCCESSFUL) << ToUtf8(path);
    EXPECT_FALSE(result.hasBuffer);
  }
  EXPECT_TRUE(client_->Requests().empty());
  client_->Disconnect();
  Expansion disconnected = Expand(kRoot + u"\\PROGRA~1");
  EXPECT_EQ(disconnected.status, STATUS_PORT_DISCONNECTED);
  EXPECT_FALSE(disconnected.hasBuffer);
}

// Each short prefix is asked once within 20 seconds, whatever path it is
// met in; after 20 seconds it is asked again and the entry replaced.
TEST_F(ShortNamesTest, PrefixesAreCachedTwentySeconds) {
  EXPECT_EQ(Expand(kRoot + u"\\PROGRA~1\\REPORT~1.DOC").status, STATUS_SUCCESS);
  EXPECT_EQ(Expand(kRoot + u"\\PROGRA~1\\NOTES~1.TXT").text,
            kRoot + u"\\Program Files\\Notes Old.txt");
  sim::harness::AdvanceClock(KernelDuration(kShortNameLifetime - 1));
  EXPECT_EQ(Expand(kRoot + u"\\PROGRA~1\\REPORT~1.DOC").status, STATUS_SUCCESS);
  EXPECT_EQ(LongNameQueries(), (std::vector<std::u16string>{
                                   kRoot + u"\\PROGRA~1", kRoot + u"\\Program Files\\REPORT~1.DOC",
                                   kRoot + u"\\Program Files\\NOTES~1.TXT"}));
  EXPECT_EQ(CachedEntries().size(), 3u);

  // The client's answer has changed meanwhile: the expired entry is asked
  // again and replaced by the new answer.
  SetLongName(kRoot + u"\\PROGRA~1", kRoot + u"\\Programs");
  SetLongName(kRoot + u"\\Programs\\REPORT~1.DOC", kRoot + u"\\Programs\\Report.doc");
  sim::harness::AdvanceClock(KernelDuration(1));
  EXPECT_EQ(Expand(kRoot + u"\\PROGRA~1\\REPORT~1.DOC").text, kRoot + u"\\Programs\\Report.doc");
  EXPECT_EQ(LongNameQueries().size(), 5u);
  auto entries = CachedEntries();
  EXPECT_EQ(entries[kRoot + u"\\PROGRA~1"], kRoot + u"\\Programs");
  EXPECT_EQ(entries.size(), 4u);  // NOTES~1 and the old REPORT~1 key wait for the purge
}

// The answer is measured within its 2560-byte buffer: one without a NUL
// there is refused and the destination left as it was.
TEST_F(ShortNamesTest, LongNameAnswersAreMeasuredWithinTheirBuffer) {
  struct Case {
    const char* what;
    ByteList answer;
    NTSTATUS status;
    std::size_t chars;  // of the destination on success
  };
  ByteList fullNoNul(2560, 'x');
  ByteList longerNoNul(3000, 'y');
  ByteList longest = Utf16z(std::u16string(1279, u'z'));  // 2558 bytes and the NUL
  ByteList unterminatedShort = {'a', 0, 'b', 0};          // the zeroed buffer ends it
  const Case cases[] = {
      {"2560 bytes, no NUL", fullNoNul, STATUS_INVALID_PARAMETER, 0},
      {"longer than the buffer", longerNoNul, STATUS_INVALID_PARAMETER, 0},
      {"longest that fits", longest, STATUS_SUCCESS, 1279},
      {"short without NUL", unterminatedShort, STATUS_SUCCESS, 2},
  };
  TestPath name(kRoot + u"\\ODD~1");
  for (const Case& c : cases) {
    SetLongNameAnswer(name.text, c.answer);
    OwnedString destination = OwnedString::WithCapacity(NonPagedPool, kExpandedPathBytes);
    destination->Length = 2;
    EXPECT_EQ(QueryLongName(nullptr, &name.string, &destination.Get()), c.status) << c.what;
    EXPECT_EQ(destination->Length, c.status == STATUS_SUCCESS ? c.chars * 2 : 2u) << c.what;
  }
  // The query: header, the name and its NUL, 4 zero bytes; no session
  // without a requesting operation.
  const auto queries = Queries(protocol::kQueryLongName);
  ASSERT_EQ(queries.size(), std::size(cases));
  EXPECT_EQ(queries[0].size, name.text.size() * 2 + 18);
  EXPECT_EQ(queries[0].nameLength, name.text.size() * 2 + 2);
  EXPECT_EQ(queries[0].sessionId, 0u);
  EXPECT_EQ(queries[0].name, name.text);
  EXPECT_TRUE(queries[0].terminated);
  const ByteList payload = client_->Requests().at(0).payload;
  EXPECT_EQ(ByteList(payload.end() - 4, payload.end()), ByteList(4, 0));
}

// Nothing is written past the result's buffer: a rebuilt path that would
// not fit ends the walk with STATUS_NAME_TOO_LONG.
TEST_F(ShortNamesTest, RebuiltPathThatDoesNotFitFailsTheWalk) {
  std::vector<WCHAR> storage(64, 0x5A5A);
  UNICODE_STRING result{0, 80, storage.data()};  // 40 characters, then a guard area
  TestPath path(kRoot + u"\\PROGRA~1");
  EXPECT_EQ(WalkShortNameCache(nullptr, &path.string, &result), STATUS_NAME_TOO_LONG);
  EXPECT_LE(result.Length, 80);
  for (std::size_t i = 40; i < storage.size(); ++i) ASSERT_EQ(storage[i], 0x5A5A) << i;

  // The client's long form leaves no room for the rest of the path: the
  // walk fails and the whole path is asked for instead.
  const std::u16string huge = kRoot + u"\\" + std::u16string(1240, u'L');
  SetLongName(kRoot + u"\\BIG~1", huge);
  SetLongName(kRoot + u"\\BIG~1\\Another Component", huge.substr(0, huge.size() - 30));
  Expansion expansion = Expand(kRoot + u"\\BIG~1\\Another Component");
  EXPECT_EQ(expansion.status, STATUS_SUCCESS);
  EXPECT_EQ(expansion.text, huge.substr(0, huge.size() - 30));
  EXPECT_EQ(LongNameQueries().back(), kRoot + u"\\BIG~1\\Another Component");
}

}  // namespace
}  // namespace tavo::testing
