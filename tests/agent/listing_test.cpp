// The listing builder against the simulated NTFS volume: for the same
// folder, class, pattern, buffer size and single-entry flag, the agent's
// answer must chain the same names with the same offsets and end with the
// same status as the file system's.
#include <ntapi.h>

#include "agent_test_support.h"
#include "harness/processes.h"
#include "harness/volume.h"
#include "listing.h"
#include "text.h"

namespace tavo::agent::testing {
namespace {

using sim::harness::ToUtf8;

TEST(ListingLayout, FieldsLandWhereTheStructuresHaveThem) {
  ListingEntry entry;
  entry.item.name = u"Quarterly Report.docx";
  entry.item.size = 1234;
  entry.item.allocationSize = 4096;
  entry.item.lastWriteTime = 0x0102030405060708;
  entry.item.attributes = FILE_ATTRIBUTE_ARCHIVE;
  entry.item.fileId = 0x77;
  entry.shortName = u"QUARTE~1.DOC";
  ListingQuery query;
  query.bufferLength = 1024;

  query.infoClass = FileIdBothDirectoryInformation;
  ListingAnswer both = BuildListing({entry}, query);
  ASSERT_EQ(both.status, STATUS_SUCCESS);
  FILE_ID_BOTH_DIR_INFORMATION b;
  std::memcpy(&b, both.data.data(), sizeof(b));
  EXPECT_EQ(b.EndOfFile.QuadPart, 1234);
  EXPECT_EQ(b.AllocationSize.QuadPart, 4096);
  EXPECT_EQ(b.LastWriteTime.QuadPart, 0x0102030405060708);
  EXPECT_EQ(b.FileAttributes, static_cast<ULONG>(FILE_ATTRIBUTE_ARCHIVE));
  EXPECT_EQ(b.FileNameLength, entry.item.name.size() * 2);
  EXPECT_EQ(b.ShortNameLength, 24);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(b.ShortName), 12), u"QUARTE~1.DOC");
  EXPECT_EQ(b.FileId.QuadPart, 0x77);

  query.infoClass = FileIdFullDirectoryInformation;
  ListingAnswer full = BuildListing({entry}, query);
  FILE_ID_FULL_DIR_INFORMATION f;
  std::memcpy(&f, full.data.data(), sizeof(f));
  EXPECT_EQ(f.FileId.QuadPart, 0x77);
  EXPECT_EQ(f.EaSize, 0u);

  // A folder reports DIRECTORY and no sizes; an item without attributes is NORMAL.
  entry.item.isDirectory = true;
  entry.item.attributes = 0;
  query.infoClass = FileDirectoryInformation;
  ListingAnswer folder = BuildListing({entry}, query);
  FILE_DIRECTORY_INFORMATION d;
  std::memcpy(&d, folder.data.data(), sizeof(d));
  EXPECT_EQ(d.FileAttributes, static_cast<ULONG>(FILE_ATTRIBUTE_DIRECTORY));
  EXPECT_EQ(d.EndOfFile.QuadPart, 0);
  entry.item.isDirectory = false;
  ListingAnswer plain = BuildListing({entry}, query);
  std::memcpy(&d, plain.data.data(), sizeof(d));
  EXPECT_EQ(d.FileAttributes, static_cast<ULONG>(FILE_ATTRIBUTE_NORMAL));
}

// ---- against the volume

const char16_t* const kFolderNames[] = {
    u"alpha.txt", u"Beta.TXT", u"abc.txt", u"Long Report 2024.docx",
    u"readme",    u"Photos",   u"a.b.c",   u"zeta file with a rather long name indeed.txt",
    u"x"};

struct VolumeCase {
  const char* label;
  FILE_INFORMATION_CLASS infoClass;
  const char16_t* pattern;  // "" for none
  ULONG buffer;
  bool single;
};

const VolumeCase kVolumeCases[] = {
    {"directory, all", FileDirectoryInformation, u"", 4096, false},
    {"full, all", FileFullDirectoryInformation, u"", 4096, false},
    {"both, all", FileBothDirectoryInformation, u"", 4096, false},
    {"names, all", FileNamesInformation, u"", 4096, false},
    {"id both, all", FileIdBothDirectoryInformation, u"", 4096, false},
    {"id full, all", FileIdFullDirectoryInformation, u"", 4096, false},
    {"star dot txt", FileBothDirectoryInformation, u"*.txt", 4096, false},
    {"question marks", FileNamesInformation, u"a?c.txt", 4096, false},
    {"dos star", FileNamesInformation, u"<.txt", 4096, false},
    {"dos qm and dot", FileNamesInformation, u">>>>>>>>\">>>", 4096, false},
    {"plain name, other case", FileDirectoryInformation, u"BETA.txt", 4096, false},
    {"short name matches", FileNamesInformation, u"LONGRE~1.DOC", 4096, false},
    {"nothing matches", FileDirectoryInformation, u"nomatch*", 4096, false},
    {"single entry", FileFullDirectoryInformation, u"", 4096, true},
    {"single entry with pattern", FileBothDirectoryInformation, u"*.docx", 4096, true},
    {"buffer holds a few", FileDirectoryInformation, u"", 240, false},
    {"buffer ends mid entry", FileIdBothDirectoryInformation, u"", 300, false},
    {"first name cut", FileDirectoryInformation, u"zeta*", 64 + 10, false},
    {"first name cut, names class", FileNamesInformation, u"Long*", 12 + 3, false},
};

class ListingAgainstVolume : public ::testing::TestWithParam<VolumeCase> {
 protected:
  void SetUp() override {
    sim::fs::VolumeOptions options;
    options.deviceName = kVolume;
    volume_ = sim::harness::MountNewVolume(u'C', options);
    std::vector<sim::harness::FileSpec> specs;
    for (const char16_t* name : kFolderNames) {
      sim::harness::FileSpec spec;
      spec.path = std::u16string(u"\\Users\\alice\\Tavo\\") + name;
      spec.directory = std::u16string(name) == u"Photos";
      spec.contents = spec.directory ? "" : "data";
      specs.push_back(spec);
    }
    ASSERT_EQ(volume_->Populate(specs), STATUS_SUCCESS);
  }

  // One first query on a fresh handle of the folder.
  NTSTATUS QueryVolume(FILE_INFORMATION_CLASS infoClass, std::u16string pattern, ULONG buffer,
                       bool single, Bytes* out) {
    sim::harness::OwnedUnicodeString name{std::u16string(kView)};
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, name.get(), OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb{};
    HANDLE handle = nullptr;
    EXPECT_EQ(
        NtCreateFile(&handle, FILE_LIST_DIRECTORY | SYNCHRONIZE, &oa, &iosb, nullptr, 0, 7,
                     FILE_OPEN, FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0),
        STATUS_SUCCESS);
    out->assign(buffer, 0);
    sim::harness::OwnedUnicodeString patternString(pattern);
    const NTSTATUS status = NtQueryDirectoryFile(
        handle, nullptr, nullptr, nullptr, &iosb, out->data(), buffer, infoClass,
        single ? TRUE : FALSE, pattern.empty() ? nullptr : patternString.get(), TRUE);
    out->resize(NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW ? iosb.Information : 0);
    NtClose(handle);
    return status;
  }

  // The folder as the agent would hold it, with the volume's short names.
  std::vector<ListingEntry> FolderEntries() {
    Bytes all;
    EXPECT_EQ(QueryVolume(FileBothDirectoryInformation, u"", 64 * 1024, false, &all),
              STATUS_SUCCESS);
    std::vector<ListingEntry> entries;
    for (const DecodedEntry& e : DecodeEntries(FileBothDirectoryInformation, all)) {
      ListingEntry entry;
      entry.item.name = e.name;
      entry.item.isDirectory = (e.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      entry.shortName = e.shortName;
      entries.push_back(entry);
    }
    // Listing order is the builder's business: hand them over shuffled.
    std::reverse(entries.begin() + 2, entries.end());
    SortForListing(&entries);
    return entries;
  }

  std::shared_ptr<sim::fs::Volume> volume_;
};

TEST_P(ListingAgainstVolume, MatchesTheFileSystem) {
  const VolumeCase& c = GetParam();
  Bytes expected;
  const NTSTATUS expectedStatus =
      QueryVolume(c.infoClass, c.pattern, c.buffer, c.single, &expected);

  ListingQuery query;
  query.infoClass = c.infoClass;
  query.pattern = c.pattern;
  query.bufferLength = c.buffer;
  query.singleEntry = c.single;
  ListingAnswer answer = BuildListing(FolderEntries(), query);

  EXPECT_EQ(static_cast<std::uint32_t>(answer.status), static_cast<std::uint32_t>(expectedStatus));
  ASSERT_EQ(answer.data.size(), expected.size());
  auto ours = DecodeEntries(c.infoClass, answer.data);
  auto theirs = DecodeEntries(c.infoClass, expected);
  ASSERT_EQ(ours.size(), theirs.size());
  // The driver's next query starts after the entries the answer counts.
  EXPECT_EQ(answer.entries, ours.size());
  for (std::size_t i = 0; i < ours.size(); ++i) {
    EXPECT_EQ(ToUtf8(ours[i].name), ToUtf8(theirs[i].name)) << "entry " << i;
    EXPECT_EQ(ToUtf8(ours[i].shortName), ToUtf8(theirs[i].shortName)) << "entry " << i;
    EXPECT_EQ(ours[i].next, theirs[i].next) << "entry " << i;
    EXPECT_EQ(ours[i].next % 8, 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, ListingAgainstVolume, ::testing::ValuesIn(kVolumeCases),
                         [](const ::testing::TestParamInfo<VolumeCase>& info) {
                           std::string name;
                           for (char c : std::string(info.param.label))
                             name += std::isalnum(c) ? c : '_';
                           return name;
                         });

// ---- start index and the end of a listing

std::vector<ListingEntry> Names(std::initializer_list<const char16_t*> names) {
  std::vector<ListingEntry> entries;
  for (const char16_t* name : names) {
    ListingEntry entry;
    entry.item.name = name;
    entries.push_back(entry);
  }
  return entries;
}

struct IndexCase {
  const char16_t* pattern;
  std::uint32_t start;
  bool single;
  std::int32_t status;
  std::vector<std::u16string> names;
};

TEST(ListingIndex, StartIndexCountsMatchingEntriesAlreadyReturned) {
  const auto folder = Names({u".", u"..", u"a.txt", u"b.doc", u"c.txt", u"d.txt"});
  const IndexCase cases[] = {
      {u"", 0, false, STATUS_SUCCESS, {u".", u"..", u"a.txt", u"b.doc", u"c.txt", u"d.txt"}},
      {u"", 4, false, STATUS_SUCCESS, {u"c.txt", u"d.txt"}},
      {u"", 6, false, STATUS_NO_MORE_FILES, {}},
      {u"", 99, false, STATUS_NO_MORE_FILES, {}},
      {u"*.txt", 0, false, STATUS_SUCCESS, {u"a.txt", u"c.txt", u"d.txt"}},
      // The second matching entry, not the second entry of the folder.
      {u"*.txt", 1, true, STATUS_SUCCESS, {u"c.txt"}},
      {u"*.txt", 3, false, STATUS_NO_MORE_FILES, {}},
      {u"*.xls", 0, false, STATUS_NO_SUCH_FILE, {}},
      {u"*.xls", 2, false, STATUS_NO_MORE_FILES, {}},
  };
  for (const IndexCase& c : cases) {
    ListingQuery query;
    query.infoClass = FileNamesInformation;
    query.pattern = c.pattern;
    query.startIndex = c.start;
    query.singleEntry = c.single;
    // The caller's buffer length is a limit: a 4 GiB buffer gets an answer
    // the size of its entries.
    query.bufferLength = 0xFFFFFFFF;
    ListingAnswer answer = BuildListing(folder, query);
    const std::string label = ToUtf8(c.pattern) + " from " + std::to_string(c.start);
    EXPECT_LT(answer.data.size(), 512u) << label;
    EXPECT_EQ(answer.status, c.status) << label;
    std::vector<std::u16string> got;
    for (const auto& e : DecodeEntries(FileNamesInformation, answer.data)) got.push_back(e.name);
    EXPECT_EQ(got, c.names) << label;
    EXPECT_EQ(answer.entries, c.names.size()) << label;
    if (c.names.empty()) {
      EXPECT_TRUE(answer.data.empty()) << label;
    }
  }
}

TEST(ListingErrors, RefusesWhatAFileSystemRefuses) {
  const auto folder = Names({u".", u"..", u"a"});
  struct {
    std::uint32_t infoClass;
    std::uint32_t buffer;
    const char16_t* pattern;
    std::int32_t status;
  } cases[] = {
      {FileBasicInformation, 4096, u"", STATUS_INVALID_INFO_CLASS},
      {FileDirectoryInformation, 63, u"", STATUS_INFO_LENGTH_MISMATCH},
      {FileNamesInformation, 11, u"", STATUS_INFO_LENGTH_MISMATCH},
      {FileNamesInformation, 4096, u"a\\b", STATUS_OBJECT_NAME_INVALID},
      {FileNamesInformation, 4096, u"a:b", STATUS_OBJECT_NAME_INVALID},
  };
  for (const auto& c : cases) {
    ListingQuery query;
    query.infoClass = c.infoClass;
    query.bufferLength = c.buffer;
    query.pattern = c.pattern;
    ListingAnswer answer = BuildListing(folder, query);
    EXPECT_EQ(answer.status, c.status) << c.infoClass << " " << c.buffer;
    EXPECT_TRUE(answer.data.empty());
  }
}

}  // namespace
}  // namespace tavo::agent::testing
