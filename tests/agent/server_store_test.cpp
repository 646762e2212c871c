// Both servers behave alike: the folder on the host and the one in memory
// answer the same sequence of operations the same way, Windows-style (names
// found ignoring case, kept as written).
#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include "agent_test_support.h"
#include "folder_server_store.h"
#include "text.h"

namespace tavo::agent::testing {
namespace {

namespace fs = std::filesystem;

class ServerStores : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (GetParam()) {
      folder_ = MakeSandbox();
      store_ = std::make_unique<FolderServerStore>(folder_);
    } else {
      store_ = std::make_unique<MemoryServerStore>();
    }
  }
  void TearDown() override {
    if (!folder_.empty()) fs::remove_all(folder_);
  }
  Bytes B(const std::string& text) { return Bytes(text.begin(), text.end()); }
  std::vector<std::string> Names(const std::u16string& folder) {
    std::vector<std::string> names;
    for (const ItemInfo& item : store_->List(folder).value_or(std::vector<ItemInfo>{})) {
      names.push_back(ToUtf8(item.name) + (item.isDirectory ? "\\" : ""));
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path folder_;
  std::unique_ptr<ServerStore> store_;
};

TEST_P(ServerStores, BehaveLikeAWindowsShare) {
  ServerStore& s = *store_;
  ASSERT_TRUE(s.MakeFolder(u"Docs\\Reports"));
  EXPECT_TRUE(s.MakeFolder(u"DOCS"));  // exists already, any case
  ASSERT_TRUE(s.Write(u"docs\\Notes.txt", B("hello")));
  EXPECT_FALSE(s.Write(u"missing\\x.txt", B("x"))) << "the folder must exist";
  EXPECT_FALSE(s.Write(u"docs\\reports", B("x"))) << "a folder is not a file";

  auto notes = s.Stat(u"DOCS\\NOTES.TXT");
  ASSERT_TRUE(notes.has_value());
  EXPECT_EQ(ToUtf8(notes->name), "Notes.txt");
  EXPECT_EQ(notes->size, 5u);
  EXPECT_FALSE(notes->isDirectory);
  EXPECT_GT(notes->lastWriteTime, 125911584000000000) << "a time after 2000";
  EXPECT_TRUE(s.Stat(u"")->isDirectory);

  // Writing with another case replaces the same file and keeps its name.
  ASSERT_TRUE(s.Write(u"docs\\NOTES.txt", B("replaced")));
  EXPECT_EQ(Names(u"docs"), (std::vector<std::string>{"Notes.txt", "Reports\\"}));
  Bytes contents;
  ASSERT_TRUE(s.Read(u"Docs\\notes.TXT", &contents));
  EXPECT_EQ(std::string(contents.begin(), contents.end()), "replaced");
  EXPECT_FALSE(s.Read(u"docs\\reports", &contents));

  ASSERT_TRUE(s.Write(u"docs\\other.txt", B("o")));
  EXPECT_FALSE(s.Rename(u"docs\\notes.txt", u"docs\\OTHER.txt")) << "target exists";
  EXPECT_TRUE(s.Rename(u"docs\\notes.txt", u"docs\\NOTES.txt")) << "a change of case";
  EXPECT_TRUE(s.Rename(u"docs\\notes.txt", u"docs\\reports\\moved.txt"));
  EXPECT_FALSE(s.Rename(u"docs\\none.txt", u"docs\\x.txt"));
  EXPECT_EQ(Names(u"docs"), (std::vector<std::string>{"Reports\\", "other.txt"}));
  EXPECT_EQ(Names(u"docs\\reports"), (std::vector<std::string>{"moved.txt"}));

  EXPECT_FALSE(s.Remove(u"DOCS\\reports")) << "a folder with contents is never removed whole";
  EXPECT_TRUE(s.Remove(u"docs\\reports\\MOVED.txt"));
  EXPECT_TRUE(s.Remove(u"DOCS\\reports"));
  EXPECT_FALSE(s.Remove(u"docs\\reports"));
  EXPECT_FALSE(s.List(u"docs\\other.txt").has_value());
  EXPECT_FALSE(s.Stat(u"nothing").has_value());

  EXPECT_TRUE(s.CanHold(u"docs\\" + std::u16string(255, u'n')));
  EXPECT_FALSE(s.CanHold(u"docs\\" + std::u16string(256, u'n')));
  EXPECT_FALSE(s.CanHold(u"docs\\a|b"));
  EXPECT_FALSE(s.MakeFolder(u"docs\\" + std::u16string(256, u'n')));
}

INSTANTIATE_TEST_SUITE_P(Stores, ServerStores, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? std::string("Folder") : std::string("Memory");
                         });

TEST(FolderServerStore, KeepsNonAsciiNamesAndHonoursTheHostPathLimit) {
  const fs::path root = MakeSandbox();
  FolderServerStore store(root);
  ASSERT_TRUE(store.Write(u"r\u00e9sum\u00e9.txt", Bytes{'x'}));
  EXPECT_TRUE(fs::exists(root / "r\xC3\xA9sum\xC3\xA9.txt"));
  EXPECT_TRUE(store.Stat(u"R\u00c9SUM\u00c9.TXT").has_value());
  // Components that fit, a whole that the host cannot hold.
  std::u16string deep;
  for (int i = 0; i < 20; ++i) deep = JoinRelative(deep, std::u16string(250, u'd'));
  EXPECT_FALSE(store.CanHold(deep));
  fs::remove_all(root);
}

// Links planted in the server folder lead nowhere, host names Windows
// could not use are left out, and a file is replaced whole: a reader of the
// old version goes on reading all of it.
TEST(FolderServerStore, NeverFollowsLinksAndReplacesFilesWhole) {
  const fs::path sandbox = MakeSandbox();
  const fs::path root = sandbox / "server";
  const fs::path outside = sandbox / "outside";
  fs::create_directories(root / "docs");
  fs::create_directories(outside);
  std::ofstream(outside / "secret.txt") << "secret";
  std::ofstream(root / "bad\xFF.txt") << "not UTF-8";
  std::ofstream(root / "trailing.") << "unreachable from Windows";
  fs::create_directory_symlink(outside, root / "link");
  fs::create_symlink(outside / "secret.txt", root / "docs" / "file");

  FolderServerStore store(root);
  std::vector<std::string> names;
  const auto items = store.List(u"");
  ASSERT_TRUE(items.has_value());
  for (const ItemInfo& item : *items) names.push_back(ToUtf8(item.name));
  EXPECT_EQ(names, std::vector<std::string>{"docs"});
  Bytes contents;
  EXPECT_FALSE(store.Stat(u"link").has_value());
  EXPECT_FALSE(store.Read(u"link\\secret.txt", &contents));
  EXPECT_FALSE(store.Read(u"docs\\file", &contents));
  EXPECT_FALSE(store.Write(u"link\\new.txt", Bytes{'x'}));
  EXPECT_FALSE(store.Write(u"docs\\file", Bytes{'x'}));
  EXPECT_FALSE(store.MakeFolder(u"link\\sub"));
  EXPECT_FALSE(store.Remove(u"docs\\file"));
  EXPECT_FALSE(store.Rename(u"docs\\file", u"docs\\moved"));
  EXPECT_FALSE(store.Rename(u"docs", u"link"));
  std::ifstream secret(outside / "secret.txt");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(secret), {}), "secret");
  EXPECT_EQ(std::distance(fs::directory_iterator(outside), fs::directory_iterator()), 1);

  ASSERT_TRUE(store.Write(u"docs\\a.txt", Bytes{'o', 'l', 'd'}));
  std::ifstream reader(root / "docs" / "a.txt", std::ios::binary);
  ASSERT_TRUE(store.Write(u"docs\\a.txt", Bytes{'n', 'e', 'w', '!'}));
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(reader), {}), "old");
  ASSERT_TRUE(store.Read(u"docs\\a.txt", &contents));
  EXPECT_EQ(std::string(contents.begin(), contents.end()), "new!");
  EXPECT_EQ(std::distance(fs::directory_iterator(root / "docs"), fs::directory_iterator()), 2)
      << "no temporary is left beside the file";
  fs::remove_all(sandbox);
}

// A read error ends the read as a failure: only an interrupted read is
// tried again. (A process's memory file is a regular file whose read at
// offset 0 fails, nothing being mapped there.)
TEST(FolderServerStore, AReadErrorFailsTheRead) {
  const fs::path process = fs::path("/proc") / std::to_string(::getpid());
  if (!fs::exists(process / "mem")) GTEST_SKIP() << "no /proc on this host";
  FolderServerStore store(process);
  Bytes contents;
  EXPECT_FALSE(store.Read(u"mem", &contents));
}

// A write the file system refuses midway (a full disk; here a file-size
// limit) fails, keeps the old version whole and leaves no temporary; only an
// interrupted write is tried again.
TEST(FolderServerStore, AWriteErrorFailsTheWriteAndKeepsTheOldVersion) {
  const fs::path sandbox = MakeSandbox();
  FolderServerStore store(sandbox);
  ASSERT_TRUE(store.Write(u"a.txt", Bytes{'o', 'l', 'd'}));
  struct rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  struct sigaction ignore = {}, previous = {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGXFSZ, &ignore, &previous), 0);  // EFBIG instead of the signal
  struct rlimit limit = saved;
  limit.rlim_cur = 2;  // the first write takes 2 bytes, the next fails
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
  const bool wrote = store.Write(u"a.txt", Bytes(4096, 'n'));
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::sigaction(SIGXFSZ, &previous, nullptr);
  EXPECT_FALSE(wrote);
  Bytes contents;
  ASSERT_TRUE(store.Read(u"a.txt", &contents));
  EXPECT_EQ(std::string(contents.begin(), contents.end()), "old");
  EXPECT_EQ(std::distance(fs::directory_iterator(sandbox), fs::directory_iterator()), 1)
      << "no temporary is left beside the file";
  fs::remove_all(sandbox);
}

// A server folder swapped for a link to an outside folder while files are
// written and removed through it: the store works through the folders it
// opened, so nothing outside changes whatever the timing. (Paths walked
// again after the check for links wrote and deleted outside.)
TEST(FolderServerStore, AFolderSwappedForALinkMeanwhileLeadsNowhere) {
  const fs::path sandbox = MakeSandbox();
  const fs::path server = sandbox / "server", victim = sandbox / "victim";
  fs::create_directories(server / "docs_real");
  fs::create_directories(victim);
  std::ofstream(sandbox / "canary.txt") << "canary";
  std::ofstream(victim / "keep.txt") << "keep";
  fs::create_directory_symlink(victim, server / "docs_link");
  FolderServerStore store(server);

  std::atomic<bool> stop{false};
  std::thread swapper([&] {
    std::error_code ignored;
    while (!stop) {
      // "docs" is the server's folder, then the link, in turn.
      for (const char* name : {"docs_real", "docs_link"}) {
        fs::rename(server / name, server / "docs", ignored);
        fs::rename(server / "docs", server / name, ignored);
      }
      if (!fs::exists(server / "docs_real" / "keep.txt"))
        std::ofstream(server / "docs_real" / "keep.txt") << "server copy";
    }
  });
  for (int i = 0; i < 10000; ++i) {
    store.Write(u"docs\\x.txt", Bytes{'x'});
    store.Remove(u"docs\\keep.txt");
    store.Remove(u"docs\\x.txt");
  }
  stop = true;
  swapper.join();
  EXPECT_EQ(std::distance(fs::directory_iterator(victim), fs::directory_iterator()), 1);
  EXPECT_TRUE(fs::exists(victim / "keep.txt"));
  EXPECT_TRUE(fs::exists(sandbox / "canary.txt"));
  fs::remove_all(sandbox);
}

}  // namespace
}  // namespace tavo::agent::testing
