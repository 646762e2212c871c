// A file system that answers STATUS_PENDING and completes later (the
// BelowPending fault): where post-operations run.
#include <gtest/gtest.h>

#include "test_filter.h"
#include "verifier/faults.h"

namespace tavo_test {
namespace {

class PendedBelow : public FilterTest {
 protected:
  void SetUp() override {
    FilterTest::SetUp();
    fs->AddDirectory(u"\\dir");
    fs->AddFile(u"\\dir\\a.txt", "a");
  }

  // Lists \dir through NtQueryDirectoryFile; returns the status and checks
  // that the file system's answer reached the caller.
  NTSTATUS ListDirectory() {
    HANDLE dir = nullptr;
    NTSTATUS status = Open("\\??\\C:\\dir", &dir, FILE_LIST_DIRECTORY | SYNCHRONIZE, FILE_OPEN,
                           FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT);
    if (!NT_SUCCESS(status)) return status;
    ULONG buffer[128];
    IO_STATUS_BLOCK iosb{};
    status = NtQueryDirectoryFile(dir, nullptr, nullptr, nullptr, &iosb, buffer, sizeof(buffer),
                                  FileNamesInformation, FALSE, nullptr, TRUE);
    EXPECT_EQ(iosb.Status, status);
    EXPECT_GT(iosb.Information, 0u);
    NtClose(dir);
    return status;
  }
};

struct PostSeen {
  bool called = false;
  KIRQL irql = 0xFF;
  bool requestorThread = false;
  NTSTATUS status = STATUS_PENDING;
};

// Sets the slot's directory-control callbacks: the pre answers `preStatus`,
// the post records where it runs.
void Watch(int slot, FLT_PREOP_CALLBACK_STATUS preStatus, PostSeen& seen) {
  Slot(slot).pre[IRP_MJ_DIRECTORY_CONTROL] = [preStatus](PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS,
                                                         PVOID*) { return preStatus; };
  Slot(slot).post[IRP_MJ_DIRECTORY_CONTROL] =
      [&seen](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID, FLT_POST_OPERATION_FLAGS) {
        seen.called = true;
        seen.irql = KeGetCurrentIrql();
        seen.requestorThread = PsGetCurrentThread() == data->Thread;
        seen.status = data->IoStatus.Status;
        return FLT_POSTOP_FINISHED_PROCESSING;
      };
}

// Two filters, the upper one (slot 0) above the lower one (slot 1).
TEST_F(PendedBelow, PostOperationsRunWhereTheCompletionArrives) {
  constexpr auto kCallback = FLT_PREOP_SUCCESS_WITH_CALLBACK;
  constexpr auto kSync = FLT_PREOP_SYNCHRONIZE;
  struct Where {
    KIRQL irql;
    bool requestorThread;
  };
  constexpr Where kIssuing{PASSIVE_LEVEL, true};
  constexpr Where kCompletion{DISPATCH_LEVEL, false};
  struct Case {
    const char* name;
    bool pendBelow;
    FLT_PREOP_CALLBACK_STATUS upperPre, lowerPre;
    Where upper, lower;
  };
  const Case cases[] = {
      {"completed at once", false, kCallback, kCallback, kIssuing, kIssuing},
      {"pended, both asynchronous", true, kCallback, kCallback, kCompletion, kCompletion},
      // The upper instance synchronizes: the issuing thread waits for the
      // completion and calls its post; the lower one's runs at completion.
      {"pended, upper synchronized", true, kSync, kCallback, kIssuing, kCompletion},
      // Once the lower instance synchronized, completion processing goes on
      // in the issuing thread, above it too.
      {"pended, lower synchronized", true, kCallback, kSync, kIssuing, kIssuing},
  };
  PostSeen upper, lower;
  LoadTestFilter(0, 300000);
  LoadTestFilter(1, 200000);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::faults::Clear();
    if (c.pendBelow) sim::faults::FailEvery(sim::faults::Site::BelowPending);
    upper = {};
    lower = {};
    Watch(0, c.upperPre, upper);
    Watch(1, c.lowerPre, lower);
    EXPECT_EQ(ListDirectory(), STATUS_SUCCESS);
    EXPECT_EQ(sim::faults::FailedCount(sim::faults::Site::BelowPending), c.pendBelow ? 1u : 0u);
    for (const auto& [seen, where] : {std::pair{&upper, c.upper}, std::pair{&lower, c.lower}}) {
      ASSERT_TRUE(seen->called);
      EXPECT_EQ(seen->irql, where.irql);
      EXPECT_EQ(seen->requestorThread, where.requestorThread);
      EXPECT_EQ(seen->status, STATUS_SUCCESS);  // the final status, never STATUS_PENDING
    }
  }
}

}  // namespace
}  // namespace tavo_test
