// The operation path: altitude order, completion contexts, every pre- and
// post-operation status, fast I/O, pended operations completed from
// deferred work at DISPATCH_LEVEL.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "harness/processes.h"
#include "harness/shutdown.h"
#include "io/io_manager.h"
#include "kernel/thread_state.h"
#include "verifier/verifier.h"
#include "test_filter.h"

namespace tavo_test {
namespace {

class OperationPath : public FilterTest {
 protected:
  // The test filter opens "\virtual" itself, on a header of its own, as a
  // filter serves its own items: the file system never sees that open.
  void OwnVirtualFile() {
    static FSRTL_ADVANCED_FCB_HEADER ownHeader;
    FsRtlSetupAdvancedHeader(&ownHeader, nullptr);
    Slot(0).pre[IRP_MJ_CREATE] = [](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID*) {
      PFILE_OBJECT fo = data->Iopb->TargetFileObject;
      if (fo->FileName.Length != 16) return FLT_PREOP_SUCCESS_NO_CALLBACK;  // not "\virtual"
      fo->FsContext = &ownHeader;
      data->IoStatus.Status = STATUS_SUCCESS;
      data->IoStatus.Information = FILE_OPENED;
      return FLT_PREOP_COMPLETE;
    };
  }
};

TEST_F(OperationPath, PreRunsTopDownPostBottomUpWithEachCompletionContext) {
  fs->AddFile(u"\\a.txt", "hello");
  std::vector<std::string> order;
  for (int s = 0; s < 2; ++s) {
    Slot(s).pre[IRP_MJ_CREATE] = [&order, s](PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS,
                                             PVOID* ctx) {
      order.push_back("pre" + std::to_string(s));
      *ctx = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(100 + s));
      return FLT_PREOP_SUCCESS_WITH_CALLBACK;
    };
    Slot(s).post[IRP_MJ_CREATE] = [&order, s](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS,
                                              PVOID ctx, FLT_POST_OPERATION_FLAGS) {
      order.push_back("post" + std::to_string(s) + ":" +
                      std::to_string(reinterpret_cast<ULONG_PTR>(ctx)) + ":" +
                      std::to_string(data->IoStatus.Information));
      return FLT_POSTOP_FINISHED_PROCESSING;
    };
  }
  LoadTestFilter(1, 100000);  // lower
  LoadTestFilter(0, 300000);  // higher
  HANDLE h;
  ASSERT_EQ(Open("\\??\\C:\\a.txt", &h), STATUS_SUCCESS);
  EXPECT_EQ(order, (std::vector<std::string>{"pre0", "pre1", "post1:101:1", "post0:100:1"}));
  NtClose(h);
}

TEST_F(OperationPath, CompleteInPreSkipsLowerFiltersAndTheFileSystem) {
  fs->AddFile(u"\\a.txt", "hello");
  bool upperPost = false;
  Slot(0).pre[IRP_MJ_CREATE] = WithPost;
  Slot(0).post[IRP_MJ_CREATE] = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID,
                                    FLT_POST_OPERATION_FLAGS) {
    upperPost = data->IoStatus.Status == STATUS_ACCESS_DENIED;
    return FLT_POSTOP_FINISHED_PROCESSING;
  };
  auto deny = [](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID*) {
    data->IoStatus.Status = STATUS_ACCESS_DENIED;
    data->IoStatus.Information = 0;
    return FLT_PREOP_COMPLETE;
  };
  Slot(1).pre[IRP_MJ_CREATE] = deny;
  LoadTestFilter(0, 300000);
  LoadTestFilter(1, 200000);
  // Slot 1 is the lowest filter: the file system must not see the create.
  const int createsBefore = fs->Count(IRP_MJ_CREATE);
  HANDLE h;
  EXPECT_EQ(Open("\\??\\C:\\a.txt", &h), STATUS_ACCESS_DENIED);
  EXPECT_EQ(fs->Count(IRP_MJ_CREATE), createsBefore);
  EXPECT_TRUE(upperPost);

  // Completed by the upper filter: the lower one does not see it either.
  bool lowerPre = false;
  Slot(0).pre[IRP_MJ_CREATE] = deny;
  Slot(1).pre[IRP_MJ_CREATE] = [&](PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS, PVOID*) {
    lowerPre = true;
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
  };
  EXPECT_EQ(Open("\\??\\C:\\a.txt", &h), STATUS_ACCESS_DENIED);
  EXPECT_FALSE(lowerPre);
}

TEST_F(OperationPath, ParametersChangedInPreReachTheFileSystem) {
  fs->AddFile(u"\\a.txt", "0123456789");
  Slot(0).pre[IRP_MJ_READ] = [](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID*) {
    data->Iopb->Parameters.Read.ByteOffset.QuadPart = 4;
    data->Iopb->Parameters.Read.Length = 3;
    FltSetCallbackDataDirty(data);
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
  };
  LoadTestFilter(0, 300000);
  HANDLE h;
  ASSERT_EQ(Open("\\??\\C:\\a.txt", &h), STATUS_SUCCESS);
  EXPECT_EQ(ReadAll(h), "456");
  NtClose(h);
}


// Deferred work cannot be posted for fast I/O, which a filter refuses to
// get the IRP instead.
TEST_F(OperationPath, FastIoIsOfferedFirstAndRefusedFastIoComesBackAsAnIrp) {
  fs->AddFile(u"\\a.txt", "hello");
  std::vector<std::string> seen;
  NTSTATUS queued = STATUS_SUCCESS;
  Slot(0).pre[IRP_MJ_READ] = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID*) {
    if (FLT_IS_FASTIO_OPERATION(data)) {
      seen.push_back("fast");
      PFLT_DEFERRED_IO_WORKITEM item = FltAllocateDeferredIoWorkItem();
      queued = FltQueueDeferredIoWorkItem(
          item, data, [](PFLT_DEFERRED_IO_WORKITEM, PFLT_CALLBACK_DATA, PVOID) FLTAPI {},
          DelayedWorkQueue, nullptr);
      FltFreeDeferredIoWorkItem(item);
      return FLT_PREOP_DISALLOW_FASTIO;
    }
    seen.push_back(FLT_IS_IRP_OPERATION(data) ? "irp" : "?");
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
  };
  LoadTestFilter(0, 300000);
  HANDLE h;
  ASSERT_EQ(Open("\\??\\C:\\a.txt", &h), STATUS_SUCCESS);
  EXPECT_EQ(ReadAll(h), "hello");
  EXPECT_EQ(seen, (std::vector<std::string>{"fast", "irp"}));
  EXPECT_EQ(queued, STATUS_FLT_NOT_SAFE_TO_POST_OPERATION);
  NtClose(h);

  // A non-cached (asynchronous) handle goes straight to the IRP path.
  seen.clear();
  ASSERT_EQ(Open("\\??\\C:\\a.txt", &h, GENERIC_READ, FILE_OPEN, 0), STATUS_SUCCESS);
  EXPECT_EQ(ReadAll(h), "hello");
  EXPECT_EQ(seen, (std::vector<std::string>{"irp"}));
  NtClose(h);
}

// A create delivered at DISPATCH_LEVEL is pended, handed to a deferred I/O
// work item and completed from the worker at PASSIVE_LEVEL.
TEST_F(OperationPath, PendedPreCompletedFromDeferredWorkAtDispatchLevel) {
  fs->AddFile(u"\\a.txt", "hello");
  std::atomic<KIRQL> preIrql{0xFF};
  std::atomic<KIRQL> workerIrql{0xFF};
  bool postRan = false;
  Slot(0).pre[IRP_MJ_CREATE] = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID*) {
    preIrql = KeGetCurrentIrql();
    PFLT_DEFERRED_IO_WORKITEM item = FltAllocateDeferredIoWorkItem();
    EXPECT_NE(item, nullptr);
    NTSTATUS status = FltQueueDeferredIoWorkItem(
        item, data,
        [](PFLT_DEFERRED_IO_WORKITEM work, PFLT_CALLBACK_DATA cbd, PVOID context) FLTAPI {
          *static_cast<std::atomic<KIRQL>*>(context) = KeGetCurrentIrql();
          FltFreeDeferredIoWorkItem(work);
          FltCompletePendedPreOperation(cbd, FLT_PREOP_SUCCESS_WITH_CALLBACK,
                                        reinterpret_cast<PVOID>(7));
        },
        DelayedWorkQueue, &workerIrql);
    EXPECT_EQ(status, STATUS_SUCCESS);
    return FLT_PREOP_PENDING;
  };
  Slot(0).post[IRP_MJ_CREATE] = [&](PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS, PVOID ctx,
                                    FLT_POST_OPERATION_FLAGS) {
    postRan = ctx == reinterpret_cast<PVOID>(7);
    return FLT_POSTOP_FINISHED_PROCESSING;
  };
  LoadTestFilter(0, 300000);
  sim::harness::DeliverPreOperationsAtDispatchLevel(true);
  HANDLE h;
  ASSERT_EQ(Open("\\??\\C:\\a.txt", &h), STATUS_SUCCESS);
  EXPECT_EQ(preIrql.load(), DISPATCH_LEVEL);
  EXPECT_EQ(workerIrql.load(), PASSIVE_LEVEL);
  EXPECT_TRUE(postRan);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  NtClose(h);
}

// Each mounted volume's instance sees one shutdown, with no file object, from
// the System process at PASSIVE_LEVEL; the request succeeds.
TEST_F(OperationPath, ShutdownReachesEveryVolumeWithoutAFileObject) {
  std::vector<std::string> seen;
  Slot(0).pre[IRP_MJ_SHUTDOWN] = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects,
                                     PVOID*) {
    UNICODE_STRING name{};
    WCHAR buffer[64];
    name.Buffer = buffer;
    name.MaximumLength = sizeof(buffer);
    ULONG needed = 0;
    FltGetVolumeName(objects->Volume, &name, &needed);
    seen.push_back(sim::harness::ToUtf8(name) + (objects->FileObject ? " file" : "") +
                   (data->RequestorMode == KernelMode ? " kernel" : " user") +
                   " irql" + std::to_string(KeGetCurrentIrql()) +
                   " pid" + std::to_string(FltGetRequestorProcessId(data)));
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
  };
  LoadTestFilter(0, 300000);
  sim::harness::ShutDownSystem();
  EXPECT_EQ(seen, (std::vector<std::string>{
                      "\\Device\\HarddiskVolume2 kernel irql0 pid4",
                      "\\Device\\HarddiskVolume3 kernel irql0 pid4"}));
}

TEST_F(OperationPath, QueryOpenIsFastIoAndARefusalBecomesAnOpenQueryClose) {
  fs->AddFile(u"\\a.txt", "hello");
  bool refuse = false;
  std::vector<std::string> seen;
  Slot(0).pre[IRP_MJ_NETWORK_QUERY_OPEN] = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS,
                                               PVOID*) {
    seen.push_back(FLT_IS_FASTIO_OPERATION(data) ? "query-open(fast)" : "query-open(irp)");
    return refuse ? FLT_PREOP_DISALLOW_FASTIO : FLT_PREOP_SUCCESS_NO_CALLBACK;
  };
  Slot(0).pre[IRP_MJ_CREATE] = [&](PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS, PVOID*) {
    seen.push_back("create");
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
  };
  LoadTestFilter(0, 300000);
  sim::harness::OwnedUnicodeString name("\\??\\C:\\a.txt");
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, name.get(), OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  for (bool r : {false, true}) {
    refuse = r;
    seen.clear();
    FILE_NETWORK_OPEN_INFORMATION info{};
    ASSERT_EQ(NtQueryFullAttributesFile(&oa, &info), STATUS_SUCCESS);
    EXPECT_EQ(info.EndOfFile.QuadPart, 5);
    EXPECT_EQ(seen, r ? (std::vector<std::string>{"query-open(fast)", "create"})
                      : (std::vector<std::string>{"query-open(fast)"}));
  }
}

// Change notification reaches filters as a directory control with its
// filter and watch-tree flag. On an asynchronous handle the call returns
// STATUS_PENDING once the file system keeps the request; its completion
// (here by the handle's cleanup) reaches the post-operation at
// DISPATCH_LEVEL in a thread that is not the requestor's. Passed down for a directory a filter
// opened itself, it reaches the file system's "never opened" check.
TEST_F(OperationPath, ChangeNotificationReachesFiltersAndAFilterOwnedDirectoryIsReported) {
  fs->AddDirectory(u"\\dir");
  std::mutex lock;
  std::vector<std::string> seen;
  OwnVirtualFile();
  Slot(0).pre[IRP_MJ_DIRECTORY_CONTROL] = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS,
                                              PVOID*) {
    const auto& n = data->Iopb->Parameters.DirectoryControl.NotifyDirectory;
    std::lock_guard guard(lock);
    seen.push_back("pre:" + std::to_string(data->Iopb->MinorFunction) + ":" +
                   std::to_string(n.CompletionFilter) + ":" + std::to_string(n.Length) +
                   ((data->Iopb->OperationFlags & SL_WATCH_TREE) ? ":tree" : ""));
    return FLT_PREOP_SUCCESS_WITH_CALLBACK;
  };
  Slot(0).post[IRP_MJ_DIRECTORY_CONTROL] = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS,
                                               PVOID, FLT_POST_OPERATION_FLAGS) {
    const bool system = KeGetCurrentIrql() == DISPATCH_LEVEL && PsGetCurrentThread() != data->Thread;
    std::lock_guard guard(lock);
    seen.push_back(std::string("post:") + std::to_string(data->IoStatus.Status) +
                   (system ? ":completion" : ""));
    return FLT_POSTOP_FINISHED_PROCESSING;
  };
  LoadTestFilter(0, 300000);
  struct Row {
    const char* path;
    NTSTATUS returned;
    std::vector<std::string> seen;
  };
  const std::string cleanup = std::to_string(STATUS_NOTIFY_CLEANUP);
  const std::string refused = std::to_string(STATUS_INVALID_DEVICE_REQUEST);
  const Row rows[] = {
      {"\\??\\C:\\dir", STATUS_PENDING, {"pre:2:1:64:tree", "post:" + cleanup + ":completion"}},
      {"\\??\\C:\\virtual", STATUS_INVALID_DEVICE_REQUEST, {"pre:2:1:64:tree", "post:" + refused}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    seen.clear();
    HANDLE h;
    ASSERT_EQ(Open(row.path, &h, FILE_LIST_DIRECTORY, FILE_OPEN, FILE_DIRECTORY_FILE),
              STATUS_SUCCESS);
    IO_STATUS_BLOCK iosb{};
    ULONG buffer[16];
    EXPECT_EQ(NtNotifyChangeDirectoryFile(h, nullptr, nullptr, nullptr, &iosb, buffer,
                                          sizeof(buffer), FILE_NOTIFY_CHANGE_FILE_NAME, TRUE),
              row.returned);
    NtClose(h);
    sim::io::WaitForAsynchronousRequests();
    std::lock_guard guard(lock);
    EXPECT_EQ(seen, row.seen);
  }
  // The notification, then cleanup and close, of the filter's own directory.
  auto violations = sim::verifier::TakeViolations(sim::verifier::Check::Io);
  ASSERT_EQ(violations.size(), 3u);
  EXPECT_NE(violations[0].message.find("(major 12) reached the file system for a file object "
                                       "it never opened"),
            std::string::npos)
      << violations[0].message;
}

// NtQueryInformationFile offers the classes with fast I/O entry points
// (basic, standard, network-open) as fast I/O first, on synchronous handles
// only; a filter refusing it gets the IRP. Other classes come as IRPs, but
// for what the I/O manager answers from the file object.
TEST_F(OperationPath, QueryInformationOfFastIoClassesIsOfferedAsFastIoFirst) {
  fs->AddFile(u"\\a.txt", "hello");
  struct Row {
    const char* what;
    FILE_INFORMATION_CLASS infoClass;
    ULONG options;
    std::vector<std::string> seen;
  };
  const Row rows[] = {
      {"basic", FileBasicInformation, FILE_SYNCHRONOUS_IO_NONALERT, {"fast", "irp"}},
      {"standard", FileStandardInformation, FILE_SYNCHRONOUS_IO_NONALERT, {"fast", "irp"}},
      {"network open", FileNetworkOpenInformation, FILE_SYNCHRONOUS_IO_NONALERT,
       {"fast", "irp"}},
      {"internal", FileInternalInformation, FILE_SYNCHRONOUS_IO_NONALERT, {"irp"}},
      // The I/O manager answers a synchronous handle's position itself.
      {"position", FilePositionInformation, FILE_SYNCHRONOUS_IO_NONALERT, {}},
      {"basic, asynchronous handle", FileBasicInformation, 0, {"irp"}},
  };
  std::vector<std::string> seen;
  Slot(0).pre[IRP_MJ_QUERY_INFORMATION] = [&seen](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS,
                                                  PVOID*) {
    const bool fast = FLT_IS_FASTIO_OPERATION(data);
    seen.push_back(fast ? "fast" : "irp");
    return fast ? FLT_PREOP_DISALLOW_FASTIO : FLT_PREOP_SUCCESS_NO_CALLBACK;
  };
  LoadTestFilter(0, 300000);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    seen.clear();
    HANDLE h;
    ASSERT_EQ(Open("\\??\\C:\\a.txt", &h, GENERIC_READ | SYNCHRONIZE, FILE_OPEN, row.options),
              STATUS_SUCCESS);
    IO_STATUS_BLOCK iosb{};
    alignas(8) unsigned char buffer[128];
    EXPECT_EQ(NtQueryInformationFile(h, &iosb, buffer, sizeof(buffer), row.infoClass),
              STATUS_SUCCESS);
    EXPECT_EQ(seen, row.seen);
    NtClose(h);
  }
}

}  // namespace
}  // namespace tavo_test
