// Cost of the two look-ups every create under the view makes first:
// LookupItemInfo hits and ClassifyViewPath on paths outside the view, with
// 1,000 and 100,000 items cached, measured in the same run: the two rows of
// each benchmark show how the cost grows with the cache.
#include <benchmark/benchmark.h>
#include <fltKernel.h>

#include <string>
#include <vector>

#include "../support/driver_machine.h"
#include "core/globals.h"
#include "create/path_classification.h"
#include "driver_channel.h"
#include "fs/volume.h"
#include "harness/machine.h"
#include "harness/strings.h"
#include "kernel/lifecycle.h"
#include "setinfo/item_info_cache.h"

namespace {

const std::u16string kMergedRoot = u"\\Device\\HarddiskVolume3\\Users\\ann\\Tavo";
tavo::client::DriverChannel channel;

std::u16string ItemPath(std::int64_t i) {
  return kMergedRoot + u"\\folder" + sim::harness::FromUtf8(std::to_string(i % 97)) + u"\\item" +
         sim::harness::FromUtf8(std::to_string(i)) + u".txt";
}

// Fills ItemInfoCache with `count` items (the cache only grows here).
void FillCache(std::int64_t count) {
  static std::int64_t cached = 0;
  const std::uint8_t reply[64] = {};
  for (; cached < count; ++cached) {
    std::u16string path = ItemPath(cached);
    UNICODE_STRING name = sim::harness::MakeUnicodeString(path);
    tavo::CacheItemInfo(&name, reply, sizeof(reply));
  }
}

void BM_LookupItemInfoHit(benchmark::State& state) {
  FillCache(state.range(0));
  std::vector<std::u16string> paths;
  for (std::int64_t i = 0; i < 1000; ++i) paths.push_back(ItemPath(i * (state.range(0) / 1000)));
  std::size_t next = 0;
  for (auto _ : state) {
    UNICODE_STRING name = sim::harness::MakeUnicodeString(paths[next++ % paths.size()]);
    tavo::PoolBuffer copy;
    tavo::LookupItemInfo(&name, &copy);
    if (!copy) state.SkipWithError("missed a cached item");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LookupItemInfoHit)->Arg(1000)->Arg(100000);

void BM_ClassifyOutsideTheView(benchmark::State& state) {
  FillCache(state.range(0));
  std::u16string path = u"\\Device\\HarddiskVolume3\\Windows\\System32\\kernel32.dll";
  for (auto _ : state) {
    UNICODE_STRING name = sim::harness::MakeUnicodeString(path);
    tavo::ViewPathKind kind;
    benchmark::DoNotOptimize(tavo::ClassifyViewPath(&name, &kind));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ClassifyOutsideTheView)->Arg(1000)->Arg(100000);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  tavo::bench::BootMachineWithDriver();
  channel.Connect();
  channel.Configure(1, kMergedRoot, u"\\Device\\HarddiskVolume3\\Cache", u"");

  benchmark::RunSpecifiedBenchmarks();
  channel.Disconnect();
  benchmark::Shutdown();
  return 0;
}
