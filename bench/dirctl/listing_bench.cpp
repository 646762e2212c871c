// What a listing of the merged view costs, as ratios measured in one run:
// - a 10,000-entry server folder listed through the view (the driver
//   forwarding each query, the agent's request handler answering from its
//   snapshot; the handle is new for each listing, the folder warm) against
//   NtQueryDirectoryFile on a 10,000-entry folder of the same volume
//   (goal: at most 2x);
// - the per-entry cost of a view listing at 1,000, 10,000 and 100,000
//   entries (goal: at most 2x growth from 1k to 100k), beside the volume's
//   own at the same sizes.
// Every listing reads FILE_ID_BOTH_DIR_INFORMATION in 64 KiB buffers, as
// the shell does. Each benchmark also reports the client requests the
// agent answered per listing (the open's and the queries'): the round
// trips, which on a quiet machine make most of a view listing's time.
#include <benchmark/benchmark.h>
#include <ntapi.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "../support/ratio_reporter.h"
#include "driver_channel.h"
#include "fs/volume.h"
#include "harness/machine.h"
#include "harness/strings.h"
#include "kernel/lifecycle.h"
#include "memory_server_store.h"
#include "nt_local_files.h"
#include "request_handler.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace {

const std::u16string kVolume = u"\\Device\\HarddiskVolume3";
const std::u16string kView = kVolume + u"\\Users\\ann\\Tavo";
const std::u16string kBackend = kVolume + u"\\Users\\ann\\AppData\\Local\\Tavo\\cache";
const std::u16string kLocal = kVolume + u"\\Users\\ann\\Local";

std::u16string EntryName(int i) {
  return u"Document number " + sim::harness::FromUtf8(std::to_string(i)) + u".txt";
}
std::u16string SizeName(int entries) {
  return sim::harness::FromUtf8(std::to_string(entries));
}

tavo::client::DriverChannel channel;
tavo::agent::MemoryServerStore server;
std::unique_ptr<tavo::agent::NtLocalFiles> localFiles;
tavo::agent::AgentState agentState;
std::unique_ptr<tavo::agent::RequestHandler> handler;
std::atomic<std::uint64_t> requestsAnswered{0};

void StartDriverAndAgent() {
  sim::harness::Driver* driver = nullptr;
  sim::harness::LoadDriver(DriverEntry, {}, &driver);
  localFiles = std::make_unique<tavo::agent::NtLocalFiles>(kVolume, u"C:");
  handler = std::make_unique<tavo::agent::RequestHandler>(
      tavo::agent::ViewPaths({kView, kBackend, u""}), server, *localFiles,
      [](const std::vector<std::u16string>&) { return std::nullopt; }, agentState);
  channel.Connect();
  channel.StartPump([](const tavo::client::DriverMessage&) { return 0; },
                    [](tavo::client::DriverMessage message) {
                      ++requestsAnswered;
                      auto answer = handler->Handle(message.type, message.payload);
                      channel.Answer(message, answer.status, answer.data.data(),
                                     static_cast<std::uint32_t>(answer.data.size()));
                    },
                    [](tavo::client::DriverMessage) {});
  channel.Configure(1, kView, kBackend, u"");
}

// Opens a folder, lists it to the end, closes it; the entries returned.
std::size_t ListFolder(const std::u16string& path) {
  sim::harness::OwnedUnicodeString name(path);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, name.get(), OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  IO_STATUS_BLOCK iosb{};
  HANDLE dir = nullptr;
  if (NtCreateFile(&dir, FILE_LIST_DIRECTORY | SYNCHRONIZE, &attributes, &iosb, nullptr, 0,
                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                   FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0) != STATUS_SUCCESS) {
    return 0;
  }
  static std::vector<std::uint8_t> buffer(64 * 1024);
  std::size_t entries = 0;
  while (NtQueryDirectoryFile(dir, nullptr, nullptr, nullptr, &iosb, buffer.data(),
                              static_cast<ULONG>(buffer.size()), FileIdBothDirectoryInformation,
                              FALSE, nullptr, FALSE) == STATUS_SUCCESS) {
    for (std::size_t offset = 0;; ++entries) {
      ULONG next = 0;
      std::memcpy(&next, buffer.data() + offset, sizeof(next));
      if (next == 0) {
        ++entries;
        break;
      }
      offset += next;
    }
  }
  NtClose(dir);
  return entries;
}

void Run(benchmark::State& state, const std::u16string& folder) {
  const auto expected = static_cast<std::size_t>(state.range(0)) + 2;  // "." and ".."
  if (ListFolder(folder) != expected) state.SkipWithError("short listing");  // and warm
  const std::uint64_t requestsBefore = requestsAnswered;
  for (auto _ : state) benchmark::DoNotOptimize(ListFolder(folder));
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.counters["requests"] = benchmark::Counter(
      static_cast<double>(requestsAnswered - requestsBefore) / static_cast<double>(state.iterations()));
}

void BM_ListLocalFolder(benchmark::State& state) {
  Run(state, kLocal + u"\\" + SizeName(static_cast<int>(state.range(0))));
}
void BM_ListServerFolderThroughView(benchmark::State& state) {
  Run(state, kView + u"\\" + SizeName(static_cast<int>(state.range(0))));
}
// Real time: the agent answers on its own thread.
BENCHMARK(BM_ListLocalFolder)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListServerFolderThroughView)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void PrintRatio(const tavo::bench::RatioReporter& reporter, const char* what, const std::string& slow,
                const std::string& fast, double goal) {
  const double slowRate = reporter.Rate(slow), fastRate = reporter.Rate(fast);
  if (slowRate <= 0 || fastRate <= 0) return;
  std::printf("%-58s %.2fx (goal <= %.2fx)\n", what, fastRate / slowRate, goal);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  sim::kernel::ResetMachine();
  sim::fs::VolumeOptions options;
  options.deviceName = kVolume;
  auto volume = sim::fs::CreateVolume(options);
  sim::harness::MountVolume(kVolume, u'C', volume);
  std::vector<sim::fs::FileSpec> specs(3);
  specs[0].path = u"\\Users\\ann\\Tavo";
  specs[1].path = u"\\Users\\ann\\AppData\\Local\\Tavo\\cache";
  specs[2].path = u"\\Users\\ann\\Local";
  for (auto& spec : specs) spec.directory = true;
  for (int entries : {1000, 10000, 100000}) {
    sim::fs::FileSpec folder;
    folder.path = u"\\Users\\ann\\Local\\" + SizeName(entries);
    folder.directory = true;
    specs.push_back(folder);
    server.AddFolder(SizeName(entries) + u"\\");
    for (int i = 0; i < entries; ++i) {
      // Built piece by piece: GCC 12 at -O2 warns (wrongly) about overlapping
      // copies in string concatenation and assignment here.
      std::u16string serverPath = SizeName(entries);
      serverPath += u'\\';
      serverPath += EntryName(i);
      sim::fs::FileSpec file;
      file.path = folder.path;
      file.path += u'\\';
      file.path += EntryName(i);
      file.contents.push_back('x');
      specs.push_back(std::move(file));
      server.AddFile(serverPath, "x");
    }
  }
  volume->Populate(specs);
  StartDriverAndAgent();

  tavo::bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\n");
  PrintRatio(reporter, "10k listing, through the view / local folder",
             "BM_ListServerFolderThroughView/10000/real_time", "BM_ListLocalFolder/10000/real_time", 2.0);
  PrintRatio(reporter, "per-entry cost, view listing 100k / 1k",
             "BM_ListServerFolderThroughView/100000/real_time",
             "BM_ListServerFolderThroughView/1000/real_time", 2.0);
  PrintRatio(reporter, "per-entry cost, local listing 100k / 1k (the volume's own)",
             "BM_ListLocalFolder/100000/real_time", "BM_ListLocalFolder/1000/real_time", 2.0);
  channel.Disconnect();
  benchmark::Shutdown();
  return 0;
}
