// Every pool allocation of the name routines may fail. Each sweep runs a
// scenario once per allocation with that one failing: the routine then
// fails cleanly (or gives an empty result), the caches hold nothing half
// made, and nothing leaks (the fixture checks after unload).
#include "allocation_sweep.h"
#include "core/globals.h"
#include "create/name_helpers.h"
#include "names_fixture.h"
#include "support/locks.h"
#include "tables/short_name_cache.h"
#include "tables/short_names.h"

namespace tavo::testing {
namespace {

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

// Both ways between a view path and its local copy, with 10 spare bytes
// after the mapped path; a path outside the backend folder (one that only
// shares its name's beginning included) is not under it and maps nothing.
TEST_F(NamesAllocationFailureTest, PathMapping) {
  const std::u16string view = kRoot + u"\\x\\y.txt";
  const std::u16string backend = std::u16string(kBackendRoot) + u"\\x\\y.txt";
  Sweep(
      [&](bool failing) {
        TestPath viewPath(view), backendPath(backend);
        TestPath outside(std::u16string(kBackendRoot) + u"Other\\y.txt");
        OwnedString mappedBackend, mappedView, unmapped;
        ViewPathToBackendPath(&viewPath.string, &mappedBackend);
        const BOOLEAN under = BackendPathToViewPath(&backendPath.string, &mappedView);
        EXPECT_FALSE(BackendPathToViewPath(&outside.string, &unmapped));
        EXPECT_FALSE(unmapped.HasBuffer());
        if (mappedBackend.HasBuffer()) {
          EXPECT_EQ(ToU16(mappedBackend.Get()), backend);
          EXPECT_EQ(mappedBackend->MaximumLength, mappedBackend->Length + 10);
        }
        if (mappedView.HasBuffer()) {
          EXPECT_TRUE(under);
          EXPECT_EQ(ToU16(mappedView.Get()), view);
          EXPECT_EQ(mappedView->MaximumLength, mappedView->Length + 10);
        }
        if (!failing) {
          EXPECT_TRUE(mappedBackend.HasBuffer() && mappedView.HasBuffer());
        }
      },
      [] {});
}

}  // namespace
}  // namespace tavo::testing
