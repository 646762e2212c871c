// Deletes and renames end to end: the driver and the reference agent over
// a server folder, each scenario checked in what the caller got, what the
// server holds, and what the backend folder holds; nothing is ever made in
// the merged view's own folder on disk.
#include <ntapi.h>

#include <cstring>
#include <fstream>

#include "e2e_fixture.h"
#include "payload_builders.h"
#include "harness/processes.h"
#include "harness/strings.h"

namespace tavo::e2e {
namespace {

namespace fs = std::filesystem;

constexpr char16_t kVolume[] = u"\\Device\\HarddiskVolume3";

std::u16string DosOf(const std::u16string& devicePath) {
  return u"\\??\\C:" + devicePath.substr(std::u16string_view(kVolume).size());
}

class SetInfoEndToEndTest : public EndToEndTest {
 protected:
  NTSTATUS SetInfoAs(std::uint32_t process, HANDLE handle, FILE_INFORMATION_CLASS infoClass,
                     std::vector<std::uint64_t> buffer, ULONG length,
                     ULONG_PTR* information = nullptr) {
    return sim::harness::RunAs(process, [&] {
      IO_STATUS_BLOCK iosb{};
      const NTSTATUS status = NtSetInformationFile(handle, &iosb, buffer.data(), length, infoClass);
      if (information != nullptr) *information = iosb.Information;
      return status;
    });
  }
  NTSTATUS Rename(std::uint32_t process, HANDLE handle, const std::u16string& name, ULONG first,
                  FILE_INFORMATION_CLASS infoClass = FileRenameInformation,
                  ULONG_PTR* information = nullptr) {
    std::vector<std::uint64_t> buffer((24 + name.size() * 2) / 8 + 1);
    auto* info = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer.data());
    info->Flags = first;
    info->FileNameLength = static_cast<ULONG>(name.size() * 2);
    std::memcpy(info->FileName, name.data(), name.size() * 2);
    return SetInfoAs(process, handle, infoClass, buffer, static_cast<ULONG>(buffer.size() * 8),
                     information);
  }
  NTSTATUS Dispose(std::uint32_t process, HANDLE handle, ULONG flags) {
    return SetInfoAs(process, handle, FileDispositionInformation, {flags}, 1);
  }
  void Close(std::uint32_t process, HANDLE& handle) {
    if (handle != nullptr) sim::harness::RunAs(process, [&] { NtClose(handle); });
    handle = nullptr;
  }
  bool ServerHas(const std::string& relative) const { return fs::exists(serverFolder_ / relative); }
  void ExpectViewFolderEmpty() {
    const std::string tree = volume_->DumpTree({false, false});
    // Folders print with a trailing backslash: the folder itself may stand.
    const std::string folder = "\n\\Users\\alice\\Tavo\\";
    const std::size_t at = tree.find(folder);
    EXPECT_TRUE(at == std::string::npos || tree.compare(at + folder.size(), 1, "\n") == 0) << tree;
  }
  void TearDown() override {
    ExpectViewFolderEmpty();
    EndToEndTest::TearDown();
  }
};

TEST_F(SetInfoEndToEndTest, DeletesOfServerItems) {
  struct Row {
    const char* what;
    std::u16string path;
    ULONG options;
    NTSTATUS status;
    std::string onServer;  // what must be gone or kept
    bool deleted;
  };
  std::filesystem::create_directories(serverFolder_ / "Empty");
  const Row rows[] = {
      {"server file", View(u"readme.txt"), 0, STATUS_SUCCESS, "readme.txt", true},
      {"empty folder", View(u"Empty"), FILE_DIRECTORY_FILE, STATUS_SUCCESS, "Empty", true},
      {"folder not empty", View(u"Photos"), FILE_DIRECTORY_FILE, STATUS_DIRECTORY_NOT_EMPTY,
       "Photos", false},
  };
  for (const Row& row : rows) {
    Opened opened = OpenAs(explorer_, row.path, DELETE | FILE_READ_ATTRIBUTES, FILE_OPEN, row.options);
    ASSERT_EQ(opened.status, STATUS_SUCCESS) << row.what;
    EXPECT_EQ(Dispose(explorer_, opened.handle, 1), row.status) << row.what;
    EXPECT_TRUE(ServerHas(row.onServer)) << row.what << ": deleted before the close";
    Close(explorer_, opened.handle);
    agent_->WaitIdle();
    EXPECT_EQ(ServerHas(row.onServer), !row.deleted) << row.what;
  }
  EXPECT_FALSE(BackendHas(u"readme.txt"));
}

TEST_F(SetInfoEndToEndTest, RenamesOfServerItems) {
  struct Row {
    const char* what;
    std::u16string from;
    ULONG options;
    std::u16string target;  // the rename buffer's name
    FILE_INFORMATION_CLASS infoClass;
    ULONG first;
    NTSTATUS status;
    std::string gone, present;  // on the server afterwards ("" for none)
  };
  const Row rows[] = {
      {"folder in the view", View(u"Photos"), FILE_DIRECTORY_FILE, DosOf(View(u"Pictures")),
       FileRenameInformation, 0, STATUS_SUCCESS, "Photos", "Pictures/beach.jpg"},
      {"onto a name with replace", View(u"docs\\notes.txt"), 0,
       DosOf(View(u"docs\\Quarterly Report 2024.docx")), FileRenameInformationEx, 0x41,
       STATUS_SUCCESS, "docs/notes.txt", "docs/Quarterly Report 2024.docx"},
  };
  for (const Row& row : rows) {
    Opened opened =
        OpenAs(explorer_, row.from, DELETE | FILE_READ_ATTRIBUTES, FILE_OPEN, row.options);
    ASSERT_EQ(opened.status, STATUS_SUCCESS) << row.what;
    EXPECT_EQ(Rename(explorer_, opened.handle, row.target, row.first, row.infoClass), row.status)
        << row.what;
    Close(explorer_, opened.handle);
    agent_->WaitIdle();
    EXPECT_TRUE(row.gone.empty() || !ServerHas(row.gone)) << row.what;
    EXPECT_TRUE(row.present.empty() || ServerHas(row.present)) << row.what;
  }
  std::ifstream replaced(serverFolder_ / "docs" / "Quarterly Report 2024.docx");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(replaced), {}), "server notes");
}

// A file, and a folder never downloaded (a delete on the server takes a
// folder only while it is empty).
TEST_F(SetInfoEndToEndTest, RenameOutOfTheViewDownloadsMovesAndDeletesOnTheServer) {
  const struct {
    const char* item;
    ULONG options;
    const char16_t* read;  // below the moved item's new place
    const char* contents;
  } rows[] = {{"readme.txt", 0, u"", "read me"},
              {"Photos", FILE_DIRECTORY_FILE, u"\\beach.jpg", nullptr}};
  for (const auto& row : rows) {
    const std::u16string name = sim::harness::FromUtf8(row.item);
    Opened opened = OpenAs(explorer_, View(name), DELETE | FILE_READ_ATTRIBUTES, FILE_OPEN, row.options);
    ASSERT_EQ(opened.status, STATUS_SUCCESS) << row.item;
    const std::u16string moved = std::u16string(kVolume) + u"\\Users\\alice\\Documents\\" + name;
    const std::u16string target = DosOf(moved);
    ULONG_PTR information = 0;
    EXPECT_EQ(Rename(explorer_, opened.handle, target, 0, FileRenameInformation, &information),
              STATUS_SUCCESS) << row.item;
    EXPECT_EQ(information, target.size() * 2 + 24) << row.item;
    Close(explorer_, opened.handle);
    agent_->WaitIdle();
    EXPECT_FALSE(ServerHas(row.item)) << row.item;
    EXPECT_FALSE(BackendHas(name)) << row.item;
    Opened copy = OpenAs(explorer_, moved + row.read, GENERIC_READ, FILE_OPEN);
    ASSERT_EQ(copy.status, STATUS_SUCCESS) << row.item;
    if (row.contents != nullptr) {
      EXPECT_EQ(ReadAllAs(explorer_, copy.handle), row.contents);
    }
    Close(explorer_, copy.handle);
  }
}

TEST_F(SetInfoEndToEndTest, RenameOfABackendFileIsCarriedToTheServer) {
  Opened opened = OpenAs(notepad_, View(u"docs\\notes.txt"), GENERIC_READ | DELETE, FILE_OPEN,
                         FILE_NON_DIRECTORY_FILE);
  ASSERT_EQ(opened.status, STATUS_SUCCESS);
  Close(notepad_, opened.handle);
  Opened local = OpenAs(explorer_, Backend(u"docs\\notes.txt"), DELETE | FILE_READ_ATTRIBUTES,
                        FILE_OPEN);
  ASSERT_EQ(local.status, STATUS_SUCCESS);
  EXPECT_EQ(Rename(explorer_, local.handle, DosOf(Backend(u"docs\\minutes.txt")), 0),
            STATUS_SUCCESS);
  Close(explorer_, local.handle);
  agent_->WaitIdle();
  EXPECT_FALSE(ServerHas("docs/notes.txt"));
  EXPECT_TRUE(ServerHas("docs/minutes.txt"));
}

// The agent stopped right after the driver set a replacing rename's target
// aside: at its next start the item gets its name back (the rename never
// took it), and the view shows it again.
TEST_F(SetInfoEndToEndTest, ItemLeftAsideByAnInterruptedReplaceGetsItsNameBackAtTheNextStart) {
  const std::u16string notes = View(u"docs\\notes.txt");
  const Exchange setAside = Ask(protocol::kRequestRenameItem,
                                agent::testing::RenamePayload(notes, notes + u".tavo-replaced"), 4);
  ASSERT_EQ(setAside.status, STATUS_SUCCESS);
  ASSERT_EQ(setAside.reply.at(0), protocol::kRenameDone);
  ASSERT_TRUE(ServerHas("docs/notes.txt.tavo-replaced"));
  StopAgent();
  StartAgent();
  EXPECT_TRUE(ServerHas("docs/notes.txt"));
  EXPECT_FALSE(ServerHas("docs/notes.txt.tavo-replaced"));
  Opened opened = OpenAs(explorer_, notes, GENERIC_READ, FILE_OPEN, FILE_NON_DIRECTORY_FILE);
  ASSERT_EQ(opened.status, STATUS_SUCCESS);
  Close(explorer_, opened.handle);
}

}  // namespace
}  // namespace tavo::e2e
