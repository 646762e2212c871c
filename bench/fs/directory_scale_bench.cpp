// How the volume scales with directory size: create, open and enumerate in
// one directory of 1,000 and of 100,000 entries. Rates are items per second;
// the two sizes in one run show the growth (lookups and resumed
// enumerations are O(log n), so per-item rates should stay close).
#include <benchmark/benchmark.h>

#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "fs/volume.h"
#include "harness/strings.h"
#include "kernel/lifecycle.h"

namespace {

using sim::fs::Volume;

std::u16string EntryName(int i) {
  return u"\\big\\Document number " + sim::harness::FromUtf8(std::to_string(i)) + u".txt";
}

// One open; cleaned up and closed when it goes.
class Open {
 public:
  Open(Volume& volume, std::u16string path, ULONG disposition, ULONG options)
      : volume_(volume), path_(std::move(path)) {
    fo_.Flags = FO_SYNCHRONOUS_IO;
    fo_.FileName = sim::harness::MakeUnicodeString(path_);
    sim::io::CreateParameters p;
    p.desiredAccess = FILE_GENERIC_READ;
    p.disposition = disposition;
    p.options = options;
    p.shareAccess = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    IO_STATUS_BLOCK iosb{};
    status_ = volume_.Create(&fo_, p, iosb);
  }
  ~Open() {
    if (!NT_SUCCESS(status_)) return;
    IO_STATUS_BLOCK iosb{};
    volume_.Cleanup(&fo_, iosb);
    volume_.Close(&fo_);
  }
  NTSTATUS status() const { return status_; }
  FILE_OBJECT* fo() { return &fo_; }

 private:
  Volume& volume_;
  std::u16string path_;
  FILE_OBJECT fo_{};
  NTSTATUS status_;
};

std::shared_ptr<Volume> MakeVolume(int entries) {
  auto volume = sim::fs::CreateVolume();
  Open dir(*volume, u"\\big", FILE_CREATE, FILE_DIRECTORY_FILE);
  for (int i = 0; i < entries; ++i)
    Open(*volume, EntryName(i), FILE_CREATE, FILE_NON_DIRECTORY_FILE);
  return volume;
}

// Populated volumes, made once per size.
Volume& Populated(int entries) {
  static std::map<int, std::shared_ptr<Volume>> volumes;
  auto& v = volumes[entries];
  if (!v) v = MakeVolume(entries);
  return *v;
}

void BM_CreateInOneDirectory(benchmark::State& state) {
  const int entries = static_cast<int>(state.range(0));
  for (auto _ : state) {
    auto volume = MakeVolume(entries);
    benchmark::DoNotOptimize(volume.get());
    state.PauseTiming();
    volume.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * entries);
}

void BM_OpenInOneDirectory(benchmark::State& state) {
  const int entries = static_cast<int>(state.range(0));
  Volume& volume = Populated(entries);
  std::mt19937 random(42);
  std::uniform_int_distribution<int> pick(0, entries - 1);
  for (auto _ : state) {
    Open f(volume, EntryName(pick(random)), FILE_OPEN, 0);
    if (f.status() != STATUS_SUCCESS) state.SkipWithError("open failed");
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_EnumerateOneDirectory(benchmark::State& state) {
  const int entries = static_cast<int>(state.range(0));
  Volume& volume = Populated(entries);
  std::vector<UCHAR> buffer(64 * 1024);
  for (auto _ : state) {
    Open dir(volume, u"\\big", FILE_OPEN, FILE_DIRECTORY_FILE);
    sim::io::DirectoryQuery q;
    q.infoClass = FileIdBothDirectoryInformation;
    IO_STATUS_BLOCK iosb{};
    while (volume.QueryDirectory(dir.fo(), q, buffer.data(), static_cast<ULONG>(buffer.size()),
                                 iosb) == STATUS_SUCCESS) {
    }
  }
  state.SetItemsProcessed(state.iterations() * entries);
}

BENCHMARK(BM_CreateInOneDirectory)
    ->Arg(1000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);
BENCHMARK(BM_OpenInOneDirectory)->Arg(1000)->Arg(100000);
BENCHMARK(BM_EnumerateOneDirectory)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  sim::kernel::ResetMachine();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
