// The request handler on its own: an in-memory server, the local volume
// through the native API (no driver loaded), payloads built byte by byte.
#include <ntapi.h>

#include <functional>

#include "agent_test_support.h"
#include "harness/volume.h"
#include "listing.h"
#include "text.h"

namespace tavo::agent::testing {
namespace {

using namespace tavo::protocol;
using sim::harness::ToUtf8;

class RequestHandlerTest : public AgentFixture {};

ItemInfoReply ReplyOf(const AgentAnswer& answer) {
  ItemInfoReply reply{};
  if (answer.data.size() >= sizeof(reply)) std::memcpy(&reply, answer.data.data(), sizeof(reply));
  return reply;
}

std::u16string TextOf(const AgentAnswer& answer) {
  std::u16string text(answer.data.size() / 2, u'\0');
  std::memcpy(text.data(), answer.data.data(), text.size() * 2);
  return text;
}

TEST_F(RequestHandlerTest, ItemInformationComesFromTheServer) {
  server_.AddFile(u"docs\\Report.txt", "twelve bytes", 133000000000000000);
  server_.AddFolder(u"Photos");
  PutLocal(u"local-only.txt");

  AgentAnswer file = Ask(kRequestItemQuery, ItemQuery(View(u"DOCS\\report.TXT")));
  ASSERT_EQ(file.status, STATUS_SUCCESS);
  ASSERT_EQ(file.data.size(), kItemInfoReplySize);
  EXPECT_EQ(ReplyOf(file).EndOfFile, 12);
  EXPECT_EQ(ReplyOf(file).AllocationSize, 4096);
  EXPECT_EQ(ReplyOf(file).CreationTime, 133000000000000000);
  EXPECT_EQ(ReplyOf(file).LastWriteTime, 133000000000000000);
  EXPECT_EQ(ReplyOf(file).FileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);

  AgentAnswer folder = Ask(kRequestItemQuery, ItemQuery(std::u16string(kSecondary) + u"\\photos"));
  ASSERT_EQ(folder.status, STATUS_SUCCESS);
  EXPECT_EQ(ReplyOf(folder).FileAttributes & FILE_ATTRIBUTE_DIRECTORY, FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(ReplyOf(folder).EndOfFile, 0);

  for (const std::u16string& missing : {View(u"docs\\nothing.txt"), View(u"local-only.txt"),
                                        std::u16string(u"\\Device\\HarddiskVolume3\\x\\y.txt")}) {
    AgentAnswer answer = Ask(kRequestItemQuery, ItemQuery(missing));
    EXPECT_LT(answer.status, 0) << ToUtf8(missing);
    EXPECT_TRUE(answer.data.empty());
  }
}

TEST_F(RequestHandlerTest, ListingUnitesServerItemsAndLocalOnlyCopies) {
  server_.AddFile(u"docs\\server-only.txt", "s");
  server_.AddFile(u"docs\\both.txt", "on the server");
  server_.AddFolder(u"docs\\Sub");
  PutLocal(u"docs\\both.txt", "local, longer copy");
  PutLocal(u"docs\\local-only.txt");

  AgentAnswer answer =
      Ask(kRequestDirectoryListing, ListingPayload(View(u"docs"), FileDirectoryInformation));
  ASSERT_EQ(answer.status, STATUS_SUCCESS);
  std::vector<std::string> got;
  for (const auto& e : DecodeEntries(FileDirectoryInformation, answer.data)) {
    got.push_back(ToUtf8(e.name) +
                  (e.attributes & FILE_ATTRIBUTE_DIRECTORY ? "\\" : " " + std::to_string(e.size)));
  }
  EXPECT_EQ(got, (std::vector<std::string>{".\\", "..\\", "both.txt 18", "local-only.txt 5",
                                           "server-only.txt 1", "Sub\\"}));

  // A folder that only exists locally lists too; one that exists nowhere does not.
  PutLocal(u"new\\x.txt");
  EXPECT_EQ(
      Ask(kRequestDirectoryListing, ListingPayload(View(u"new"), FileNamesInformation)).status,
      STATUS_SUCCESS);
  EXPECT_EQ(
      Ask(kRequestDirectoryListing, ListingPayload(View(u"none"), FileNamesInformation)).status,
      STATUS_OBJECT_NAME_NOT_FOUND);
  // A handle's later query past the end.
  EXPECT_EQ(
      Ask(kRequestDirectoryListing, ListingPayload(View(u"docs"), FileNamesInformation, u"", 6))
          .status,
      STATUS_NO_MORE_FILES);
}

// An enumeration in small buffers lists the folder once: its later queries
// seek into the snapshot its first query took, and each entry comes once,
// in order. A new enumeration (index 0) sees the folder as it is now.
TEST_F(RequestHandlerTest, EnumerationListsTheFolderOnce) {
  for (int i = 0; i < 300; ++i) server_.AddFile(u"big\\f" + FromUtf8(std::to_string(1000 + i)), "x");
  const std::size_t listsBefore = server_.ListCount();
  std::vector<std::u16string> names;
  for (std::uint32_t start = 0;;) {
    AgentAnswer page = Ask(kRequestDirectoryListing,
                           ListingPayload(View(u"big"), FileNamesInformation, u"f1*", start, false, 256));
    if (page.status != STATUS_SUCCESS) {
      EXPECT_EQ(page.status, STATUS_NO_MORE_FILES);
      break;
    }
    for (const auto& e : DecodeEntries(FileNamesInformation, page.data)) names.push_back(e.name);
    start = static_cast<std::uint32_t>(names.size());
  }
  ASSERT_EQ(names.size(), 300u);
  EXPECT_EQ(names.front(), u"f1000");
  EXPECT_EQ(names.back(), u"f1299");
  EXPECT_EQ(server_.ListCount() - listsBefore, 1u);

  server_.AddFile(u"big\\f1300", "x");
  AgentAnswer fresh = Ask(kRequestDirectoryListing,
                          ListingPayload(View(u"big"), FileNamesInformation, u"f13*", 0));
  EXPECT_EQ(DecodeEntries(FileNamesInformation, fresh.data).size(), 1u);
}

// A server that cannot tell when it changed, as a host folder cannot.
class WithoutGenerations : public ServerStore {
 public:
  explicit WithoutGenerations(ServerStore& store) : store_(store) {}
  std::optional<ItemInfo> Stat(const std::u16string& path) override {
    auto item = store_.Stat(path);
    if (item && item->isDirectory) item->attributes |= folderAttributes;
    return item;
  }
  std::optional<std::vector<ItemInfo>> List(const std::u16string& path) override {
    return store_.List(path);
  }
  bool Read(const std::u16string& path, Bytes* contents) override {
    return store_.Read(path, contents);
  }
  bool Write(const std::u16string& path, const Bytes& contents) override {
    return store_.Write(path, contents);
  }
  bool MakeFolder(const std::u16string& path) override { return store_.MakeFolder(path); }
  bool Remove(const std::u16string& path) override { return store_.Remove(path); }
  bool Rename(const std::u16string& from, const std::u16string& to) override {
    return store_.Rename(from, to);
  }
  bool CanHold(const std::u16string& path) const override { return store_.CanHold(path); }

  std::uint32_t folderAttributes = 0;  // added to every folder's own description

 private:
  ServerStore& store_;
};

// Whether the server tells its generation.
class EnumerationChangesTest : public RequestHandlerTest,
                               public ::testing::WithParamInterface<bool> {};

// A new enumeration reuses the last one's snapshot while the folder is
// unchanged, and shows every change the agent could know about: on the
// server and among the local copies, each made between two enumerations.
// A server without generations is read once to see that it is unchanged.
TEST_P(EnumerationChangesTest, ANewEnumerationShowsEveryChangeSinceTheLast) {
  const bool generations = GetParam();
  WithoutGenerations blind(server_);
  if (!generations) {
    handler_ = std::make_unique<RequestHandler>(ViewPaths({kView, kBackend, kSecondary}), blind,
                                                *local_, FakeShortNames, state_, kStaging);
  }
  server_.AddFile(u"docs\\a.txt", "a");
  server_.AddFile(u"docs\\b.txt", "b");
  server_.AddFile(u"docs\\c.txt", "c");
  auto list = [&] {
    AgentAnswer answer =
        Ask(kRequestDirectoryListing, ListingPayload(View(u"docs"), FileDirectoryInformation));
    std::string got;
    for (const auto& e : DecodeEntries(FileDirectoryInformation, answer.data)) {
      if (!(e.attributes & FILE_ATTRIBUTE_DIRECTORY))
        got += ToUtf8(e.name) + " " + std::to_string(e.size) + ";";
    }
    return got;
  };
  EXPECT_EQ(list(), "a.txt 1;b.txt 1;c.txt 1;");
  const std::size_t lists = server_.ListCount();
  EXPECT_EQ(list(), "a.txt 1;b.txt 1;c.txt 1;");
  EXPECT_EQ(server_.ListCount(), lists + (generations ? 0 : 1))
      << "an unchanged folder is not built again";

  const struct {
    const char* what;
    std::function<void()> change;
    std::string expected;
  } steps[] = {
      {"server create", [&] { server_.AddFile(u"docs\\d.txt", "d"); },
       "a.txt 1;b.txt 1;c.txt 1;d.txt 1;"},
      {"server delete", [&] { ASSERT_TRUE(server_.Remove(u"docs\\a.txt")); },
       "b.txt 1;c.txt 1;d.txt 1;"},
      {"server rename", [&] { ASSERT_TRUE(server_.Rename(u"docs\\b.txt", u"docs\\e.txt")); },
       "c.txt 1;d.txt 1;e.txt 1;"},
      {"server size change",
       [&] { ASSERT_TRUE(server_.Write(u"docs\\c.txt", Bytes{'1', '2', '3'})); },
       "c.txt 3;d.txt 1;e.txt 1;"},
      {"local create", [&] { PutLocal(u"docs\\f.txt", "ff"); }, "c.txt 3;d.txt 1;e.txt 1;f.txt 2;"},
      {"local size change", [&] { PutLocal(u"docs\\d.txt", "dddd"); },
       "c.txt 3;d.txt 4;e.txt 1;f.txt 2;"},
      {"local rename",
       [&] { ASSERT_TRUE(local_->Rename(Backend(u"docs\\f.txt"), Backend(u"docs\\g.txt"), false)); },
       "c.txt 3;d.txt 4;e.txt 1;g.txt 2;"},
      {"local delete", [&] { ASSERT_TRUE(local_->Remove(Backend(u"docs\\g.txt"))); },
       "c.txt 3;d.txt 4;e.txt 1;"},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.what);
    step.change();
    EXPECT_EQ(list(), step.expected);
  }
  if (generations) return;
  // The folder itself changes, not its items: "." shows it.
  blind.folderAttributes = FILE_ATTRIBUTE_HIDDEN;
  AgentAnswer answer =
      Ask(kRequestDirectoryListing, ListingPayload(View(u"docs"), FileDirectoryInformation));
  const auto entries = DecodeEntries(FileDirectoryInformation, answer.data);
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ(entries[0].name, u".");
  EXPECT_TRUE(entries[0].attributes & FILE_ATTRIBUTE_HIDDEN);
}

INSTANTIATE_TEST_SUITE_P(Servers, EnumerationChangesTest, ::testing::Bool(),
                         [](const auto& info) {
                           return info.param ? "WithGenerations" : "WithoutGenerations";
                         });

TEST_F(RequestHandlerTest, ShortNamesAreGeneratedPerFolderAndResolveBack) {
  server_.AddFile(u"Quarterly Reports\\Summary of 2024.docx", "x");
  server_.AddFile(u"Quarterly Reports\\short.txt", "x");
  server_.AddFile(u"Annual Plans.txt", "x");

  AgentAnswer root =
      Ask(kRequestDirectoryListing, ListingPayload(kView, FileBothDirectoryInformation));
  ASSERT_EQ(root.status, STATUS_SUCCESS);
  std::map<std::u16string, std::u16string> shortOf;
  for (const auto& e : DecodeEntries(FileBothDirectoryInformation, root.data))
    shortOf[e.name] = e.shortName;
  EXPECT_EQ(ToUtf8(shortOf[u"Annual Plans.txt"]), "ANNUA~1");
  EXPECT_EQ(ToUtf8(shortOf[u"Quarterly Reports"]), "QUART~2");
  EXPECT_EQ(shortOf[u"."], u"");
  EXPECT_EQ(shortNameCalls_, 1);

  // The same folder again: remembered, the driver is not asked again.
  Ask(kRequestDirectoryListing, ListingPayload(kView, FileIdBothDirectoryInformation));
  EXPECT_EQ(shortNameCalls_, 1);

  // A long-name query walks the components; the sub-folder's names are
  // generated on demand; names nobody shortened stay as they are.
  AgentAnswer expanded =
      Ask(kRequestItemQuery, ItemQuery(View(u"quart~2\\SUMMA~1"), kQueryLongName));
  ASSERT_EQ(expanded.status, STATUS_SUCCESS);
  EXPECT_EQ(ToUtf8(TextOf(expanded)),
            ToUtf8(View(u"Quarterly Reports\\Summary of 2024.docx") + u'\0'));
  AgentAnswer plain =
      Ask(kRequestItemQuery, ItemQuery(View(u"QUART~2\\short.txt\\NEW~1.TXT"), kQueryLongName));
  EXPECT_EQ(ToUtf8(TextOf(plain)),
            ToUtf8(View(u"Quarterly Reports\\short.txt\\NEW~1.TXT") + u'\0'));
  AgentAnswer secondary =
      Ask(kRequestItemQuery, ItemQuery(std::u16string(kSecondary) + u"\\ANNUA~1", kQueryLongName));
  EXPECT_EQ(ToUtf8(TextOf(secondary)),
            ToUtf8(std::u16string(kSecondary) + u"\\Annual Plans.txt" + u'\0'));
  EXPECT_LT(Ask(kRequestItemQuery, ItemQuery(u"\\Device\\HarddiskVolume3\\ANNUA~1", kQueryLongName))
                .status,
            0);

  // New items get short names of their own, numbered past those handed
  // out; the names already handed out stay with their items. A ';' (the
  // driver command's separator) reaches the generator as '_'.
  server_.AddFile(u"Annual Budget.txt", "x");
  server_.AddFile(u"Q;R long.txt", "x");
  AgentAnswer again =
      Ask(kRequestDirectoryListing, ListingPayload(kView, FileBothDirectoryInformation));
  EXPECT_EQ(shortNameCalls_, 3);
  shortOf.clear();
  for (const auto& e : DecodeEntries(FileBothDirectoryInformation, again.data))
    shortOf[e.name] = e.shortName;
  EXPECT_EQ(ToUtf8(shortOf[u"Annual Plans.txt"]), "ANNUA~1");
  EXPECT_EQ(ToUtf8(shortOf[u"Quarterly Reports"]), "QUART~2");
  EXPECT_EQ(ToUtf8(shortOf[u"Annual Budget.txt"]), "ANNUA~2");
  EXPECT_EQ(ToUtf8(shortOf[u"Q;R long.txt"]), "Q_RLO~2");
}

TEST_F(RequestHandlerTest, DeleteCheckTellsEmptyFromNotEmpty) {
  server_.AddFolder(u"empty");
  server_.AddFile(u"full\\a.txt", "a");
  server_.AddFolder(u"locally full");
  PutLocal(u"locally full\\draft.txt");
  struct {
    std::u16string folder;
    std::uint8_t answer;
  } cases[] = {{View(u"empty"), 2},
               {View(u"full"), 0},
               {View(u"locally full"), 0},
               {View(u"missing"), 3},
               {kView, 3}};
  for (const auto& c : cases) {
    AgentAnswer answer = Ask(kRequestDirectoryListing, DeleteCheckPayload(c.folder));
    EXPECT_EQ(answer.status, STATUS_SUCCESS);
    EXPECT_EQ(ByteAnswer(answer), c.answer) << ToUtf8(c.folder);
  }
}

// The staging folder is made again when it has gone.
TEST_F(RequestHandlerTest, DownloadCopiesTheServerFileIntoItsBackendPath) {
  ASSERT_TRUE(local_->Remove(kStaging));
  server_.AddFile(u"docs\\deep\\a.txt", "server contents");
  AgentAnswer answer = Ask(kRequestDownload, DownloadPayload(View(u"docs\\deep\\a.txt")));
  EXPECT_EQ(ByteAnswer(answer), 1);
  EXPECT_EQ(ReadLocal(Backend(u"docs\\deep\\a.txt")), "server contents");
  EXPECT_EQ(state_.counters.downloads, 1u);
  // Nothing is left in the staging folder.
  ASSERT_TRUE(local_->List(kStaging).has_value());
  EXPECT_TRUE(local_->List(kStaging)->empty());
  EXPECT_TRUE(state_.ledger.Find(Backend(u"docs\\deep\\a.txt")).has_value());
}

TEST_F(RequestHandlerTest, StagingIsCheckedAndLeftoversRemovedAtStart) {
  sim::harness::FileSpec leftover;
  leftover.path = u"\\Users\\alice\\AppData\\Local\\Tavo\\Staging\\7.download";
  leftover.contents = "half a download";
  ASSERT_EQ(volume_->Populate({leftover}), STATUS_SUCCESS);
  EXPECT_TRUE(handler_->PrepareStaging());
  EXPECT_TRUE(local_->List(kStaging)->empty());

  const ViewPaths paths({kView, kBackend, kSecondary});
  for (const std::u16string& unusable :
       {Backend(u"staging"), View(u"staging"), std::u16string(u"\\Device\\HarddiskVolume4\\S")}) {
    RequestHandler handler(paths, server_, *local_, FakeShortNames, state_, unusable);
    EXPECT_FALSE(handler.PrepareStaging()) << ToUtf8(unusable);
  }
  // None given: one beside the backend root.
  RequestHandler byDefault(paths, server_, *local_, FakeShortNames, state_);
  EXPECT_TRUE(byDefault.PrepareStaging());
  EXPECT_TRUE(local_->Stat(std::u16string(kBackend) + u".staging").has_value());
}

TEST_F(RequestHandlerTest, DownloadRefusalsAndExistingCopies) {
  server_.AddFile(u"a.txt", "server");
  server_.AddFile(u"changed.txt", "server");
  PutLocal(u"changed.txt", "edited locally");

  EXPECT_EQ(ByteAnswer(Ask(kRequestDownload,
                           DownloadPayload(View(u"a.txt"), /*notAllowed=*/1, u"indexer.exe"))),
            0);
  EXPECT_EQ(ReadLocal(Backend(u"a.txt")), "<missing>");
  EXPECT_EQ(ByteAnswer(Ask(kRequestDownload, DownloadPayload(View(u"missing.txt")))), 0);
  EXPECT_EQ(ByteAnswer(Ask(kRequestDownload, DownloadPayload(u"\\Device\\HarddiskVolume3\\a.txt"))),
            0);
  // A local copy is there already: approved, and never overwritten.
  EXPECT_EQ(ByteAnswer(Ask(kRequestDownload, DownloadPayload(View(u"changed.txt")))), 1);
  EXPECT_EQ(ReadLocal(Backend(u"changed.txt")), "edited locally");
  EXPECT_EQ(server_.ReadCount(), 0u);
}

TEST_F(RequestHandlerTest, FolderDownloadBringsTheWholeTree) {
  server_.AddFile(u"album\\one.jpg", "1");
  server_.AddFile(u"album\\more\\two.jpg", "22");
  server_.AddFolder(u"album\\empty");
  EXPECT_EQ(
      ByteAnswer(Ask(kRequestDownload, DownloadPayload(View(u"album"), 0, u"explorer.exe", 1))), 1);
  EXPECT_EQ(ReadLocal(Backend(u"album\\one.jpg")), "1");
  EXPECT_EQ(ReadLocal(Backend(u"album\\more\\two.jpg")), "22");
  ASSERT_TRUE(local_->Stat(Backend(u"album\\empty")).has_value());
  EXPECT_TRUE(local_->Stat(Backend(u"album\\empty"))->isDirectory);
}

TEST_F(RequestHandlerTest, CreatePathAnswersAsAFileSystemWould) {
  server_.AddFolder(u"docs");
  PutLocal(u"local\\x.txt");
  struct {
    std::u16string name;
    bool directory;
    std::uint8_t answer;
  } cases[] = {
      {View(u"docs\\New Folder"), true, 1},
      {View(u"docs\\deep\\new.txt"), false, 0},  // no such folder: nothing is made on the way
      {View(u"docs\\deep\\New Folder"), true, 0},
      {View(u"local\\new.txt"), false, 1},  // a folder only the local side has so far
      {View(u"local\\sub"), true, 1},
      {View(u"docs\\") + std::u16string(256, u'n'), true, 3},
      {View(u"docs\\") + std::u16string(256, u'n') + u".txt", false, 3},
      {View(u"docs\\") + std::u16string(255, u'n'), false, 1},
      {View(std::u16string(250, u'a') + u"\\" + std::u16string(250, u'b') + u"\\" +
            std::u16string(250, u'c') + u"\\" + std::u16string(250, u'd') + u"\\" +
            std::u16string(250, u'e')),
       true, 3},  // every component fits, the whole does not (the test server holds 1024)
      {View(u"bad:name"), false, 0},  // illegal, not too long
      {View(u"docs\\..\\..\\escape"), true, 0},
      {View(u"trailing."), true, 0},
      {kView, true, 0},
      {u"\\Device\\HarddiskVolume3\\Elsewhere\\x", true, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ByteAnswer(Ask(kRequestCreatePath, CreatePathPayload(c.name, c.directory))), c.answer)
        << ToUtf8(c.name.substr(0, 80));
  }
  ASSERT_TRUE(server_.Stat(u"docs\\new folder").has_value());
  EXPECT_TRUE(server_.Stat(u"docs\\new folder")->isDirectory);
  EXPECT_TRUE(server_.Stat(u"local\\sub").has_value());
  // A file's folder is made under the backend root; the file itself is not.
  EXPECT_TRUE(local_->Stat(Backend(u"local")).has_value());
  EXPECT_FALSE(server_.Stat(u"local\\new.txt").has_value());
  EXPECT_FALSE(local_->Stat(Backend(u"local\\new.txt")).has_value());
  EXPECT_FALSE(local_->Stat(Backend(u"docs\\deep")).has_value());
  EXPECT_EQ(server_.Dump(), "docs\\\ndocs\\New Folder\\\nlocal\\\nlocal\\sub\\\n");
}

TEST_F(RequestHandlerTest, DeleteRemovesOnlyWhatWasAskedFor) {
  server_.AddFile(u"docs\\a.txt", "a");
  server_.AddFile(u"old\\b.txt", "b");
  server_.AddFolder(u"empty");
  struct {
    const char* label;
    Bytes payload;
    std::uint8_t answer;
  } cases[] = {
      {"a file", DeletePayload(View(u"DOCS\\A.TXT")), 1},
      {"gone already", DeletePayload(View(u"docs\\a.txt")), 0},
      // What an overwrite of a folder's name sends: the folder stays.
      {"a folder by a file request", DeletePayload(View(u"empty")), 0},
      {"a folder with contents", DeletePayload(View(u"old"), true), 0},
      {"a file by a folder request", DeletePayload(View(u"old\\b.txt"), true), 0},
      {"an empty folder", DeletePayload(View(u"empty"), true), 1},
      {"the view's root", DeletePayload(kView, true), 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ByteAnswer(Ask(kRequestDeleteItem, c.payload)), c.answer) << c.label;
  }
  EXPECT_EQ(server_.Dump(), "docs\\\nold\\\nold\\b.txt 1\n");
}

TEST_F(RequestHandlerTest, RenameAnswers) {
  server_.AddFile(u"docs\\a.txt", "a");
  server_.AddFile(u"docs\\taken.txt", "t");
  server_.AddFile(u"album\\one.jpg", "1");
  server_.AddFile(u"album\\two.jpg", "2");
  server_.AddFile(u"kept\\k.txt", "k");
  PutLocal(u"album\\one.jpg", "1");
  PutLocal(u"kept\\k.txt", "k");
  const std::u16string outside = u"\\Device\\HarddiskVolume3\\Users\\alice\\Desktop\\x";
  struct {
    const char* label;
    Bytes payload;
    std::uint32_t answer;
  } cases[] = {
      {"same name", RenamePayload(View(u"docs\\a.txt"), View(u"docs\\a.txt")),
       kRenameAcceptedWithoutNewName},
      {"out of the view", RenamePayload(View(u"docs\\a.txt"), outside), kRenameMoveOutOfView},
      {"missing source", RenamePayload(View(u"docs\\none.txt"), View(u"docs\\b.txt")), 0},
      {"target taken", RenamePayload(View(u"docs\\a.txt"), View(u"docs\\taken.txt")), 0},
      {"target too long", RenamePayload(View(u"docs\\a.txt"), View(std::u16string(300, u'x'))), 0},
      {"local folder incomplete, leaving", RenamePayload(View(u"album"), outside, true),
       kRenameDownloadFolderFirst},
      {"local folder complete, leaving", RenamePayload(View(u"kept"), outside, true), kRenameDone},
      {"renamed", RenamePayload(View(u"docs\\a.txt"), View(u"docs\\b.txt")), kRenameDone},
      {"case only", RenamePayload(View(u"docs\\b.txt"), View(u"docs\\B.txt")), kRenameDone},
      {"local folder in the view", RenamePayload(View(u"kept"), View(u"Kept Files"), true),
       kRenameDone},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(WordAnswer(Ask(kRequestRenameItem, c.payload)), c.answer) << c.label;
  }
  EXPECT_EQ(
      server_.Dump(),
      "album\\\nalbum\\one.jpg 1\nalbum\\two.jpg 1\ndocs\\\ndocs\\B.txt 1\ndocs\\taken.txt 1\n"
      "Kept Files\\\nKept Files\\k.txt 1\n");
}

TEST_F(RequestHandlerTest, RenameTakesTheLocalCopyAlong) {
  server_.AddFile(u"docs\\a.txt", "a");
  PutLocal(u"docs\\a.txt", "local a");
  EXPECT_EQ(WordAnswer(Ask(kRequestRenameItem,
                           RenamePayload(View(u"docs\\a.txt"), View(u"moved\\z.txt")))),
            0u)
      << "the target's folder does not exist on the server";
  server_.AddFolder(u"moved");
  EXPECT_EQ(WordAnswer(Ask(kRequestRenameItem,
                           RenamePayload(View(u"docs\\a.txt"), View(u"moved\\z.txt")))),
            kRenameDone);
  EXPECT_EQ(ReadLocal(Backend(u"moved\\z.txt")), "local a");
  EXPECT_EQ(ReadLocal(Backend(u"docs\\a.txt")), "<missing>");
}

// A replacing rename reaches the agent as three requests (set aside, rename,
// delete the item set aside); a stop between them is finished at the next
// start, as far as the journal tells what happened.
TEST_F(RequestHandlerTest, InterruptedReplacingRenameIsFinishedAtTheNextStart) {
  const std::u16string x = View(u"docs\\x.txt");
  const std::u16string y = View(u"docs\\y.txt");
  const std::u16string aside = View(u"docs\\x.txt.tavo-replaced");
  const Bytes setAside = RenamePayload(x, aside);
  const Bytes takeName = RenamePayload(y, x);
  struct {
    const char* label;
    std::vector<Bytes> renames;
    bool deleteAside;
    const char* otherAtX;  // made on the server after the requests
    const char* server;    // at the end, after the next start
    const char* localX;
  } rows[] = {
      {"stopped once set aside", {setAside}, false, nullptr,
       "docs\\\ndocs\\x.txt 3\ndocs\\y.txt 3\n", "old"},
      {"stopped once the name was taken", {setAside, takeName}, false, nullptr,
       "docs\\\ndocs\\x.txt 3\n", "<missing>"},
      {"name taken since by another item", {setAside}, false, "other",
       "docs\\\ndocs\\x.txt 5\ndocs\\x.txt.tavo-replaced 3\ndocs\\y.txt 3\n", "<missing>"},
      {"completed", {setAside, takeName}, true, nullptr, "docs\\\ndocs\\x.txt 3\n", "<missing>"},
      {"failed and set back", {setAside, RenamePayload(aside, x)}, false, nullptr,
       "docs\\\ndocs\\x.txt 3\ndocs\\y.txt 3\n", "old"},
      {"a user's rename to a name of that form",
       {RenamePayload(y, View(u"docs\\z.tavo-replaced"))}, false, nullptr,
       "docs\\\ndocs\\x.txt 3\ndocs\\z.tavo-replaced 3\n", "old"},
  };
  for (const auto& row : rows) {
    MemoryServerStore server;
    server.AddFile(u"docs\\x.txt", "old");
    server.AddFile(u"docs\\y.txt", "new");
    PutLocal(u"docs\\x.txt", "old");
    const ViewPaths paths({kView, kBackend, kSecondary});
    AgentState state;
    RequestHandler handler(paths, server, *local_, FakeShortNames, state, kStaging);
    handler.RecoverReplacedItems();  // the start of this run
    for (const Bytes& rename : row.renames) {
      EXPECT_EQ(WordAnswer(handler.Handle(kRequestRenameItem, rename)), kRenameDone) << row.label;
    }
    if (row.deleteAside) {
      EXPECT_EQ(ByteAnswer(handler.Handle(kRequestDeleteItem, DeletePayload(aside))), 1);
    }
    if (row.otherAtX) server.AddFile(u"docs\\x.txt", row.otherAtX);

    AgentState restarted;
    RequestHandler next(paths, server, *local_, FakeShortNames, restarted, kStaging);
    next.RecoverReplacedItems();
    EXPECT_EQ(server.Dump(), row.server) << row.label;
    EXPECT_EQ(ReadLocal(Backend(u"docs\\x.txt")), row.localX) << row.label;
    EXPECT_TRUE(restarted.replaced.Items().empty()) << row.label;
    local_->Remove(Backend(u"docs\\x.txt"));
    local_->Remove(Backend(u"docs\\x.txt.tavo-replaced"));
  }
}

// Two replaces that cut long names to the same aside name: the second
// set-aside is refused, and the journal keeps the item standing there.
TEST_F(RequestHandlerTest, SetAsideOntoAnAsideNameInUseKeepsItsJournalLine) {
  handler_->RecoverReplacedItems();
  server_.AddFile(u"docs\\x.txt", "old");
  const Bytes setAside = RenamePayload(View(u"docs\\x.txt"), View(u"docs\\x.txt.tavo-replaced"));
  EXPECT_EQ(WordAnswer(Ask(kRequestRenameItem, setAside)), kRenameDone);
  const auto journaled = state_.replaced.Items();
  server_.AddFile(u"docs\\x.txt", "newer");
  EXPECT_EQ(WordAnswer(Ask(kRequestRenameItem, setAside)), 0u);
  EXPECT_EQ(state_.replaced.Items(), journaled);
}

// A damaged journal (or one that names other items) has nothing deleted
// or renamed: only a line naming an aside name and the very item set aside
// (a file, by its id) is acted on.
TEST_F(RequestHandlerTest, RecoveryTouchesOnlyTheItemsSetAside) {
  const char* journals[] = {
      "1\t{y}\tdocs\\x.txt\tdocs\\y.txt\n",
      "0\t{y}\tdocs\\z.txt\tdocs\\y.txt\n",
      "1\t{docs}\tdocs\\x.txt\tdocs\n",
      "1\t{y}\tdocs\\x.txt\t\n",
      "1\t999\tdocs\\z.txt\tdocs\\z.txt.tavo-replaced\n",
      "0\t999\tdocs\\z.txt\tdocs\\z.txt.tavo-replaced\n",
      "1\t{sub}\tdocs\\sub\tdocs\\sub.tavo-replaced\n",
      "1\tdocs\\z.txt\tdocs\\z.txt.tavo-replaced\n",
      "1\t\xff\xfe\t\t\n\x01",
  };
  for (const char* journal : journals) {
    MemoryServerStore server;
    server.AddFile(u"docs\\x.txt", "old");
    server.AddFile(u"docs\\y.txt", "new");
    server.AddFile(u"docs\\z.txt.tavo-replaced", "user's");
    server.AddFolder(u"docs\\sub.tavo-replaced");
    const std::string before = server.Dump();
    std::string text = journal;
    for (const auto& [key, path] : {std::pair{"{y}", u"docs\\y.txt"}, {"{docs}", u"docs"},
                                    {"{sub}", u"docs\\sub.tavo-replaced"}}) {
      const std::size_t at = text.find(key);
      if (at != std::string::npos) {
        text.replace(at, std::strlen(key), std::to_string(server.Stat(path)->fileId));
      }
    }
    ASSERT_TRUE(local_->WriteAll(std::u16string(kStaging) + u"\\replaced-items.txt",
                                 Bytes(text.begin(), text.end())));
    const ViewPaths paths({kView, kBackend, kSecondary});
    AgentState state;
    RequestHandler handler(paths, server, *local_, FakeShortNames, state, kStaging);
    handler.RecoverReplacedItems();
    EXPECT_EQ(server.Dump(), before) << text;
    EXPECT_TRUE(state.replaced.Items().empty()) << text;
  }
}

TEST_F(RequestHandlerTest, AsideNamesAreTheDriversOnly) {
  const std::u16string longName(250, u'l');
  const struct {
    std::u16string from, to;
    bool aside;
  } rows[] = {
      {u"d\\x.txt", u"d\\x.txt.tavo-replaced", true},
      {u"d\\x.txt", u"d\\x.txt.tavo-replaced-3", true},
      {u"d\\" + longName, u"d\\" + longName.substr(0, 241) + u".tavo-replaced", true},
      {u"d\\" + longName, u"d\\" + longName.substr(0, 200) + u".tavo-replaced", false},
      {u"d\\report.docx", u"d\\rep.tavo-replaced", false},
      {u"d\\x.txt", u"e\\x.txt.tavo-replaced", false},
      {u"d\\x.txt", u"d\\x.txt.tavo-replaced-0", false},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(ReplacedItems::IsSetAside(row.from, row.to), row.aside) << ToUtf8(row.to);
  }
}

// A store that fails half-way, as a host folder's walk can.
class BrokenStore : public MemoryServerStore {
 public:
  std::optional<std::vector<ItemInfo>> List(const std::u16string& path) override {
    if (path == u"broken") throw std::runtime_error("I/O error in the middle of a walk");
    return MemoryServerStore::List(path);
  }
};

TEST_F(RequestHandlerTest, AFailureInsideARequestFailsThatRequestAlone) {
  BrokenStore store;
  store.AddFolder(u"broken");
  store.AddFile(u"fine\\a.txt", "a");
  RequestHandler handler(ViewPaths({kView, kBackend, kSecondary}), store, *local_, FakeShortNames,
                         state_, kStaging);
  AgentAnswer failed =
      handler.Handle(kRequestDirectoryListing, ListingPayload(View(u"broken"), FileNamesInformation));
  EXPECT_EQ(failed.status, STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(failed.data.empty());
  EXPECT_EQ(handler.Handle(kRequestDirectoryListing, ListingPayload(View(u"fine"), 12)).status,
            STATUS_SUCCESS);
}

// ---- malformed input

struct BadCase {
  const char* label;
  std::uint32_t type;
  Bytes payload;
};

// A copy of exactly `keep` bytes: nothing past it is allocated, so a read
// past the payload shows under AddressSanitizer.
Bytes Truncated(const Bytes& bytes, std::size_t keep) {
  return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(keep));
}

Bytes WithoutNul(Bytes bytes, std::size_t nulOffset) {
  bytes[nulOffset] = 'x';
  bytes[nulOffset + 1] = 0;
  return bytes;
}

TEST_F(RequestHandlerTest, MalformedRequestsAreRefusedNotFollowed) {
  const std::u16string name = View(u"a.txt");
  const std::size_t nameBytes = name.size() * 2;
  Bytes bigLength = ItemQuery(name);
  bigLength[8] = 0xFF, bigLength[9] = 0xFF, bigLength[10] = 0xFF, bigLength[11] = 0x7F;
  Bytes oddLength = ItemQuery(name);
  oddLength[8] -= 1;
  // One byte more than the name and its NUL, the byte there too.
  Bytes oddPastNul = ItemQuery(name);
  oddPastNul[8] += 1;
  oddPastNul.push_back('x');
  const BadCase cases[] = {
      {"empty item query", kRequestItemQuery, {}},
      {"item query header only", kRequestItemQuery, Truncated(ItemQuery(name), 12)},
      {"item query name cut", kRequestItemQuery, Truncated(ItemQuery(name), 12 + nameBytes)},
      {"item query without NUL", kRequestItemQuery, WithoutNul(ItemQuery(name), 12 + nameBytes)},
      {"item query length past the end", kRequestItemQuery, bigLength},
      {"item query odd length", kRequestItemQuery, oddLength},
      {"item query odd length past its NUL", kRequestItemQuery, oddPastNul},
      {"item query length field cut", kRequestItemQuery, Truncated(ItemQuery(name), 11)},
      {"unknown query kind", kRequestItemQuery, ItemQuery(name, 4)},
      {"download header cut", kRequestDownload, Truncated(DownloadPayload(name), 530)},
      {"download without NUL", kRequestDownload,
       WithoutNul(DownloadPayload(name), 536 + nameBytes)},
      {"listing pattern cut", kRequestDirectoryListing,
       Truncated(ListingPayload(kView, 1, u"*.txt"),
                 ListingPayload(kView, 1, u"*.txt").size() - 6)},
      {"listing header cut", kRequestDirectoryListing, Truncated(ListingPayload(kView, 1), 20)},
      {"rename second name cut", kRequestRenameItem,
       Truncated(RenamePayload(name, name), RenamePayload(name, name).size() - 6)},
      {"delete without NUL", kRequestDeleteItem, WithoutNul(DeletePayload(name), 12 + nameBytes)},
      // "docs\0junk" must not be taken for "docs".
      {"delete with a NUL inside", kRequestDeleteItem,
       DeletePayload(View(std::u16string(u"docs\0junk", 9)), true)},
      {"create path header cut", kRequestCreatePath, Truncated(CreatePathPayload(name, false), 14)},
      {"unknown type", 9, ItemQuery(name)},
  };
  for (const BadCase& c : cases) {
    EXPECT_EQ(handler_->Check(c.type, c.payload), STATUS_INVALID_PARAMETER) << c.label;
    AgentAnswer answer = handler_->Handle(c.type, c.payload);
    EXPECT_EQ(answer.status, STATUS_INVALID_PARAMETER) << c.label;
    EXPECT_TRUE(answer.data.empty()) << c.label;
  }
  // The well-formed versions pass the check.
  EXPECT_EQ(handler_->Check(kRequestItemQuery, ItemQuery(name)), STATUS_SUCCESS);
  EXPECT_EQ(handler_->Check(kRequestDownload, DownloadPayload(name)), STATUS_SUCCESS);
  EXPECT_EQ(handler_->Check(kRequestDirectoryListing, ListingPayload(kView, 1, u"*.txt")),
            STATUS_SUCCESS);
}

TEST(Notifications, DecodeAndRefuseMalformedOnes) {
  const std::u16string name = Backend(u"a.txt");
  auto created = DecodeNotification(kNotificationCreated, NotificationPayload(0, name));
  ASSERT_TRUE(created.has_value());
  EXPECT_EQ(created->firstName, name);
  auto renamed =
      DecodeNotification(kNotificationRenamed, NotificationPayload(4, name, Backend(u"b.txt")));
  ASSERT_TRUE(renamed.has_value());
  EXPECT_EQ(renamed->secondName, Backend(u"b.txt"));

  Bytes cut = NotificationPayload(5, name);
  cut.resize(cut.size() - 2);
  Bytes noNul = NotificationPayload(5, name);
  noNul[noNul.size() - 2] = 'x';
  EXPECT_FALSE(DecodeNotification(kNotificationDeleted, cut));
  EXPECT_FALSE(DecodeNotification(kNotificationDeleted, noNul));
  EXPECT_FALSE(
      DecodeNotification(kNotificationRenamed, NotificationPayload(4, name)));  // no new name
  EXPECT_FALSE(DecodeNotification(kNotificationDeleted, Bytes(8, 0)));
  EXPECT_FALSE(DecodeNotification(7, NotificationPayload(0, name)));
}

}  // namespace
}  // namespace tavo::agent::testing
