// The merged view end to end through the user-mode NT API: the demo's walk
// (metadata and data opens, a blocked process, listings, new files and
// folders, a short name, a name outside the view, renames and deletes, each
// step checked by the demo itself), concurrent opens of one server file,
// and opens that try to leave the server folder.
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
