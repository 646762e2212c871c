// Contexts: allocation against the registrations, set/get semantics, the
// cleanup callback at the last reference, stream contexts living in the
// stream's FCB header and going with it.
#include <gtest/gtest.h>

#include "test_filter.h"
#include "verifier/faults.h"
#include "verifier/verifier.h"

namespace tavo_test {
namespace {

class Contexts : public FilterTest {
 protected:
  // Opens \a.txt and returns its file object (referenced) and handle.
  PFILE_OBJECT OpenFileObject(HANDLE* h) {
    fs->AddFile(u"\\a.txt", "hello");
    EXPECT_EQ(Open("\\??\\C:\\a.txt", h), STATUS_SUCCESS);
    PFILE_OBJECT fo = nullptr;
    Slot(0).pre[IRP_MJ_QUERY_INFORMATION] = [&fo](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS,
                                                  PVOID*) {
      fo = data->Iopb->TargetFileObject;
      return FLT_PREOP_SUCCESS_NO_CALLBACK;
    };
    FILE_STANDARD_INFORMATION info{};
    IO_STATUS_BLOCK iosb{};
    NtQueryInformationFile(*h, &iosb, &info, sizeof(info), FileStandardInformation);
    Slot(0).pre[IRP_MJ_QUERY_INFORMATION] = nullptr;
    return fo;
  }

  PFLT_CONTEXT Allocate(FLT_CONTEXT_TYPE type, int value) {
    PFLT_CONTEXT context = nullptr;
    EXPECT_EQ(FltAllocateContext(Slot(0).filter, type, sizeof(TestContext), PagedPool, &context),
              STATUS_SUCCESS);
    if (context) static_cast<TestContext*>(context)->value = value;
    return context;
  }

  // Allocates a context with `value`, sets it on `fo` for the first
  // instance and drops the allocation's reference.
  void Attach(FLT_CONTEXT_TYPE type, PFILE_OBJECT fo, int value) {
    PFLT_CONTEXT context = Allocate(type, value);
    auto set = type == FLT_STREAM_CONTEXT ? FltSetStreamContext : FltSetStreamHandleContext;
    EXPECT_EQ(set(Slot(0).instances[0], fo, FLT_SET_CONTEXT_KEEP_IF_EXISTS, context, nullptr),
              STATUS_SUCCESS);
    FltReleaseContext(context);
  }
};

TEST_F(Contexts, AllocationNeedsAMatchingRegistration) {
  LoadTestFilter(0, 300000);
  struct Case {
    FLT_CONTEXT_TYPE type;
    SIZE_T size;
    NTSTATUS expected;
  };
  const Case cases[] = {
      {FLT_STREAM_CONTEXT, sizeof(TestContext), STATUS_SUCCESS},
      {FLT_STREAMHANDLE_CONTEXT, sizeof(TestContext), STATUS_SUCCESS},
      {FLT_STREAM_CONTEXT, sizeof(TestContext) + 1, STATUS_FLT_CONTEXT_ALLOCATION_NOT_FOUND},
      {FLT_INSTANCE_CONTEXT, sizeof(TestContext), STATUS_FLT_CONTEXT_ALLOCATION_NOT_FOUND},
  };
  for (const Case& c : cases) {
    PFLT_CONTEXT context = nullptr;
    EXPECT_EQ(FltAllocateContext(Slot(0).filter, c.type, c.size, PagedPool, &context), c.expected)
        << c.type;
    if (context) FltReleaseContext(context);
  }
  sim::faults::FailNth(sim::faults::Site::ContextAllocation,
                       sim::faults::CallCount(sim::faults::Site::ContextAllocation) + 1);
  PFLT_CONTEXT context = nullptr;
  EXPECT_EQ(FltAllocateContext(Slot(0).filter, FLT_STREAM_CONTEXT, sizeof(TestContext), PagedPool,
                               &context),
            STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(context, nullptr);
}

TEST_F(Contexts, KeepIfExistsAndReplaceIfExistsHandBackTheOldContext) {
  LoadTestFilter(0, 300000);
  HANDLE h;
  PFILE_OBJECT fo = OpenFileObject(&h);
  PFLT_INSTANCE instance = Slot(0).instances[0];
  for (bool streamHandle : {false, true}) {
    const FLT_CONTEXT_TYPE type = streamHandle ? FLT_STREAMHANDLE_CONTEXT : FLT_STREAM_CONTEXT;
    auto set = streamHandle ? FltSetStreamHandleContext : FltSetStreamContext;
    auto get = streamHandle ? FltGetStreamHandleContext : FltGetStreamContext;
    PFLT_CONTEXT found = nullptr;
    EXPECT_EQ(get(instance, fo, &found), STATUS_NOT_FOUND);

    PFLT_CONTEXT first = Allocate(type, 1);
    ASSERT_EQ(set(instance, fo, FLT_SET_CONTEXT_KEEP_IF_EXISTS, first, nullptr), STATUS_SUCCESS);
    PFLT_CONTEXT second = Allocate(type, 2);
    PFLT_CONTEXT old = nullptr;
    EXPECT_EQ(set(instance, fo, FLT_SET_CONTEXT_KEEP_IF_EXISTS, second, &old),
              STATUS_FLT_CONTEXT_ALREADY_DEFINED);
    EXPECT_EQ(old, first);
    FltReleaseContext(old);

    old = nullptr;
    EXPECT_EQ(set(instance, fo, FLT_SET_CONTEXT_REPLACE_IF_EXISTS, second, &old), STATUS_SUCCESS);
    EXPECT_EQ(old, first);
    EXPECT_EQ(get(instance, fo, &found), STATUS_SUCCESS);
    EXPECT_EQ(found, second);
    FltReleaseContext(found);
    // The replaced context lives while the caller holds it, then is cleaned up.
    Slot(0).events.clear();
    FltReleaseContext(first);
    FltReleaseContext(old);
    EXPECT_EQ(Slot(0).events,
              (std::vector<std::string>{"context-cleanup:" + std::to_string(type) + ":1"}));
    FltReleaseContext(second);

    // FltDeleteContext unlinks it; the cleanup runs at the last reference.
    Slot(0).events.clear();
    FltDeleteContext(second);
    EXPECT_EQ(get(instance, fo, &found), STATUS_NOT_FOUND);
    EXPECT_EQ(Slot(0).events,
              (std::vector<std::string>{"context-cleanup:" + std::to_string(type) + ":2"}));
  }
  NtClose(h);
}

TEST_F(Contexts, StreamContextsLiveInTheFcbHeaderAndGoWithTheStream) {
  LoadTestFilter(0, 300000);
  HANDLE h;
  PFILE_OBJECT fo = OpenFileObject(&h);
  PFLT_INSTANCE instance = Slot(0).instances[0];
  Attach(FLT_STREAM_CONTEXT, fo, 5);
  auto* header = static_cast<PFSRTL_ADVANCED_FCB_HEADER>(fo->FsContext);
  ASSERT_FALSE(IsListEmpty(&header->FilterContexts));
  auto* entry = CONTAINING_RECORD(header->FilterContexts.Flink, FSRTL_PER_STREAM_CONTEXT, Links);
  EXPECT_EQ(entry->InstanceId, instance);

  // A second open of the same file sees the same stream context.
  HANDLE h2;
  ASSERT_EQ(Open("\\??\\C:\\A.TXT", &h2), STATUS_SUCCESS);
  NtClose(h2);
  EXPECT_FALSE(Slot(0).Saw("context-cleanup:8:5"));

  // The file system tears the stream down: the context's cleanup runs.
  FsRtlTeardownPerStreamContexts(header);
  EXPECT_TRUE(IsListEmpty(&header->FilterContexts));
  EXPECT_TRUE(Slot(0).Saw("context-cleanup:8:5"));
  NtClose(h);
}


TEST_F(Contexts, DetachingAnInstanceDeletesItsContexts) {
  Slot(0).queryTeardown = [](PCFLT_RELATED_OBJECTS) { return STATUS_SUCCESS; };
  LoadTestFilter(0, 300000);
  HANDLE h;
  Attach(FLT_STREAM_CONTEXT, OpenFileObject(&h), 3);
  PFLT_VOLUME volume = nullptr;
  sim::harness::OwnedUnicodeString c("C:");
  ASSERT_EQ(FltGetVolumeFromName(Slot(0).filter, c.get(), &volume), STATUS_SUCCESS);
  EXPECT_EQ(FltDetachVolume(Slot(0).filter, volume, nullptr), STATUS_SUCCESS);
  FltObjectDereference(volume);
  EXPECT_TRUE(Slot(0).Saw("context-cleanup:8:3"));
  NtClose(h);
}

// Stream and stream-handle contexts need an opened file object: one whose
// FsContext is an advanced FCB header with filter-context support (the file
// system's, or the filter's own: see create_test). Setting one on an object
// nobody opened is reported; an opened stream without that support refuses.
TEST_F(Contexts, ContextsNeedAnOpenedFileObject) {
  enum class Where { PreCreate, PostCreateFailed, PostCreateNoSupport };
  struct Case {
    const char* what;
    FLT_CONTEXT_TYPE type;
    Where where;
    NTSTATUS expected;
    bool reported;
  };
  const Case cases[] = {
      {"handle context in pre-create", FLT_STREAMHANDLE_CONTEXT, Where::PreCreate,
       STATUS_NOT_SUPPORTED, true},
      {"stream context in pre-create", FLT_STREAM_CONTEXT, Where::PreCreate, STATUS_NOT_SUPPORTED,
       true},
      {"handle context after a failed open", FLT_STREAMHANDLE_CONTEXT, Where::PostCreateFailed,
       STATUS_NOT_SUPPORTED, true},
      {"handle context without filter-context support", FLT_STREAMHANDLE_CONTEXT,
       Where::PostCreateNoSupport, STATUS_NOT_SUPPORTED, false},
      {"stream context without filter-context support", FLT_STREAM_CONTEXT,
       Where::PostCreateNoSupport, STATUS_NOT_SUPPORTED, false},
  };
  LoadTestFilter(0, 300000);
  fs->AddFile(u"\\a.txt", "hello");
  const Case* current = nullptr;
  NTSTATUS result = STATUS_PENDING;
  auto trySet = [&](PCFLT_RELATED_OBJECTS objects) {
    PFLT_CONTEXT context = Allocate(current->type, 1);
    auto set =
        current->type == FLT_STREAM_CONTEXT ? FltSetStreamContext : FltSetStreamHandleContext;
    result = set(objects->Instance, objects->FileObject, FLT_SET_CONTEXT_KEEP_IF_EXISTS, context,
                 nullptr);
    if (NT_SUCCESS(result)) FltDeleteContext(context);
    FltReleaseContext(context);
  };
  Slot(0).pre[IRP_MJ_CREATE] = [&](PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS objects, PVOID*) {
    if (current->where == Where::PreCreate) trySet(objects);
    return FLT_PREOP_SUCCESS_WITH_CALLBACK;
  };
  Slot(0).post[IRP_MJ_CREATE] = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects, PVOID,
                                    FLT_POST_OPERATION_FLAGS) {
    if (current->where == Where::PostCreateFailed && !NT_SUCCESS(data->IoStatus.Status))
      trySet(objects);
    if (current->where == Where::PostCreateNoSupport && NT_SUCCESS(data->IoStatus.Status)) {
      auto* header = static_cast<PFSRTL_ADVANCED_FCB_HEADER>(objects->FileObject->FsContext);
      header->Flags2 &= ~FSRTL_FLAG2_SUPPORTS_FILTER_CONTEXTS;
      trySet(objects);
      header->Flags2 |= FSRTL_FLAG2_SUPPORTS_FILTER_CONTEXTS;
    }
    return FLT_POSTOP_FINISHED_PROCESSING;
  };
  for (const Case& c : cases) {
    current = &c;
    result = STATUS_PENDING;
    HANDLE h = nullptr;
    if (NT_SUCCESS(Open(
            c.where == Where::PostCreateFailed ? "\\??\\C:\\missing" : "\\??\\C:\\a.txt", &h))) {
      NtClose(h);
    }
    EXPECT_EQ(result, c.expected) << c.what;
    auto violations = sim::verifier::TakeViolations(sim::verifier::Check::FilterManager);
    EXPECT_EQ(violations.size(), c.reported ? 1u : 0u) << c.what;
    if (!violations.empty()) {
      EXPECT_NE(violations[0].message.find("not opened"), std::string::npos) << c.what;
    }
  }
}

}  // namespace
}  // namespace tavo_test
