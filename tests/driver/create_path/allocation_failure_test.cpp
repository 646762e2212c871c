// Pool and context shortage at every allocation of a create and its close:
// the create either ends as usual or fails cleanly, and nothing is left
// behind (no entry, no open file object, no pool once the driver unloads).
#include <cstdio>
#include <functional>
#include <set>

#include "create_path_fixture.h"
#include "allocation_sweep.h"
#include "harness/pool.h"
#include "verifier/faults.h"

namespace tavo::testing {
namespace {

using sim::faults::Site;

struct Scenario {
  const char* what;
  ACCESS_MASK access;
  ULONG disposition;
  ULONG options;
  bool onServer;
  NTSTATUS usual;
};

const Scenario kScenarios[] = {
    {"virtual open", FILE_READ_ATTRIBUTES, FILE_OPEN, 0, true, STATUS_SUCCESS},
    {"download", GENERIC_READ, FILE_OPEN, 0, true, STATUS_SUCCESS},
    {"virtual delete on close", DELETE, FILE_OPEN, FILE_DELETE_ON_CLOSE, true, STATUS_SUCCESS},
    {"new folder", FILE_LIST_DIRECTORY, FILE_CREATE, FILE_DIRECTORY_FILE, false, STATUS_SUCCESS},
    {"new file", GENERIC_WRITE, FILE_CREATE, 0, false, STATUS_SUCCESS},
};

// What a create may end with when an allocation fails under it.
const std::set<NTSTATUS> kCleanFailures = {STATUS_INSUFFICIENT_RESOURCES,
                                           STATUS_OBJECT_NAME_NOT_FOUND, STATUS_ACCESS_DENIED,
                                           STATUS_INTERNAL_ERROR};

class AllocationFailureTest : public CreatePathTest,
                              public ::testing::WithParamInterface<std::tuple<Scenario, Site>> {
 protected:
  void TearDown() override {
    sim::faults::Clear();
    CreatePathTest::TearDown();
  }

  static std::u16string ItemName(int round) {
    char name[16];
    std::snprintf(name, sizeof(name), "\\item%04d", round);
    return sim::harness::FromUtf8(name);
  }

  // Runs the scenario on a fresh name; returns the create's status.
  NTSTATUS RunOnce(const Scenario& s, int round) {
    const std::u16string path = InView(ItemName(round));
    if (s.onServer) AddServerItem(path, {false, "contents"});
    OpenResult opened = Open(path, s.access, s.disposition, s.options);
    Close(opened);
    return opened.status;
  }
};

TEST_P(AllocationFailureTest, EveryFailureEndsCleanly) {
  const auto& [scenario, site] = GetParam();
  const std::uint32_t tag = site == Site::PoolAllocation ? sim::harness::PoolTag("Tavo") : 0;
  const std::uint64_t calls = SweepAllocations(site, tag, [&](std::uint64_t nth) {
    const NTSTATUS status = RunOnce(scenario, static_cast<int>(nth));
    if (nth != 0) sim::faults::Clear();  // (the first run's calls are counted after it)
    EXPECT_TRUE(status == scenario.usual || (nth != 0 && kCleanFailures.count(status) != 0))
        << scenario.what << ": allocation " << nth << " gave 0x" << std::hex << status;
    EXPECT_EQ(ServerItemHolders(), u"")
        << scenario.what << ": allocation " << nth;
    EXPECT_EQ(volume_->OpenFileObjectCount(), 0u) << scenario.what << ": allocation " << nth;
    // A name of the view is never created in the view's own folder on disk.
    EXPECT_FALSE(VolumeHas(u"\\Users\\ann\\Tavo" + ItemName(static_cast<int>(nth))))
        << scenario.what << ": allocation " << nth;
  });
  EXPECT_GT(calls, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Scenarios, AllocationFailureTest,
    ::testing::Combine(::testing::ValuesIn(kScenarios),
                       ::testing::Values(Site::PoolAllocation, Site::ContextAllocation)),
    [](const auto& info) { return AllocationSweepName(info); });

}  // namespace
}  // namespace tavo::testing
