// How the driver's tables scale: the look-up each create makes in
// OpenHandleTable, ItemInfoCache and ShortNameTable, with 1,000, 10,000 and
// 100,000 entries in the table (goal: the cost per look-up at 100,000 at
// most twice the cost at 1,000). Each table only grows during the run; the
// look-ups hit keys spread over the whole table.
#include <benchmark/benchmark.h>
#include <fltKernel.h>

#include <string>
#include <vector>

#include "../support/driver_machine.h"
#include "core/globals.h"
#include "create/open_handle_table.h"
#include "driver_channel.h"
#include "fs/volume.h"
#include "harness/machine.h"
#include "harness/strings.h"
#include "kernel/lifecycle.h"
#include "setinfo/item_info_cache.h"
#include "support/locks.h"
#include "tables/short_name_cache.h"
#include "tables/short_names.h"

namespace {

const std::u16string kMergedRoot = u"\\Device\\HarddiskVolume3\\Users\\ann\\Tavo";
tavo::client::DriverChannel channel;

std::u16string Number(std::int64_t i) {
  return sim::harness::FromUtf8(std::to_string(i));
}

// Item i of a table: spread over 97 folders, as a real tree would be. The
// folders' names are no 8.3 names, so a short-name walk asks only about the
// items' own short names.
std::u16string FolderPath(std::int64_t i) {
  return kMergedRoot + u"\\Folder number " + Number(i % 97);
}
std::u16string ItemPath(std::int64_t i) {
  return FolderPath(i) + u"\\item" + Number(i) + u".txt";
}
// Its short name: "I", the number in base 36, "~1.TXT".
std::u16string ShortItemPath(std::int64_t i) {
  std::u16string digits;
  for (std::int64_t n = i; n != 0 || digits.empty(); n /= 36) {
    digits.insert(digits.begin(), u"0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"[n % 36]);
  }
  return FolderPath(i) + u"\\I" + digits + u"~1.TXT";
}

// The keys a run looks up: 1,000 spread evenly over `count` items.
template <class Make>
std::vector<std::u16string> SampleKeys(std::int64_t count, Make make) {
  std::vector<std::u16string> keys;
  for (std::int64_t i = 0; i < 1000; ++i) keys.push_back(make(i * (count / 1000)));
  return keys;
}

void FillOpenHandleTable(std::int64_t count) {
  static std::int64_t filled = 0;
  for (; filled < count; ++filled) {
    std::u16string path = ItemPath(filled);
    UNICODE_STRING name = sim::harness::MakeUnicodeString(path);
    tavo::OpenHandleEntry* entry = nullptr;
    UCHAR created = 0;
    tavo::FindOrAddOpenHandleEntry(nullptr, &name, &entry, &created, TRUE);
  }
}

void FillItemInfoCache(std::int64_t count) {
  static std::int64_t filled = 0;
  const std::uint8_t reply[64] = {};
  for (; filled < count; ++filled) {
    std::u16string path = ItemPath(filled);
    UNICODE_STRING name = sim::harness::MakeUnicodeString(path);
    tavo::CacheItemInfo(&name, reply, sizeof(reply));
  }
}

// Short-name answers as the driver records them after asking the client.
void FillShortNameTable(std::int64_t count) {
  static std::int64_t filled = 0;
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  tavo::ExclusiveLock lock(tavo::Globals.ShortNameTableLock);
  for (; filled < count; ++filled) {
    auto entry = tavo::PoolPtr<tavo::ShortNameEntry>::Make(tavo::kNonPaged);
    std::u16string shortPath = ShortItemPath(filled), longPath = ItemPath(filled);
    const UNICODE_STRING shortName = sim::harness::MakeUnicodeString(shortPath);
    const UNICODE_STRING longName = sim::harness::MakeUnicodeString(longPath);
    entry->ShortPath =
        tavo::OwnedString::CopyOf(NonPagedPool, shortName, shortName.Length).Release();
    entry->LongPath = tavo::OwnedString::CopyOf(NonPagedPool, longName, longName.Length).Release();
    entry->Expiry = now.QuadPart + tavo::kShortNameLifetime;
    RtlInsertUnicodePrefix(&tavo::Globals.ShortNameTable, &entry->ShortPath, &entry->PrefixEntry);
    (void)entry.Release();
  }
}

void BM_OpenHandleTableLookup(benchmark::State& state) {
  FillOpenHandleTable(state.range(0));
  std::vector<std::u16string> keys = SampleKeys(state.range(0), ItemPath);
  std::size_t next = 0;
  for (auto _ : state) {
    UNICODE_STRING name = sim::harness::MakeUnicodeString(keys[next++ % keys.size()]);
    tavo::OpenHandleEntry* entry = nullptr;
    UCHAR created = 0;
    if (!NT_SUCCESS(tavo::FindOrAddOpenHandleEntry(nullptr, &name, &entry, &created, FALSE))) {
      state.SkipWithError("missed an open item");
    }
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_ItemInfoCacheLookup(benchmark::State& state) {
  FillItemInfoCache(state.range(0));
  std::vector<std::u16string> keys = SampleKeys(state.range(0), ItemPath);
  std::size_t next = 0;
  for (auto _ : state) {
    UNICODE_STRING name = sim::harness::MakeUnicodeString(keys[next++ % keys.size()]);
    tavo::PoolBuffer copy;
    tavo::LookupItemInfo(&name, &copy);
    if (!copy) state.SkipWithError("missed a cached item");
  }
  state.SetItemsProcessed(state.iterations());
}

// A whole expansion of a name whose last component is short, answered from
// the table (no client request).
void BM_ShortNameTableExpansion(benchmark::State& state) {
  FillShortNameTable(state.range(0));
  std::vector<std::u16string> keys = SampleKeys(state.range(0), ShortItemPath);
  std::size_t next = 0;
  for (auto _ : state) {
    UNICODE_STRING name = sim::harness::MakeUnicodeString(keys[next++ % keys.size()]);
    tavo::OwnedString expanded;
    if (!NT_SUCCESS(tavo::ExpandShortNames(nullptr, &name, &expanded))) {
      state.SkipWithError("missed a short name");
    }
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_OpenHandleTableLookup)->Arg(1000)->Arg(10000)->Arg(100000);
BENCHMARK(BM_ItemInfoCacheLookup)->Arg(1000)->Arg(10000)->Arg(100000);
BENCHMARK(BM_ShortNameTableExpansion)->Arg(1000)->Arg(10000)->Arg(100000);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  tavo::bench::BootMachineWithDriver();
  channel.Connect();
  // Nothing here should reach the client: a question it gets (a look-up
  // that missed) is refused, and the benchmark reports the miss.
  channel.StartPump([](const tavo::client::DriverMessage&) { return 0; },
                    [](tavo::client::DriverMessage message) {
                      channel.Answer(message, static_cast<std::int32_t>(STATUS_UNSUCCESSFUL),
                                     nullptr, 0);
                    },
                    [](tavo::client::DriverMessage) {});
  channel.Configure(1, kMergedRoot, u"\\Device\\HarddiskVolume3\\Cache", u"");

  benchmark::RunSpecifiedBenchmarks();
  channel.Disconnect();
  benchmark::Shutdown();
  return 0;
}
