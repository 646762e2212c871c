// A file system that answers STATUS_PENDING and completes later (the
// BelowPending fault): where post-operations run, and
// FltDoCompletionProcessingWhenSafe bringing the work back to PASSIVE_LEVEL.
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

// Only the matching call pends: opens, cleanups and closes never do, and
// the second directory query is the second call the site counts.
TEST_F(PendedBelow, FailNthPendsOnlyThatRequest) {
  PostSeen seen;
  Watch(0, FLT_PREOP_SUCCESS_WITH_CALLBACK, seen);
  LoadTestFilter(0, 300000);
  sim::faults::FailNth(sim::faults::Site::BelowPending, 2);
  std::vector<KIRQL> irqls;
  for (int i = 0; i < 3; ++i) {
    seen = {};
    EXPECT_EQ(ListDirectory(), STATUS_SUCCESS);
    irqls.push_back(seen.irql);
  }
  EXPECT_EQ(irqls, (std::vector<KIRQL>{PASSIVE_LEVEL, DISPATCH_LEVEL, PASSIVE_LEVEL}));
  EXPECT_EQ(sim::faults::CallCount(sim::faults::Site::BelowPending), 3u);
}

// At DISPATCH_LEVEL the safe callback is posted to a worker at
// PASSIVE_LEVEL and the request completes only after it; below DISPATCH it
// runs at once, in the caller's thread.
TEST_F(PendedBelow, CompletionProcessingWhenSafeDefersOnlyAtDispatch) {
  struct Seen {
    BOOLEAN returned = FALSE;
    FLT_POSTOP_CALLBACK_STATUS status = FLT_POSTOP_FINISHED_PROCESSING;
    bool safeRan = false;
    KIRQL safeIrql = 0xFF;
    bool safeOnPostThread = false;
  };
  static Seen seen;
  static PETHREAD postThread;
  Slot(0).pre[IRP_MJ_DIRECTORY_CONTROL] = [](PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS,
                                             PVOID* context) {
    *context = &seen;
    return FLT_PREOP_SUCCESS_WITH_CALLBACK;
  };
  Slot(0).post[IRP_MJ_DIRECTORY_CONTROL] = [](PFLT_CALLBACK_DATA data,
                                              PCFLT_RELATED_OBJECTS objects, PVOID context,
                                              FLT_POST_OPERATION_FLAGS flags) {
    postThread = PsGetCurrentThread();
    auto safe = [](PFLT_CALLBACK_DATA safeData, PCFLT_RELATED_OBJECTS, PVOID safeContext,
                   FLT_POST_OPERATION_FLAGS) FLTAPI -> FLT_POSTOP_CALLBACK_STATUS {
      auto* s = static_cast<Seen*>(safeContext);
      s->safeRan = true;
      s->safeIrql = KeGetCurrentIrql();
      s->safeOnPostThread = PsGetCurrentThread() == postThread;
      EXPECT_EQ(safeData->IoStatus.Status, STATUS_SUCCESS);
      return FLT_POSTOP_FINISHED_PROCESSING;
    };
    seen.returned =
        FltDoCompletionProcessingWhenSafe(data, objects, context, flags, safe, &seen.status);
    return seen.status;
  };
  LoadTestFilter(0, 300000);
  for (bool pend : {false, true}) {
    SCOPED_TRACE(pend);
    sim::faults::Clear();
    if (pend) sim::faults::FailEvery(sim::faults::Site::BelowPending);
    seen = {};
    EXPECT_EQ(ListDirectory(), STATUS_SUCCESS);
    EXPECT_TRUE(seen.returned);
    EXPECT_TRUE(seen.safeRan);  // before the request completed
    EXPECT_EQ(seen.safeIrql, PASSIVE_LEVEL);
    EXPECT_EQ(seen.status,
              pend ? FLT_POSTOP_MORE_PROCESSING_REQUIRED : FLT_POSTOP_FINISHED_PROCESSING);
    EXPECT_EQ(seen.safeOnPostThread, !pend);
  }
}

}  // namespace
}  // namespace tavo_test
