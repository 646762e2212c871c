// A scriptable test minifilter: each test sets the callbacks it needs as
// std::functions on a slot, loads the slot as a driver at an altitude, and
// drives I/O through the NT API. Two slots allow two filters on a volume.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <fltKernel.h>
#include <ntapi.h>

#include "harness/machine.h"
#include "harness/strings.h"
#include "io/test_fs.h"

namespace tavo_test {

using PreFn =
    std::function<FLT_PREOP_CALLBACK_STATUS(PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS, PVOID*)>;
using PostFn = std::function<FLT_POSTOP_CALLBACK_STATUS(PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS,
                                                        PVOID, FLT_POST_OPERATION_FLAGS)>;

// Stream and stream-handle contexts of the test filter.
struct TestContext {
  int value;
  char tag[28];
};

struct TestFilter {
  PFLT_FILTER filter = nullptr;
  PreFn pre[256];
  PostFn post[256];
  // Default: FltUnregisterFilter and success.
  std::function<NTSTATUS(FLT_FILTER_UNLOAD_FLAGS)> unload;
  std::function<NTSTATUS(PCFLT_RELATED_OBJECTS)> queryTeardown;  // null: no callback registered
  std::function<NTSTATUS(PFLT_INSTANCE, PFILE_OBJECT, PFLT_CALLBACK_DATA, FLT_FILE_NAME_OPTIONS,
                         PFLT_NAME_CONTROL)>
      generateName;  // set before loading: registers the slot as a name provider
  std::function<NTSTATUS(PCUNICODE_STRING, USHORT, PCUNICODE_STRING, PFILE_NAMES_INFORMATION,
                         ULONG)>
      normalize;
  std::vector<std::string>
      events;  // "setup", "teardown-start:<flags>", "context-cleanup:<value>", ...
  std::vector<PFLT_INSTANCE> instances;

  void Record(std::string event) { events.push_back(std::move(event)); }
  bool Saw(const std::string& event) const;
};

TestFilter& Slot(int slot);

// A pre-operation that only asks for the post-operation.
inline FLT_PREOP_CALLBACK_STATUS WithPost(PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS, PVOID*) {
  return FLT_PREOP_SUCCESS_WITH_CALLBACK;
}

// Loads slot 0 or 1 as a minifilter at `altitude` and starts filtering.
sim::harness::Driver* LoadTestFilter(int slot, ULONG altitude);

// A machine with one test volume mounted as C: (\Device\HarddiskVolume2).
class FilterTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // NtCreateFile with the usual synchronous options, relative to `root` if
  // given; returns the status.
  NTSTATUS Open(const std::string& path, HANDLE* handle,
                ACCESS_MASK access = GENERIC_READ | SYNCHRONIZE, ULONG disposition = FILE_OPEN,
                ULONG options = FILE_SYNCHRONOUS_IO_NONALERT, IO_STATUS_BLOCK* iosbOut = nullptr,
                HANDLE root = nullptr);
  std::string ReadAll(HANDLE handle);
  // Opens (as Open does) and closes again; returns the open's status.
  NTSTATUS OpenAndClose(const std::string& path = "\\??\\C:\\a.txt");

  std::shared_ptr<sim::io::TestFileSystem> fs;
  std::shared_ptr<sim::io::TestFileSystem> otherFs;  // \Device\HarddiskVolume3 as D:
};

}  // namespace tavo_test
