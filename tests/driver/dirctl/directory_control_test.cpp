// Listings of the merged-view root and of virtual folders: the request the
// client receives, where its answer lands, the handle's enumeration index
// (seen through the next request's StartIndex), answers that break their
// own chain, listings hidden from no-listing processes, handles the file
// system keeps, and pool failures.
#include <deque>
#include <thread>

#include "core/globals.h"
#include "dirctl/listing_pages.h"
#include "create_path_fixture.h"
#include "harness/user_buffers.h"
#include "verifier/faults.h"

namespace tavo::testing {
namespace {

using protocol::DirectoryQueryRequest;
using protocol::kRequestDirectoryListing;

// A request of type 2 as the client received it.
struct SentQuery {
  DirectoryQueryRequest header{};
  std::size_t size = 0;
  std::u16string path;
  std::u16string pattern;
};

SentQuery Decode(const SentRequest& sent) {
  SentQuery query;
  query.size = sent.payload.size();
  std::memcpy(&query.header, sent.payload.data(), sizeof(query.header));
  const std::size_t names = protocol::kDirectoryQueryNamesOffset;
  query.path = TextOf(sent.payload, names, query.header.DirectoryPathLength - 2);
  if (query.header.PatternLength != 0) {
    query.pattern =
        TextOf(sent.payload, names + query.header.DirectoryPathLength, query.header.PatternLength - 2);
  }
  return query;
}

// FILE_NAMES_INFORMATION entries chained as a file system chains them.
std::vector<std::uint8_t> NamesListing(const std::vector<std::u16string>& names) {
  std::vector<std::uint8_t> data;
  std::size_t previous = 0;
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::size_t start = (data.size() + 7) & ~std::size_t{7};
    if (i != 0) {
      const auto next = static_cast<std::uint32_t>(start - previous);
      std::memcpy(data.data() + previous, &next, 4);
    }
    data.resize(start + 12 + names[i].size() * 2, 0);
    const auto nameBytes = static_cast<std::uint32_t>(names[i].size() * 2);
    std::memcpy(data.data() + start + 8, &nameBytes, 4);
    std::memcpy(data.data() + start + 12, names[i].data(), nameBytes);
    previous = start;
  }
  return data;
}

void PutU32(std::vector<std::uint8_t>* data, std::size_t offset, std::uint32_t value) {
  std::memcpy(data->data() + offset, &value, 4);
}

struct Listed {
  NTSTATUS status = STATUS_PENDING;
  ULONG_PTR information = 0;
  std::vector<std::uint8_t> buffer;
};

class DirectoryControlTest : public CreatePathTest {
 protected:
  void SetUp() override {
    CreatePathTest::SetUp();
    AddServerItem(folder_, {true, {}});
    client_->OnRequest(kRequestDirectoryListing, [this](const DriverMessage&) {
      std::lock_guard guard(answersLock_);
      if (answers_.empty()) return ScriptedAnswer::Now(STATUS_NO_MORE_FILES);
      ScriptedAnswer answer = answers_.front();
      answers_.pop_front();
      return answer;
    });
  }
  void TearDown() override {
    WriteFlag(Globals.ListSubRootLevelFlag, 0);
    CreatePathTest::TearDown();
  }

  void Answer(NTSTATUS status, std::vector<std::uint8_t> data = {}) {
    std::lock_guard guard(answersLock_);
    answers_.push_back(ScriptedAnswer::Now(status, std::move(data)));
  }
  OpenResult OpenFolder(const std::u16string& path, std::uint32_t processId = 0) {
    return Open(path, FILE_LIST_DIRECTORY, FILE_OPEN, FILE_DIRECTORY_FILE, processId);
  }
  static Listed List(const OpenResult& dir, ULONG length, const char16_t* pattern = nullptr,
                     bool restart = false, bool single = false,
                     FILE_INFORMATION_CLASS infoClass = FileNamesInformation) {
    return sim::harness::RunAs(dir.processId, [&] {
      Listed listed;
      listed.buffer.assign(length, 0xCD);
      std::optional<sim::harness::OwnedUnicodeString> name;
      if (pattern != nullptr) name.emplace(std::u16string(pattern));
      IO_STATUS_BLOCK iosb{};
      listed.status = NtQueryDirectoryFile(dir.handle, nullptr, nullptr, nullptr, &iosb,
                                           listed.buffer.data(), length, infoClass, single,
                                           name ? name->get() : nullptr, restart);
      listed.information = iosb.Information;
      return listed;
    });
  }
  // A root handle whose first query listed "." and "..".
  OpenResult OpenRootPastTheDots() {
    OpenResult root = OpenFolder(kView);
    EXPECT_EQ(root.status, STATUS_SUCCESS);
    Answer(STATUS_SUCCESS, NamesListing({u".", u".."}));
    List(root, 256);
    return root;
  }
  std::vector<SentQuery> Queries() const {
    std::vector<SentQuery> queries;
    for (const SentRequest& sent : Sent(kRequestDirectoryListing)) queries.push_back(Decode(sent));
    return queries;
  }
  // The StartIndex the handle sends next: its enumeration index.
  std::uint32_t NextStartIndex(const OpenResult& dir) {
    List(dir, 256);
    return Queries().back().header.StartIndex;
  }

  const std::u16string folder_ = InView(u"\\Projects");
  std::mutex answersLock_;
  std::deque<ScriptedAnswer> answers_;
};

TEST_F(DirectoryControlTest, VirtualFolderIsListedByTheClientOnly) {
  OpenResult folder = OpenFolder(folder_);
  ASSERT_EQ(folder.status, STATUS_SUCCESS);
  Answer(STATUS_NO_SUCH_FILE);
  Listed listed = List(folder, 128);
  // Had it gone down, the verifier would fail the test: the file system
  // never opened this file object.
  EXPECT_EQ(listed.status, STATUS_NO_SUCH_FILE);
  EXPECT_EQ(listed.information, 0u);
  auto queries = Queries();
  ASSERT_EQ(queries.size(), 1u);
  EXPECT_EQ(queries[0].path, folder_);
  EXPECT_EQ(queries[0].header.PatternLength, 0u);
  EXPECT_EQ(queries[0].size, 36u + queries[0].header.DirectoryPathLength);
  // A client answering STATUS_PENDING cannot leave the listing pending for
  // ever: the answer is malformed.
  Answer(STATUS_PENDING, NamesListing({u"a.txt"}));
  listed = List(folder, 256);
  EXPECT_EQ(listed.status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(listed.information, 0u);
  Close(folder);
}

TEST_F(DirectoryControlTest, WhatTheClientNeverSees) {
  AddBackendFile(u"\\local.txt");
  ASSERT_EQ(volume_->Populate(
                {DirSpec(u"\\Users\\ann\\Other"), FileSpecOf(u"\\Users\\ann\\Other\\x.txt")}),
            STATUS_SUCCESS);
  OpenResult root = OpenFolder(kView);
  OpenResult outside = OpenFolder(u"\\Device\\HarddiskVolume3\\Users\\ann\\Other");
  OpenResult hiddenRoot = OpenFolder(kView, indexer_);
  OpenResult hiddenFolder = OpenFolder(folder_, indexer_);
  ASSERT_EQ(outside.status, STATUS_SUCCESS);

  // A folder outside the view is the file system's.
  Listed plain = List(outside, 512);
  EXPECT_EQ(plain.status, STATUS_SUCCESS);
  EXPECT_GT(plain.information, 0u);
  // A no-listing process sees the root empty; a virtual folder only with
  // ListSubRootLevel.
  Listed hidden = List(hiddenRoot, 128);
  EXPECT_EQ(hidden.status, STATUS_NO_MORE_FILES);
  EXPECT_EQ(hidden.information, 0u);
  EXPECT_TRUE(Queries().empty());
  List(hiddenFolder, 128);
  EXPECT_EQ(Queries().size(), 1u);
  WriteFlag(Globals.ListSubRootLevelFlag, 1);
  EXPECT_EQ(List(hiddenFolder, 128).status, STATUS_NO_MORE_FILES);
  EXPECT_EQ(Queries().size(), 1u);
  // A client that refuses the request in its acknowledgement fails it with its status.
  client_->OnRequest(kRequestDirectoryListing,
                     ScriptedAnswer::Refused(static_cast<std::int32_t>(STATUS_ACCESS_DENIED)));
  EXPECT_EQ(List(root, 128).status, STATUS_ACCESS_DENIED);
  // Without a client the query fails at once.
  client_->Disconnect();
  EXPECT_EQ(List(root, 128).status, STATUS_PORT_DISCONNECTED);
  for (OpenResult* open : {&root, &outside, &hiddenRoot, &hiddenFolder}) Close(*open);
}

// Answers that break their own chain or whose names overrun their entries:
// the driver counts only entries that start inside the data it kept, cuts a
// link that leaves it, and never reads past the answer or the caller's
// buffer.
struct BadAnswer {
  const char* what;
  NTSTATUS status;
  std::vector<std::uint8_t> data;
  ULONG callerLength;
  ULONG_PTR information;      // what the caller is told
  std::uint32_t indexAfter;   // the next query's StartIndex
};

std::vector<std::uint8_t> Chain(std::vector<std::uint8_t> data, std::size_t at, std::uint32_t next) {
  PutU32(&data, at, next);
  return data;
}

std::vector<std::uint8_t> NameBytes(std::vector<std::uint8_t> data, std::size_t at,
                                    std::uint32_t bytes) {
  PutU32(&data, at + 8, bytes);  // FILE_NAMES_INFORMATION's FileNameLength
  return data;
}

std::vector<BadAnswer> BadAnswers() {
  const auto three = NamesListing({u"aa", u"bb", u"cc"});  // entries at 0, 16, 32; 48 bytes
  return {
      {"link wraps back to the start", STATUS_SUCCESS, Chain(three, 16, 0xFFFFFFF0u), 256, 48, 2},
      {"link points past the data", STATUS_SUCCESS, Chain(three, 0, 4096), 256, 48, 1},
      {"link ends 1 byte past the data", STATUS_SUCCESS, Chain(three, 16, 29), 256, 48, 2},
      {"link to the data's last link", STATUS_SUCCESS, Chain(three, 16, 28), 256, 48, 3},
      {"zero-length success", STATUS_SUCCESS, {}, 256, 0, 0},
      {"shorter than a link", STATUS_SUCCESS, {1, 2}, 256, 2, 1},
      // Cut to 20 bytes: the second entry starts inside them and counts.
      {"longer than the caller's buffer", STATUS_SUCCESS, three, 20, 20, 2},
      {"a warning with entries", STATUS_NO_MORE_FILES, three, 256, 48, 0},
      {"a name that runs past its link", STATUS_SUCCESS, NameBytes(three, 16, 300), 256, 48, 3},
      {"a last name past the data", STATUS_SUCCESS, NameBytes(three, 32, 0xFFFFFFF0u), 256, 48, 3},
  };
}

class BadAnswerTest : public DirectoryControlTest,
                      public ::testing::WithParamInterface<BadAnswer> {};

// Each answer comes once to a handle's first query and once as the page
// fetched for a query that goes on two entries into the enumeration. (An
// answer longer than the caller's buffer is no fault in a page.)
TEST_P(BadAnswerTest, CountingStaysInsideTheData) {
  const BadAnswer& row = GetParam();
  for (const std::uint32_t listedBefore : {0u, 2u}) {
    if (listedBefore != 0 && row.data.size() > row.callerLength) continue;
    OpenResult root = listedBefore != 0 ? OpenRootPastTheDots() : OpenFolder(kView);
    ASSERT_EQ(root.status, STATUS_SUCCESS);
    Answer(row.status, row.data);
    Listed listed = List(root, row.callerLength);
    EXPECT_EQ(listed.status, row.status) << listedBefore;
    EXPECT_EQ(listed.information, row.information) << listedBefore;
    // The chain the caller walks stays inside what it was told it got.
    std::size_t offset = 0;
    for (int steps = 0; steps < 16 && offset + 4 <= listed.information; ++steps) {
      std::uint32_t next = 0;
      std::memcpy(&next, listed.buffer.data() + offset, 4);
      if (next == 0) break;
      offset += next;
      EXPECT_LE(offset + 4, listed.information);
    }
    EXPECT_EQ(NextStartIndex(root), row.indexAfter == 0 ? 0 : listedBefore + row.indexAfter)
        << listedBefore;
    Close(root);
  }
}

INSTANTIATE_TEST_SUITE_P(Answers, BadAnswerTest, ::testing::ValuesIn(BadAnswers()),
                         [](const auto& info) { return RowName(info); });

// A caller scribbling over its own buffer while the driver counts: the
// count stays bounded by the answer whatever the links read back as.
TEST_F(DirectoryControlTest, CallerRewritingItsBufferCannotMisleadTheCount) {
  OpenResult root = OpenFolder(kView);
  ASSERT_EQ(root.status, STATUS_SUCCESS);
  sim::harness::user_buffers::SetDirectoryBufferRewrite(
      [](std::uint8_t* data, std::uint32_t length) { std::memset(data, 0xFF, length); }, 0);
  Answer(STATUS_SUCCESS, NamesListing({u"aa", u"bb", u"cc"}));
  Listed listed = List(root, 256);
  sim::harness::user_buffers::ClearDirectoryBufferRewrite();
  EXPECT_EQ(listed.status, STATUS_SUCCESS);
  EXPECT_EQ(listed.information, 48u);
  const std::uint32_t index = NextStartIndex(root);
  EXPECT_GE(index, 1u);
  EXPECT_LE(index, 3u);
  Close(root);
}

// A caller buffer valid only through its MDL (a filter in another process
// context): the answer still lands, through the mapping the driver takes.
TEST_F(DirectoryControlTest, AnswerLandsInABufferValidOnlyThroughItsMdl) {
  OpenResult root = OpenFolder(kView);
  ASSERT_EQ(root.status, STATUS_SUCCESS);
  const auto two = NamesListing({u"aa", u"bb"});
  Answer(STATUS_SUCCESS, two);
  sim::harness::user_buffers::SetDirectoryBufferMdlOnly(true);
  Listed listed = List(root, 256, u"*.txt", false, true, FileDirectoryInformation);
  sim::harness::user_buffers::SetDirectoryBufferMdlOnly(false);
  EXPECT_EQ(listed.status, STATUS_SUCCESS);
  ASSERT_EQ(listed.information, two.size());
  // The answer lands in the caller's buffer, the rest of it zeroed.
  EXPECT_TRUE(std::equal(two.begin(), two.end(), listed.buffer.begin()));
  EXPECT_TRUE(std::all_of(listed.buffer.begin() + two.size(), listed.buffer.end(),
                          [](std::uint8_t b) { return b == 0; }));
  EXPECT_EQ(NextStartIndex(root), 2u);
  // The caller's session (the default process's) and class, the root's
  // path, the pattern and length; one entry asked for (1), then every entry
  // (-1) with the handle's pattern.
  const auto queries = Queries();
  ASSERT_EQ(queries.size(), 2u);
  const auto& h = queries[0].header;
  EXPECT_EQ(h.SessionId, 1u);
  EXPECT_EQ(h.FileInformationClass, static_cast<std::uint32_t>(FileDirectoryInformation));
  EXPECT_EQ(h.Purpose, protocol::kDirectoryQueryList);
  EXPECT_EQ(h.BufferLength, 256u);
  EXPECT_EQ(queries[0].path, kView);
  EXPECT_EQ(queries[0].pattern, u"*.txt");
  EXPECT_EQ(queries[0].size, 36u + h.DirectoryPathLength + h.PatternLength);
  EXPECT_EQ(h.SingleEntry, 1);
  EXPECT_EQ(queries[1].header.SingleEntry, -1);
  EXPECT_EQ(queries[1].pattern, u"*.txt");
  Close(root);
}

// Two queries at once on one asynchronous handle (the I/O manager
// serialises only synchronous ones): the second neither waits nor touches
// the first's pattern and index.
TEST_F(DirectoryControlTest, ASecondQueryWhileOneRunsIsRefused) {
  OpenResult root;
  root.processId = explorer_;
  root.status = sim::harness::RunAs(explorer_, [&] {
    return CreateFileHandle(kView, nullptr, FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            FILE_OPEN, FILE_DIRECTORY_FILE, &root.handle);
  });
  ASSERT_EQ(root.status, STATUS_SUCCESS);
  client_->OnRequest(kRequestDirectoryListing, ScriptedAnswer::Held());
  Listed first;
  std::thread firstQuery([&] { first = List(root, 256, u"a*"); });
  ASSERT_TRUE(client_->WaitForHeld(1));
  EXPECT_EQ(List(root, 256, u"b*").status, STATUS_DEVICE_BUSY);
  const auto one = NamesListing({u"a"});
  client_->Channel().Answer(client_->TakeHeld().at(0), STATUS_SUCCESS, one.data(),
                            static_cast<std::uint32_t>(one.size()));
  firstQuery.join();
  EXPECT_EQ(first.status, STATUS_SUCCESS);
  client_->OnRequest(kRequestDirectoryListing, ScriptedAnswer::Now(STATUS_NO_MORE_FILES));
  EXPECT_EQ(NextStartIndex(root), 1u);
  EXPECT_EQ(Queries().back().pattern, u"a*");
  Close(root);
}

// A file system's partial first entry: the entry is handed out (the caller
// reads its FileNameLength and asks again with a bigger buffer), so the
// enumeration goes on after it.
TEST_F(DirectoryControlTest, OverflowOfTheFirstEntryMovesOn) {
  OpenResult root = OpenRootPastTheDots();
  Answer(STATUS_BUFFER_OVERFLOW, std::vector<std::uint8_t>(14, 0));
  EXPECT_EQ(List(root, 14).status, STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(NextStartIndex(root), 3u);
  Close(root);
}

// Names "e00", "e01", ...: FILE_NAMES_INFORMATION entries of 18 bytes, 24
// apart.
std::vector<std::u16string> Numbered(int count) {
  std::vector<std::u16string> names;
  for (int i = 0; i < count; ++i) {
    names.push_back(u"e" + std::u16string(1, u'0' + i / 10) + std::u16string(1, u'0' + i % 10));
  }
  return names;
}

// The names of the FILE_NAMES_INFORMATION entries a query returned.
std::vector<std::u16string> NamesIn(const Listed& listed) {
  std::vector<std::u16string> names;
  for (std::size_t offset = 0; offset + 12 <= listed.information;) {
    std::uint32_t next = 0, nameBytes = 0;
    std::memcpy(&next, listed.buffer.data() + offset, 4);
    std::memcpy(&nameBytes, listed.buffer.data() + offset + 8, 4);
    names.push_back(TextOf(listed.buffer, offset + 12, nameBytes));
    if (next == 0) break;
    offset += next;
  }
  return names;
}

// A handle's first buffer is asked for at its own size; the queries that
// go on are served from a page fetched once: each entry once and in order,
// whole entries with the last link cut and the rest of the buffer zeroed,
// one for a single-entry query, part of one when not even one fits. The
// client left room in the page, so the query after it asks for its own
// buffer again.
TEST_F(DirectoryControlTest, APageServesTheQueriesThatGoOn) {
  OpenResult root = OpenRootPastTheDots();
  const auto names = Numbered(40);
  Answer(STATUS_SUCCESS, NamesListing(names));

  Listed five = List(root, 128);
  EXPECT_EQ(five.status, STATUS_SUCCESS);
  EXPECT_EQ(five.information, 4u * 24 + 18);
  EXPECT_TRUE(std::all_of(five.buffer.begin() + 4 * 24, five.buffer.begin() + 4 * 24 + 4,
                          [](std::uint8_t b) { return b == 0; }));
  EXPECT_TRUE(std::all_of(five.buffer.begin() + five.information, five.buffer.end(),
                          [](std::uint8_t b) { return b == 0; }));
  std::vector<std::u16string> seen = NamesIn(five);
  Listed single = List(root, 128, nullptr, false, true);
  EXPECT_EQ(NamesIn(single), std::vector<std::u16string>{names[5]});
  Listed part = List(root, 14);
  EXPECT_EQ(part.status, STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(part.information, 14u);
  std::uint32_t nameBytes = 0;
  std::memcpy(&nameBytes, part.buffer.data() + 8, 4);
  EXPECT_EQ(nameBytes, 6u);
  seen.push_back(names[5]);
  seen.push_back(names[6]);
  for (int i = 0; i < 20; ++i) {
    Listed more = List(root, 128);
    if (more.status != STATUS_SUCCESS) {
      EXPECT_EQ(more.status, STATUS_NO_MORE_FILES);
      break;
    }
    for (auto& name : NamesIn(more)) seen.push_back(name);
  }
  EXPECT_EQ(seen, names);

  const auto queries = Queries();
  ASSERT_EQ(queries.size(), 3u);
  EXPECT_EQ(queries[0].header.BufferLength, 256u);
  EXPECT_EQ(queries[1].header.BufferLength, kListingPageBytes);
  EXPECT_EQ(queries[1].header.StartIndex, 2u);
  EXPECT_EQ(queries[2].header.BufferLength, 128u);
  EXPECT_EQ(queries[2].header.StartIndex, 42u);
  Close(root);
}

// A query that does not go on where the page stops asks the client
// afresh, and the page's entries are not handed out after it.
TEST_F(DirectoryControlTest, AQueryThatDoesNotGoOnAsksAfresh) {
  struct Row {
    const char* what;
    const char16_t* pattern;
    bool restart;
    FILE_INFORMATION_CLASS infoClass;
    std::uint32_t startIndex;
  };
  const Row rows[] = {
      {"restart", nullptr, true, FileNamesInformation, 0},
      {"new pattern", u"e*", false, FileNamesInformation, 7},
      {"other class", nullptr, false, FileDirectoryInformation, 7},
  };
  for (const Row& row : rows) {
    OpenResult root = OpenRootPastTheDots();
    Answer(STATUS_SUCCESS, NamesListing(Numbered(40)));
    List(root, 128);  // the page; five of its entries handed out
    Answer(STATUS_SUCCESS, NamesListing({u"fresh"}));
    const std::size_t before = Queries().size();
    Listed listed = List(root, 128, row.pattern, row.restart, false, row.infoClass);
    ASSERT_EQ(Queries().size(), before + 1) << row.what;
    EXPECT_EQ(Queries().back().header.StartIndex, row.startIndex) << row.what;
    EXPECT_EQ(NamesIn(listed), std::vector<std::u16string>{u"fresh"}) << row.what;
    EXPECT_EQ(NextStartIndex(root), row.startIndex + 1) << row.what;
    Close(root);
  }
}

// Pages are kept for a bounded number of handles: a handle whose page went
// for another's asks the client again from where it stands.
TEST_F(DirectoryControlTest, AHandleWhosePageWentAsksAgain) {
  std::vector<OpenResult> roots;
  for (ULONG i = 0; i <= kKeptListingPages; ++i) {
    roots.push_back(OpenRootPastTheDots());
    Answer(STATUS_SUCCESS, NamesListing(Numbered(40)));
    List(roots.back(), 128);
  }
  const std::size_t before = Queries().size();
  List(roots.back(), 128);
  EXPECT_EQ(Queries().size(), before);
  Answer(STATUS_SUCCESS, NamesListing({u"again"}));
  List(roots.front(), 128);
  ASSERT_EQ(Queries().size(), before + 1);
  EXPECT_EQ(Queries().back().header.StartIndex, 7u);
  for (OpenResult& root : roots) Close(root);
}

// Every pool allocation of a query failing in turn: a query that fails for
// want of its own pool leaves the handle's pattern and index as they were;
// a failure inside the exchange is a query without an answer (index 0).
TEST_F(DirectoryControlTest, PoolFailuresLeaveTheHandleSane) {
  OpenResult root = OpenFolder(kView);
  ASSERT_EQ(root.status, STATUS_SUCCESS);
  auto establish = [&] {  // pattern "b*", index 1
    Answer(STATUS_SUCCESS, NamesListing({u"b"}));
    List(root, 256, u"b*", true);
  };
  const std::uint32_t tag = sim::harness::PoolTag("Tavo");
  // A restart, and a query that goes on (it would fetch a page: without
  // one it asks for its own buffer).
  for (const bool restart : {true, false}) {
    establish();
    sim::faults::Clear();
    List(root, 256, u"z*", restart);
    const std::uint64_t calls = sim::faults::CallCount(sim::faults::Site::PoolAllocation, tag);
    ASSERT_GT(calls, 0u);
    for (std::uint64_t nth = 1; nth <= calls; ++nth) {
      establish();
      const std::size_t before = Queries().size();
      sim::faults::Clear();
      sim::faults::FailNth(sim::faults::Site::PoolAllocation, nth, tag);
      Listed listed = List(root, 256, u"z*", restart);
      sim::faults::Clear();
      if (Queries().size() != before) continue;  // sent: a failure with a fallback, harmless
      EXPECT_EQ(listed.status, STATUS_INSUFFICIENT_RESOURCES) << "allocation " << nth;
      EXPECT_EQ(listed.information, 0u) << "allocation " << nth;
      const std::uint32_t index = NextStartIndex(root);
      const std::u16string pattern = Queries().back().pattern;
      const bool unchanged = index == 1 && pattern == u"b*";
      const bool unanswered = index == 0 && pattern == u"z*";
      EXPECT_TRUE(unchanged || unanswered)
          << "allocation " << nth << ": index " << index << ", pattern changed " << (pattern != u"b*");
    }
  }
  Close(root);
}

}  // namespace
}  // namespace tavo::testing
