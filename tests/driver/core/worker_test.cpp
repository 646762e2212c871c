// The worker thread's purge of the short-name cache.
#include <chrono>
#include <cstring>
#include <thread>

#include "core/globals.h"
#include "driver_fixture.h"
#include "harness/clock.h"
#include "harness/strings.h"
#include "harness/threads.h"
#include "support/locks.h"
#include "support/pool.h"
#include "tables/short_name_cache.h"

namespace tavo::testing {
namespace {

using namespace std::chrono_literals;

class WorkerTest : public DriverTest {
 protected:
  // Adds an entry the way the short-name walk does, expiring at `expiry`.
  void AddEntry(std::u16string shortPath, std::u16string longPath, LONGLONG expiry) {
    auto* entry =
        static_cast<ShortNameEntry*>(AllocateZeroed(NonPagedPool, sizeof(ShortNameEntry)));
    entry->ShortPath = CopyOf(shortPath);
    entry->LongPath = CopyOf(longPath);
    entry->Expiry = expiry;
    ExclusiveLock lock(Globals.ShortNameTableLock);
    ASSERT_TRUE(
        RtlInsertUnicodePrefix(&Globals.ShortNameTable, &entry->ShortPath, &entry->PrefixEntry));
  }

  static UNICODE_STRING CopyOf(const std::u16string& text) {
    auto bytes = static_cast<USHORT>(text.size() * 2);
    UNICODE_STRING copy{bytes, bytes, static_cast<PWCH>(AllocateZeroed(NonPagedPool, bytes))};
    std::memcpy(copy.Buffer, text.data(), bytes);
    return copy;
  }

  std::size_t EntryCount() {
    ExclusiveLock lock(Globals.ShortNameTableLock);
    std::size_t count = 0;
    for (auto* link = RtlNextUnicodePrefix(&Globals.ShortNameTable, TRUE); link != nullptr;
         link = RtlNextUnicodePrefix(&Globals.ShortNameTable, FALSE)) {
      ++count;
    }
    return count;
  }

  bool WaitForEntryCount(std::size_t count) {
    for (int i = 0; i < 500; ++i) {
      if (EntryCount() == count) return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }
};

// Every 30 seconds the worker removes entries whose expiry has come, the
// one expiring exactly at that moment included.
TEST_F(WorkerTest, PurgeEvery30SecondsRemovesExpiredEntries) {
  const LONGLONG start = sim::harness::SystemTime();
  const LONGLONG thirty = 300000000;
  AddEntry(u"\\a\\PROGRA~1", u"\\a\\Program Files", start + thirty);       // expires at the purge
  AddEntry(u"\\a\\LONGFI~1", u"\\a\\Long File Name", start + thirty + 1);  // a moment later
  AddEntry(u"\\b\\OTHER~1", u"\\b\\Other Name", start + 2 * thirty);

  // The clock moves only once the worker waits, so its deadline is known.
  ASSERT_TRUE(sim::harness::WaitUntilSystemThreadsWait());
  sim::harness::AdvanceClock(sim::harness::KernelDuration(thirty - 1));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(EntryCount(), 3u);  // no purge before the period

  sim::harness::AdvanceClock(sim::harness::KernelDuration(1));
  EXPECT_TRUE(WaitForEntryCount(2));
  ASSERT_TRUE(sim::harness::WaitUntilSystemThreadsWait());
  sim::harness::AdvanceClock(sim::harness::KernelDuration(thirty));
  EXPECT_TRUE(WaitForEntryCount(0));
}

}  // namespace
}  // namespace tavo::testing
