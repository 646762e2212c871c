// Pool and context shortage at every allocation of a delete or a rename:
// the request either ends as usual or fails cleanly, and the server, the
// backend folder and the driver's tables agree afterwards.
#include <cstdio>

#include "allocation_sweep.h"
#include "core/globals.h"
#include "harness/pool.h"
#include "setinfo_fixture.h"
#include "verifier/faults.h"

namespace tavo::testing {
namespace {

using sim::faults::Site;

enum class Kind { VirtualDelete, VirtualRename, VirtualReplace, LocalIntoView, LocalBareName };

struct Scenario {
  const char* what;
  Kind kind;
};

const Scenario kScenarios[] = {
    {"virtual delete", Kind::VirtualDelete},
    {"virtual rename", Kind::VirtualRename},
    {"virtual rename replacing", Kind::VirtualReplace},
    {"local rename into the view", Kind::LocalIntoView},
    // Without its own name the file still goes down with a plain new name.
    {"local rename by bare name", Kind::LocalBareName},
};

class SetInfoAllocationTest : public SetInfoTest,
                              public ::testing::WithParamInterface<std::tuple<Scenario, Site>> {
 protected:
  void TearDown() override {
    sim::faults::Clear();
    SetInfoTest::TearDown();
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
      case Kind::VirtualReplace: {
        AddServerItem(item, {false, "contents"});
        const bool replacing = kind == Kind::VirtualReplace;
        if (replacing) AddServerItem(renamed, {false, "older"});
        OpenResult opened = Open(item, DELETE | FILE_READ_ATTRIBUTES, FILE_OPEN);
        if (!NT_SUCCESS(opened.status)) return opened.status;
        if (kind == Kind::VirtualDelete) {
          status = SetInfo(opened, FileDispositionInformation, {1}).status;
          Close(opened);
          // A refused delete never reaches the server; a recorded one is
          // made at the close, even when the close is short of pool.
          EXPECT_EQ(ServerHas(item), status != STATUS_SUCCESS);
        } else {
          status = SetInfo(opened, FileRenameInformation,
                           RenameInfo(Dos(kViewOnVolume + Name("renamed", round)), replacing))
                       .status;
          // Tables and server agree on the name; a replaced item is never lost.
          const bool done = status == STATUS_SUCCESS;
          EXPECT_EQ(ServerHas(renamed), done || replacing);
          EXPECT_EQ(ServerHas(item), !done);
          EXPECT_EQ(EntryOf(done ? renamed : item) != nullptr, true);
          Close(opened);
        }
        break;
      }
      case Kind::LocalIntoView:
      case Kind::LocalBareName: {
        const std::u16string outside = u"\\Users\\ann" + Name("local", round);
        const std::u16string newName = kind == Kind::LocalIntoView
                                           ? Dos(kViewOnVolume + Name("renamed", round))
                                           : Name("renamed", round).substr(1);
        const std::u16string landed = kind == Kind::LocalIntoView
                                          ? kBackendOnVolume + Name("renamed", round)
                                          : u"\\Users\\ann" + Name("renamed", round);
        EXPECT_EQ(volume_->Populate({FileSpecOf(outside, "x")}), STATUS_SUCCESS);
        OpenResult opened =
            Open(kVolumeDevice + outside, DELETE | FILE_READ_ATTRIBUTES, FILE_OPEN);
        if (!NT_SUCCESS(opened.status)) return opened.status;
        status = SetInfo(opened, FileRenameInformation, RenameInfo(newName, 0)).status;
        Close(opened);
        const bool done = status == STATUS_SUCCESS;
        EXPECT_EQ(VolumeHas(landed), done);
        EXPECT_EQ(VolumeHas(outside), !done);
        break;
      }
    }
    EXPECT_EQ(RtlNextUnicodePrefix(&Globals.OpenHandleTable, TRUE), nullptr);
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
  sim::faults::Clear();
  ASSERT_EQ(RunOnce(scenario.kind, 1), STATUS_SUCCESS);
  const std::uint64_t calls = sim::faults::CallCount(site, tag);
  // Every scenario allocates pool; only virtual opens make contexts.
  const bool local = scenario.kind == Kind::LocalIntoView || scenario.kind == Kind::LocalBareName;
  if (site == Site::PoolAllocation || !local) {
    ASSERT_GT(calls, 0u);
  }
  for (std::uint64_t nth = 1; nth <= calls; ++nth) {
    sim::faults::Clear();
    sim::faults::FailNth(site, nth, tag);
    const NTSTATUS status = RunOnce(scenario.kind, static_cast<int>(nth) + 1);
    sim::faults::Clear();
    EXPECT_TRUE(status == STATUS_SUCCESS || NT_ERROR(status))
        << scenario.what << ": allocation " << nth << " gave 0x" << std::hex << status;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Scenarios, SetInfoAllocationTest,
    ::testing::Combine(::testing::ValuesIn(kScenarios),
                       ::testing::Values(Site::PoolAllocation, Site::ContextAllocation)),
    [](const auto& info) { return AllocationSweepName(info); });

}  // namespace
}  // namespace tavo::testing
