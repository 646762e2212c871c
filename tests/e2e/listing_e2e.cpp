// Listings of the merged view end to end: the driver forwards each query,
// the agent answers from the server folder united with the local copies.
// The view should list like a plain folder holding the same items, so the
// tables run every query against such a folder on the same volume as the
// reference and compare.
#include <ntapi.h>

#include <algorithm>
#include <cstring>
#include <fstream>

#include "e2e_fixture.h"
#include "payload_builders.h"
#include "harness/processes.h"
#include "harness/registry.h"
#include "harness/strings.h"

namespace tavo::e2e {
namespace {

constexpr char16_t kPlain[] = u"\\Device\\HarddiskVolume3\\Users\\alice\\Plain";

constexpr FILE_INFORMATION_CLASS kClasses[] = {
    FileDirectoryInformation,       FileFullDirectoryInformation,   FileBothDirectoryInformation,
    FileNamesInformation,           FileIdBothDirectoryInformation, FileIdFullDirectoryInformation,
};

struct Query {
  NTSTATUS status = STATUS_PENDING;
  ULONG_PTR information = 0;
  std::vector<std::string> names;
};

// One NtQueryDirectoryFile; the names of the entries it returned.
Query QueryOnce(std::uint32_t process, HANDLE dir, FILE_INFORMATION_CLASS infoClass, ULONG length,
                const char16_t* pattern, bool restart, bool single) {
  return sim::harness::RunAs(process, [&] {
    Query query;
    agent::testing::Bytes buffer(length + 8);
    std::optional<sim::harness::OwnedUnicodeString> name;
    if (pattern != nullptr) name.emplace(std::u16string(pattern));
    IO_STATUS_BLOCK iosb{};
    query.status = NtQueryDirectoryFile(dir, nullptr, nullptr, nullptr, &iosb, buffer.data(), length,
                                        infoClass, single, name ? name->get() : nullptr, restart);
    query.information = iosb.Information;
    if (!NT_SUCCESS(query.status)) return query;
    buffer.resize(iosb.Information);
    for (const auto& entry : agent::testing::DecodeEntries(infoClass, buffer)) {
      query.names.push_back(sim::harness::ToUtf8(entry.name));
    }
    return query;
  });
}

// A whole enumeration: queries until one fails; every name and the last status.
Query ListAll(std::uint32_t process, HANDLE dir, FILE_INFORMATION_CLASS infoClass, ULONG length,
              const char16_t* pattern, bool single) {
  Query all;
  for (int i = 0; i < 200; ++i) {
    Query one = QueryOnce(process, dir, infoClass, length, i == 0 ? pattern : nullptr, false, single);
    all.status = one.status;
    all.names.insert(all.names.end(), one.names.begin(), one.names.end());
    if (!NT_SUCCESS(one.status)) break;
  }
  return all;
}

class ListingEndToEndTest : public EndToEndTest {
 protected:
  void SetUp() override {
    EndToEndTest::SetUp();
    // The reference: a plain folder holding what the view's root holds.
    std::vector<sim::fs::FileSpec> plain(4);
    plain[0].path = u"\\Users\\alice\\Plain";
    plain[1].path = u"\\Users\\alice\\Plain\\docs";
    plain[2].path = u"\\Users\\alice\\Plain\\Photos";
    for (int i = 0; i < 3; ++i) plain[i].directory = true;
    plain[3].path = u"\\Users\\alice\\Plain\\readme.txt";
    plain[3].contents = "read me";
    ASSERT_EQ(volume_->Populate(plain), STATUS_SUCCESS);
    view_ = OpenAs(explorer_, kView, FILE_LIST_DIRECTORY, FILE_OPEN, FILE_DIRECTORY_FILE);
    plain_ = OpenAs(explorer_, kPlain, FILE_LIST_DIRECTORY, FILE_OPEN, FILE_DIRECTORY_FILE);
    ASSERT_EQ(view_.status, STATUS_SUCCESS);
    ASSERT_EQ(plain_.status, STATUS_SUCCESS);
  }
  void TearDown() override {
    for (Opened* open : {&view_, &plain_}) {
      if (open->handle != nullptr) sim::harness::RunAs(explorer_, [&] { NtClose(open->handle); });
    }
    EndToEndTest::TearDown();
  }
  Opened OpenFolder(std::uint32_t process, const std::u16string& path) {
    return OpenAs(process, path, FILE_LIST_DIRECTORY, FILE_OPEN, FILE_DIRECTORY_FILE);
  }
  void CloseAs(std::uint32_t process, Opened& opened) {
    sim::harness::RunAs(process, [&] { NtClose(opened.handle); });
    opened.handle = nullptr;
  }

  Opened view_, plain_;
};

struct ListingRow {
  const char* what;
  const char16_t* pattern;
  ULONG length;
  bool single;
};
const ListingRow kListingRows[] = {
    {"everything_in_one_buffer", nullptr, 4096, false},
    {"one_entry_per_buffer", nullptr, 112, false},
    {"single_entry", nullptr, 4096, true},
    {"star_dot_txt", u"*.txt", 4096, false},
    {"question_marks", u"D??S", 4096, false},
    {"dos_star", u"<.txt", 4096, false},
    {"dos_qm_and_dot", u"readme\"txt", 4096, false},
    {"no_match", u"*.none", 4096, false},
};

// Each row in every class the volume supports: the view lists exactly what
// the plain folder lists, each entry once, ending the same way.
TEST_F(ListingEndToEndTest, RootListsLikeAPlainFolder) {
  for (const ListingRow& row : kListingRows) {
    for (FILE_INFORMATION_CLASS infoClass : kClasses) {
      // Each enumeration on fresh handles: a pattern sticks to its handle.
      Opened view = OpenFolder(explorer_, kView);
      Opened plain = OpenFolder(explorer_, kPlain);
      const Query got = ListAll(explorer_, view.handle, infoClass, row.length, row.pattern, row.single);
      const Query want = ListAll(explorer_, plain.handle, infoClass, row.length, row.pattern, row.single);
      EXPECT_EQ(got.names, want.names) << row.what << ", class " << infoClass;
      EXPECT_EQ(got.status, want.status) << row.what << ", class " << infoClass;
      CloseAs(explorer_, view);
      CloseAs(explorer_, plain);
    }
  }
}

// Restart, and buffers too small for one entry or for the next: status,
// Information and names as the plain folder gives them.
TEST_F(ListingEndToEndTest, SmallBuffersAndRestartLikeAPlainFolder) {
  const FILE_INFORMATION_CLASS both = FileBothDirectoryInformation;
  struct Step {
    const char* what;
    ULONG length;
    bool restart;
  };
  const Step steps[] = {
      {"smaller than an entry's fixed part", 40, false},
      {"room for \".\" only", 96, true},
      {"room for part of \"..\"", 96, false},
      {"room for part of \"docs\"", 100, false},
      {"smaller than a fixed part, mid-listing", 40, false},
      {"the rest", 4096, false},
      {"restart", 4096, true},
      {"past the end", 4096, false},
  };
  for (const Step& step : steps) {
    const Query got = QueryOnce(explorer_, view_.handle, both, step.length, nullptr, step.restart, false);
    const Query want = QueryOnce(explorer_, plain_.handle, both, step.length, nullptr, step.restart, false);
    EXPECT_EQ(got.status, want.status) << step.what;
    EXPECT_EQ(got.names, want.names) << step.what;
    if (got.status == STATUS_BUFFER_OVERFLOW) {
      EXPECT_EQ(got.information, want.information) << step.what;
    }
  }
}

// A server change made while the handle holds part of a listing: the
// enumeration goes on as it began, a restart and a new handle see the
// change.
TEST_F(ListingEndToEndTest, AChangeShowsInTheNextEnumeration) {
  const FILE_INFORMATION_CLASS names = FileNamesInformation;
  const std::vector<std::string> before = ListAll(explorer_, view_.handle, names, 4096, nullptr, false).names;
  // Buffers of one or two entries: the rest of the listing is held for the handle.
  const Query first = QueryOnce(explorer_, view_.handle, names, 40, nullptr, true, false);
  const Query second = QueryOnce(explorer_, view_.handle, names, 40, nullptr, false, false);
  std::ofstream(serverFolder_ / "added.txt") << "new";
  const Query rest = ListAll(explorer_, view_.handle, names, 40, nullptr, false);
  const std::size_t held = first.names.size() + second.names.size();
  ASSERT_LT(held, before.size());
  EXPECT_EQ(rest.names, std::vector<std::string>(before.begin() + held, before.end()));
  const Query restarted = QueryOnce(explorer_, view_.handle, names, 4096, nullptr, true, false);
  EXPECT_EQ(restarted.names.size(), before.size() + 1);
  EXPECT_NE(std::find(restarted.names.begin(), restarted.names.end(), "added.txt"),
            restarted.names.end());
  Opened fresh = OpenFolder(explorer_, kView);
  EXPECT_EQ(ListAll(explorer_, fresh.handle, names, 40, nullptr, false).names, restarted.names);
  CloseAs(explorer_, fresh);
}

TEST_F(ListingEndToEndTest, ServerFolderAndLocalCopiesListOnce) {
  // A local copy of a server file: listed once, with its local description.
  Opened notes = OpenAs(notepad_, View(u"docs\\notes.txt"), GENERIC_READ, FILE_OPEN,
                        FILE_NON_DIRECTORY_FILE);
  ASSERT_EQ(notes.status, STATUS_SUCCESS);
  CloseAs(notepad_, notes);
  ASSERT_TRUE(BackendHas(u"docs\\notes.txt"));
  Opened docs = OpenFolder(explorer_, View(u"docs"));
  ASSERT_EQ(docs.status, STATUS_SUCCESS);
  const Query listed = ListAll(explorer_, docs.handle, kClasses[0], 4096, nullptr, false);
  EXPECT_EQ(listed.names,
            (std::vector<std::string>{".", "..", "notes.txt", "Quarterly Report 2024.docx"}));
  EXPECT_EQ(listed.status, STATUS_NO_MORE_FILES);
  CloseAs(explorer_, docs);
}

// A no-listing process sees the root empty (the demo's walk shows it) and a
// server-only folder listed, unless ListSubRootLevel is set.
TEST_F(ListingEndToEndTest, NoListingProcessSeesEmptyListingsWithoutAskingTheClient) {
  Opened photos = OpenFolder(indexer_, View(u"Photos"));
  ASSERT_EQ(photos.status, STATUS_SUCCESS);
  EXPECT_EQ(QueryOnce(indexer_, photos.handle, kClasses[0], 4096, nullptr, false, false).names,
            (std::vector<std::string>{".", "..", "beach.jpg"}));
  CloseAs(indexer_, photos);
  // The setting is read where an administrator sets it, when the driver
  // starts: restarted with it, the driver answers the same listing empty.
  constexpr char kSettings[] = "\\Registry\\Machine\\SOFTWARE\\Zentho\\Tavo";
  sim::harness::CreateRegistryKey(kSettings);
  sim::harness::SetRegistryDword(kSettings, "ListSubRootLevel", 1);
  ASSERT_EQ(Unload(/*mandatory=*/true), STATUS_SUCCESS);
  ASSERT_EQ(Load(), STATUS_SUCCESS);
  ASSERT_TRUE(agent_->CheckConnection());
  photos = OpenFolder(indexer_, View(u"Photos"));
  ASSERT_EQ(photos.status, STATUS_SUCCESS);
  const std::uint64_t flagged = agent_->counters().requests;
  EXPECT_EQ(QueryOnce(indexer_, photos.handle, kClasses[0], 4096, nullptr, true, false).status,
            STATUS_NO_MORE_FILES);
  EXPECT_EQ(agent_->counters().requests, flagged);
  CloseAs(indexer_, photos);
}

}  // namespace
}  // namespace tavo::e2e
