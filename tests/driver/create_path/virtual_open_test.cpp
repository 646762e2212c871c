// Virtual opens of server-only items: the entry they share, its openers,
// and what the last close does.
#include <atomic>
#include <thread>

#include "core/callbacks.h"
#include "create_path_fixture.h"
#include "harness/ports.h"
#include "harness/pool.h"
#include "harness/threads.h"
#include "verifier/faults.h"
#include "setinfo/item_info_cache.h"

namespace tavo::testing {
namespace {

class VirtualOpenTest : public CreatePathTest {
 protected:
  void SetUp() override {
    CreatePathTest::SetUp();
    AddServerItem(file_, {false, "twelve bytes"});
    AddServerItem(folder_, {true, {}});
  }

  const std::u16string file_ = InView(u"\\report.docx");
  const std::u16string folder_ = InView(u"\\Projects");
};

// The view's names are case-insensitive: an item deleted under one case is
// gone under every other, also from the driver's cache of answers.
TEST_F(VirtualOpenTest, DeletedItemStaysDeletedWhateverTheCase) {
  OpenResult first = Opened(file_, FILE_READ_ATTRIBUTES, FILE_OPEN);
  Close(first);
  OpenResult deleting = Opened(InView(u"\\REPORT.DOCX"), DELETE, FILE_OPEN,
                               FILE_DELETE_ON_CLOSE | FILE_NON_DIRECTORY_FILE);
  Close(deleting);
  ASSERT_FALSE(ServerHas(file_));
  const std::size_t queries = ItemQueries();
  EXPECT_EQ(Open(file_, FILE_READ_ATTRIBUTES, FILE_OPEN).status, STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(ItemQueries(), queries + 1);  // the client was asked, not the cache
}

// While the client deletes an item at its last close, no table lock is
// held: opens of other items, and the installer's query, go on. An open of
// the item itself fails as delete-pending rather than opening an item the
// server is removing; once the delete is done the item is not found.
TEST_F(VirtualOpenTest, ServerDeleteAtTheLastCloseBlocksNothingAndReopensNothing) {
  client_->OnRequest(protocol::kRequestDeleteItem, ScriptedAnswer::Held());
  OpenResult deleting = Opened(file_, DELETE, FILE_OPEN, FILE_DELETE_ON_CLOSE);
  std::thread closer([&] { Close(deleting); });
  ASSERT_TRUE(client_->WaitForHeld(1));

  EXPECT_EQ(Open(file_, FILE_READ_ATTRIBUTES, FILE_OPEN).status, STATUS_DELETE_PENDING);
  EXPECT_EQ(Open(file_, GENERIC_READ, FILE_OPEN).status, STATUS_DELETE_PENDING);
  EXPECT_TRUE(Sent(protocol::kRequestDownload).empty());  // nothing brought back locally
  OpenResult other = Opened(folder_, FILE_READ_ATTRIBUTES, FILE_OPEN);
  EXPECT_EQ(OpenHandleReport(64).hresult, S_OK);
  Close(other);

  const DriverMessage request = client_->TakeHeld().at(0);
  const ScriptedAnswer answer = AnswerDelete(request);  // the server removes the item
  client_->Answer(request, answer);
  closer.join();
  EXPECT_EQ(EntryOf(file_), nullptr);
  EXPECT_EQ(Open(file_, FILE_READ_ATTRIBUTES, FILE_OPEN).status, STATUS_OBJECT_NAME_NOT_FOUND);
}

// An open whose question about an item was answered before a server delete
// of that item completed, and that registers after it, must not open the
// deleted item: it asks again. Deletes of other items cost it nothing.
TEST_F(VirtualOpenTest, AnswerOvertakenByADeleteIsAskedAgain) {
  const std::u16string other = InView(u"\\other.txt");
  struct Case {
    const char* what;
    std::u16string deleted;
    bool byOverwrite;  // an overwrite-if create deletes the server item
    NTSTATUS status;
    std::size_t questions;  // about file_
  } cases[] = {
      {"last close deletes it", file_, false, STATUS_OBJECT_NAME_NOT_FOUND, 2},
      {"another item is deleted", other, false, STATUS_SUCCESS, 1},
      // Last: it leaves a new local file under the name.
      {"overwrite-if replaces it", file_, true, STATUS_OBJECT_NAME_NOT_FOUND, 2},
  };
  auto questionsAbout = [&](const std::u16string& path) {
    std::size_t count = 0;
    for (const SentRequest& r : Sent(protocol::kRequestItemQuery)) {
      count += r.Name(8, protocol::kItemInfoNameOffset) == path ? 1 : 0;
    }
    return count;
  };
  std::atomic<bool> hold{false};
  client_->OnRequest(protocol::kRequestItemQuery, [&](const DriverMessage& message) {
    return hold ? ScriptedAnswer::Held() : AnswerItemQuery(message);
  });
  for (const Case& c : cases) {
    AddServerItem(file_, {false, "twelve bytes"});
    AddServerItem(other, {false, "x"});
    OpenResult deleting;
    if (!c.byOverwrite) {
      deleting = Open(c.deleted, DELETE, FILE_OPEN, FILE_DELETE_ON_CLOSE);
      ASSERT_EQ(deleting.status, STATUS_SUCCESS) << c.what;
    }
    ForgetItemInfo(sim::harness::OwnedUnicodeString(file_).get());  // the next open asks
    const std::size_t before = questionsAbout(file_);
    hold = true;
    OpenResult late;
    std::thread opener([&] { late = Open(file_, FILE_READ_ATTRIBUTES, FILE_OPEN); });
    ASSERT_TRUE(client_->WaitForHeld(1)) << c.what;
    const DriverMessage question = client_->TakeHeld().at(0);
    const ScriptedAnswer exists = AnswerItemQuery(question);  // the item is still there
    hold = false;
    if (c.byOverwrite) {
      OpenResult replacing = Open(c.deleted, GENERIC_WRITE, FILE_OVERWRITE_IF);
      EXPECT_EQ(replacing.status, STATUS_SUCCESS) << c.what;
      Close(replacing);
    } else {
      Close(deleting);  // deleted on the server, the entry gone
    }
    client_->Answer(question, exists);
    opener.join();
    EXPECT_EQ(late.status, c.status) << c.what;
    EXPECT_EQ(questionsAbout(file_) - before, c.questions) << c.what;
    Close(late);
    EXPECT_EQ(EntryOf(file_), nullptr) << c.what;
  }
}

// Once unload has found no server item open and goes on, a virtual open can
// no longer register: unload never returns with a driver-owned file object
// still open.
TEST_F(VirtualOpenTest, NoVirtualOpenRegistersOnceUnloadGoesOn) {
  OpenResult warm = Open(file_, FILE_READ_ATTRIBUTES, FILE_OPEN);  // the answer is cached
  ASSERT_EQ(warm.status, STATUS_SUCCESS);
  Close(warm);
  client_->Disconnect();
  // Unload stops at the reply mutex, after its look at the table.
  ASSERT_EQ(KeWaitForSingleObject(&Globals.ReplyMutex, Executive, KernelMode, FALSE, nullptr),
            STATUS_SUCCESS);
  std::atomic<PKTHREAD> unloading{nullptr};
  NTSTATUS unloaded = STATUS_PENDING;
  std::thread unloader([&] {
    unloading = KeGetCurrentThread();
    unloaded = Unload(false);
  });
  while (unloading == nullptr) std::this_thread::yield();
  ASSERT_TRUE(sim::harness::WaitUntilThreadWaits(unloading));
  OpenResult inside = Open(file_, FILE_READ_ATTRIBUTES, FILE_OPEN);
  KeReleaseMutex(&Globals.ReplyMutex, FALSE);
  unloader.join();
  EXPECT_EQ(unloaded, STATUS_SUCCESS);
  EXPECT_EQ(inside.status, STATUS_OBJECT_NAME_NOT_FOUND);
  Close(inside);
}

// An entry that cannot be completed for want of pool is freed again: the
// file object must not be left pointing into it.
TEST_F(VirtualOpenTest, FailedEntryLeavesTheFileObjectsSectionPointersAlone) {
  SECTION_OBJECT_POINTERS own{};
  FILE_OBJECT fileObject{};
  fileObject.SectionObjectPointer = &own;
  FLT_IO_PARAMETER_BLOCK iopb{};
  iopb.TargetFileObject = &fileObject;
  // Callback data as the Filter Manager hands it (Iopb is a const member).
  alignas(FLT_CALLBACK_DATA) std::uint8_t storage[sizeof(FLT_CALLBACK_DATA)] = {};
  PFLT_IO_PARAMETER_BLOCK iopbPointer = &iopb;
  std::memcpy(storage + offsetof(FLT_CALLBACK_DATA, Iopb), &iopbPointer, sizeof(iopbPointer));
  auto& data = *reinterpret_cast<FLT_CALLBACK_DATA*>(storage);
  OpenerRecord opener{};
  sim::harness::OwnedUnicodeString path(file_);
  const std::uint32_t tag = sim::harness::PoolTag("Tavo");
  for (std::uint64_t nth : {1, 2}) {  // the entry, then its key
    sim::faults::FailNth(sim::faults::Site::PoolAllocation, sim::faults::CallCount(
        sim::faults::Site::PoolAllocation, tag) + nth, tag);
    OpenHandleEntry* entry = nullptr;
    EXPECT_EQ(AddVirtualOpen(&data, path.get(), &opener, ServerDeleteGeneration(path.get()), &entry),
              STATUS_UNSUCCESSFUL);
    sim::faults::Clear();
    EXPECT_EQ(fileObject.SectionObjectPointer, &own) << nth;
    EXPECT_EQ(EntryOf(file_), nullptr);
  }
}

TEST_F(VirtualOpenTest, ApprovedDownloadMarksTheOpenEntryWithItsLocalCopy) {
  OpenResult virtualOpen = Opened(file_, FILE_READ_ATTRIBUTES, FILE_OPEN);
  // Two downloads while the virtual open stays: the local copy is deleted in
  // between, so the second data open downloads again and records the path
  // anew (the first record is freed: the unload's leak check would see it).
  for (int i = 0; i < 2; ++i) {
    OpenResult data = Opened(file_, GENERIC_READ, FILE_OPEN);
    Close(data);
    OpenResult remove =
        Opened(kBackend + u"\\report.docx", DELETE, FILE_OPEN, FILE_DELETE_ON_CLOSE);
    Close(remove);
  }
  EXPECT_EQ(Sent(protocol::kRequestDownload).size(), 2u);
  OpenHandleEntry* entry = EntryOf(file_);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->HasBackendCopy, 1);
  EXPECT_EQ(sim::harness::ToU16(entry->BackendPath), kBackend + u"\\report.docx");
  // Closed without a delete flag, the entry still owns its BackendPath; the
  // teardown releases it.
  Close(virtualOpen);
  EXPECT_EQ(EntryOf(file_), nullptr);
}

// Teardown and unload are refused while server items are open, naming each
// opener of each item; a refused unload leaves the driver as it was (ports,
// roots, volume, worker, locks), and a later unload completes.
TEST_F(VirtualOpenTest, UnloadAndTeardownAreRefusedWhileServerItemsAreOpen) {
  OpenResult opened = Open(file_, FILE_READ_ATTRIBUTES, FILE_OPEN);
  // The same item under another case: it shares the entry, keyed by the first name.
  OpenResult again = Open(InView(u"\\REPORT.DOCX"), FILE_READ_ATTRIBUTES, FILE_OPEN, 0, indexer_);
  OpenResult other = Open(folder_, FILE_READ_ATTRIBUTES, FILE_OPEN, FILE_DIRECTORY_FILE, indexer_);
  ASSERT_EQ(opened.status, STATUS_SUCCESS);
  ASSERT_EQ(again.status, STATUS_SUCCESS);
  ASSERT_EQ(other.status, STATUS_SUCCESS);
  const std::string file = sim::harness::ToUtf8(file_);
  const std::string folder = sim::harness::ToUtf8(folder_);
  sim::harness::TakeDebugLines();
  EXPECT_EQ(TavoClientMergedViewInstanceQueryTeardown(nullptr, 0), STATUS_FLT_DO_NOT_DETACH);
  EXPECT_EQ(sim::harness::TakeDebugLines(),
            (std::vector<std::string>{
                "TavoClientMergedViewInstanceQueryTeardown: Cannot detach",
                "Process explorer.exe has an open handle to file/folder " + file,
                "Process indexer.exe has an open handle to file/folder " + file,
                "Process indexer.exe has an open handle to file/folder " + folder}));

  EXPECT_EQ(Unload(/*mandatory=*/false), STATUS_FLT_DO_NOT_DETACH);
  const auto lines = sim::harness::TakeDebugLines();
  EXPECT_TRUE(Printed(lines, "TavoClientMergedViewUnload: Process indexer.exe has an open handle "
                             "to file/folder " + file));
  ASSERT_TRUE(Loaded());
  EXPECT_EQ(sim::harness::ports::OpenServerPorts().size(), 4u);
  EXPECT_EQ(sim::harness::ToU16(Globals.MergedViewRoot), kView);
  EXPECT_NE(Globals.AttachedVolume, nullptr);
  EXPECT_EQ(sim::harness::RunningSystemThreadCount(), 1u);  // the worker still purges
  OpenResult later = Opened(folder_, FILE_READ_ATTRIBUTES, FILE_OPEN);
  for (OpenResult* handle : {&opened, &again, &other, &later}) Close(*handle);
  EXPECT_EQ(Unload(/*mandatory=*/true), STATUS_SUCCESS);
  EXPECT_FALSE(Printed(sim::harness::TakeDebugLines(), "Forcefully"));
}

TEST_F(VirtualOpenTest, InstallerReportNamesEveryOpener) {
  OpenResult first = Open(file_, FILE_READ_ATTRIBUTES, FILE_OPEN);
  OpenResult second = Opened(folder_, FILE_READ_ATTRIBUTES, FILE_OPEN, 0, indexer_);
  // "explorer.exe" (24 bytes) + ',' then "indexer.exe" (22 bytes) + NUL.
  const std::uint32_t fullLength = 24 + 2 + 22 + 2;
  // The client's output buffer is a 12-byte header plus `capacity`; the
  // names start 8 bytes in, so `capacity` + 4 bytes are room for names.
  struct Case {
    std::uint32_t capacity;
    std::uint32_t status;
    std::uint32_t returned;
  };
  const Case cases[] = {{fullLength, 0, 12 + fullLength},
                        {26 - 4, static_cast<std::uint32_t>(STATUS_BUFFER_TOO_SMALL), 12 + 22}};
  for (const Case& c : cases) {
    auto result = OpenHandleReport(c.capacity);
    ASSERT_EQ(result.hresult, S_OK);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.returnedBytes, c.returned);
    if (c.status == 0) {
      ASSERT_EQ(result.data.size(), fullLength);
      EXPECT_EQ(TextOf(result.data, 0, fullLength), std::u16string(u"explorer.exe,indexer.exe\0", 25));
    }
  }
  Close(first);
  Close(second);
}

// Opens and closes of one item from many threads at once, while the
// installer's report reads the openers: the entry is shared while any
// handle is open and gone after the last close.
TEST_F(VirtualOpenTest, ConcurrentOpensAndClosesKeepTheEntryConsistent) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 10;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.push_back(sim::harness::StartThreadAs(explorer_, [&] {
      for (int round = 0; round < kRounds; ++round) {
        OpenResult opened = Open(file_, FILE_READ_ATTRIBUTES, FILE_OPEN);
        if (opened.status != STATUS_SUCCESS) ++failures;
        Close(opened);
      }
    }));
  }
  // The installer's report walks the openers while they come and go.
  std::atomic<bool> done{false};
  std::thread reporter([&] {
    while (!done) {
      if (OpenHandleReport(256).hresult != S_OK) ++failures;
    }
  });
  for (auto& thread : threads) thread.join();
  done = true;
  reporter.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(EntryOf(file_), nullptr);
  // The answer was cached: the client was asked at most once per thread's
  // first miss, never once per open.
  EXPECT_LE(ItemQueries(), static_cast<std::size_t>(2 * kThreads));
}

}  // namespace
}  // namespace tavo::testing
