// What the create path costs, as ratios measured in one run:
// - a create of a name outside the view, with the driver loaded against no
//   driver at all (goal: at most 1.15x);
// - an open of a local copy through the merged view (decision, probe,
//   reparse, re-issued create) against the same open made directly on the
//   backend path (goal: at most 2x);
//   a filter that passes everything through gives the share of the
//   (simulated) Filter Manager itself;
// - a virtual open answered from ItemInfoCache (no client message) against
//   that local open.
#include <benchmark/benchmark.h>
#include <fltKernel.h>
#include <ntapi.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "../support/ratio_reporter.h"
#include "driver_channel.h"
#include "fs/volume.h"
#include "harness/machine.h"
#include "harness/strings.h"
#include "kernel/lifecycle.h"
#include "request_payloads.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace {

const std::u16string kVolume = u"\\Device\\HarddiskVolume3";
const std::u16string kView = kVolume + u"\\Users\\ann\\Tavo";
const std::u16string kBackend = kVolume + u"\\Users\\ann\\AppData\\Local\\Tavo\\cache";
const std::u16string kOutside = kVolume + u"\\Windows\\System32\\kernel32.dll";
const std::u16string kServerOnly = kView + u"\\server-only.txt";

sim::harness::Driver* driver = nullptr;
tavo::client::DriverChannel channel;

// A filter that registers for the same operations as the driver and passes
// each through at once: what the (simulated) Filter Manager alone costs.
PFLT_FILTER nullFilter = nullptr;
sim::harness::Driver* nullDriver = nullptr;

FLT_PREOP_CALLBACK_STATUS FLTAPI PassThrough(PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS,
                                             PVOID* context) {
  *context = nullptr;
  return FLT_PREOP_SUCCESS_NO_CALLBACK;
}
NTSTATUS FLTAPI NullUnload(FLT_FILTER_UNLOAD_FLAGS) {
  FltUnregisterFilter(nullFilter);
  return STATUS_SUCCESS;
}
const FLT_OPERATION_REGISTRATION kNullOperations[] = {
    {IRP_MJ_CREATE, 0, PassThrough, nullptr, nullptr},
    {IRP_MJ_CLEANUP, 0, PassThrough, nullptr, nullptr},
    {IRP_MJ_CLOSE, 0, PassThrough, nullptr, nullptr},
    {IRP_MJ_OPERATION_END, 0, nullptr, nullptr, nullptr}};
NTSTATUS FLTAPI NullEntry(PDRIVER_OBJECT object, PUNICODE_STRING) {
  FLT_REGISTRATION registration{};
  registration.Size = sizeof(FLT_REGISTRATION);
  registration.Version = FLT_REGISTRATION_VERSION_0202;
  registration.OperationRegistration = kNullOperations;
  registration.FilterUnloadCallback = NullUnload;
  NTSTATUS status = FltRegisterFilter(object, &registration, &nullFilter);
  if (NT_SUCCESS(status)) status = FltStartFiltering(nullFilter);
  return status;
}
void SetNullFilterLoaded(bool loaded) {
  if (loaded == (nullDriver != nullptr)) return;
  if (loaded) {
    sim::harness::DriverOptions options;
    options.serviceName = u"NullFilter";
    sim::harness::LoadDriver(NullEntry, options, &nullDriver);
  } else {
    sim::harness::UnloadDriver(nullDriver, true);
    nullDriver = nullptr;
  }
}

// Answers item-information queries for the one server-only item.
void AnswerRequest(tavo::client::DriverMessage message) {
  using namespace tavo::protocol;
  ItemInfoReply reply{};
  reply.EndOfFile = 5;
  std::uint32_t kind = 0;
  if (message.payload.size() >= 8) std::memcpy(&kind, message.payload.data() + 4, 4);
  if (message.type == kRequestItemQuery && kind == kQueryItemInfo) {
    channel.Answer(message, 0, &reply, sizeof(reply));
  } else {
    channel.Answer(message, static_cast<std::int32_t>(STATUS_OBJECT_NAME_NOT_FOUND), nullptr, 0);
  }
}

void SetDriverLoaded(bool loaded) {
  if (loaded == (driver != nullptr)) return;
  if (!loaded) {
    channel.Disconnect();
    sim::harness::UnloadDriver(driver, true);
    driver = nullptr;
    return;
  }
  sim::harness::LoadDriver(DriverEntry, {}, &driver);
  channel.Connect();
  channel.StartPump([](const tavo::client::DriverMessage&) { return 0; }, AnswerRequest,
                    [](tavo::client::DriverMessage) {});
  channel.Configure(1, kView, kBackend, u"");
}

bool OpenAndClose(const std::u16string& path, ACCESS_MASK access) {
  sim::harness::OwnedUnicodeString name(path);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, name.get(), OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  IO_STATUS_BLOCK ioStatus{};
  HANDLE handle = nullptr;
  const NTSTATUS status =
      NtCreateFile(&handle, access | SYNCHRONIZE, &attributes, &ioStatus, nullptr, 0,
                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                   FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  if (status != STATUS_SUCCESS) return false;
  NtClose(handle);
  return true;
}

void Run(benchmark::State& state, bool loaded, const std::u16string& path, ACCESS_MASK access,
         bool nullFilterLoaded = false) {
  SetDriverLoaded(loaded);
  SetNullFilterLoaded(nullFilterLoaded);
  for (auto _ : state) {
    if (!OpenAndClose(path, access)) {
      state.SkipWithError("open failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_OutsideViewNoDriver(benchmark::State& state) {
  Run(state, false, kOutside, FILE_READ_ATTRIBUTES);
}
void BM_OutsideViewNullFilter(benchmark::State& state) {
  Run(state, false, kOutside, FILE_READ_ATTRIBUTES, true);
}
void BM_OutsideViewWithDriver(benchmark::State& state) {
  Run(state, true, kOutside, FILE_READ_ATTRIBUTES);
}
void BM_LocalCopyOnBackend(benchmark::State& state) {
  Run(state, true, kBackend + u"\\local.txt", GENERIC_READ);
}
void BM_LocalCopyThroughView(benchmark::State& state) {
  Run(state, true, kView + u"\\local.txt", GENERIC_READ);
}
void BM_VirtualOpenFromCache(benchmark::State& state) {
  Run(state, true, kServerOnly, FILE_READ_ATTRIBUTES);
}
BENCHMARK(BM_OutsideViewNoDriver);
BENCHMARK(BM_OutsideViewNullFilter);
BENCHMARK(BM_OutsideViewWithDriver);
BENCHMARK(BM_LocalCopyOnBackend);
BENCHMARK(BM_LocalCopyThroughView);
BENCHMARK(BM_VirtualOpenFromCache);

void PrintRatio(const tavo::bench::RatioReporter& reporter, const char* what, const char* slow,
                const char* fast, double goal) {
  const double slowRate = reporter.Rate(slow, 1), fastRate = reporter.Rate(fast, 1);
  if (slowRate <= 0 || fastRate <= 0) return;
  const double ratio = fastRate / slowRate;
  if (goal > 0) {
    std::printf("%-48s %.2fx (goal <= %.2fx)\n", what, ratio, goal);
  } else {
    std::printf("%-48s %.2fx\n", what, ratio);
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  sim::kernel::ResetMachine();
  sim::fs::VolumeOptions options;
  options.deviceName = kVolume;
  auto volume = sim::fs::CreateVolume(options);
  sim::harness::MountVolume(kVolume, u'C', volume);
  sim::fs::FileSpec outside, view, local;
  outside.path = u"\\Windows\\System32\\kernel32.dll";
  outside.contents = "MZ";
  view.path = u"\\Users\\ann\\Tavo";
  view.directory = true;
  local.path = u"\\Users\\ann\\AppData\\Local\\Tavo\\cache\\local.txt";
  local.contents = "local";
  volume->Populate({outside, view, local});

  tavo::bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\n");
  PrintRatio(reporter, "outside the view, driver / no driver", "BM_OutsideViewWithDriver",
             "BM_OutsideViewNoDriver", 1.15);
  PrintRatio(reporter, "outside the view, pass-through filter / none", "BM_OutsideViewNullFilter",
             "BM_OutsideViewNoDriver", 0);
  PrintRatio(reporter, "outside the view, driver / pass-through filter", "BM_OutsideViewWithDriver",
             "BM_OutsideViewNullFilter", 0);
  PrintRatio(reporter, "local copy, through the view / on the backend",
             "BM_LocalCopyThroughView", "BM_LocalCopyOnBackend", 2.0);
  PrintRatio(reporter, "virtual open from the cache / local open", "BM_VirtualOpenFromCache",
             "BM_LocalCopyOnBackend", 0);
  SetDriverLoaded(false);
  benchmark::Shutdown();
  return 0;
}
