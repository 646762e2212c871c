// Renames of real files: into the view (redirected under the backend
// folder), out of it, and of backend files, which the post-operation
// reports; the retry for the two reader processes; dispositions of tracked
// backend files.
#include "setinfo_fixture.h"

#include <thread>

#include "harness/processes.h"
#include "harness/threads.h"

namespace tavo::testing {
namespace {

using protocol::kRequestCreatePath;
using protocol::kRequestDeleteItem;
using protocol::kRequestItemQuery;

class LocalFilesTest : public SetInfoTest {
 protected:
  void SetUp() override {
    SetInfoTest::SetUp();
    ASSERT_EQ(volume_->Populate({DirSpec(u"\\Users\\ann\\Documents"),
                                 FileSpecOf(kOutside, "draft")}),
              STATUS_SUCCESS);
  }
  OpenResult OpenForRename(const std::u16string& onVolume, std::uint32_t process = 0) {
    OpenResult opened =
        Opened(kVolumeDevice + onVolume, DELETE | FILE_READ_ATTRIBUTES, FILE_OPEN, 0, process);
    return opened;
  }
  // The rename notifications sent so far, as "old>new" (full device paths).
  std::vector<std::u16string> RenameNotes() {
    std::vector<std::u16string> notes;
    for (const auto& message : client_->Notifications()) {
      SentRequest note{message.type, message.payload};
      if (note.U32(0) != protocol::kNotificationRenamed) continue;
      notes.push_back(note.Name(4, 12) + u">" + note.Name(8, 12 + note.U32(4)));
    }
    return notes;
  }
  // The file named by the last delete notification sent.
  std::u16string LastDeleteNote() {
    std::u16string deleted;
    for (const auto& message : client_->Notifications()) {
      SentRequest note{message.type, message.payload};
      if (note.U32(0) == protocol::kNotificationDeleted) deleted = note.Name(4, 12);
    }
    return deleted;
  }
  const std::u16string kOutside = u"\\Users\\ann\\Documents\\draft.txt";
};

// Replace as the file system has it: a server item that is open is not
// replaced; a folder renamed onto its own name (a change of case) is.
TEST_F(LocalFilesTest, ReplaceRefusesAnOpenItemAndAllowsTheItemItself) {
  const std::u16string target = InView(u"\\notes.txt");
  AddServerItem(target, {false, "server"});
  OpenResult held = Opened(target, FILE_READ_ATTRIBUTES, FILE_OPEN);
  OpenResult opened = OpenForRename(kOutside);
  EXPECT_EQ(Rename(opened, ViewDos(u"\\notes.txt"), 1).status, STATUS_ACCESS_DENIED);
  EXPECT_TRUE(VolumeHas(kOutside));
  EXPECT_TRUE(Sent(protocol::kRequestRenameItem).empty());
  Close(opened);
  Close(held);

  AddBackendDirectory(u"\\Docs");
  AddServerItem(InView(u"\\Docs"), {true, {}});
  OpenResult folder = Opened(kVolumeDevice + kBackendOnVolume + u"\\Docs",
                             DELETE | FILE_READ_ATTRIBUTES, FILE_OPEN, FILE_DIRECTORY_FILE);
  EXPECT_EQ(Rename(folder, ViewDos(u"\\DOCS"), 1).status, STATUS_SUCCESS);
  EXPECT_TRUE(ServerHas(InView(u"\\Docs")));
  Close(folder);
}

struct IntoViewRow {
  const char* what;
  ULONG first;
  bool backendCopy;  // a local copy already at the target
  bool serverItem;   // a server item at the target
  std::uint8_t createPathAnswer;
  std::uint8_t deleteAnswer;
  NTSTATUS status;
  std::size_t deletes;
  std::size_t createPaths;
  // How the server answers the rename that sets a replaced item aside.
  std::uint32_t asideAnswer = protocol::kRenameDone;
};

class IntoViewTest : public LocalFilesTest, public ::testing::WithParamInterface<IntoViewRow> {};

const IntoViewRow kIntoView[] = {
    {"new name", 0, false, false, 1, 1, STATUS_SUCCESS, 0, 1},
    {"local collision", 0, true, false, 1, 1, STATUS_OBJECT_NAME_COLLISION, 0, 0},
    {"server collision", 0, false, true, 1, 1, STATUS_OBJECT_NAME_COLLISION, 0, 0},
    {"replace server item", 1, false, true, 1, 1, STATUS_SUCCESS, 1, 1},
    // The replaced item goes only once the file has its name.
    {"replace whose delete is refused", 1, false, true, 1, 0, STATUS_SUCCESS, 1, 1},
    {"replace refused by the server", 1, false, true, 1, 1, STATUS_ACCESS_DENIED, 0, 0, 0},
    {"replace answered with an unknown code", 1, false, true, 1, 1, STATUS_ACCESS_DENIED, 0, 0, 7},
    {"replace the client does not prepare keeps the target", 1, false, true, 0, 1,
     STATUS_ACCESS_DENIED, 0, 1},
    {"replace local copy", 1, true, true, 1, 1, STATUS_SUCCESS, 0, 1},
    {"client does not prepare", 0, false, false, 0, 1, STATUS_ACCESS_DENIED, 0, 1},
    {"client answers create path oddly", 0, false, false, 9, 1, STATUS_ACCESS_DENIED, 0, 1},
};

TEST_P(IntoViewTest, LandsUnderTheBackendFolder) {
  const IntoViewRow& row = GetParam();
  SetCreatePathAnswer(row.createPathAnswer);
  SetDeleteAnswer(row.deleteAnswer);
  SetRenameAnswer(row.asideAnswer);
  if (row.backendCopy) AddBackendFile(u"\\notes.txt", "older copy");
  if (row.serverItem) AddServerItem(InView(u"\\notes.txt"), {false, "server"});
  OpenResult opened = OpenForRename(kOutside);
  const SetInfoResult result = Rename(opened, ViewDos(u"\\notes.txt"), row.first);
  EXPECT_EQ(result.status, row.status);
  EXPECT_EQ(result.information, 0u);
  EXPECT_EQ(Sent(kRequestDeleteItem).size(), row.deletes);
  EXPECT_EQ(Sent(kRequestCreatePath).size(), row.createPaths);
  const bool moved = row.status == STATUS_SUCCESS;
  EXPECT_EQ(VolumeHas(kOutside), !moved);
  EXPECT_EQ(VolumeHas(kBackendOnVolume + u"\\notes.txt"), moved || row.backendCopy);
  EXPECT_EQ(ServerHas(InView(u"\\notes.txt")),
            row.serverItem && (!moved || row.backendCopy));
  if (moved) {
    ASSERT_EQ(RenameNotes().size(), 1u);
    EXPECT_EQ(RenameNotes()[0],
              kVolumeDevice + kOutside + u">" + kBackend + u"\\notes.txt");
  } else {
    EXPECT_TRUE(RenameNotes().empty());
  }
  Close(opened);
  ExpectViewFolderEmpty();
}

INSTANTIATE_TEST_SUITE_P(Rows, IntoViewTest, ::testing::ValuesIn(kIntoView),
                         [](const auto& info) { return RowName(info); });

TEST_F(LocalFilesTest, RenameOutsideTheViewPassesDownUnreported) {
  OpenResult opened = OpenForRename(kOutside);
  EXPECT_EQ(Rename(opened, Dos(u"\\Users\\ann\\Documents\\final.txt")).status, STATUS_SUCCESS);
  EXPECT_TRUE(VolumeHas(u"\\Users\\ann\\Documents\\final.txt"));
  EXPECT_TRUE(client_->Requests().empty());
  Close(opened);
  EXPECT_TRUE(RenameNotes().empty());
}

TEST_F(LocalFilesTest, BackendFileRenamesAreReportedExceptToPartialDownloads) {
  AddBackendFile(u"\\report.tmp", "pdf");
  OpenResult opened = OpenForRename(kBackendOnVolume + u"\\report.tmp");
  for (const char16_t* name : {u"report.pdf.PART", u"report.pdf", u"final.pdf"}) {
    EXPECT_EQ(Rename(opened, Dos(kBackendOnVolume + u"\\" + name)).status, STATUS_SUCCESS);
  }
  // A rename the file system refuses changes nothing.
  AddBackendFile(u"\\taken.pdf");
  EXPECT_EQ(Rename(opened, Dos(kBackendOnVolume + u"\\taken.pdf")).status,
            STATUS_OBJECT_NAME_COLLISION);
  // Deleted under its latest name.
  EXPECT_EQ(SetInfo(opened, FileDispositionInformationEx, {0x13, 0, 0, 0}).status, STATUS_SUCCESS);
  Close(opened);
  const auto notes = RenameNotes();
  ASSERT_EQ(notes.size(), 2u);
  EXPECT_EQ(notes[0], kBackend + u"\\report.pdf.PART>" + kBackend + u"\\report.pdf");
  EXPECT_EQ(notes[1], kBackend + u"\\report.pdf>" + kBackend + u"\\final.pdf");
  EXPECT_EQ(LastDeleteNote(), kBackend + u"\\final.pdf");
}

// FileRenameInformationEx flags reach the file system as the caller made
// them, except in a rename the driver handles, which keeps only the replace
// bit: an open target can then be replaced only with POSIX semantics.
TEST_F(LocalFilesTest, ExFlagsAreCutOnlyInRenamesTheDriverHandles) {
  struct Row {
    const char* what;
    std::u16string folder;
    NTSTATUS status;
  };
  const Row rows[] = {
      {"outside the view", u"\\Users\\ann\\Documents", STATUS_SUCCESS},
      {"under the backend folder", kBackendOnVolume, STATUS_ACCESS_DENIED},
  };
  for (const Row& row : rows) {
    ASSERT_EQ(volume_->Populate({DirSpec(row.folder), FileSpecOf(row.folder + u"\\old.txt", "o"),
                                 FileSpecOf(row.folder + u"\\held.txt", "h")}),
              STATUS_SUCCESS);
    OpenResult held = Opened(kVolumeDevice + row.folder + u"\\held.txt", FILE_READ_DATA, FILE_OPEN);
    OpenResult opened = OpenForRename(row.folder + u"\\old.txt");
    EXPECT_EQ(SetInfo(opened, FileRenameInformationEx,
                      RenameInfo(Dos(row.folder + u"\\held.txt"), 0x43))
                  .status,
              row.status)
        << row.what;
    Close(opened);
    Close(held);
  }
}

TEST_F(LocalFilesTest, RenameIntoAFolderOfTheViewByDeviceNameIsRedirectedToo) {
  OpenResult opened = OpenForRename(kOutside);
  EXPECT_EQ(SetInfo(opened, FileRenameInformationEx,
                    RenameInfo(kView + u"\\notes.txt", 0x40)).status,
            STATUS_SUCCESS);
  EXPECT_TRUE(VolumeHas(kBackendOnVolume + u"\\notes.txt"));
  Close(opened);
  ExpectViewFolderEmpty();
}

// The I/O manager opens the target's folder before the request; the
// driver decides that open for the folder, not for the new name: a folder
// with a local copy is opened under the backend folder, a missing one
// fails the rename before the request (nothing is asked of the client).
TEST_F(LocalFilesTest, TargetFolderOpenIsDecidedForTheFolder) {
  ASSERT_EQ(volume_->Populate({DirSpec(kBackendOnVolume + u"\\Local")}), STATUS_SUCCESS);
  const struct {
    const char16_t* folder;
    NTSTATUS status;
  } rows[] = {{u"\\Missing", STATUS_OBJECT_PATH_NOT_FOUND}, {u"\\Local", STATUS_SUCCESS}};
  for (const auto& row : rows) {
    OpenResult opened = OpenForRename(kOutside);
    EXPECT_EQ(Rename(opened, ViewDos(std::u16string(row.folder) + u"\\notes.txt")).status,
              row.status);
    Close(opened);
  }
  EXPECT_TRUE(VolumeHas(kBackendOnVolume + u"\\Local\\notes.txt"));
  EXPECT_EQ(Sent(kRequestCreatePath).size(), 1u);
  ExpectViewFolderEmpty();
}

TEST_F(LocalFilesTest, ReaderProcessesRetryFromAWorker) {
  const std::uint32_t reader =
      sim::harness::CreateProcess("\\Device\\HarddiskVolume3\\Program Files\\AcroRd32.exe");
  // The target's folder is a server folder, missing under the backend
  // folder: its target-directory open succeeds (virtually), the redirected
  // rename fails, and the retry with it.
  AddServerItem(InView(u"\\Sub"), {true, ""});
  for (std::uint32_t process : {explorer_, reader}) {
    OpenResult opened = OpenForRename(kOutside, process);
    const SetInfoResult result = Rename(opened, ViewDos(u"\\Sub\\notes.txt"));
    EXPECT_EQ(result.status, STATUS_OBJECT_PATH_NOT_FOUND);
    Close(opened);
  }
  const auto lines = DebugLines();
  EXPECT_TRUE(Printed(lines, "Process explorer.exe is for rename"));
  EXPECT_TRUE(Printed(lines, "Process AcroRd32.exe is for rename"));
  // Only the retried request is reported, at once.
  ASSERT_TRUE(client_->WaitForNotifications(1));
  EXPECT_EQ(RenameNotes().size(), 1u);
  EXPECT_TRUE(VolumeHas(kOutside));
  ExpectViewFolderEmpty();
}

// The retry overcomes what held the first attempt back: here a handle on
// the local copy the rename replaces, closed before the worker runs. The
// file then carries its new name: deleted at its close, it is reported
// under that name.
TEST_F(LocalFilesTest, ReaderRetryThatSucceedsLeavesTheFileUnderItsNewName) {
  const std::uint32_t reader =
      sim::harness::CreateProcess("\\Device\\HarddiskVolume3\\Program Files\\Acrobat.exe");
  AddBackendFile(u"\\report.tmp", "pdf");
  AddBackendFile(u"\\notes.txt", "older copy");
  OpenResult held = Opened(kBackend + u"\\notes.txt", FILE_READ_DATA, FILE_OPEN);
  OpenResult opened = Opened(kBackend + u"\\report.tmp", DELETE | FILE_READ_ATTRIBUTES, FILE_OPEN,
                             FILE_DELETE_ON_CLOSE, reader);
  sim::harness::HoldWorkItems(true);
  SetInfoResult result;
  std::thread caller([&] { result = Rename(opened, ViewDos(u"\\notes.txt"), 1); });
  const bool queued = sim::harness::WaitForHeldWorkItems(1);
  Close(held);
  sim::harness::HoldWorkItems(false);
  caller.join();
  ASSERT_TRUE(queued);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_TRUE(Printed(DebugLines(), "Process Acrobat.exe is for rename"));
  Close(opened);
  EXPECT_FALSE(VolumeHas(kBackendOnVolume + u"\\report.tmp"));
  EXPECT_FALSE(VolumeHas(kBackendOnVolume + u"\\notes.txt"));
  const auto notes = RenameNotes();
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0], kBackend + u"\\report.tmp>" + kBackend + u"\\notes.txt");
  EXPECT_EQ(LastDeleteNote(), kBackend + u"\\notes.txt");
  ExpectViewFolderEmpty();
}

// Names the target-directory open already refuses (the I/O manager opens a
// full target's parent before the request) fail with the file system's
// STATUS_OBJECT_NAME_INVALID; the others reach the driver, which refuses
// them itself.
struct BadRenameRow {
  const char* what;
  std::u16string name;
  long nameLength;  // -1: the name's own length
  bool virtualItem;
  NTSTATUS status;
};

class BadRenameTest : public LocalFilesTest, public ::testing::WithParamInterface<BadRenameRow> {};

// A bare new name that makes, in the folder (a full device path ending in
// a backslash), a path of `bytes`.
std::u16string FillingName(const std::u16string& folder, std::size_t bytes) {
  return std::u16string(bytes / 2 - folder.size(), u'n');
}
const std::u16string kDocuments = std::u16string(kVolumeDevice) + u"\\Users\\ann\\Documents\\";

const BadRenameRow kBadRenames[] = {
    {"length past the buffer", Dos(kViewOnVolume + u"\\a.txt"), 4000, false,
     STATUS_INVALID_PARAMETER},
    {"odd length", Dos(kViewOnVolume + u"\\a.txt"), 31, false, STATUS_INVALID_PARAMETER},
    {"zero length", Dos(kViewOnVolume + u"\\a.txt"), 0, true, STATUS_INVALID_PARAMETER},
    {"embedded nul", Dos(kViewOnVolume + std::u16string(u"\\a\0b.txt", 8)), -1, false,
     STATUS_OBJECT_NAME_INVALID},
    {"dot dot into the view", Dos(u"\\Users\\bob\\..\\ann\\Tavo\\a.txt"), -1, false,
     STATUS_OBJECT_NAME_INVALID},
    {"stream of a view item", Dos(kViewOnVolume + u"\\a.txt:hidden"), -1, true,
     STATUS_OBJECT_NAME_INVALID},
    {"stream into the view", Dos(kViewOnVolume + u"\\a.txt:hidden"), -1, false,
     STATUS_OBJECT_NAME_INVALID},
    {"unknown form", u"\\GLOBAL??\\C:\\Users\\ann\\Tavo\\a.txt", -1, false,
     STATUS_INVALID_PARAMETER},
    {"too long for the backend", Dos(kViewOnVolume + u"\\" + std::u16string(2560, u'n')), -1,
     false, STATUS_NAME_TOO_LONG},
    // At the limit of a counted string the new path still fits and goes
    // down (where the component is too long); one character more does not.
    {"bare name that just fits a counted string", FillingName(kDocuments, 0xFFFE), -1, false,
     STATUS_OBJECT_NAME_INVALID},
    {"bare name one character past a counted string", FillingName(kDocuments, 0x10000), -1, false,
     STATUS_NAME_TOO_LONG},
    {"name longer than any counted string", std::u16string(0x8000, u'n'), -1, true,
     STATUS_INVALID_PARAMETER},
    // Bare names reach the driver as given: no dot components.
    {"bare dot", u".", -1, true, STATUS_INVALID_PARAMETER},
    {"bare dot dot", u"..", -1, false, STATUS_INVALID_PARAMETER},
    {"path without its root", u"Tavo\\a.txt", -1, true, STATUS_INVALID_PARAMETER},
};

TEST_P(BadRenameTest, IsRefusedAndChangesNothing) {
  const BadRenameRow& row = GetParam();
  const std::u16string item = InView(u"\\report.docx");
  AddServerItem(item, {false, "x"});
  OpenResult opened = row.virtualItem
                          ? Open(item, DELETE | FILE_READ_ATTRIBUTES, FILE_OPEN)
                          : OpenForRename(kOutside);
  ASSERT_EQ(opened.status, STATUS_SUCCESS);
  const std::size_t before = client_->Requests().size();
  EXPECT_EQ(SetInfo(opened, FileRenameInformation, RenameInfo(row.name, 0, row.nameLength)).status,
            row.status);
  EXPECT_EQ(Sent(protocol::kRequestRenameItem).size(), 0u);
  EXPECT_EQ(Sent(kRequestCreatePath).size(), 0u);
  EXPECT_LE(client_->Requests().size(), before + 2);  // at most short-name questions
  Close(opened);
  EXPECT_TRUE(VolumeHas(kOutside));
  EXPECT_TRUE(ServerHas(item));
  ExpectViewFolderEmpty();
}

INSTANTIATE_TEST_SUITE_P(Rows, BadRenameTest, ::testing::ValuesIn(kBadRenames),
                         [](const auto& info) { return RowName(info); });

}  // namespace
}  // namespace tavo::testing
