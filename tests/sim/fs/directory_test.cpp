// Directory enumeration: NTFS ordering, the first-query pattern, restart,
// single entry, index, and per information class the buffer rules (the cut
// first entry with STATUS_BUFFER_OVERFLOW, an entry that fills the buffer
// exactly) and the fields at their documented offsets.
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
  ULONG fileIdOffset;  // 0: none
};

const ClassLayout kClasses[] = {
    {FileDirectoryInformation, 64, 0},       {FileFullDirectoryInformation, 68, 0},
    {FileIdFullDirectoryInformation, 80, 72}, {FileBothDirectoryInformation, 94, 0},
    {FileIdBothDirectoryInformation, 104, 96}, {FileNamesInformation, 12, 0},
};

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
  client_.Touch("\\d\\zz", "12345", FILE_ATTRIBUTE_HIDDEN);
  File zz = client_.MustOpen("\\d\\zz");
  FILE_INTERNAL_INFORMATION id{};
  ASSERT_EQ(client_.Query(zz, FileInternalInformation, &id), STATUS_SUCCESS);
  const auto basic = client_.Basic(zz);
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
    // The entry's fields, where the class has them.
    if (layout.infoClass == FileNamesInformation) continue;
    const auto* d = reinterpret_cast<const FILE_DIRECTORY_INFORMATION*>(exact.data());
    EXPECT_EQ(d->EndOfFile.QuadPart, 5);
    EXPECT_EQ(d->AllocationSize.QuadPart, 4096);
    EXPECT_EQ(d->FileAttributes, static_cast<ULONG>(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_EQ(d->CreationTime.QuadPart, basic.CreationTime.QuadPart);
    EXPECT_EQ(d->LastWriteTime.QuadPart, basic.LastWriteTime.QuadPart);
    if (layout.fileIdOffset != 0) {
      EXPECT_EQ(*reinterpret_cast<const LONGLONG*>(exact.data() + layout.fileIdOffset),
                id.IndexNumber.QuadPart);
    }
  }
}

}  // namespace
}  // namespace sim::fs::testing
