// Pool, context and work-item shortage at every allocation of the
// operations on the view's items (deletes, renames, closes, listings,
// information queries and the installer's report): each either ends as usual
// or fails cleanly, and the server, the backend folder and the driver's
// tables agree afterwards.
#include <cstdio>
#include <cstring>

#include "allocation_sweep.h"
#include "harness/pool.h"
#include "harness/processes.h"
#include "port_messages.h"
#include "setinfo_fixture.h"
#include "verifier/faults.h"

namespace tavo::testing {
namespace {

using sim::faults::Site;

enum class Kind {
  VirtualDelete,
  VirtualFolderDelete,
  VirtualDeleteDownloaded,
  VirtualRename,
  VirtualReplace,
  VirtualFolderRename,
  VirtualFolderWithCopy,
  VirtualMoveOut,
  LocalIntoView,
  LocalBareName,
  LocalIntoViewReplacing,
  LocalCopyOut,
  ReaderRetry,
  LocalDeleteAtClose,
  ListRoot,
  ListFolder,
  QueryServerItem,
  QueryLocalName,
  InstallerReport,
};

struct Scenario {
  const char* what;
  Kind kind;
};

const Scenario kScenarios[] = {
    {"virtual delete", Kind::VirtualDelete},
    {"virtual folder delete", Kind::VirtualFolderDelete},
    // The disposition goes to the local copy another open downloaded.
    {"virtual delete of a downloaded item", Kind::VirtualDeleteDownloaded},
    {"virtual rename", Kind::VirtualRename},
    {"virtual rename replacing", Kind::VirtualReplace},
    {"virtual folder rename", Kind::VirtualFolderRename},
    {"virtual folder with a local copy", Kind::VirtualFolderWithCopy},
    // Then the moved handle is renamed again, by bare name.
    {"virtual item moved out of the view", Kind::VirtualMoveOut},
    {"local rename into the view", Kind::LocalIntoView},
    // Without its own name the file still goes down with a plain new name.
    {"local rename by bare name", Kind::LocalBareName},
    {"local rename into the view replacing a server item", Kind::LocalIntoViewReplacing},
    {"local copy renamed out of the view", Kind::LocalCopyOut},
    // A reader's rename into a server folder missing on disk fails, and
    // then its retry from a worker: the file stays where it was.
    {"reader rename retried by a worker", Kind::ReaderRetry},
    {"local delete at close", Kind::LocalDeleteAtClose},
    {"listing of the root", Kind::ListRoot},
    {"listing of a server folder", Kind::ListFolder},
    {"information of a server item", Kind::QueryServerItem},
    {"name of a local copy", Kind::QueryLocalName},
    {"installer report", Kind::InstallerReport},
};

// One FILE_NAMES_INFORMATION entry: the client's listing.
std::vector<std::uint8_t> OneName(const std::u16string& name) {
  std::vector<std::uint8_t> entry(FIELD_OFFSET(FILE_NAMES_INFORMATION, FileName) + name.size() * 2, 0);
  const auto length = static_cast<ULONG>(name.size() * 2);
  std::memcpy(entry.data() + FIELD_OFFSET(FILE_NAMES_INFORMATION, FileNameLength), &length, 4);
  std::memcpy(entry.data() + FIELD_OFFSET(FILE_NAMES_INFORMATION, FileName), name.data(), length);
  return entry;
}

class SetInfoAllocationTest : public SetInfoTest,
                              public ::testing::WithParamInterface<std::tuple<Scenario, Site>> {
 protected:
  void SetUp() override {
    SetInfoTest::SetUp();
    reader_ =
        sim::harness::CreateProcess("\\Device\\HarddiskVolume3\\Program Files\\AcroRd32.exe");
    client_->OnRequest(protocol::kRequestDirectoryListing, [this](const DriverMessage& m) {
      if (SentRequest{m.type, m.payload}.U32(8) == protocol::kDirectoryQueryDeleteCheck) {
        return ScriptedAnswer::Now(STATUS_SUCCESS, {deleteCheckAnswer_});
      }
      return ScriptedAnswer::Now(STATUS_SUCCESS, OneName(u"listed.txt"));
    });
  }
  void TearDown() override {
    sim::faults::Clear();
    SetInfoTest::TearDown();
  }

  std::uint32_t reader_ = 0;  // a process whose failed renames are retried

  template <class Call>
  static NTSTATUS As(const OpenResult& opened, Call&& call) {
    return sim::harness::RunAs(opened.processId, call);
  }

  static std::u16string Name(const char* stem, int round) {
    char name[32];
    std::snprintf(name, sizeof(name), "\\%s%04d.txt", stem, round);
    return sim::harness::FromUtf8(name);
  }

  // Runs the scenario on fresh names; the status it ended with, after
  // checking that everything agrees with it.
  NTSTATUS RunOnce(Kind kind, int round) {
    const std::u16string item = InView(Name("item", round));
    const std::u16string renamed = InView(Name("renamed", round));
    NTSTATUS status = STATUS_PENDING;
    switch (kind) {
      case Kind::VirtualDelete:
      case Kind::VirtualRename:
      case Kind::VirtualReplace:
      case Kind::VirtualFolderRename: {
        AddServerItem(item, {kind == Kind::VirtualFolderRename, "contents"});
        const bool replacing = kind == Kind::VirtualReplace;
        if (replacing) AddServerItem(renamed, {false, "older"});
        OpenResult opened = Open(item, DELETE | FILE_READ_ATTRIBUTES, FILE_OPEN);
        if (!NT_SUCCESS(opened.status)) return opened.status;
        if (kind == Kind::VirtualDelete) {
          status = Dispose(opened);
          Close(opened);
          // A refused delete never reaches the server; a recorded one is
          // made at the close, even when the close is short of pool.
          EXPECT_EQ(ServerHas(item), status != STATUS_SUCCESS);
        } else {
          status = Rename(opened, ViewDos(Name("renamed", round)), replacing).status;
          // Tables and server agree on the name; a replaced item is never lost.
          const bool done = status == STATUS_SUCCESS;
          EXPECT_EQ(ServerHas(renamed), done || replacing);
          EXPECT_EQ(ServerHas(item), !done);
          EXPECT_EQ(EntryOf(done ? renamed : item) != nullptr, true);
          Close(opened);
        }
        break;
      }
      case Kind::VirtualFolderWithCopy: {
        const std::u16string folder = Name("folder", round).substr(0, 11);
        AddServerItem(InView(folder), {true, {}});
        AddBackendDirectory(folder);
        AddBackendFile(folder + u"\\inside.txt");
        OpenResult opened =
            Open(InView(folder), DELETE | FILE_READ_ATTRIBUTES, FILE_OPEN, FILE_DIRECTORY_FILE);
        if (!NT_SUCCESS(opened.status)) return opened.status;
        const std::u16string archive = Name("archive", round).substr(0, 12);
        status = Rename(opened, ViewDos(archive)).status;
        Close(opened);
        // The local copy moves only with a rename that succeeds.
        const bool done = status == STATUS_SUCCESS;
        EXPECT_EQ(VolumeHas(kBackendOnVolume + archive + u"\\inside.txt"), done);
        EXPECT_EQ(VolumeHas(kBackendOnVolume + folder + u"\\inside.txt"), !done);
        break;
      }
      case Kind::VirtualMoveOut: {
        SetRenameAnswer(protocol::kRenameMoveOutOfView);
        (void)volume_->Populate({DirSpec(kDocumentsOnVolume)});
        AddServerItem(item, {false, "contents"});
        const std::u16string moved = u"\\Users\\ann\\Documents" + Name("moved", round);
        const std::u16string final = u"\\Users\\ann\\Documents" + Name("final", round);
        OpenResult opened = Open(item, DELETE | FILE_READ_ATTRIBUTES, FILE_OPEN);
        if (!NT_SUCCESS(opened.status)) return opened.status;
        status = Rename(opened, Dos(moved)).status;
        const bool movedOut = status == STATUS_SUCCESS;
        EXPECT_EQ(VolumeHas(moved), movedOut);
        if (!movedOut) {
          EXPECT_TRUE(ServerHas(item));
        } else {
          status = Rename(opened, final.substr(21)).status;
          EXPECT_EQ(VolumeHas(final), status == STATUS_SUCCESS);
          EXPECT_EQ(VolumeHas(moved), status != STATUS_SUCCESS);
        }
        Close(opened);
        SetRenameAnswer(protocol::kRenameDone);
        break;
      }
      case Kind::LocalIntoView:
      case Kind::LocalBareName:
      case Kind::LocalIntoViewReplacing: {
        const bool bare = kind == Kind::LocalBareName;
        const bool replacing = kind == Kind::LocalIntoViewReplacing;
        const std::u16string outside = u"\\Users\\ann" + Name("local", round);
        const std::u16string landed =
            (bare ? std::u16string(u"\\Users\\ann") : kBackendOnVolume) + Name("renamed", round);
        if (replacing) AddServerItem(renamed, {false, "older"});
        EXPECT_EQ(volume_->Populate({FileSpecOf(outside, "x")}), STATUS_SUCCESS);
        OpenResult opened =
            Open(kVolumeDevice + outside, DELETE | FILE_READ_ATTRIBUTES, FILE_OPEN);
        if (!NT_SUCCESS(opened.status)) return opened.status;
        status = Rename(opened,
                        bare ? Name("renamed", round).substr(1) : ViewDos(Name("renamed", round)),
                        replacing)
                     .status;
        Close(opened);
        // The file moves only with a rename that lands, and only then does
        // a server item it replaces give way.
        const bool done = status == STATUS_SUCCESS;
        EXPECT_EQ(VolumeHas(landed), done);
        EXPECT_EQ(VolumeHas(outside), !done);
        EXPECT_TRUE(done || !replacing || ServerHas(renamed));
        break;
      }
      case Kind::LocalCopyOut: {
        const std::u16string moved = u"\\Users\\ann" + Name("out", round);
        AddBackendFile(Name("copy", round));
        OpenResult opened =
            Open(InView(Name("copy", round)), DELETE | FILE_READ_ATTRIBUTES, FILE_OPEN);
        if (!NT_SUCCESS(opened.status)) return opened.status;
        status = Rename(opened, Dos(moved)).status;
        Close(opened);
        const bool done = status == STATUS_SUCCESS;
        EXPECT_EQ(VolumeHas(moved), done);
        EXPECT_EQ(VolumeHas(kBackendOnVolume + Name("copy", round)), !done);
        break;
      }
      case Kind::VirtualDeleteDownloaded: {
        AddServerItem(item, {false, "contents"});
        OpenResult opened = Open(item, DELETE | FILE_READ_ATTRIBUTES, FILE_OPEN);
        if (!NT_SUCCESS(opened.status)) return opened.status;
        OpenResult reader = Open(item, GENERIC_READ, FILE_OPEN);
        status = Dispose(opened);
        if (NT_SUCCESS(reader.status)) Close(reader);
        Close(opened);
        EXPECT_EQ(ServerHas(item), status != STATUS_SUCCESS);
        // A copy the reader's open made goes with the item, even when that
        // open failed afterwards.
        if (status == STATUS_SUCCESS) {
          EXPECT_FALSE(VolumeHas(kBackendOnVolume + Name("item", round)));
        }
        break;
      }
      case Kind::VirtualFolderDelete: {
        const std::u16string folder = Name("empty", round).substr(0, 10);
        AddServerItem(InView(folder), {true, {}});
        OpenResult opened =
            Open(InView(folder), DELETE | FILE_READ_ATTRIBUTES, FILE_OPEN, FILE_DIRECTORY_FILE);
        if (!NT_SUCCESS(opened.status)) return opened.status;
        status = Dispose(opened);
        Close(opened);
        EXPECT_EQ(ServerHas(InView(folder)), status != STATUS_SUCCESS);
        break;
      }
      case Kind::ReaderRetry: {
        const std::u16string outside = u"\\Users\\ann" + Name("read", round);
        const std::u16string folder = Name("sub", round).substr(0, 8);
        AddServerItem(InView(folder), {true, {}});
        EXPECT_EQ(volume_->Populate({FileSpecOf(outside, "x")}), STATUS_SUCCESS);
        OpenResult opened = Open(kVolumeDevice + outside, DELETE | FILE_READ_ATTRIBUTES, FILE_OPEN,
                                 0, reader_);
        if (!NT_SUCCESS(opened.status)) return opened.status;
        status = Rename(opened, ViewDos(folder + u"\\notes.txt")).status;
        Close(opened);
        EXPECT_TRUE(VolumeHas(outside));
        EXPECT_NE(status, STATUS_SUCCESS);
        if (status == STATUS_OBJECT_PATH_NOT_FOUND) status = STATUS_SUCCESS;  // its usual end
        break;
      }
      case Kind::LocalDeleteAtClose: {
        AddBackendFile(Name("copy", round));
        OpenResult opened = Open(InView(Name("copy", round)), DELETE | FILE_READ_ATTRIBUTES, FILE_OPEN);
        if (!NT_SUCCESS(opened.status)) return opened.status;
        status = Dispose(opened);
        Close(opened);
        EXPECT_EQ(VolumeHas(kBackendOnVolume + Name("copy", round)), status != STATUS_SUCCESS);
        break;
      }
      case Kind::ListRoot:
      case Kind::ListFolder: {
        if (kind == Kind::ListFolder) AddServerItem(item, {true, {}});
        OpenResult opened = Open(kind == Kind::ListRoot ? kView : item, FILE_LIST_DIRECTORY, FILE_OPEN,
                                 FILE_DIRECTORY_FILE);
        if (!NT_SUCCESS(opened.status)) return opened.status;
        std::vector<std::uint8_t> buffer(512);
        status = As(opened, [&] {
          IO_STATUS_BLOCK iosb{};
          return NtQueryDirectoryFile(opened.handle, nullptr, nullptr, nullptr, &iosb, buffer.data(),
                                      static_cast<ULONG>(buffer.size()), FileNamesInformation, FALSE,
                                      nullptr, TRUE);
        });
        // (The root's own entries come first; a server folder lists the
        // client's answer.)
        if (status == STATUS_SUCCESS && kind == Kind::ListFolder) {
          const std::u16string listed = u"listed.txt";
          const std::u16string text = TextOf(buffer, 0, buffer.size());
          EXPECT_NE(text.find(listed), std::u16string::npos);
        }
        Close(opened);
        break;
      }
      case Kind::QueryServerItem: {
        AddServerItem(item, {false, "contents"});
        OpenResult opened = Open(item, FILE_READ_ATTRIBUTES, FILE_OPEN);
        if (!NT_SUCCESS(opened.status)) return opened.status;
        FILE_STANDARD_INFORMATION standard{};
        status = As(opened, [&] {
          IO_STATUS_BLOCK iosb{};
          return NtQueryInformationFile(opened.handle, &iosb, &standard, sizeof(standard),
                                        FileStandardInformation);
        });
        if (status == STATUS_SUCCESS) {
          EXPECT_EQ(standard.EndOfFile.QuadPart, 8);
        }
        Close(opened);
        break;
      }
      case Kind::QueryLocalName: {
        AddBackendFile(Name("copy", round));
        OpenResult opened = Open(InView(Name("copy", round)), FILE_READ_ATTRIBUTES, FILE_OPEN);
        if (!NT_SUCCESS(opened.status)) return opened.status;
        std::vector<std::uint8_t> buffer(1024);
        status = As(opened, [&] {
          IO_STATUS_BLOCK iosb{};
          return NtQueryInformationFile(opened.handle, &iosb, buffer.data(),
                                        static_cast<ULONG>(buffer.size()), FileNameInformation);
        });
        // A local copy shows its merged-view name. (A copy whose create
        // could not attach its stream context is served untracked, and
        // then shows its backend name: only the rounds without an injected
        // failure can tell.)
        if (status == STATUS_SUCCESS && round < 2) {
          ULONG length = 0;
          std::memcpy(&length, buffer.data(), 4);
          EXPECT_EQ(TextOf(buffer, 4, length), kViewOnVolume + Name("copy", round));
        }
        Close(opened);
        break;
      }
      case Kind::InstallerReport: {
        AddServerItem(item, {false, "contents"});
        OpenResult opened = Open(item, FILE_READ_ATTRIBUTES, FILE_OPEN);
        if (!NT_SUCCESS(opened.status)) return opened.status;
        const auto report = OpenHandleReport(256);
        status = report.hresult == S_OK ? static_cast<NTSTATUS>(report.status) : STATUS_INSUFFICIENT_RESOURCES;
        // "explorer.exe" and its NUL; an image name that could not be looked
        // up is reported empty.
        if (status == STATUS_SUCCESS) {
          EXPECT_TRUE(report.data.size() == 26u || report.data.size() == 2u) << report.data.size();
        }
        Close(opened);
        break;
      }
    }
    EXPECT_EQ(ServerItemHolders(), u"");
    EXPECT_EQ(volume_->OpenFileObjectCount(), 0u);
    ExpectViewFolderEmpty();
    return status;
  }
};

TEST_P(SetInfoAllocationTest, EveryFailureEndsCleanly) {
  const auto& [scenario, site] = GetParam();
  const std::uint32_t tag = site == Site::PoolAllocation ? sim::harness::PoolTag("Tavo") : 0;
  sim::faults::Clear();
  ASSERT_EQ(RunOnce(scenario.kind, 0), STATUS_SUCCESS);
  const std::uint64_t calls = SweepAllocations(site, tag, [&](std::uint64_t nth) {
    const NTSTATUS status = RunOnce(scenario.kind, static_cast<int>(nth) + 1);
    EXPECT_TRUE(nth == 0 ? status == STATUS_SUCCESS : status == STATUS_SUCCESS || NT_ERROR(status))
        << scenario.what << ": allocation " << nth << " gave 0x" << std::hex << status;
  });
  // Every scenario allocates pool; only some make contexts or work items.
  EXPECT_TRUE(calls > 0 || site != Site::PoolAllocation);
}

INSTANTIATE_TEST_SUITE_P(
    Scenarios, SetInfoAllocationTest,
    ::testing::Combine(::testing::ValuesIn(kScenarios),
                       ::testing::Values(Site::PoolAllocation, Site::ContextAllocation,
                                         Site::WorkItemAllocation)),
    [](const auto& info) { return AllocationSweepName(info); });

}  // namespace
}  // namespace tavo::testing
