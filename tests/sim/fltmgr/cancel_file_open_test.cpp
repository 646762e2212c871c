// FltCancelFileOpen: in a post-create it closes the file below the caller
// (cleanup and close reach the instances below and the file system, not the
// caller or those above) and marks the file object; anywhere else, after a
// handle exists, or for a create that opened nothing, the verifier reports.
#include <gtest/gtest.h>

#include "test_filter.h"
#include "verifier/verifier.h"

namespace tavo_test {
namespace {

using sim::verifier::Check;
using sim::verifier::TakeViolations;

class CancelFileOpen : public FilterTest {
 protected:
  void SetUp() override {
    FilterTest::SetUp();
    fs->AddFile(u"\\a.txt", "hello");
  }
  // Counts the cleanups and closes each slot's pre-operation sees.
  void CountCleanupAndClose(int slot) {
    for (UCHAR major : {IRP_MJ_CLEANUP, IRP_MJ_CLOSE}) {
      Slot(slot).pre[major] = [slot, major](PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS, PVOID*) {
        Slot(slot).Record(std::string(major == IRP_MJ_CLEANUP ? "cleanup" : "close"));
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
      };
    }
  }
};

TEST_F(CancelFileOpen, ClosesBelowTheCallerAndFailsTheCreateAbove) {
  // Slot 0 above (400000) sees the failure; slot 1 below (200000) cancels.
  ULONG flagsSeen = 0;
  Slot(1).pre[IRP_MJ_CREATE] = WithPost;
  Slot(1).post[IRP_MJ_CREATE] = [&flagsSeen](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects,
                                             PVOID, FLT_POST_OPERATION_FLAGS) {
    FltCancelFileOpen(objects->Instance, objects->FileObject);
    flagsSeen = objects->FileObject->Flags;
    data->IoStatus.Status = STATUS_ACCESS_DENIED;
    data->IoStatus.Information = 0;
    return FLT_POSTOP_FINISHED_PROCESSING;
  };
  CountCleanupAndClose(0);
  CountCleanupAndClose(1);
  LoadTestFilter(0, 400000);
  LoadTestFilter(1, 200000);
  Slot(0).events.clear();
  Slot(1).events.clear();
  HANDLE h = nullptr;
  EXPECT_EQ(Open("\\??\\C:\\a.txt", &h), STATUS_ACCESS_DENIED);
  EXPECT_NE(flagsSeen & FO_FILE_OPEN_CANCELLED, 0u);
  EXPECT_EQ(fs->Count(IRP_MJ_CLEANUP), 1);
  EXPECT_EQ(fs->Count(IRP_MJ_CLOSE), 1);
  EXPECT_TRUE(Slot(0).events.empty());  // above: the create simply failed
  EXPECT_TRUE(Slot(1).events.empty());  // the caller itself is not called
}

TEST_F(CancelFileOpen, MisuseIsReported) {
  enum class Where { PreCreate, PostRead, PostCreateOfFailedOpen };
  struct Case {
    const char* what;
    Where where;
    const char* fragment;
  };
  const Case cases[] = {
      {"pre-create", Where::PreCreate, "outside the caller's post-create"},
      {"post-read", Where::PostRead, "outside the caller's post-create"},
      {"failed open", Where::PostCreateOfFailedOpen, "opened nothing"},
  };
  const Case* current = nullptr;
  auto cancel = [&current](Where where, PCFLT_RELATED_OBJECTS objects) {
    if (current->where == where) FltCancelFileOpen(objects->Instance, objects->FileObject);
  };
  Slot(0).pre[IRP_MJ_CREATE] = [&](PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS objects, PVOID*) {
    cancel(Where::PreCreate, objects);
    return FLT_PREOP_SUCCESS_WITH_CALLBACK;
  };
  Slot(0).post[IRP_MJ_CREATE] = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects, PVOID,
                                    FLT_POST_OPERATION_FLAGS) {
    if (!NT_SUCCESS(data->IoStatus.Status)) cancel(Where::PostCreateOfFailedOpen, objects);
    return FLT_POSTOP_FINISHED_PROCESSING;
  };
  Slot(0).pre[IRP_MJ_READ] = WithPost;
  Slot(0).post[IRP_MJ_READ] = [&](PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS objects, PVOID,
                                  FLT_POST_OPERATION_FLAGS) {
    cancel(Where::PostRead, objects);
    return FLT_POSTOP_FINISHED_PROCESSING;
  };
  LoadTestFilter(0, 300000);
  for (const Case& c : cases) {
    current = &c;
    HANDLE h = nullptr;
    const bool failedOpen = c.where == Where::PostCreateOfFailedOpen;
    const NTSTATUS status = Open(failedOpen ? "\\??\\C:\\missing" : "\\??\\C:\\a.txt", &h);
    if (NT_SUCCESS(status)) {
      char buffer[4];
      IO_STATUS_BLOCK iosb{};
      NtReadFile(h, nullptr, nullptr, nullptr, &iosb, buffer, sizeof buffer, nullptr, nullptr);
      NtClose(h);
    }
    auto violations = TakeViolations(Check::FilterManager);
    ASSERT_EQ(violations.size(), 1u) << c.what;
    EXPECT_NE(violations[0].message.find(c.fragment), std::string::npos)
        << c.what << ": " << violations[0].message;
  }
  EXPECT_EQ(fs->Count(IRP_MJ_CLOSE), fs->Count(IRP_MJ_CREATE) - 1);  // the failed open
}

}  // namespace
}  // namespace tavo_test
