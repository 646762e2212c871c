// Every pool allocation of the name routines may fail. Each sweep runs a
// scenario once per allocation with that one failing: the routine then
// fails cleanly (or gives an empty result), the caches hold nothing half
// made, and nothing leaks (the fixture checks after unload).
#include <ntapi.h>

#include "allocation_sweep.h"
#include "core/globals.h"
#include "create/name_helpers.h"
#include "name_probe_filter.h"
#include "names_fixture.h"
#include "setinfo/item_info_cache.h"
#include "support/locks.h"
#include "tables/short_name_cache.h"
#include "tables/short_names.h"
#include "verifier/faults.h"

namespace tavo::testing {
namespace {

using sim::faults::Site;
using sim::harness::ToU16;

class NamesAllocationFailureTest : public NamesTest {
 protected:
  template <class Operation, class Reset>
  void Sweep(Operation operation, Reset reset) {
    SweepPool(kTavoTag, operation, reset);
  }

  static std::size_t CachedShortNames() {
    std::size_t count = 0;
    ExclusiveLock lock(Globals.ShortNameTableLock);
    for (auto* link = RtlNextUnicodePrefix(&Globals.ShortNameTable, TRUE); link != nullptr;
         link = RtlNextUnicodePrefix(&Globals.ShortNameTable, FALSE)) {
      auto* entry = CONTAINING_RECORD(link, ShortNameEntry, PrefixEntry);
      EXPECT_NE(entry->ShortPath.Buffer, nullptr);
      EXPECT_NE(entry->LongPath.Buffer, nullptr);
      ++count;
    }
    return count;
  }
};

// A walk that fails part-way keeps the entries it completed; the result is
// either the full expansion or a failure with no buffer.
TEST_F(NamesAllocationFailureTest, ExpandShortNames) {
  const std::u16string path = kRoot + u"\\PROGRA~1\\REPORT~1.DOC";
  const std::u16string expected = kRoot + u"\\Program Files\\Report 2024.doc";
  SetLongName(kRoot + u"\\PROGRA~1", kRoot + u"\\Program Files");
  SetLongName(kRoot + u"\\Program Files\\REPORT~1.DOC", expected);
  SetLongName(path, expected);
  Sweep(
      [&](bool failing) {
        TestPath input(path);
        OwnedString expanded;
        const NTSTATUS status = ExpandShortNames(nullptr, &input.string, &expanded);
        if (status == STATUS_SUCCESS) {
          EXPECT_EQ(ToU16(expanded.Get()), expected);
        } else {
          EXPECT_TRUE(failing);
          EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
          EXPECT_FALSE(expanded.HasBuffer());
        }
        EXPECT_LE(CachedShortNames(), 2u);
        if (!failing) {
          EXPECT_EQ(CachedShortNames(), 2u);
        }
      },
      [] { EmptyShortNameTable(); });
}

TEST_F(NamesAllocationFailureTest, QueryItemInfo) {
  const std::u16string path = kRoot + u"\\a.txt";
  SetItemInfo(path, ItemInfoAnswer(FILE_ATTRIBUTE_ARCHIVE, 5));
  Sweep(
      [&](bool failing) {
        TestPath input(path);
        PoolBuffer reply;
        QueryItemInfo(nullptr, &input.string, &reply);
        if (!failing) {
          ASSERT_TRUE(reply);
        }
        if (reply) {
          EXPECT_GE(reply.Size(), protocol::kItemInfoReplySize);
        }
        PoolBuffer cached;
        LookupItemInfo(&input.string, &cached);
        // Only an answer handed out may be cached.
        if (!reply) {
          EXPECT_FALSE(cached);
        }
      },
      [] { EmptyItemInfoCache(); });
}

TEST_F(NamesAllocationFailureTest, PathMapping) {
  const std::u16string view = kRoot + u"\\x\\y.txt";
  const std::u16string backend = std::u16string(kBackendRoot) + u"\\x\\y.txt";
  Sweep(
      [&](bool failing) {
        TestPath viewPath(view), backendPath(backend);
        OwnedString mappedBackend, mappedView;
        ViewPathToBackendPath(&viewPath.string, &mappedBackend);
        const BOOLEAN under = BackendPathToViewPath(&backendPath.string, &mappedView);
        if (mappedBackend.HasBuffer()) {
          EXPECT_EQ(ToU16(mappedBackend.Get()), backend);
        }
        if (mappedView.HasBuffer()) {
          EXPECT_TRUE(under);
          EXPECT_EQ(ToU16(mappedView.Get()), view);
        }
        if (!failing) {
          EXPECT_TRUE(mappedBackend.HasBuffer() && mappedView.HasBuffer());
        }
      },
      [] {});
}

// The create's name, with the failure armed inside the probe's pre-create
// so that only GetCreateFileName's allocations count.
TEST_F(NamesAllocationFailureTest, GetCreateFileName) {
  HANDLE folder = CreateWorkFolder(*volume_);
  sim::harness::Driver* probe = LoadNameProbe(ProbeProvider::Fails);
  const std::u16string expected = std::u16string(kVolumeDevice) + u"\\work\\dir\\a.txt";
  std::uint64_t nth = 0, allocations = 0;  // nth 0: count the allocations
  SetCreateHook([&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects) {
    sim::faults::Clear();
    if (nth != 0) sim::faults::FailNth(Site::PoolAllocation, nth, kTavoTag);
    OwnedString name;
    const NTSTATUS status = GetCreateFileName(data, objects, &name);
    if (nth == 0) allocations = sim::faults::CallCount(Site::PoolAllocation, kTavoTag);
    EXPECT_EQ(sim::faults::FailedCount(Site::PoolAllocation), nth != 0 ? 1u : 0u) << nth;
    sim::faults::Clear();
    if (NT_SUCCESS(status)) {
      EXPECT_EQ(ToU16(name.Get()), expected) << nth;
    } else {
      EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << nth;
      EXPECT_FALSE(name.HasBuffer()) << nth;
    }
  });
  EXPECT_EQ(OpenAndClose(u"a.txt", folder), STATUS_SUCCESS);
  ASSERT_GT(allocations, 0u);
  for (nth = 1; nth <= allocations; ++nth)
    EXPECT_EQ(OpenAndClose(u"a.txt", folder), STATUS_SUCCESS);
  UnloadNameProbe(probe);
  NtClose(folder);
}

}  // namespace
}  // namespace tavo::testing
