// The cost of an operation through the filter stack: the same reads with no
// filter and with a pass-through filter (pre and post callbacks on every
// operation), measured in the same run and reported as a ratio.
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>

#include <fltKernel.h>
#include <ntapi.h>

#include "harness/machine.h"
#include "harness/strings.h"
#include "io/test_fs.h"
#include "kernel/lifecycle.h"

namespace {

PFLT_FILTER gFilter;

FLT_PREOP_CALLBACK_STATUS FLTAPI PassPre(PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS, PVOID*) {
  return FLT_PREOP_SUCCESS_WITH_CALLBACK;
}

FLT_POSTOP_CALLBACK_STATUS FLTAPI PassPost(PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS, PVOID,
                                           FLT_POST_OPERATION_FLAGS) {
  return FLT_POSTOP_FINISHED_PROCESSING;
}

NTSTATUS FLTAPI Unload(FLT_FILTER_UNLOAD_FLAGS) {
  FltUnregisterFilter(gFilter);
  return STATUS_SUCCESS;
}

NTSTATUS FLTAPI PassThroughEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  static const FLT_OPERATION_REGISTRATION operations[] = {
      {IRP_MJ_CREATE, 0, PassPre, PassPost, nullptr},
      {IRP_MJ_READ, 0, PassPre, PassPost, nullptr},
      {IRP_MJ_QUERY_INFORMATION, 0, PassPre, PassPost, nullptr},
      {IRP_MJ_CLEANUP, 0, PassPre, PassPost, nullptr},
      {IRP_MJ_CLOSE, 0, PassPre, PassPost, nullptr},
      {IRP_MJ_OPERATION_END, 0, nullptr, nullptr, nullptr}};
  FLT_REGISTRATION registration{};
  registration.Size = sizeof(registration);
  registration.Version = FLT_REGISTRATION_VERSION_0202;
  registration.OperationRegistration = operations;
  registration.FilterUnloadCallback = Unload;
  NTSTATUS status = FltRegisterFilter(driver, &registration, &gFilter);
  return NT_SUCCESS(status) ? FltStartFiltering(gFilter) : status;
}

HANDLE OpenFile() {
  sim::harness::OwnedUnicodeString name("\\??\\C:\\data.bin");
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, name.get(), OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  IO_STATUS_BLOCK iosb{};
  HANDLE h = nullptr;
  // Non-cached handle: every read is one IRP through the stack.
  NtCreateFile(&h, FILE_READ_DATA, &oa, &iosb, nullptr, 0, FILE_SHARE_READ, FILE_OPEN, 0, nullptr,
               0);
  return h;
}

// Nanoseconds per read of `count` reads.
double TimeReads(HANDLE h, int count) {
  char buffer[64];
  IO_STATUS_BLOCK iosb{};
  LARGE_INTEGER offset{};
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < count; ++i) {
    NtReadFile(h, nullptr, nullptr, nullptr, &iosb, buffer, sizeof(buffer), &offset, nullptr);
    benchmark::DoNotOptimize(buffer);
  }
  const auto elapsed = std::chrono::steady_clock::now() - start;
  return std::chrono::duration<double, std::nano>(elapsed).count() / count;
}

void BM_ReadThroughFilterStack(benchmark::State& state) {
  sim::kernel::ResetMachine();
  auto fs = std::make_shared<sim::io::TestFileSystem>();
  fs->AddFile(u"\\data.bin", std::string(4096, 'x'));
  sim::harness::MountVolume(u"\\Device\\HarddiskVolume2", u'C', fs);
  HANDLE plain = OpenFile();
  sim::harness::Driver* driver = nullptr;
  sim::harness::LoadDriver(PassThroughEntry, {}, &driver);
  HANDLE filtered = OpenFile();
  // Both handles stay open; the filter is unloaded before the unfiltered
  // reads, so both measure the same path minus the filter.
  double withFilter = 0;
  double without = 0;
  long rounds = 0;
  for (auto _ : state) {
    withFilter += TimeReads(filtered, 1000);
    ++rounds;
  }
  NtClose(filtered);
  sim::harness::UnloadDriver(driver, true);
  for (long i = 0; i < rounds; ++i) without += TimeReads(plain, 1000);
  NtClose(plain);
  state.counters["ns_per_read_filtered"] = withFilter / rounds;
  state.counters["ns_per_read_unfiltered"] = without / rounds;
  state.counters["ratio"] = withFilter / without;
  sim::kernel::ResetMachine();
}
BENCHMARK(BM_ReadThroughFilterStack)->Iterations(50);

}  // namespace

BENCHMARK_MAIN();
