// Directory enumeration: every information class's layout, patterns with
// the DOS wildcards and short names, NTFS ordering, the first-query pattern,
// restart, single entry, index, and the buffer rules (8-byte alignment, the
// cut first entry with STATUS_BUFFER_OVERFLOW, nothing lost between calls).
#include <algorithm>

#include "fs_client.h"

namespace sim::fs::testing {
namespace {

class DirectoryTest : public VolumeTest {
 protected:
  // Queries `dir` (kept open by the caller) once, with NtQueryDirectoryFile
  // (SL_RESTART_SCAN and SL_RETURN_SINGLE_ENTRY are its RestartScan and
  // ReturnSingleEntry). SL_INDEX_SPECIFIED has no NT API form: such a query
  // goes to the volume at the seam.
  NTSTATUS Query(const File& dir, FILE_INFORMATION_CLASS c, std::vector<UCHAR>* buffer,
                 ULONG_PTR* information, std::string_view pattern = {}, UCHAR flags = 0,
                 ULONG fileIndex = 0) {
    harness::OwnedUnicodeString p(pattern);
    IO_STATUS_BLOCK iosb{};
    NTSTATUS s;
    if (flags & SL_INDEX_SPECIFIED) {
      io::DirectoryQuery q;
      q.infoClass = c;
      q.pattern = pattern.empty() ? nullptr : p.get();
      q.flags = flags;
      q.fileIndex = fileIndex;
      s = volume_->QueryDirectory(dir.fo(), q, buffer->data(), static_cast<ULONG>(buffer->size()),
                                  iosb);
    } else {
      s = NtQueryDirectoryFile(dir.handle(), nullptr, nullptr, nullptr, &iosb, buffer->data(),
                               static_cast<ULONG>(buffer->size()), c,
                               (flags & SL_RETURN_SINGLE_ENTRY) != 0,
                               pattern.empty() ? nullptr : p.get(), (flags & SL_RESTART_SCAN) != 0);
    }
    EXPECT_EQ(iosb.Status, s);
    *information = iosb.Information;
    return s;
  }
  File OpenDir(std::string_view path) {
    return client_.MustOpen(
        path, {.access = FILE_LIST_DIRECTORY | SYNCHRONIZE, .options = FILE_DIRECTORY_FILE});
  }
};

struct ClassLayout {
  FILE_INFORMATION_CLASS infoClass;
  ULONG nameOffset;
  bool hasShortName;
  bool hasFileId;
};

const ClassLayout kClasses[] = {
    {FileDirectoryInformation, 64, false, false},
    {FileFullDirectoryInformation, 68, false, false},
    {FileIdFullDirectoryInformation, 80, false, true},
    {FileBothDirectoryInformation, 94, true, false},
    {FileIdBothDirectoryInformation, 104, true, true},
    {FileNamesInformation, 12, false, false},
};

TEST_F(DirectoryTest, EveryClassDescribesEveryEntry) {
  client_.Mkdir("\\d");
  client_.Touch("\\d\\A Long File Name.txt", "12345", FILE_ATTRIBUTE_HIDDEN);
  client_.Mkdir("\\d\\sub");
  File file = client_.MustOpen("\\d\\A Long File Name.txt");
  FILE_INTERNAL_INFORMATION id{};
  ASSERT_EQ(client_.Query(file, FileInternalInformation, &id), STATUS_SUCCESS);
  const auto basic = client_.Basic(file);

  for (const auto& layout : kClasses) {
    SCOPED_TRACE(layout.infoClass);
    File dir = OpenDir("\\d");
    std::vector<UCHAR> buffer(4096, 0xCC);
    ULONG_PTR information = 0;
    ASSERT_EQ(Query(dir, layout.infoClass, &buffer, &information), STATUS_SUCCESS);
    EXPECT_EQ(EntryNames(buffer.data(), layout.infoClass),
              (std::vector<std::string>{".", "..", "A Long File Name.txt", "sub"}));
    // Find the file's entry and check its fields at their documented offsets.
    const UCHAR* entry = buffer.data();
    for (int i = 0; i < 2; ++i) entry += *reinterpret_cast<const ULONG*>(entry);
    const UCHAR* last = entry + *reinterpret_cast<const ULONG*>(entry);
    EXPECT_EQ(information, static_cast<ULONG_PTR>(last - buffer.data()) + layout.nameOffset + 3 * 2)
        << "Information ends at the last entry's name";
    EXPECT_EQ(*reinterpret_cast<const ULONG*>(last), 0u) << "the last entry ends the chain";
    const ULONG nameLengthOffset = layout.infoClass == FileNamesInformation ? 8 : 60;
    EXPECT_EQ(*reinterpret_cast<const ULONG*>(entry + nameLengthOffset), 20u * 2);
    if (layout.infoClass == FileNamesInformation) continue;
    const auto* d = reinterpret_cast<const FILE_DIRECTORY_INFORMATION*>(entry);
    EXPECT_EQ(d->EndOfFile.QuadPart, 5);
    EXPECT_EQ(d->AllocationSize.QuadPart, 4096);
    EXPECT_EQ(d->FileAttributes,
              static_cast<ULONG>(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_EQ(d->CreationTime.QuadPart, basic.CreationTime.QuadPart);
    EXPECT_EQ(d->LastWriteTime.QuadPart, basic.LastWriteTime.QuadPart);
    if (layout.hasShortName) {
      const auto* b = reinterpret_cast<const FILE_BOTH_DIR_INFORMATION*>(entry);
      EXPECT_EQ(
          std::u16string(reinterpret_cast<const char16_t*>(b->ShortName), b->ShortNameLength / 2),
          u"ALONGF~1.TXT");
    }
    if (layout.hasFileId) {
      const ULONG idOffset = layout.infoClass == FileIdBothDirectoryInformation ? 96 : 72;
      EXPECT_EQ(*reinterpret_cast<const LONGLONG*>(entry + idOffset), id.IndexNumber.QuadPart);
    }
  }
}

TEST_F(DirectoryTest, Patterns) {
  client_.Mkdir("\\d");
  for (const char* name :
       {"a.txt", "b.TXT", "readme", "Long File Name.html", "x.y.z", "ab", "abc"}) {
    client_.Touch(std::string("\\d\\") + name);
  }
  using Names = std::vector<std::string>;
  struct Case {
    const char* pattern;
    Names expected;
  } cases[] = {
      {"*", {".", "..", "a.txt", "ab", "abc", "b.TXT", "Long File Name.html", "readme", "x.y.z"}},
      {"*.txt", {"a.txt", "b.TXT"}},
      {"*.HTM", {"Long File Name.html"}},  // through its short name LONGFI~1.HTM
      {"LONGFI~1.HTM", {"Long File Name.html"}},
      {"?", {"."}},
      {"??", {"..", "ab"}},
      {"a*", {"a.txt", "ab", "abc"}},
      {"README", {"readme"}},
      {"<.TXT", {"a.txt", "b.TXT"}},  // DOS_STAR stops at the last period
      {"ab>", {"ab", "abc"}},         // DOS_QM matches one character or the end
      {"x\"y\"z", {"x.y.z"}},         // DOS_DOT matches a period
      {"*.y", {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(client_.List("\\d", c.pattern), c.expected) << c.pattern;
  }
}

TEST_F(DirectoryTest, OrderIsUpcasedNameOrderAndTheRootHasNoDots) {
  for (const char* name : {"b", "A", "_x", "a1", "\xc3\xa9", "Z"})
    client_.Touch(std::string("\\") + name);
  EXPECT_EQ(client_.List("\\"), (std::vector<std::string>{"A", "a1", "b", "Z", "_x", "\xc3\xa9"}));
}

TEST_F(DirectoryTest, NoSuchFileFirstThenNoMoreFiles) {
  client_.Mkdir("\\d");
  client_.Touch("\\d\\only");
  File dir = OpenDir("\\d");
  std::vector<UCHAR> buffer(1024);
  ULONG_PTR information = 0;
  EXPECT_EQ(Query(dir, FileNamesInformation, &buffer, &information, "nothing*"),
            STATUS_NO_SUCH_FILE);
  EXPECT_EQ(information, 0u);
  EXPECT_EQ(Query(dir, FileNamesInformation, &buffer, &information), STATUS_NO_MORE_FILES);

  File dir2 = OpenDir("\\d");
  ASSERT_EQ(Query(dir2, FileNamesInformation, &buffer, &information, "only"), STATUS_SUCCESS);
  EXPECT_EQ(EntryNames(buffer.data(), FileNamesInformation), (std::vector<std::string>{"only"}));
  EXPECT_EQ(Query(dir2, FileNamesInformation, &buffer, &information), STATUS_NO_MORE_FILES);
  EXPECT_EQ(Query(dir2, FileNamesInformation, &buffer, &information), STATUS_NO_MORE_FILES);
}

TEST_F(DirectoryTest, PatternIsFixedByTheFirstQueryUntilARestartGivesAnother) {
  client_.Mkdir("\\d");
  for (const char* name : {"a1", "a2", "b1", "b2"}) client_.Touch(std::string("\\d\\") + name);
  File dir = OpenDir("\\d");
  std::vector<UCHAR> buffer(1024);
  ULONG_PTR information = 0;
  ASSERT_EQ(Query(dir, FileNamesInformation, &buffer, &information, "a*", SL_RETURN_SINGLE_ENTRY),
            STATUS_SUCCESS);
  EXPECT_EQ(EntryNames(buffer.data(), FileNamesInformation), (std::vector<std::string>{"a1"}));
  // A new pattern without a restart is ignored.
  ASSERT_EQ(Query(dir, FileNamesInformation, &buffer, &information, "b*"), STATUS_SUCCESS);
  EXPECT_EQ(EntryNames(buffer.data(), FileNamesInformation), (std::vector<std::string>{"a2"}));
  // A restart without a pattern keeps the pattern.
  ASSERT_EQ(Query(dir, FileNamesInformation, &buffer, &information, {}, SL_RESTART_SCAN),
            STATUS_SUCCESS);
  EXPECT_EQ(EntryNames(buffer.data(), FileNamesInformation),
            (std::vector<std::string>{"a1", "a2"}));
  // A restart with a pattern replaces it.
  ASSERT_EQ(Query(dir, FileNamesInformation, &buffer, &information, "b*", SL_RESTART_SCAN),
            STATUS_SUCCESS);
  EXPECT_EQ(EntryNames(buffer.data(), FileNamesInformation),
            (std::vector<std::string>{"b1", "b2"}));
  EXPECT_EQ(Query(dir, FileNamesInformation, &buffer, &information, "b*",
                  SL_RESTART_SCAN | SL_RETURN_SINGLE_ENTRY),
            STATUS_SUCCESS);
  EXPECT_EQ(EntryNames(buffer.data(), FileNamesInformation), (std::vector<std::string>{"b1"}));
}

TEST_F(DirectoryTest, SingleEntriesWalkTheWholeDirectory) {
  client_.Mkdir("\\d");
  for (const char* name : {"x", "y"}) client_.Touch(std::string("\\d\\") + name);
  for (const auto& layout : kClasses) {
    File dir = OpenDir("\\d");
    std::vector<UCHAR> buffer(1024);
    ULONG_PTR information = 0;
    std::vector<std::string> seen;
    while (Query(dir, layout.infoClass, &buffer, &information, {}, SL_RETURN_SINGLE_ENTRY) ==
           STATUS_SUCCESS) {
      const auto names = EntryNames(buffer.data(), layout.infoClass);
      ASSERT_EQ(names.size(), 1u);
      seen.push_back(names[0]);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{".", "..", "x", "y"})) << layout.infoClass;
  }
}

TEST_F(DirectoryTest, IndexSpecifiedRestartsAtThatOrdinal) {
  client_.Mkdir("\\d");
  for (const char* name : {"p", "q", "r"}) client_.Touch(std::string("\\d\\") + name);
  File dir = OpenDir("\\d");
  std::vector<UCHAR> buffer(1024);
  ULONG_PTR information = 0;
  ASSERT_EQ(Query(dir, FileNamesInformation, &buffer, &information), STATUS_SUCCESS);
  ASSERT_EQ(Query(dir, FileNamesInformation, &buffer, &information, {}, SL_INDEX_SPECIFIED, 3),
            STATUS_SUCCESS);
  EXPECT_EQ(EntryNames(buffer.data(), FileNamesInformation), (std::vector<std::string>{"q", "r"}));
}

TEST_F(DirectoryTest, BufferRules) {
  client_.Mkdir("\\d");
  client_.Touch("\\d\\a-rather-long-name.dat");
  client_.Touch("\\d\\zz");
  for (const auto& layout : kClasses) {
    SCOPED_TRACE(layout.infoClass);
    File dir = OpenDir("\\d");
    ULONG_PTR information = 0;
    std::vector<UCHAR> tooSmall(layout.nameOffset - 1);
    EXPECT_EQ(Query(dir, layout.infoClass, &tooSmall, &information, "a*"),
              STATUS_INFO_LENGTH_MISMATCH);
    // Room for the fixed part and three characters (plus an odd byte).
    std::vector<UCHAR> small(layout.nameOffset + 7, 0xCC);
    ASSERT_EQ(Query(dir, layout.infoClass, &small, &information, "a*"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(information, layout.nameOffset + 6);
    const ULONG nameLengthOffset = layout.infoClass == FileNamesInformation ? 8 : 60;
    EXPECT_EQ(*reinterpret_cast<const ULONG*>(small.data() + nameLengthOffset), 22u * 2)
        << "the full length";
    EXPECT_EQ(
        std::u16string(reinterpret_cast<const char16_t*>(small.data() + layout.nameOffset), 3),
        u"a-r");
    // The cut entry counts as returned.
    std::vector<UCHAR> big(1024);
    EXPECT_EQ(Query(dir, layout.infoClass, &big, &information), STATUS_NO_MORE_FILES);
    // An entry may fill the buffer exactly.
    File again = OpenDir("\\d");
    std::vector<UCHAR> exact(layout.nameOffset + 2 * sizeof(WCHAR));
    EXPECT_EQ(Query(again, layout.infoClass, &exact, &information, "zz"), STATUS_SUCCESS);
    EXPECT_EQ(information, exact.size());
  }
}

TEST_F(DirectoryTest, SmallBuffersLoseNothingBetweenCalls) {
  client_.Mkdir("\\d");
  std::vector<std::string> expected = {".", ".."};
  for (int i = 0; i < 60; ++i) {
    std::string name = "file-" + std::string(i % 7 + 1, 'n') + std::to_string(i);
    client_.Touch("\\d\\" + name);
    expected.push_back(name);
  }
  std::sort(expected.begin() + 2, expected.end());
  for (const auto& layout : kClasses) {
    File dir = OpenDir("\\d");
    std::vector<UCHAR> buffer(layout.nameOffset + 80);  // one or two entries per call
    ULONG_PTR information = 0;
    std::vector<std::string> seen;
    while (Query(dir, layout.infoClass, &buffer, &information) == STATUS_SUCCESS) {
      for (auto& n : EntryNames(buffer.data(), layout.infoClass)) seen.push_back(n);
    }
    EXPECT_EQ(seen, expected) << layout.infoClass;
  }
}

TEST_F(DirectoryTest, EntriesAddedAndRemovedDuringAnEnumeration) {
  client_.Mkdir("\\d");
  for (const char* name : {"b", "d", "f"}) client_.Touch(std::string("\\d\\") + name);
  File dir = OpenDir("\\d");
  std::vector<UCHAR> buffer(1024);
  ULONG_PTR information = 0;
  ASSERT_EQ(Query(dir, FileNamesInformation, &buffer, &information, "?", SL_RETURN_SINGLE_ENTRY),
            STATUS_SUCCESS);
  ASSERT_EQ(Query(dir, FileNamesInformation, &buffer, &information, {}, SL_RETURN_SINGLE_ENTRY),
            STATUS_SUCCESS);
  EXPECT_EQ(EntryNames(buffer.data(), FileNamesInformation), (std::vector<std::string>{"b"}));
  client_.Touch("\\d\\a");  // before the cursor: not seen
  client_.Touch("\\d\\e");  // after it: seen
  { client_.MustOpen("\\d\\d", {.access = DELETE, .options = FILE_DELETE_ON_CLOSE}); }
  ASSERT_EQ(Query(dir, FileNamesInformation, &buffer, &information), STATUS_SUCCESS);
  EXPECT_EQ(EntryNames(buffer.data(), FileNamesInformation), (std::vector<std::string>{"e", "f"}));
}

}  // namespace
}  // namespace sim::fs::testing
