// Set-information on server-only items: dispositions, the classes that are
// acknowledged or refused, and renames on the server, each checked in the
// caller's result, on the server and in the driver's tables.
#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "setinfo_fixture.h"

#include "create/open_handle_table.h"
#include "harness/clock.h"
#include "harness/threads.h"
#include "io/io_manager.h"
#include "verifier/faults.h"

namespace tavo::testing {
namespace {

using protocol::kRequestDeleteItem;
using protocol::kRequestDirectoryListing;
using protocol::kRequestDownload;
using protocol::kRequestRenameItem;

std::vector<std::uint8_t> Byte(std::uint8_t value) { return {value}; }
std::vector<std::uint8_t> Flags(ULONG flags) {
  std::vector<std::uint8_t> buffer(4);
  std::memcpy(buffer.data(), &flags, 4);
  return buffer;
}

class VirtualItemsTest : public SetInfoTest {
 protected:
  void SetUp() override {
    SetInfoTest::SetUp();
    AddServerItem(file_, {false, "twelve bytes"});
    AddServerItem(folder_, {true, {}});
  }
  OpenResult OpenVirtual(const std::u16string& path, ULONG options = 0) {
    OpenResult opened =
        Opened(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, FILE_OPEN, options);
    EXPECT_TRUE(ServerItemOpen(path));
    return opened;
  }
  SetInfoResult KernelSetInfo(const OpenResult& opened, FILE_INFORMATION_CLASS infoClass,
                              std::vector<std::uint8_t> buffer) {
    return sim::harness::RunAs(opened.processId, [&] {
      IO_STATUS_BLOCK ioStatus{};
      SetInfoResult result;
      result.status = ZwSetInformationFile(opened.handle, &ioStatus, buffer.data(),
                                           static_cast<ULONG>(buffer.size()), infoClass);
      result.information = ioStatus.Information;
      return result;
    });
  }
  // Records a delete on `opened` and closes it without pool: the close
  // cannot ask for the delete, which is then owed.
  void CloseOwingTheDelete(OpenResult& opened) {
    ASSERT_EQ(Dispose(opened), STATUS_SUCCESS);
    sim::faults::FailEvery(sim::faults::Site::PoolAllocation, kPoolTag);
    Close(opened);
    sim::faults::Clear();
  }
  const std::u16string file_ = InView(u"\\report.docx");
  const std::u16string folder_ = InView(u"\\Projects");
};

struct DispositionRow {
  const char* what;
  bool folder;
  std::uint8_t checkAnswer;
  std::vector<std::pair<FILE_INFORMATION_CLASS, std::vector<std::uint8_t>>> calls;
  NTSTATUS lastStatus;
  bool deletedAtClose;
};

class DispositionTest : public VirtualItemsTest,
                        public ::testing::WithParamInterface<DispositionRow> {};

const DispositionRow kDispositions[] = {
    {"file delete", false, 0, {{FileDispositionInformation, Byte(1)}}, STATUS_SUCCESS, true},
    {"file delete any nonzero byte", false, 0, {{FileDispositionInformation, Byte(0x80)}},
     STATUS_SUCCESS, true},
    {"file delete ex on close ignoring read-only", false, 0,
     {{FileDispositionInformationEx, Flags(0x19)}}, STATUS_SUCCESS, true},
    {"file ex without the delete bit", false, 0, {{FileDispositionInformationEx, Flags(0x1E)}},
     STATUS_SUCCESS, false},
    {"file delete then undo", false, 0,
     {{FileDispositionInformation, Byte(1)}, {FileDispositionInformation, Byte(0)}},
     STATUS_SUCCESS, false},
    {"empty folder", true, 2, {{FileDispositionInformation, Byte(1)}}, STATUS_SUCCESS, true},
    {"folder not empty", true, 0, {{FileDispositionInformation, Byte(1)}},
     STATUS_DIRECTORY_NOT_EMPTY, false},
    {"folder refused", true, 3, {{FileDispositionInformationEx, Flags(1)}}, STATUS_ACCESS_DENIED,
     false},
    {"folder unknown answer", true, 9, {{FileDispositionInformation, Byte(1)}},
     STATUS_DIRECTORY_NOT_EMPTY, false},
    {"folder undo not empty", true, 1, {{FileDispositionInformation, Byte(0)}},
     STATUS_DIRECTORY_NOT_EMPTY, false},
};

TEST_P(DispositionTest, RecordsTheFlagAndDeletesOnTheServerAtTheLastClose) {
  const DispositionRow& row = GetParam();
  SetDeleteCheckAnswer(row.checkAnswer);
  const std::u16string& path = row.folder ? folder_ : file_;
  OpenResult opened = OpenVirtual(path, row.folder ? FILE_DIRECTORY_FILE : 0);
  SetInfoResult result;
  for (const auto& [infoClass, buffer] : row.calls) result = SetInfo(opened, infoClass, buffer);
  EXPECT_EQ(result.status, row.lastStatus);
  EXPECT_EQ(result.information, 0u);
  // Nothing reaches the server before the close.
  EXPECT_TRUE(Sent(kRequestDeleteItem).empty());
  EXPECT_TRUE(ServerHas(path));
  if (row.folder) {
    const auto checks = Sent(kRequestDirectoryListing);
    ASSERT_EQ(checks.size(), row.calls.size());
    // Purpose 1, the path's length without its NUL, the payload 36 bytes longer.
    const SentRequest& check = checks.back();
    EXPECT_EQ(check.U32(offsetof(protocol::DirectoryQueryRequest, Purpose)), 1u);
    EXPECT_EQ(check.U32(offsetof(protocol::DirectoryQueryRequest, DirectoryPathLength)),
              path.size() * 2);
    EXPECT_EQ(check.payload.size(), path.size() * 2 + 36);
    EXPECT_EQ(TextOf(check.payload, 32, path.size() * 2), path);
  }
  // As on NTFS, an item whose delete is pending cannot be opened (a copy
  // downloaded meanwhile would outlive the server delete).
  OpenResult other = Open(path, GENERIC_READ, FILE_OPEN, row.folder ? FILE_DIRECTORY_FILE : 0);
  EXPECT_EQ(other.status, row.deletedAtClose ? STATUS_DELETE_PENDING : STATUS_SUCCESS);
  if (NT_SUCCESS(other.status)) Close(other);
  Close(opened);
  EXPECT_EQ(ServerHas(path), !row.deletedAtClose);
  const auto deletes = Sent(kRequestDeleteItem);
  ASSERT_EQ(deletes.size(), row.deletedAtClose ? 1u : 0u);
  if (row.deletedAtClose) {  // the request names the item and says whether it is a folder
    EXPECT_EQ(deletes[0].U32(4), row.folder ? 1u : 0u);
    EXPECT_EQ(deletes[0].Name(8, protocol::kDeleteNameOffset), path);
  }
  EXPECT_FALSE(ServerItemOpen(path));
  ExpectViewFolderEmpty();
}

INSTANTIATE_TEST_SUITE_P(Rows, DispositionTest, ::testing::ValuesIn(kDispositions),
                         [](const auto& info) { return RowName(info); });

// The close cannot fail, and without pool it cannot ask for the delete
// either: the delete is owed, the name stays taken meanwhile, and the
// worker asks once pool is back, for the session of the close.
TEST_F(VirtualItemsTest, DeleteTheLastCloseCannotAskIsAskedByTheWorker) {
  const std::uint32_t editor =
      sim::harness::CreateProcess("\\Device\\HarddiskVolume3\\Windows\\notepad.exe", 3);
  OpenResult opened = Opened(file_, DELETE | FILE_READ_ATTRIBUTES, FILE_OPEN, 0, editor);
  CloseOwingTheDelete(opened);
  EXPECT_TRUE(Sent(kRequestDeleteItem).empty());
  EXPECT_EQ(Open(file_, FILE_READ_ATTRIBUTES, FILE_OPEN).status, STATUS_DELETE_PENDING);
  // Nor is the name made anew: the owed delete would take the new item.
  for (ULONG disposition : {FILE_SUPERSEDE, FILE_CREATE, FILE_OVERWRITE_IF}) {
    EXPECT_EQ(Open(file_, GENERIC_WRITE, disposition, FILE_NON_DIRECTORY_FILE).status,
              STATUS_DELETE_PENDING);
  }
  ASSERT_TRUE(sim::harness::WaitUntilSystemThreadsWait());
  sim::harness::AdvanceClock(sim::harness::KernelDuration(300000000));
  for (int i = 0; i < 500 && EntryOf(file_) != nullptr; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(EntryOf(file_), nullptr);
  ASSERT_EQ(Sent(kRequestDeleteItem).size(), 1u);
  EXPECT_EQ(Sent(kRequestDeleteItem)[0].U32(0), 3u);  // SessionId
  EXPECT_FALSE(ServerHas(file_));
}

// A client that leaves an owed delete unanswered holds neither the worker
// nor a mandatory unload for ever.
TEST_F(VirtualItemsTest, OwedDeleteLeftUnansweredDoesNotHoldUnload) {
  OpenResult opened = OpenVirtual(file_);
  CloseOwingTheDelete(opened);
  client_->OnRequest(kRequestDeleteItem, ScriptedAnswer::Held());
  auto unloaded = std::async(std::launch::async, [&] { return Unload(true); });
  ASSERT_TRUE(client_->WaitForHeld(1));
  // The worker's request and then unload's own may each be held: time goes
  // on until the unload ends or clearly never will.
  bool ended = false;
  for (int i = 0; i < 50 && !ended; ++i) {
    sim::harness::AdvanceClock(sim::harness::KernelDuration(200000000));
    ended = unloaded.wait_for(std::chrono::milliseconds(200)) == std::future_status::ready;
  }
  EXPECT_TRUE(ended);
  if (!ended) {  // the answer lets the unload end, so that the test does
    client_->Answer(client_->TakeHeld().at(0), ScriptedAnswer::Now(STATUS_SUCCESS, Byte(1)));
  }
  EXPECT_EQ(unloaded.get(), STATUS_SUCCESS);
}

// An item downloaded by another open since its virtual open was made: the
// disposition goes to the local copy (and fails as the file system fails
// it), the server delete follows at the last close.
TEST_F(VirtualItemsTest, DispositionOnAnItemDownloadedMeanwhileGoesToItsCopy) {
  const std::u16string copy = kBackendOnVolume + u"\\report.docx";
  OpenResult opened = OpenVirtual(file_);
  OpenResult reader = Opened(file_, GENERIC_READ | FILE_WRITE_ATTRIBUTES, FILE_OPEN);
  ASSERT_TRUE(VolumeHas(copy));
  const auto attributes = [&](ULONG value) {
    FILE_BASIC_INFORMATION basic{};
    basic.FileAttributes = value;
    return SetInfo(reader, FileBasicInformation, Bytes(&basic, sizeof(basic))).status;
  };
  // The copy is read-only for now: the file system refuses its delete.
  ASSERT_EQ(attributes(FILE_ATTRIBUTE_READONLY), STATUS_SUCCESS);
  EXPECT_EQ(Dispose(opened), STATUS_CANNOT_DELETE);
  EXPECT_EQ(EntryOf(file_)->DeletePending, 0);
  ASSERT_EQ(attributes(FILE_ATTRIBUTE_NORMAL), STATUS_SUCCESS);
  EXPECT_EQ(Dispose(opened), STATUS_SUCCESS);
  Close(reader);
  Close(opened);
  EXPECT_FALSE(VolumeHas(copy));
  EXPECT_FALSE(ServerHas(file_));
  EXPECT_EQ(Sent(kRequestDeleteItem).size(), 1u);
}

// The client moves an item's local copy along with its rename on the
// server: a delete through the renamed handle reaches the copy there.
TEST_F(VirtualItemsTest, DispositionAfterARenameGoesToTheCopyMovedAlong) {
  OpenResult opened = OpenVirtual(file_);
  OpenResult reader = Opened(file_, GENERIC_READ, FILE_OPEN);
  Close(reader);
  ASSERT_EQ(Rename(opened, ViewDos(u"\\new.docx")).status, STATUS_SUCCESS);
  OpenResult mover = Open(kBackend + u"\\report.docx", DELETE, FILE_OPEN);
  ASSERT_EQ(Rename(mover, Dos(kBackendOnVolume + u"\\new.docx")).status, STATUS_SUCCESS);
  Close(mover);
  EXPECT_EQ(Dispose(opened), STATUS_SUCCESS);
  Close(opened);
  EXPECT_FALSE(VolumeHas(kBackendOnVolume + u"\\new.docx"));
  EXPECT_FALSE(ServerHas(InView(u"\\new.docx")));
}

TEST_F(VirtualItemsTest, ClassesAreAcknowledgedOrRefusedWithoutChange) {
  struct Row {
    FILE_INFORMATION_CLASS infoClass;
    std::size_t size;
    NTSTATUS status;
    ULONG_PTR information;
  };
  const Row rows[] = {
      {FileBasicInformation, sizeof(FILE_BASIC_INFORMATION), STATUS_SUCCESS, 40},
      {FileEndOfFileInformation, 8, STATUS_SUCCESS, 8},
      {FileAllocationInformation, 8, STATUS_SUCCESS, 8},
      {FileValidDataLengthInformation, 8, STATUS_SUCCESS, 8},
      {FileLinkInformation, 0, STATUS_NOT_IMPLEMENTED, 0},
      {FileShortNameInformation, 0, STATUS_NOT_IMPLEMENTED, 0},
  };
  OpenResult opened = OpenVirtual(file_);
  OpenHandleEntry* entry = EntryOf(file_);
  ASSERT_NE(entry, nullptr);
  for (const Row& row : rows) {
    std::vector<std::uint8_t> buffer =
        row.size != 0 ? std::vector<std::uint8_t>(row.size, 0x11) : RenameInfo(u"\\??\\C:\\x", 0);
    // Sizes need write access, which a virtual open never has: a kernel
    // component (no access check) sends them.
    const SetInfoResult result = row.size == 8 ? KernelSetInfo(opened, row.infoClass, buffer)
                                               : SetInfo(opened, row.infoClass, buffer);
    EXPECT_EQ(result.status, row.status) << row.infoClass;
    EXPECT_EQ(result.information, row.information) << row.infoClass;
  }
  EXPECT_EQ(entry->EndOfFile, 12);
  EXPECT_EQ(entry->DeletePending, 0);
  Close(opened);
  EXPECT_TRUE(ServerHas(file_));
  ExpectViewFolderEmpty();
}

TEST_F(VirtualItemsTest, RequestsOnTheViewRootPassDown) {
  OpenResult root =
      Opened(kView, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, FILE_OPEN, FILE_DIRECTORY_FILE);
  FILE_BASIC_INFORMATION basic{};
  basic.FileAttributes = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN;
  EXPECT_EQ(SetInfo(root, FileBasicInformation, Bytes(&basic, sizeof(basic))).status,
            STATUS_SUCCESS);
  Close(root);
  EXPECT_TRUE(client_->Requests().empty());
}

struct RenameRow {
  const char* what;
  const char16_t* target;  // under the view unless it starts with '\'
  FILE_INFORMATION_CLASS infoClass;
  ULONG first;
  std::uint32_t answer;
  const char16_t* existing;  // another server item, or null
  NTSTATUS status;
  bool renamedOnServer;
  std::size_t renameRequests;
  // How the server answers the rename that sets a replaced item aside.
  std::uint32_t asideAnswer = protocol::kRenameDone;
  std::uint8_t downloadAnswer = 1;  // to a move out of the view
};

class ServerRenameTest : public VirtualItemsTest,
                         public ::testing::WithParamInterface<RenameRow> {};

const RenameRow kRenames[] = {
    {"renamed", u"new.docx", FileRenameInformation, 0, 1, nullptr, STATUS_SUCCESS, true, 1},
    {"renamed ex", u"new.docx", FileRenameInformationEx, 0x42, 1, nullptr, STATUS_SUCCESS, true, 1},
    {"accepted without new name", u"new.docx", FileRenameInformation, 0, 3, nullptr,
     STATUS_SUCCESS, false, 1},
    {"no answer", u"new.docx", FileRenameInformation, 0, 2, nullptr, STATUS_ACCESS_DENIED, false, 1},
    {"unknown answer", u"new.docx", FileRenameInformation, 0, 7, nullptr, STATUS_ACCESS_DENIED,
     false, 1},
    {"download first is not for files", u"new.docx", FileRenameInformation, 0, 6, nullptr,
     STATUS_ACCESS_DENIED, false, 1},
    {"move out is not for a target in the view", u"new.docx", FileRenameInformation, 0, 5,
     nullptr, STATUS_ACCESS_DENIED, false, 1},
    {"only a move out leaves the view", u"\\Users\\ann\\x.docx", FileRenameInformation, 0, 1,
     nullptr, STATUS_ACCESS_DENIED, false, 1},
    {"move out whose download is refused", u"\\Users\\ann\\x.docx", FileRenameInformation, 0,
     5, nullptr, STATUS_ACCESS_DENIED, false, 1, protocol::kRenameDone, 0},
    {"collision", u"taken.docx", FileRenameInformation, 0, 1, u"taken.docx",
     STATUS_OBJECT_NAME_COLLISION, false, 0},
    {"collision ex without replace bit", u"taken.docx", FileRenameInformationEx, 0x42, 1,
     u"taken.docx", STATUS_OBJECT_NAME_COLLISION, false, 0},
    {"replace", u"taken.docx", FileRenameInformation, 1, 1, u"taken.docx", STATUS_SUCCESS, true,
     2},
    {"replace ex", u"taken.docx", FileRenameInformationEx, 0x43, 1, u"taken.docx", STATUS_SUCCESS,
     true, 2},
    // A replace the server refuses leaves the replaced item where it was.
    {"replace refused keeps the target", u"taken.docx", FileRenameInformation, 1, 7,
     u"taken.docx", STATUS_ACCESS_DENIED, false, 3},
    {"replace accepted without new name keeps the target", u"taken.docx", FileRenameInformation,
     1, 3, u"taken.docx", STATUS_SUCCESS, false, 3},
    {"replace whose target cannot be set aside", u"taken.docx", FileRenameInformation, 1, 1,
     u"taken.docx", STATUS_ACCESS_DENIED, false, 1, 0},
    {"case only", u"REPORT.docx", FileRenameInformation, 0, 1, nullptr, STATUS_SUCCESS, true, 1},
    // The client would take these for items set aside by a replace.
    {"aside name", u"report.docx.tavo-replaced", FileRenameInformation, 0, 1, nullptr,
     STATUS_OBJECT_NAME_INVALID, false, 0},
    {"numbered aside name", u"x.TAVO-REPLACED-2", FileRenameInformation, 0, 1, nullptr,
     STATUS_OBJECT_NAME_INVALID, false, 0},
    {"name ending like an aside number", u"x.tavo-replaced-0", FileRenameInformation, 0, 1,
     nullptr, STATUS_SUCCESS, true, 1},
};

TEST_P(ServerRenameTest, FollowsTheServersAnswer) {
  const RenameRow& row = GetParam();
  SetDownloadAnswer(row.downloadAnswer);
  const bool replacing = row.existing != nullptr && (row.first & 1) != 0;
  if (replacing) {
    SetRenameAnswers({row.asideAnswer, row.answer, protocol::kRenameDone});
  } else {
    SetRenameAnswer(row.answer);
  }
  const std::u16string target = row.target[0] == u'\\' ? kVolumeDevice + std::u16string(row.target)
                                                        : InView(u"\\" + std::u16string(row.target));
  if (row.existing != nullptr) AddServerItem(target, {false, "older"});
  OpenResult opened = OpenVirtual(file_);
  const SetInfoResult result =
      SetInfo(opened, row.infoClass,
              RenameInfo(Dos(target.substr(std::u16string(kVolumeDevice).size())), row.first));
  EXPECT_EQ(result.status, row.status);
  EXPECT_EQ(result.information, 0u);
  const auto renames = Sent(kRequestRenameItem);
  ASSERT_EQ(renames.size(), row.renameRequests);
  // A replaced item is first set aside (and, unless replaced, put back last).
  const std::size_t main = replacing ? 1 : 0;
  if (renames.size() > main) {
    EXPECT_EQ(renames[main].Name(8, 16), file_);
    EXPECT_EQ(renames[main].Name(12, 16 + renames[main].U32(8)), target);
    EXPECT_EQ(renames[main].payload.size(), (file_.size() + target.size()) * 2 + 24);
    EXPECT_EQ(renames[main].U32(4), 0u);
  }
  if (renames.size() > main + 1) {
    EXPECT_EQ(renames.back().Name(8, 16), renames[0].Name(12, 16 + renames[0].U32(8)));
    EXPECT_EQ(renames.back().Name(12, 16 + renames.back().U32(8)), target);
  }
  const bool renamed = row.status == STATUS_SUCCESS && row.renamedOnServer;
  EXPECT_EQ(Sent(kRequestDeleteItem).size(), replacing && renamed ? 1u : 0u);
  EXPECT_EQ(ServerHas(target), renamed || row.existing != nullptr);
  const bool caseOnly = row.what == std::string("case only");
  EXPECT_TRUE(ServerHas(target) || !renamed);
  if (!caseOnly) {
    EXPECT_EQ(ServerHas(file_), !renamed);
  }
  // The open item follows the server, its name exactly the target's.
  EXPECT_TRUE(ServerItemOpen(renamed ? target : file_));
  if (renamed && !caseOnly) {
    EXPECT_FALSE(ServerItemOpen(file_));
  }
  Close(opened);
  EXPECT_EQ(ServerItemHolders(), u"");
  ExpectViewFolderEmpty();
}

INSTANTIATE_TEST_SUITE_P(Rows, ServerRenameTest, ::testing::ValuesIn(kRenames),
                         [](const auto& info) { return RowName(info); });

TEST_F(VirtualItemsTest, ANameTheFileObjectCannotTakeFailsTheRenameBeforeTheServerIsAsked) {
  OpenResult opened = OpenVirtual(file_);
  sim::faults::FailEvery(sim::faults::Site::PoolAllocation, sim::io::kFileNameBufferTag);
  const SetInfoResult result = Rename(opened, u"a much longer name.docx");
  sim::faults::Clear();
  EXPECT_EQ(result.status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_TRUE(Sent(kRequestRenameItem).empty());
  EXPECT_TRUE(ServerHas(file_));
  EXPECT_TRUE(ServerItemOpen(file_));
  Close(opened);
}

TEST_F(VirtualItemsTest, FolderWithAnItemOpenBelowKeepsItsNameAsOnDisk) {
  const std::u16string child = folder_ + u"\\plan.txt";
  AddServerItem(child, {false, "plan"});
  OpenResult held = OpenVirtual(child);
  OpenResult opened = OpenVirtual(folder_, FILE_DIRECTORY_FILE);
  EXPECT_EQ(Rename(opened, u"Archive").status, STATUS_ACCESS_DENIED);
  EXPECT_TRUE(Sent(kRequestRenameItem).empty());
  EXPECT_TRUE(ServerHas(child));
  Close(opened);
  Close(held);
}

// An open below a folder whose question was answered before the folder was
// renamed on the server, and that registers after: it asks again and finds
// nothing, instead of opening an item under the folder's old name.
TEST_F(VirtualItemsTest, ChildOpenOvertakenByAFolderRenameAsksAgain) {
  const std::u16string child = folder_ + u"\\plan.txt";
  AddServerItem(child, {false, "plan"});
  OpenResult opened = OpenVirtual(folder_, FILE_DIRECTORY_FILE);
  bool held = false;
  client_->OnRequest(protocol::kRequestItemQuery, [&](const DriverMessage& m) {
    SentRequest request{m.type, m.payload};
    if (!held && request.Name(8, protocol::kItemInfoNameOffset).find(u"plan.txt") != std::u16string::npos) {
      held = true;
      return ScriptedAnswer::Held();
    }
    return AnswerItemQuery(m);
  });
  OpenResult childOpen;
  std::thread opener([&] { childOpen = Open(child, FILE_READ_ATTRIBUTES, FILE_OPEN); });
  ASSERT_TRUE(client_->WaitForHeld(1));
  const DriverMessage question = client_->TakeHeld().at(0);
  const ScriptedAnswer before = AnswerItemQuery(question);  // the item is there still
  EXPECT_EQ(Rename(opened, u"Archive").status, STATUS_SUCCESS);
  client_->Answer(question, before);
  opener.join();
  EXPECT_EQ(childOpen.status, STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_FALSE(ServerItemOpen(child));
  Close(opened);
}

// The server has the new name before the driver hears so: an open of it
// meanwhile waits for the rename (and for no other rename in flight), then
// joins the renamed item's entry instead of making a second one.
TEST_F(VirtualItemsTest, OpenOfTheNewNameWhileTheServerRenamesJoinsTheRenamedEntry) {
  const std::u16string renamed = InView(u"\\final.docx");
  const std::u16string other = InView(u"\\other.docx");
  AddServerItem(other, {false, "other"});
  OpenResult opened = OpenVirtual(file_);
  OpenResult otherOpened = OpenVirtual(other);
  client_->OnRequest(kRequestRenameItem, [&](const DriverMessage& m) {
    if (SentRequest{m.type, m.payload}.Name(8, 16) == file_) MoveServerItem(file_, renamed);
    return ScriptedAnswer::Held();
  });
  SetInfoResult otherResult;
  std::thread unrelated([&] { otherResult = Rename(otherOpened, u"later.docx"); });
  ASSERT_TRUE(client_->WaitForHeld(1));
  const DriverMessage unrelatedRename = client_->TakeHeld().at(0);
  SetInfoResult result;
  std::thread renamer([&] { result = Rename(opened, u"final.docx"); });
  ASSERT_TRUE(client_->WaitForHeld(1));
  const DriverMessage rename = client_->TakeHeld().at(0);
  std::atomic<bool> held{false};
  client_->OnRequest(protocol::kRequestItemQuery, [&](const DriverMessage& m) {
    return held.exchange(true) ? AnswerItemQuery(m) : ScriptedAnswer::Held();
  });
  std::atomic<PKTHREAD> openerThread{nullptr};
  std::promise<void> openDone;
  std::promise<void> mayExit;
  OpenResult second;
  std::thread opener([&] {
    openerThread = KeGetCurrentThread();
    second = Open(renamed, FILE_READ_ATTRIBUTES, FILE_OPEN);
    openDone.set_value();
    mayExit.get_future().wait();  // the thread stays for the test to look at
  });
  ASSERT_TRUE(client_->WaitForHeld(1));
  const DriverMessage question = client_->TakeHeld().at(0);
  const ScriptedAnswer exists = AnswerItemQuery(question);
  client_->Answer(question, exists);
  // Its question answered, the open now waits for the rename to end.
  EXPECT_TRUE(sim::harness::WaitUntilThreadWaits(openerThread));
  client_->Answer(rename, RenameAnswered(protocol::kRenameDone));
  renamer.join();
  auto done = openDone.get_future();
  EXPECT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  client_->Answer(unrelatedRename, RenameAnswered(0));
  unrelated.join();
  done.wait();
  mayExit.set_value();
  opener.join();
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(otherResult.status, STATUS_ACCESS_DENIED);
  EXPECT_EQ(second.status, STATUS_SUCCESS);
  ASSERT_NE(EntryOf(renamed), nullptr);
  EXPECT_EQ(EntryOf(renamed)->Opens.OpenCount, 2u);
  Close(second);
  Close(otherOpened);
  Close(opened);
  EXPECT_EQ(EntryOf(renamed), nullptr);
}

TEST_F(VirtualItemsTest, ItemsOfARenamedFolderAreFoundOnlyUnderTheNewName) {
  const std::u16string child = folder_ + u"\\plan.txt";
  AddServerItem(child, {false, "plan"});
  OpenResult looked = Open(child, FILE_READ_ATTRIBUTES, FILE_OPEN);  // its answer is kept
  ASSERT_EQ(looked.status, STATUS_SUCCESS);
  Close(looked);
  OpenResult opened = OpenVirtual(folder_, FILE_DIRECTORY_FILE);
  EXPECT_EQ(Rename(opened, u"Archive").status, STATUS_SUCCESS);
  Close(opened);
  EXPECT_EQ(Open(child, FILE_READ_ATTRIBUTES, FILE_OPEN).status, STATUS_OBJECT_NAME_NOT_FOUND);
  OpenResult moved = Opened(InView(u"\\Archive\\plan.txt"), FILE_READ_ATTRIBUTES, FILE_OPEN);
  Close(moved);
}

TEST_F(VirtualItemsTest, NameRelativeToAnOpenFolderIsPlacedInIt) {
  OpenResult opened = OpenVirtual(file_);
  OpenResult docs =
      Opened(folder_, FILE_LIST_DIRECTORY | FILE_TRAVERSE, FILE_OPEN, FILE_DIRECTORY_FILE);
  EXPECT_EQ(Rename(opened, u"moved.docx", 0, docs.handle).status, STATUS_SUCCESS);
  EXPECT_TRUE(ServerHas(folder_ + u"\\moved.docx"));
  EXPECT_FALSE(ServerHas(file_));
  // A relative name may not climb out of its folder: the open of its
  // target directory ("Documents\..") finds no such folder of the view.
  EXPECT_EQ(Rename(opened, u"..\\x.docx", 0, docs.handle).status, STATUS_OBJECT_PATH_NOT_FOUND);
  Close(docs);
  Close(opened);
  ExpectViewFolderEmpty();
}

TEST_F(VirtualItemsTest, MoveOutOfTheViewDownloadsMovesAndDeletesOnTheServer) {
  SetRenameAnswer(protocol::kRenameMoveOutOfView);
  AddDocumentsFolder();
  OpenResult opened = OpenVirtual(file_);
  const std::u16string target = Dos(u"\\Users\\ann\\Documents\\report.docx");
  const SetInfoResult result = Rename(opened, target);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, target.size() * 2 + 24);
  EXPECT_EQ(Sent(kRequestDownload).size(), 1u);
  EXPECT_FALSE(ServerHas(file_));
  EXPECT_TRUE(VolumeHas(u"\\Users\\ann\\Documents\\report.docx"));
  EXPECT_FALSE(VolumeHas(kBackendOnVolume + u"\\report.docx"));
  // The old name is gone while the moved handle is still open, and free
  // for a new item at once.
  EXPECT_EQ(Open(file_, FILE_READ_ATTRIBUTES, FILE_OPEN).status, STATUS_OBJECT_NAME_NOT_FOUND);
  AddServerItem(file_, {false, "a new one"});
  OpenResult fresh = Opened(file_, FILE_READ_ATTRIBUTES, FILE_OPEN);
  EXPECT_TRUE(ServerItemOpen(file_));
  Close(fresh);
  Close(opened);
  EXPECT_EQ(ServerItemHolders(), u"");
  ExpectViewFolderEmpty();
}

// The moved handle goes on naming the moved file, as on Windows: what is
// set through it is set on that file, and the server, whose item is gone,
// is asked nothing more.
TEST_F(VirtualItemsTest, HandleOfAnItemMovedOutOfTheViewActsOnTheMovedFile) {
  SetRenameAnswer(protocol::kRenameMoveOutOfView);
  AddDocumentsFolder();
  const struct {
    const char* what;
    ULONG options;
  } rows[] = {{"disposition", 0}, {"delete on close", FILE_DELETE_ON_CLOSE}};
  for (const auto& row : rows) {
    AddServerItem(file_, {false, "twelve bytes"});
    OpenResult opened = OpenVirtual(file_, row.options);
    ASSERT_EQ(Rename(opened, Dos(u"\\Users\\ann\\Documents\\report.docx")).status, STATUS_SUCCESS)
        << row.what;
    EXPECT_EQ(Rename(opened, u"final.docx").status, STATUS_SUCCESS) << row.what;
    EXPECT_TRUE(VolumeHas(u"\\Users\\ann\\Documents\\final.docx")) << row.what;
    // The entry goes by the file's name wherever it goes.
    EXPECT_NE(EntryOf(kVolumeDevice + std::u16string(u"\\Users\\ann\\Documents\\final.docx")),
              nullptr)
        << row.what;
    if (row.options == 0) {
      EXPECT_EQ(Dispose(opened), STATUS_SUCCESS);
    }
    const std::size_t requests = client_->Requests().size();
    Close(opened);
    EXPECT_FALSE(VolumeHas(u"\\Users\\ann\\Documents\\final.docx")) << row.what;
    EXPECT_EQ(client_->Requests().size(), requests) << row.what;
    EXPECT_EQ(ServerItemHolders(), u"") << row.what;
  }
  EXPECT_EQ(Sent(kRequestDeleteItem).size(), 2u);  // the moves' own
  ExpectViewFolderEmpty();
}

// A folder whose local copy leaves the view the same way: its old name is
// free at once, and a delete through the handle deletes the moved folder,
// not the server folder (nor an item made since at its old name).
TEST_F(VirtualItemsTest, HandleOfAFolderCopyMovedOutOfTheViewActsOnTheMovedFolder) {
  AddBackendDirectory(u"\\Projects");
  AddDocumentsFolder();
  OpenResult opened = OpenVirtual(folder_, FILE_DIRECTORY_FILE);
  ASSERT_EQ(Rename(opened, Dos(u"\\Users\\ann\\Documents\\Projects")).status, STATUS_SUCCESS);
  EXPECT_FALSE(ServerItemOpen(folder_));
  const std::size_t requests = client_->Requests().size();
  EXPECT_EQ(Dispose(opened), STATUS_SUCCESS);
  Close(opened);
  EXPECT_FALSE(VolumeHas(u"\\Users\\ann\\Documents\\Projects"));
  EXPECT_EQ(client_->Requests().size(), requests);
  ExpectViewFolderEmpty();
}

// A delete through one handle of a downloaded item while another moves it
// out of the view: the entry's open of the local copy, which the delete
// uses, is not closed under it (run under the address sanitizer).
TEST_F(VirtualItemsTest, DispositionWhileAnotherHandleMovesTheItemOut) {
  SetRenameAnswer(protocol::kRenameMoveOutOfView);
  AddDocumentsFolder();
  for (int i = 0; i < 100; ++i) {
    const std::u16string leaf = std::u16string{u'\\', char16_t(u'a' + i % 26),
                                               char16_t(u'a' + i / 26)} + u".txt";
    AddServerItem(InView(leaf), {false, "data"});
    OpenResult deleter = OpenVirtual(InView(leaf));
    OpenResult mover = OpenVirtual(InView(leaf));
    OpenResult reader = Open(InView(leaf), GENERIC_READ, FILE_OPEN);
    Close(reader);
    ASSERT_EQ(Dispose(deleter, 0), STATUS_SUCCESS);
    std::atomic<bool> stop{false};
    const auto undo = [&] {
      while (!stop) (void)SetInfo(deleter, FileDispositionInformation, Byte(0));
    };
    std::thread undoers[] = {std::thread(undo), std::thread(undo), std::thread(undo)};
    EXPECT_EQ(Rename(mover, Dos(u"\\Users\\ann\\Documents" + leaf)).status, STATUS_SUCCESS);
    stop = true;
    for (std::thread& undoer : undoers) undoer.join();
    Close(deleter);
    Close(mover);
  }
}

// Until the server item is gone, its name stands for the item leaving: an
// open of it meanwhile is refused, not made on an item being deleted.
TEST_F(VirtualItemsTest, OldNameOfAnItemMovingOutIsTakenUntilItsServerDelete) {
  SetRenameAnswer(protocol::kRenameMoveOutOfView);
  AddDocumentsFolder();
  OpenResult opened = OpenVirtual(file_);
  client_->OnRequest(kRequestDeleteItem, ScriptedAnswer::Held());
  SetInfoResult result;
  std::thread renamer(
      [&] { result = Rename(opened, Dos(u"\\Users\\ann\\Documents\\report.docx")); });
  ASSERT_TRUE(client_->WaitForHeld(1));
  EXPECT_EQ(Open(file_, FILE_READ_ATTRIBUTES, FILE_OPEN).status, STATUS_DELETE_PENDING);
  const DriverMessage held = client_->TakeHeld().at(0);
  const ScriptedAnswer answer = AnswerDelete(held);
  client_->Answer(held, answer);
  renamer.join();
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_FALSE(ServerItemOpen(file_));
  Close(opened);
}

// The replaced item stands aside under a name nothing goes by, and within
// a component's length: an item already there is neither refused nor lost.
TEST_F(VirtualItemsTest, ReplacedItemStandsAsideUnderAFreeNameOfLegalLength) {
  const struct {
    const char* what;
    std::u16string leaf;
    bool asideTaken;
  } rows[] = {{"aside name taken", u"taken.docx", true},
              {"longest name", std::u16string(250, u'l'), false},
              {"long name of two-byte characters", std::u16string(200, u'\u00e9'), false},
              {"long name of surrogate pairs", [] {
                 std::u16string leaf;
                 for (int i = 0; i < 100; ++i) leaf += u"\U0001F600";
                 return leaf;
               }(), false}};
  for (const auto& row : rows) {
    const std::u16string target = InView(u"\\" + row.leaf);
    const std::u16string taken = target + u".tavo-replaced";
    AddServerItem(file_, {false, "twelve bytes"});
    AddServerItem(target, {false, "older"});
    if (row.asideTaken) AddServerItem(taken, {false, "mine"});
    const std::size_t before = Sent(kRequestRenameItem).size();
    OpenResult opened = OpenVirtual(file_);
    EXPECT_EQ(Rename(opened, ViewDos(u"\\" + row.leaf), 1).status, STATUS_SUCCESS) << row.what;
    Close(opened);
    const auto renames = Sent(kRequestRenameItem);
    ASSERT_EQ(renames.size(), before + 2) << row.what;
    const std::u16string aside = renames[before].Name(12, 16 + renames[before].U32(8));
    const std::u16string leaf = aside.substr(aside.rfind(u'\\') + 1);
    EXPECT_LE(leaf.size(), 255u) << row.what;
    std::size_t utf8 = 0;
    for (std::size_t i = 0; i < leaf.size(); ++i) {
      const char16_t c = leaf[i];
      const bool high = c >= 0xD800 && c <= 0xDBFF;
      EXPECT_FALSE(c >= 0xDC00 && c <= 0xDFFF) << row.what;  // no pair cut apart
      if (high) {
        EXPECT_TRUE(i + 1 < leaf.size() && leaf[++i] >= 0xDC00) << row.what;
      }
      utf8 += high ? 4 : c < 0x80 ? 1 : c < 0x800 ? 2 : 3;
    }
    EXPECT_LE(utf8, 255u) << row.what;
    EXPECT_EQ(ServerHas(taken), row.asideTaken) << row.what;
    EXPECT_FALSE(ServerHas(aside)) << row.what;
    EXPECT_TRUE(ServerHas(target)) << row.what;
  }
}

// As on NTFS, an open file is not replaced: here one open through its
// local copy, which would otherwise stay in place of the renamed item.
TEST_F(VirtualItemsTest, ReplaceOfAnItemWhoseLocalCopyIsOpenIsRefused) {
  const std::u16string target = InView(u"\\taken.docx");
  AddServerItem(target, {false, "older"});
  AddBackendFile(u"\\taken.docx", "older");
  OpenResult reader = Opened(target, GENERIC_READ, FILE_OPEN, FILE_NON_DIRECTORY_FILE);
  OpenResult opened = OpenVirtual(file_);
  EXPECT_EQ(Rename(opened, ViewDos(u"\\taken.docx"), 1).status, STATUS_ACCESS_DENIED);
  EXPECT_TRUE(Sent(kRequestRenameItem).empty());
  EXPECT_TRUE(ServerHas(target));
  EXPECT_TRUE(ServerHas(file_));
  Close(opened);
  Close(reader);
}

// A rename gives the entry a new path and frees the old one: name queries
// through another handle meanwhile read a whole name, never freed memory
// (run under the race detector).
TEST_F(VirtualItemsTest, NameQueriesDuringRenamesReadWholeNames) {
  OpenResult queried = OpenVirtual(file_);
  OpenResult renamed = OpenVirtual(file_);
  std::atomic<bool> stop{false};
  std::thread querier([&] {
    std::vector<std::uint8_t> buffer(600);
    while (!stop) {
      sim::harness::RunAs(queried.processId, [&] {
        IO_STATUS_BLOCK iosb{};
        return NtQueryInformationFile(queried.handle, &iosb, buffer.data(), 600,
                                      FileNameInformation);
      });
    }
  });
  for (int i = 0; i < 100; ++i) {
    const std::u16string name = i % 2 ? u"report.docx" : u"a much longer name of the report.docx";
    EXPECT_EQ(Rename(renamed, name).status, STATUS_SUCCESS);
  }
  stop = true;
  querier.join();
  Close(queried);
  Close(renamed);
}

// A walk of OpenHandleTable moves the table's own cursor: checks for open
// items below a folder made at once must each still see every entry.
TEST_F(VirtualItemsTest, ChecksForItemsOpenBelowAFolderRunningAtOnceSeeEveryEntry) {
  std::vector<OpenResult> opens;
  for (const char16_t* name : {u"\\A\\x", u"\\B\\y", u"\\C\\z", u"\\D\\w"}) {
    AddServerItem(InView(name), {false, "data"});
    opens.push_back(Open(InView(name), FILE_READ_ATTRIBUTES, FILE_OPEN));
  }
  std::atomic<bool> stop{false};
  std::atomic<int> misses{0};
  auto check = [&](const char16_t* folder) {
    sim::harness::OwnedUnicodeString path(InView(folder));
    for (int i = 0; i < 20000; ++i) {
      if (!PathHasEntryBelow(path.get())) ++misses;
    }
  };
  std::thread other([&] {
    sim::harness::OwnedUnicodeString path(InView(u"\\Z"));
    while (!stop) (void)PathHasEntryBelow(path.get());
  });
  std::thread c(check, u"\\C"), d(check, u"\\D");
  c.join();
  d.join();
  stop = true;
  other.join();
  EXPECT_EQ(misses.load(), 0);
  for (OpenResult& opened : opens) Close(opened);
}

TEST_F(VirtualItemsTest, FolderWithLocalCopyIsRenamedLocallyAfterTheServer) {
  AddBackendDirectory(u"\\Projects");
  AddBackendFile(u"\\Projects\\plan.txt");
  OpenResult opened = OpenVirtual(folder_, FILE_DIRECTORY_FILE);
  const SetInfoResult result = Rename(opened, ViewDos(u"\\Archive"));
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  const auto renames = Sent(kRequestRenameItem);
  ASSERT_EQ(renames.size(), 1u);
  EXPECT_EQ(renames[0].U32(4), 1u);
  EXPECT_TRUE(ServerHas(InView(u"\\Archive")));
  EXPECT_TRUE(VolumeHas(kBackendOnVolume + u"\\Archive\\plan.txt"));
  EXPECT_FALSE(VolumeHas(kBackendOnVolume + u"\\Projects"));
  EXPECT_TRUE(ServerItemOpen(InView(u"\\Archive")));
  // The local rename is reported with both backend names.
  ASSERT_TRUE(client_->WaitForNotifications(1));
  Close(opened);
  ExpectViewFolderEmpty();
}

TEST_F(VirtualItemsTest, FolderWhoseCopyCannotFollowKeepsItsNameOnTheServer) {
  struct Row {
    const char* what;
    std::u16string target;  // on the volume
    std::size_t renameRequests;
  };
  const Row rows[] = {
      // Renamed on the server, then asked to take the old name back.
      {"in the view", kViewOnVolume + u"\\Archive", 2},
      // The server's answer only let the local rename go ahead.
      {"out of the view", u"\\Users\\ann\\Documents\\Projects", 1},
  };
  AddDocumentsFolder();
  AddBackendDirectory(u"\\Projects");
  AddBackendFile(u"\\Projects\\plan.txt");
  // A file open below the local folder: the file system refuses its rename.
  OpenResult child = Opened(kBackend + u"\\Projects\\plan.txt", FILE_READ_DATA, FILE_OPEN);
  for (const Row& row : rows) {
    const std::size_t before = Sent(kRequestRenameItem).size();
    OpenResult opened = OpenVirtual(folder_, FILE_DIRECTORY_FILE);
    EXPECT_EQ(Rename(opened, Dos(row.target)).status, STATUS_ACCESS_DENIED) << row.what;
    EXPECT_EQ(Sent(kRequestRenameItem).size() - before, row.renameRequests) << row.what;
    EXPECT_TRUE(ServerHas(folder_)) << row.what;
    EXPECT_FALSE(ServerHas(InView(u"\\Archive"))) << row.what;
    EXPECT_TRUE(ServerItemOpen(folder_));
    Close(opened);
  }
  EXPECT_TRUE(VolumeHas(kBackendOnVolume + u"\\Projects\\plan.txt"));
  Close(child);
  ExpectViewFolderEmpty();
}

// A folder with a local copy whose rename cannot go ahead keeps its name on
// the server and on disk: a taken name, a backend path too long for a
// folder, the name of an item open elsewhere, a download the server asks for
// first and does not make.
TEST_F(VirtualItemsTest, FolderWithLocalCopyRefusedKeepsItsNames) {
  struct Row {
    const char* what;
    std::u16string target;  // under the view
    NTSTATUS status;
    ULONG replace = 0;
    std::uint32_t renameAnswer = protocol::kRenameDone;
  };
  const Row rows[] = {
      {"onto a server item", u"\\Taken", STATUS_OBJECT_NAME_COLLISION},
      {"backend path too long", u"\\" + std::u16string(2100, u'n'), STATUS_NAME_TOO_LONG},
      {"replacing an open item", u"\\report.docx", STATUS_ACCESS_DENIED, 1},
      {"download first, not made", u"\\Archive", STATUS_ACCESS_DENIED, 0,
       protocol::kRenameDownloadFolderFirst},
  };
  AddBackendDirectory(u"\\Projects");
  AddBackendFile(u"\\Projects\\plan.txt");
  AddServerItem(InView(u"\\Taken"), {true, {}});
  OpenResult other = OpenVirtual(file_);
  SetDownloadAnswer(0);
  for (const Row& row : rows) {
    SetRenameAnswer(row.renameAnswer);
    OpenResult opened = OpenVirtual(folder_, FILE_DIRECTORY_FILE);
    EXPECT_EQ(Rename(opened, ViewDos(row.target), row.replace).status, row.status) << row.what;
    EXPECT_TRUE(ServerHas(folder_)) << row.what;
    EXPECT_TRUE(ServerItemOpen(folder_)) << row.what;
    EXPECT_TRUE(VolumeHas(kBackendOnVolume + u"\\Projects\\plan.txt")) << row.what;
    Close(opened);
  }
  EXPECT_TRUE(ServerHas(InView(u"\\Taken")));
  // Nor does a file replace an item open elsewhere.
  OpenResult taken = OpenVirtual(InView(u"\\Taken"), FILE_DIRECTORY_FILE);
  EXPECT_EQ(Rename(other, ViewDos(u"\\Taken"), 1).status, STATUS_ACCESS_DENIED);
  EXPECT_TRUE(ServerHas(file_));
  EXPECT_TRUE(ServerHas(InView(u"\\Taken")));
  Close(taken);
  Close(other);
  ExpectViewFolderEmpty();
}

TEST_F(VirtualItemsTest, FolderWhoseCopyLacksItemsIsDownloadedBeforeLeavingTheView) {
  AddBackendDirectory(u"\\Projects");
  AddDocumentsFolder();
  SetRenameAnswer(protocol::kRenameDownloadFolderFirst);
  OpenResult opened = OpenVirtual(folder_, FILE_DIRECTORY_FILE);
  EXPECT_EQ(Rename(opened, Dos(u"\\Users\\ann\\Documents\\Projects")).status, STATUS_SUCCESS);
  const auto downloads = Sent(kRequestDownload);
  ASSERT_EQ(downloads.size(), 1u);
  EXPECT_EQ(downloads[0].U32(8), 1u);  // IsDirectory
  EXPECT_TRUE(VolumeHas(u"\\Users\\ann\\Documents\\Projects"));
  EXPECT_FALSE(VolumeHas(kBackendOnVolume + u"\\Projects"));
  Close(opened);
  ExpectViewFolderEmpty();
}


// As on NTFS, a folder keeps its name while an item moves into it: the
// item's entry would otherwise be keyed under the folder's old name.
TEST_F(VirtualItemsTest, FolderKeepsItsNameWhileAnItemIsRenamedIntoIt) {
  OpenResult item = OpenVirtual(file_);
  OpenResult folder = OpenVirtual(folder_, FILE_DIRECTORY_FILE);
  client_->OnRequest(kRequestRenameItem, ScriptedAnswer::Held());
  const std::u16string moved = folder_ + u"\\report.docx";
  SetInfoResult result;
  std::thread mover([&] { result = Rename(item, ViewDos(u"\\Projects\\report.docx")); });
  ASSERT_TRUE(client_->WaitForHeld(1));
  const DriverMessage move = client_->TakeHeld().at(0);
  EXPECT_EQ(Rename(folder, u"Archive").status, STATUS_ACCESS_DENIED);
  MoveServerItem(file_, moved);
  client_->Answer(move, RenameAnswered(protocol::kRenameDone));
  mover.join();
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(Sent(kRequestRenameItem).size(), 1u);
  EXPECT_TRUE(ServerItemOpen(moved));
  Close(folder);
  Close(item);
}

// A folder made on the server while a rename waits for the same name: its
// create waits for the rename (which the server then refuses) and opens
// the folder it made.
TEST_F(VirtualItemsTest, FolderCreatedUnderANameARenameHoldsOpensOnceTheRenameEnds) {
  const std::u16string name = InView(u"\\New folder");
  OpenResult opened = OpenVirtual(file_);
  client_->OnRequest(kRequestRenameItem, ScriptedAnswer::Held());
  SetInfoResult result;
  std::thread renamer([&] { result = Rename(opened, u"New folder"); });
  ASSERT_TRUE(client_->WaitForHeld(1));
  const DriverMessage rename = client_->TakeHeld().at(0);
  std::atomic<PKTHREAD> creatorThread{nullptr};
  OpenResult created;
  std::promise<void> createDone;
  std::promise<void> mayExit;
  std::thread creator([&] {
    creatorThread = KeGetCurrentThread();
    created = Open(name, FILE_LIST_DIRECTORY, FILE_CREATE, FILE_DIRECTORY_FILE);
    createDone.set_value();
    mayExit.get_future().wait();  // the thread stays while the test looks at it
  });
  // Its second question (after the folder was made) answered, the create
  // waits for the rename.
  const auto questionsAbout = [&] {
    std::size_t count = 0;
    for (const SentRequest& q : Sent(protocol::kRequestItemQuery)) {
      count += q.Name(8, protocol::kItemInfoNameOffset) == name ? 1 : 0;
    }
    return count;
  };
  while (questionsAbout() < 2) std::this_thread::yield();
  EXPECT_TRUE(sim::harness::WaitUntilThreadWaits(creatorThread));
  client_->Answer(rename, RenameAnswered(0));
  renamer.join();
  createDone.get_future().wait();
  mayExit.set_value();
  creator.join();
  EXPECT_EQ(result.status, STATUS_ACCESS_DENIED);
  EXPECT_EQ(created.status, STATUS_SUCCESS);
  EXPECT_EQ(created.information, static_cast<ULONG_PTR>(FILE_CREATED));
  Close(created);
  Close(opened);
}

}  // namespace
}  // namespace tavo::testing
