// The merged view end to end through the user-mode NT API: opens of server
// items (metadata and data), blocked processes, creates of files and
// folders, short names, concurrent opens, and the demo's walk. These rely
// on the driver's create decision.
#include <ntapi.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "demo.h"
#include "e2e_fixture.h"
#include "harness/processes.h"
#include "harness/strings.h"
#include "kernel/lifecycle.h"

namespace tavo::e2e {
namespace {

void Close(std::uint32_t process, HANDLE handle) {
  if (handle != nullptr) sim::harness::RunAs(process, [&] { NtClose(handle); });
}

TEST_F(EndToEndTest, DataOpenDownloadsAndReadsTheServerContents) {
  Opened opened =
      OpenAs(notepad_, View(u"docs\\notes.txt"), GENERIC_READ, FILE_OPEN, FILE_NON_DIRECTORY_FILE);
  ASSERT_EQ(opened.status, STATUS_SUCCESS);
  EXPECT_EQ(ReadAllAs(notepad_, opened.handle), "server notes");
  Close(notepad_, opened.handle);
  EXPECT_TRUE(BackendHas(u"docs\\notes.txt"));
  EXPECT_EQ(agent_->counters().downloads, 1u);

  // A second open is served by the local copy: no second download.
  Opened again =
      OpenAs(explorer_, View(u"DOCS\\NOTES.TXT"), GENERIC_READ, FILE_OPEN, FILE_NON_DIRECTORY_FILE);
  ASSERT_EQ(again.status, STATUS_SUCCESS);
  EXPECT_EQ(ReadAllAs(explorer_, again.handle), "server notes");
  Close(explorer_, again.handle);
  EXPECT_EQ(agent_->counters().downloads, 1u);
}

TEST_F(EndToEndTest, MetadataOpenDoesNotDownload) {
  Opened opened = OpenAs(explorer_, View(u"docs\\notes.txt"), FILE_READ_ATTRIBUTES, FILE_OPEN);
  EXPECT_EQ(opened.status, STATUS_SUCCESS);
  Close(explorer_, opened.handle);
  EXPECT_FALSE(BackendHas(u"docs\\notes.txt"));
  EXPECT_EQ(agent_->counters().downloads, 0u);
  EXPECT_EQ(OpenAs(explorer_, View(u"docs\\absent.txt"), FILE_READ_ATTRIBUTES, FILE_OPEN).status,
            STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(EndToEndTest, BlockedProcessIsRefusedTheDownload) {
  Opened opened =
      OpenAs(indexer_, View(u"readme.txt"), GENERIC_READ, FILE_OPEN, FILE_NON_DIRECTORY_FILE);
  EXPECT_EQ(opened.status, STATUS_ACCESS_DENIED);
  Close(indexer_, opened.handle);
  EXPECT_FALSE(BackendHas(u"readme.txt"));
}

TEST_F(EndToEndTest, NewFileIsCreatedLocallyAndUploaded) {
  Opened created = OpenAs(notepad_, View(u"docs\\todo.txt"), GENERIC_READ | GENERIC_WRITE,
                          FILE_CREATE, FILE_NON_DIRECTORY_FILE);
  ASSERT_EQ(created.status, STATUS_SUCCESS);
  sim::harness::RunAs(notepad_, [&] {
    std::string text = "buy milk";
    IO_STATUS_BLOCK iosb{};
    EXPECT_EQ(NtWriteFile(created.handle, nullptr, nullptr, nullptr, &iosb, text.data(),
                          static_cast<ULONG>(text.size()), nullptr, nullptr),
              STATUS_SUCCESS);
  });
  Close(notepad_, created.handle);
  EXPECT_TRUE(BackendHas(u"docs\\todo.txt"));
  ASSERT_TRUE(agent_->WaitIdle());
  EXPECT_TRUE(std::filesystem::exists(serverFolder_ / "docs" / "todo.txt"))
      << "reported at its creation";
  EXPECT_EQ(agent_->SyncNow(), 1u);
  EXPECT_EQ(ServerFile("docs/todo.txt"), "buy milk");
  // An existing server item cannot be created again.
  EXPECT_EQ(
      OpenAs(notepad_, View(u"readme.txt"), GENERIC_WRITE, FILE_CREATE, FILE_NON_DIRECTORY_FILE)
          .status,
      STATUS_OBJECT_NAME_COLLISION);
}

TEST_F(EndToEndTest, NewFolderIsCreatedOnTheServer) {
  Opened folder =
      OpenAs(explorer_, View(u"Projects"), FILE_LIST_DIRECTORY, FILE_CREATE, FILE_DIRECTORY_FILE);
  EXPECT_EQ(folder.status, STATUS_SUCCESS);
  Close(explorer_, folder.handle);
  EXPECT_TRUE(std::filesystem::is_directory(serverFolder_ / "Projects"));
  // A name the server cannot hold.
  const std::u16string tooLong = View(std::u16string(256, u'p'));
  EXPECT_EQ(
      OpenAs(explorer_, tooLong, FILE_LIST_DIRECTORY, FILE_CREATE, FILE_DIRECTORY_FILE).status,
      STATUS_NAME_TOO_LONG);
}

TEST_F(EndToEndTest, ShortNameOpensTheServerItem) {
  Opened opened = OpenAs(explorer_, View(u"docs\\QUARTE~1.DOC"), GENERIC_READ, FILE_OPEN,
                         FILE_NON_DIRECTORY_FILE);
  ASSERT_EQ(opened.status, STATUS_SUCCESS);
  EXPECT_EQ(ReadAllAs(explorer_, opened.handle), "report");
  Close(explorer_, opened.handle);
  EXPECT_TRUE(BackendHas(u"docs\\Quarterly Report 2024.docx"));
}

TEST_F(EndToEndTest, ConcurrentOpensOfOneServerFileDownloadItOnce) {
  constexpr int kThreads = 8;
  std::vector<std::thread> threads;
  std::atomic<int> readWhole{0};
  for (int i = 0; i < kThreads; ++i) {
    threads.push_back(sim::harness::StartThreadAs(notepad_, [&] {
      Opened opened = OpenAs(notepad_, View(u"Photos\\beach.jpg"), GENERIC_READ, FILE_OPEN,
                             FILE_NON_DIRECTORY_FILE);
      if (opened.status != STATUS_SUCCESS) return;
      if (ReadAllAs(notepad_, opened.handle) == std::string(100000, 'j')) ++readWhole;
      Close(notepad_, opened.handle);
    }));
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(readWhole, kThreads);
  EXPECT_EQ(agent_->counters().downloads, 1u);
}

TEST_F(EndToEndTest, NamesOutsideTheViewNeverReachTheAgent) {
  Opened letter =
      OpenAs(notepad_, u"\\Device\\HarddiskVolume3\\Users\\alice\\Documents\\letter.txt",
             GENERIC_WRITE, FILE_OPEN_IF, FILE_NON_DIRECTORY_FILE);
  EXPECT_EQ(letter.status, STATUS_SUCCESS);
  Close(notepad_, letter.handle);
  EXPECT_EQ(agent_->counters().requests, 0u);
}

// Opens meant to reach the host outside the server folder, and the
// overwrite (CREATE_ALWAYS) of a server folder's name: whatever the opens
// answer, the server folder's neighbour and the folder stay (an empty one,
// which a delete that ignored IsDirectory could remove).
TEST_F(EndToEndTest, OpensCannotReachOutsideTheServerFolderNorOverwriteAFolder) {
  const std::filesystem::path victim = serverFolder_.string() + "-victim";
  std::filesystem::create_directories(victim);
  std::ofstream(victim / "secret.txt") << "secret";
  std::filesystem::create_directories(serverFolder_ / "empty");
  const std::u16string name = victim.filename().u16string();
  const struct {
    std::u16string path;
    ULONG disposition;
    ULONG options;
  } opens[] = {
      {View(u"..\\" + name), FILE_OVERWRITE_IF, 0},
      {View(u"docs\\..\\..\\" + name + u"\\secret.txt"), FILE_OVERWRITE_IF, 0},
      {View(u"..\\" + name + u"\\secret.txt"), FILE_OPEN, FILE_NON_DIRECTORY_FILE},
      {View(u"..\\" + name + u"\\made"), FILE_CREATE, FILE_DIRECTORY_FILE},
      {View(u"empty"), FILE_OVERWRITE_IF, FILE_NON_DIRECTORY_FILE},
  };
  for (const auto& open : opens) {
    Opened opened = OpenAs(notepad_, open.path, GENERIC_READ | GENERIC_WRITE, open.disposition,
                           open.options);
    Close(notepad_, opened.handle);
  }
  ASSERT_TRUE(agent_->WaitIdle());
  std::ifstream secret(victim / "secret.txt");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(secret), {}), "secret");
  EXPECT_FALSE(std::filesystem::exists(victim / "made"));
  EXPECT_TRUE(std::filesystem::is_directory(serverFolder_ / "empty"));
  std::filesystem::remove_all(victim);
}

// The demo boots its own machine: a plain test, run on the reset machine.
TEST(DemoWalk, EveryStepBehavesAndTheTraceShowsIt) {
  std::ostringstream out;
  tool::DemoOptions options;
  EXPECT_EQ(tool::RunDemo(options, out), 0) << out.str();
  const std::string text = out.str();
  const char* const expected[] = {
      "driver loaded: DriverEntry -> STATUS_SUCCESS",
      "[explorer.exe] open C:\\Users\\alice\\Tavo\\docs\\notes.txt for FILE_READ_ATTRIBUTES -> "
      "STATUS_SUCCESS",
      "local copy present: no (nothing was downloaded)",
      ": download \\Device\\HarddiskVolume3\\Users\\alice\\Tavo\\docs\\notes.txt for notepad.exe",
      "contents: \"Meeting notes: ship the merged view on Friday.\"",
      "for indexer.exe (process not allowed)",
      "[indexer.exe] open C:\\Users\\alice\\Tavo\\readme.txt for GENERIC_READ -> "
      "STATUS_ACCESS_DENIED",
      "[explorer.exe] dir C:\\Users\\alice\\Tavo -> STATUS_NO_MORE_FILES",
      "   readme.txt  27 bytes  (server only)",
      "   notes.txt  47 bytes  (local copy)",
      "[indexer.exe] dir C:\\Users\\alice\\Tavo -> STATUS_NO_MORE_FILES  0 entries",
      "create file \\Device\\HarddiskVolume3\\Users\\alice\\Tavo\\docs\\todo.txt",
      "agent: uploaded docs\\todo.txt (9 bytes)",
      "the short name of \"Quarterly Report 2024.docx\" is QUARTE~1.DOC",
      "long name of \\Device\\HarddiskVolume3\\Users\\alice\\Tavo\\docs\\QUARTE~1.DOC",
      "create folder \\Device\\HarddiskVolume3\\Users\\alice\\Tavo\\Projects",
      "requests to the agent: 0",
      "  docs\\todo.txt  (9 bytes)",
      "driver unloaded -> STATUS_SUCCESS",
      "demo finished: every step behaved as expected",
  };
  for (const char* line : expected)
    EXPECT_NE(text.find(line), std::string::npos) << "missing: " << line;
}

}  // namespace
}  // namespace tavo::e2e
