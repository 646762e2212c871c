// The Filter Manager's verifier checks: each test breaks one rule and shows
// the check fires.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "io/io_manager.h"
#include "kernel/lifecycle.h"
#include "test_filter.h"
#include "verifier/verifier.h"

namespace sim::fltmgr {
io::Operation* OperationOf(PFLT_CALLBACK_DATA data);
}  // namespace sim::fltmgr

namespace tavo_test {
namespace {

using sim::verifier::Check;
using sim::verifier::TakeViolations;

class FilterVerifier : public FilterTest {
 protected:
  void SetUp() override {
    FilterTest::SetUp();
    fs->AddFile(u"\\a.txt", "hello");
  }
  // The one Filter Manager violation the test expects, by message fragment.
  void ExpectViolation(const std::string& fragment) {
    auto violations = TakeViolations(Check::FilterManager);
    ASSERT_EQ(violations.size(), 1u) << (violations.empty() ? "" : violations[0].message);
    EXPECT_NE(violations[0].message.find(fragment), std::string::npos) << violations[0].message;
  }
};

TEST_F(FilterVerifier, UnknownStatusesAndMisplacedCompletionContexts) {
  struct Case {
    FLT_PREOP_CALLBACK_STATUS pre;
    bool returnContext;
    FLT_POSTOP_CALLBACK_STATUS post;
    const char* fragment;
  };
  const Case cases[] = {
      {static_cast<FLT_PREOP_CALLBACK_STATUS>(7), false, FLT_POSTOP_FINISHED_PROCESSING,
       "unknown pre-operation status"},
      {FLT_PREOP_SUCCESS_WITH_CALLBACK, false, static_cast<FLT_POSTOP_CALLBACK_STATUS>(3),
       "unknown post-operation status"},
      {FLT_PREOP_SUCCESS_NO_CALLBACK, true, FLT_POSTOP_FINISHED_PROCESSING,
       "completion context returned"},
      {FLT_PREOP_DISALLOW_FSFILTER_IO, false, FLT_POSTOP_FINISHED_PROCESSING,
       "FLT_PREOP_DISALLOW_FSFILTER_IO"},
  };
  const Case* current = nullptr;
  Slot(0).pre[IRP_MJ_CREATE] = [&](PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS, PVOID* ctx) {
    if (current->returnContext) *ctx = reinterpret_cast<PVOID>(1);
    return current->pre;
  };
  Slot(0).post[IRP_MJ_CREATE] = [&](PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS, PVOID,
                                    FLT_POST_OPERATION_FLAGS) { return current->post; };
  LoadTestFilter(0, 300000);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fragment);
    current = &c;
    EXPECT_EQ(OpenAndClose(), STATUS_SUCCESS);
    ExpectViolation(c.fragment);
  }
}

TEST_F(FilterVerifier, PendedOperationCompletedTwice) {
  PFLT_CALLBACK_DATA pended = nullptr;
  Slot(0).pre[IRP_MJ_CREATE] = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID*) {
    pended = data;
    FltCompletePendedPreOperation(data, FLT_PREOP_SUCCESS_NO_CALLBACK, nullptr);
    FltCompletePendedPreOperation(data, FLT_PREOP_SUCCESS_NO_CALLBACK, nullptr);
    return FLT_PREOP_PENDING;
  };
  LoadTestFilter(0, 300000);
  EXPECT_EQ(OpenAndClose(), STATUS_SUCCESS);
  ExpectViolation("completed twice");
  // Completing it again after it finished is caught too.
  Slot(0).pre[IRP_MJ_CREATE] = nullptr;
  FltCompletePendedPreOperation(pended, FLT_PREOP_SUCCESS_NO_CALLBACK, nullptr);
  ExpectViolation("completed twice");
}

// A filter hands its callback data to another thread, which completes the
// stage while the callback returns without pending. The completion is
// reported once, whichever of the two gets there first, and the operation
// does not end under it: the report is in by the time the open returns.
// (The callback holds the operation's lock until the other thread waits for
// it, so the completion arrives just as the callback returns.)
TEST_F(FilterVerifier, StageCompletedFromAnotherThreadAsTheCallbackReturnsWithoutPending) {
  struct Case {
    bool post;
    const char* fragment;
  };
  const Case cases[] = {{false, "FltCompletePendedPreOperation for an operation that"},
                        {true, "FltCompletePendedPostOperation for an operation that"}};
  const Case* current = nullptr;
  std::thread completer;
  auto completeElsewhere = [&](PFLT_CALLBACK_DATA data) {
    std::unique_lock held(sim::fltmgr::OperationOf(data)->lock);
    std::atomic<bool> started{false};
    completer = std::thread([&started, data, post = current->post] {
      started = true;
      if (post) {
        FltCompletePendedPostOperation(data);
      } else {
        FltCompletePendedPreOperation(data, FLT_PREOP_SUCCESS_NO_CALLBACK, nullptr);
      }
    });
    while (!started) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  };
  Slot(0).pre[IRP_MJ_CREATE] = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID*) {
    if (current->post) return FLT_PREOP_SUCCESS_WITH_CALLBACK;
    completeElsewhere(data);
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
  };
  Slot(0).post[IRP_MJ_CREATE] = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID,
                                    FLT_POST_OPERATION_FLAGS) {
    completeElsewhere(data);
    return FLT_POSTOP_FINISHED_PROCESSING;
  };
  LoadTestFilter(0, 300000);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fragment);
    current = &c;
    for (int round = 0; round < 3; ++round) {
      HANDLE h;
      const NTSTATUS status = Open("\\??\\C:\\a.txt", &h);
      const auto atReturn = TakeViolations(Check::FilterManager);
      completer.join();
      ASSERT_EQ(status, STATUS_SUCCESS);
      NtClose(h);
      ASSERT_EQ(atReturn.size(), 1u) << round;
      EXPECT_NE(atReturn[0].message.find(c.fragment), std::string::npos) << atReturn[0].message;
      EXPECT_TRUE(TakeViolations(Check::FilterManager).empty()) << round;
    }
  }
}

TEST_F(FilterVerifier, PendedOperationNeverCompleted) {
  std::atomic<bool> pended{false};
  Slot(0).pre[IRP_MJ_CREATE] = [&](PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS, PVOID*) {
    pended = true;
    return FLT_PREOP_PENDING;
  };
  LoadTestFilter(0, 300000);
  NTSTATUS status = STATUS_SUCCESS;
  std::thread opener([&] { status = OpenAndClose(); });
  while (!pended) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  // The end-of-test check reports it and cancels it, which frees the opener.
  sim::kernel::RunEndOfTestChecks();
  opener.join();
  EXPECT_EQ(status, STATUS_CANCELLED);
  ExpectViolation("never completed");
}

TEST_F(FilterVerifier, ContextStillReferencedAtUnload) {
  sim::harness::Driver* driver = LoadTestFilter(0, 300000);
  PFLT_CONTEXT context = nullptr;
  ASSERT_EQ(FltAllocateContext(Slot(0).filter, FLT_STREAM_CONTEXT, sizeof(TestContext), PagedPool,
                               &context),
            STATUS_SUCCESS);
  static_cast<TestContext*>(context)->value = 4;
  ASSERT_EQ(sim::harness::UnloadDriver(driver, false), STATUS_SUCCESS);
  ExpectViolation("after its filter unloaded");
  // Released after the unload: its cleanup would call into the unloaded filter.
  FltReleaseContext(context);
  ExpectViolation("callback into an unloaded filter");
  EXPECT_FALSE(Slot(0).Saw("context-cleanup:8:4"));
}

TEST_F(FilterVerifier, FileNameInformationStillReferencedAtUnload) {
  PFLT_FILE_NAME_INFORMATION kept = nullptr;
  Slot(0).pre[IRP_MJ_CREATE] = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID*) {
    if (!kept)
      FltGetFileNameInformation(data, FLT_FILE_NAME_OPENED | FLT_FILE_NAME_QUERY_DEFAULT, &kept);
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
  };
  sim::harness::Driver* driver = LoadTestFilter(0, 300000);
  EXPECT_EQ(OpenAndClose(), STATUS_SUCCESS);
  ASSERT_NE(kept, nullptr);
  ASSERT_EQ(sim::harness::UnloadDriver(driver, false), STATUS_SUCCESS);
  ExpectViolation("file name information still referenced");
  FltReleaseFileNameInformation(kept);
}

TEST_F(FilterVerifier, ContextWhoseObjectIsGoneButStillReferenced) {
  PFLT_CONTEXT held = nullptr;
  Slot(0).post[IRP_MJ_CREATE] = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects, PVOID,
                                    FLT_POST_OPERATION_FLAGS) {
    FltAllocateContext(objects->Filter, FLT_STREAMHANDLE_CONTEXT, sizeof(TestContext), PagedPool,
                       &held);
    FltSetStreamHandleContext(objects->Instance, data->Iopb->TargetFileObject,
                              FLT_SET_CONTEXT_KEEP_IF_EXISTS, held, nullptr);
    return FLT_POSTOP_FINISHED_PROCESSING;  // and forgets to release `held`
  };
  Slot(0).pre[IRP_MJ_CREATE] = WithPost;
  LoadTestFilter(0, 300000);
  EXPECT_EQ(OpenAndClose(), STATUS_SUCCESS);  // the file object is gone
  sim::kernel::RunEndOfTestChecks();
  ExpectViolation("after its object is gone");
  FltReleaseContext(held);
}

TEST_F(FilterVerifier, PreOperationReturningAtAnotherIrql) {
  Slot(0).pre[IRP_MJ_CREATE] = [](PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS, PVOID*) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
  };
  LoadTestFilter(0, 300000);
  EXPECT_EQ(OpenAndClose(), STATUS_SUCCESS);
  auto violations = TakeViolations(Check::Irql);
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_NE(violations[0].message.find("another IRQL"), std::string::npos);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

// Cleanup and close cannot fail: completing either with an error, in the
// pre-operation or by rewriting the status in the post-operation, is caught.
// (A pre-close completed here would leave the file system's open behind.)
TEST_F(FilterVerifier, CleanupAndCloseCompletedWithAnError) {
  struct Case {
    UCHAR major;
    bool inPost;
    const char* fragment;
  };
  const Case cases[] = {
      {IRP_MJ_CLEANUP, false, "a pre-operation completed IRP_MJ_CLEANUP"},
      {IRP_MJ_CLEANUP, true, "a post-operation completed IRP_MJ_CLEANUP"},
      {IRP_MJ_CLOSE, true, "a post-operation completed IRP_MJ_CLOSE"},
  };
  LoadTestFilter(0, 300000);
  for (const Case& c : cases) {
    Slot(0).pre[c.major] = [&c](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID*) {
      if (c.inPost) return FLT_PREOP_SUCCESS_WITH_CALLBACK;
      data->IoStatus.Status = STATUS_ACCESS_DENIED;
      return FLT_PREOP_COMPLETE;
    };
    Slot(0).post[c.major] = [](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID,
                               FLT_POST_OPERATION_FLAGS) {
      data->IoStatus.Status = STATUS_ACCESS_DENIED;
      return FLT_POSTOP_FINISHED_PROCESSING;
    };
    EXPECT_EQ(OpenAndClose(), STATUS_SUCCESS);
    ExpectViolation(c.fragment);
    Slot(0).pre[c.major] = nullptr;
    Slot(0).post[c.major] = nullptr;
  }
}

// A post-create that fails a create the file system completed must cancel
// the open first; without it the file stays open below, which the sim
// reports and then repairs by closing it in the file system.
TEST_F(FilterVerifier, PostCreateFailingASuccessfulOpenWithoutCancel) {
  Slot(0).pre[IRP_MJ_CREATE] = WithPost;
  Slot(0).post[IRP_MJ_CREATE] = [](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID,
                                   FLT_POST_OPERATION_FLAGS) {
    data->IoStatus.Status = STATUS_ACCESS_DENIED;
    return FLT_POSTOP_FINISHED_PROCESSING;
  };
  LoadTestFilter(0, 300000);
  EXPECT_EQ(OpenAndClose(), STATUS_ACCESS_DENIED);
  ExpectViolation("without FltCancelFileOpen");
  EXPECT_EQ(fs->Count(IRP_MJ_CLOSE), fs->Count(IRP_MJ_CREATE));
}

// FltObjectReference references are rundown references: an unregistration
// with one still held (Windows would wait for it forever) is reported.
TEST_F(FilterVerifier, UnregisteringWithAnObjectReferenceHeld) {
  LoadTestFilter(0, 300000);
  PFLT_INSTANCE instance = Slot(0).instances[0];
  ASSERT_EQ(FltObjectReference(instance), STATUS_SUCCESS);
  FltUnregisterFilter(Slot(0).filter);
  ExpectViolation("reference(s) still held on an instance");
  FltObjectDereference(instance);
}

// A file object somebody still holds when the test ends is named, with the
// code that opened it.
TEST_F(FilterVerifier, FileObjectLeftReferencedAtTheEndOfTheTest) {
  HANDLE h;
  ASSERT_EQ(Open("\\??\\C:\\a.txt", &h), STATUS_SUCCESS);
  sim::kernel::RunEndOfTestChecks();
  auto violations = TakeViolations(Check::Io);
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_NE(violations[0].message.find("\"\\a.txt\" (opened, never closed) still referenced: "
                                       "1 reference(s), 1 handle(s); created by test_sim_fltmgr"),
            std::string::npos)
      << violations[0].message;
  NtClose(h);
}

}  // namespace
}  // namespace tavo_test
