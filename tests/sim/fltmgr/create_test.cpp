// Creates a filter redirects with STATUS_REPARSE, creates it completes on
// its own FCB (the filter then owns the file object), and the filter's own
// opens with FltCreateFileEx2.
#include <gtest/gtest.h>

#include <cstring>

#include "io/io_manager.h"
#include "test_filter.h"
#include "verifier/faults.h"

namespace tavo_test {
namespace {

class Creates : public FilterTest {};

std::u16string NameOf(PFILE_OBJECT fo) {
  return std::u16string(reinterpret_cast<const char16_t*>(fo->FileName.Buffer),
                        fo->FileName.Length / 2);
}

// Redirects opens under \old, and opens relative to a directory, to
// \??\C:\new (a full name, as re-parse needs). A relative open's
// RelatedFileObject is cleared, as it must be; the I/O manager still drops
// the reference it took on the directory, so the directory's close reaches
// the file system (and no file object is left at the end of the test).
FLT_PREOP_CALLBACK_STATUS Redirect(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID*) {
  PFILE_OBJECT fo = data->Iopb->TargetFileObject;
  std::u16string name = NameOf(fo);
  if (fo->RelatedFileObject != nullptr) {
    name = u"\\old\\" + name;
  } else if (name.rfind(u"\\old\\", 0) != 0) {
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
  }
  std::u16string target = u"\\??\\C:\\new\\" + name.substr(5);
  NTSTATUS status = IoReplaceFileObjectName(fo, reinterpret_cast<PWSTR>(target.data()),
                                            static_cast<USHORT>(target.size() * 2));
  EXPECT_EQ(status, STATUS_SUCCESS);
  fo->RelatedFileObject = nullptr;
  data->IoStatus.Status = STATUS_REPARSE;
  data->IoStatus.Information = IO_REPARSE;
  return FLT_PREOP_COMPLETE;
}

TEST_F(Creates, ReparseRedirectsTheOpenAndTheNewNameIsParsedFromTheTop) {
  fs->AddDirectory(u"\\old");
  fs->AddDirectory(u"\\new");
  fs->AddFile(u"\\new\\x.txt", "redirected");
  std::vector<std::u16string> seen;
  Slot(0).pre[IRP_MJ_CREATE] = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects,
                                   PVOID* ctx) {
    seen.push_back(NameOf(data->Iopb->TargetFileObject));
    return Redirect(data, objects, ctx);
  };
  LoadTestFilter(0, 300000);
  HANDLE h;
  ASSERT_EQ(Open("\\??\\C:\\old\\x.txt", &h), STATUS_SUCCESS);
  EXPECT_EQ(ReadAll(h), "redirected");
  EXPECT_EQ(seen, (std::vector<std::u16string>{u"\\old\\x.txt", u"\\new\\x.txt"}));
  NtClose(h);

  HANDLE dir;
  ASSERT_EQ(Open("\\??\\C:\\old", &dir), STATUS_SUCCESS);
  ASSERT_EQ(Open("x.txt", &h, GENERIC_READ | SYNCHRONIZE, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT,
                 nullptr, dir),
            STATUS_SUCCESS);
  EXPECT_EQ(ReadAll(h), "redirected");
  NtClose(h);
  NtClose(dir);
  EXPECT_EQ(fs->Count(IRP_MJ_CLOSE), fs->Count(IRP_MJ_CREATE));
}

// The filter's own FCB: an advanced header that supports filter contexts.
struct FilterFcb {
  FSRTL_ADVANCED_FCB_HEADER header;
  std::string data;
};

TEST_F(Creates, FilterOwnedFileObjectIsServedByTheFilterWithItsOwnContexts) {
  static FilterFcb fcb;
  fcb = FilterFcb{};
  FsRtlSetupAdvancedHeader(&fcb.header, nullptr);
  fcb.data = "virtual";
  Slot(0).pre[IRP_MJ_CREATE] = [](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects, PVOID*) {
    PFILE_OBJECT fo = data->Iopb->TargetFileObject;
    if (NameOf(fo) != u"\\virtual.txt") return FLT_PREOP_SUCCESS_NO_CALLBACK;
    fo->FsContext = &fcb.header;
    PFLT_CONTEXT stream = nullptr;
    PFLT_CONTEXT handle = nullptr;
    EXPECT_EQ(FltAllocateContext(objects->Filter, FLT_STREAM_CONTEXT, sizeof(TestContext),
                                 PagedPool, &stream),
              STATUS_SUCCESS);
    EXPECT_EQ(FltAllocateContext(objects->Filter, FLT_STREAMHANDLE_CONTEXT, sizeof(TestContext),
                                 PagedPool, &handle),
              STATUS_SUCCESS);
    static_cast<TestContext*>(stream)->value = 1;
    static_cast<TestContext*>(handle)->value = 2;
    EXPECT_EQ(
        FltSetStreamContext(objects->Instance, fo, FLT_SET_CONTEXT_KEEP_IF_EXISTS, stream, nullptr),
        STATUS_SUCCESS);
    EXPECT_EQ(FltSetStreamHandleContext(objects->Instance, fo, FLT_SET_CONTEXT_KEEP_IF_EXISTS,
                                        handle, nullptr),
              STATUS_SUCCESS);
    FltReleaseContext(stream);
    FltReleaseContext(handle);
    data->IoStatus.Status = STATUS_SUCCESS;
    data->IoStatus.Information = FILE_OPENED;
    return FLT_PREOP_COMPLETE;
  };
  auto ownsIt = [](PFLT_CALLBACK_DATA data) {
    return data->Iopb->TargetFileObject->FsContext == &fcb.header;
  };
  Slot(0).pre[IRP_MJ_READ] = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects, PVOID*) {
    if (!ownsIt(data)) return FLT_PREOP_SUCCESS_NO_CALLBACK;
    PFLT_CONTEXT context = nullptr;
    EXPECT_EQ(FltGetStreamContext(objects->Instance, data->Iopb->TargetFileObject, &context),
              STATUS_SUCCESS);
    EXPECT_EQ(static_cast<TestContext*>(context)->value, 1);
    FltReleaseContext(context);
    auto& read = data->Iopb->Parameters.Read;
    const size_t count = std::min<size_t>(read.Length, fcb.data.size());
    std::memcpy(read.ReadBuffer, fcb.data.data(), count);
    data->IoStatus.Status = STATUS_SUCCESS;
    data->IoStatus.Information = count;
    return FLT_PREOP_COMPLETE;
  };
  for (UCHAR major : {IRP_MJ_CLEANUP, IRP_MJ_CLOSE}) {
    Slot(0).pre[major] = [&, major](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID*) {
      if (!ownsIt(data)) return FLT_PREOP_SUCCESS_NO_CALLBACK;
      Slot(0).Record(major == IRP_MJ_CLOSE ? "own-close" : "own-cleanup");
      if (major == IRP_MJ_CLOSE) FsRtlTeardownPerStreamContexts(&fcb.header);  // the FCB goes
      data->IoStatus.Status = STATUS_SUCCESS;
      return FLT_PREOP_COMPLETE;
    };
  }
  LoadTestFilter(0, 300000);
  const int fsCreates = fs->Count(IRP_MJ_CREATE);
  HANDLE h;
  ASSERT_EQ(Open("\\??\\C:\\virtual.txt", &h), STATUS_SUCCESS);
  EXPECT_EQ(ReadAll(h), "virtual");
  NtClose(h);
  EXPECT_EQ(fs->Count(IRP_MJ_CREATE), fsCreates);
  EXPECT_EQ(fs->Count(IRP_MJ_READ), 0);
  EXPECT_TRUE(Slot(0).Saw("own-cleanup"));
  EXPECT_TRUE(Slot(0).Saw("own-close"));
  EXPECT_TRUE(Slot(0).Saw("context-cleanup:8:1"));   // stream context, with the FCB
  EXPECT_TRUE(Slot(0).Saw("context-cleanup:16:2"));  // stream-handle context, with the file object
}

TEST_F(Creates, FltCreateFileWithAnInstanceGoesBelowItWithoutOneFromTheTop) {
  fs->AddDirectory(u"\\dir");
  fs->AddFile(u"\\dir\\a.txt", "a");
  fs->AddFile(u"\\dir\\b.txt", "b");
  int ownCreates = 0;
  int ownQueries = 0;
  Slot(0).pre[IRP_MJ_CREATE] = [&](PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS, PVOID*) {
    ++ownCreates;
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
  };
  Slot(0).pre[IRP_MJ_DIRECTORY_CONTROL] = [&](PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS, PVOID*) {
    ++ownQueries;
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
  };
  LoadTestFilter(0, 300000);
  ASSERT_EQ(Slot(0).instances.size(), 2u);  // C: and D:
  PFLT_INSTANCE instance = Slot(0).instances[0];
  sim::harness::OwnedUnicodeString name("\\Device\\HarddiskVolume2\\dir");
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, name.get(), OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr,
                             nullptr);
  for (PFLT_INSTANCE below : {instance, PFLT_INSTANCE(nullptr)}) {
    ownCreates = ownQueries = 0;
    HANDLE h = nullptr;
    PFILE_OBJECT fo = nullptr;
    IO_STATUS_BLOCK iosb{};
    ASSERT_EQ(FltCreateFileEx2(Slot(0).filter, below, &h, &fo, FILE_LIST_DIRECTORY | SYNCHRONIZE,
                               &oa, &iosb, nullptr, 0, FILE_SHARE_READ, FILE_OPEN,
                               FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0, 0,
                               nullptr),
              STATUS_SUCCESS);
    // ZwQueryDirectoryFile on the handle follows the file object's target.
    ULONG buffer[256];
    ASSERT_EQ(ZwQueryDirectoryFile(h, nullptr, nullptr, nullptr, &iosb, buffer, sizeof(buffer),
                                   FileNamesInformation, FALSE, nullptr, TRUE),
              STATUS_SUCCESS);
    auto* first = reinterpret_cast<FILE_NAMES_INFORMATION*>(buffer);
    EXPECT_NE(first->NextEntryOffset, 0u);  // both entries
    EXPECT_EQ(ownCreates, below ? 0 : 1);
    EXPECT_EQ(ownQueries, below ? 0 : 1);
    ObDereferenceObject(fo);
    EXPECT_EQ(FltClose(h), STATUS_SUCCESS);
  }
}

TEST_F(Creates, FilterQueriesGoBelowTheInstance) {
  fs->AddFile(u"\\a.txt", "hello");
  int ownQueries = 0;
  Slot(0).pre[IRP_MJ_QUERY_INFORMATION] = [&](PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS, PVOID*) {
    ++ownQueries;
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
  };
  Slot(0).post[IRP_MJ_CREATE] = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects, PVOID,
                                    FLT_POST_OPERATION_FLAGS) {
    FILE_STANDARD_INFORMATION info{};
    ULONG returned = 0;
    EXPECT_EQ(FltQueryInformationFile(objects->Instance, data->Iopb->TargetFileObject, &info,
                                      sizeof(info), FileStandardInformation, &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(info.EndOfFile.QuadPart, 5);
    UCHAR sd[64];
    ULONG needed = 0;
    EXPECT_EQ(FltQuerySecurityObject(objects->Instance, data->Iopb->TargetFileObject,
                                     DACL_SECURITY_INFORMATION, sd, 4, &needed),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(needed, 20u);
    ULONG volume[64];
    IO_STATUS_BLOCK iosb{};
    EXPECT_EQ(FltQueryVolumeInformation(objects->Instance, &iosb, volume, sizeof(volume),
                                        FileFsAttributeInformation),
              STATUS_SUCCESS);
    EXPECT_EQ(reinterpret_cast<FILE_FS_ATTRIBUTE_INFORMATION*>(volume)->MaximumComponentNameLength,
              255);
    return FLT_POSTOP_FINISHED_PROCESSING;
  };
  Slot(0).pre[IRP_MJ_CREATE] = WithPost;
  LoadTestFilter(0, 300000);
  HANDLE h;
  ASSERT_EQ(Open("\\??\\C:\\a.txt", &h), STATUS_SUCCESS);
  EXPECT_EQ(ownQueries, 0);
  NtClose(h);
}

// Allocation failure of IoReplaceFileObjectName: only a name longer than
// the current buffer needs one; it fails with STATUS_INSUFFICIENT_RESOURCES
// and leaves the name alone.
TEST_F(Creates, ReplacingTheNameCanFailForWantOfPool) {
  NTSTATUS longer = STATUS_PENDING;
  NTSTATUS shorter = STATUS_PENDING;
  std::u16string nameAfter;
  Slot(0).pre[IRP_MJ_CREATE] = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID*) {
    PFILE_OBJECT fo = data->Iopb->TargetFileObject;
    sim::faults::FailEvery(sim::faults::Site::PoolAllocation, sim::io::kFileNameBufferTag);
    std::u16string big = NameOf(fo) + u"-longer";
    std::u16string small = u"\\a";
    longer = IoReplaceFileObjectName(fo, reinterpret_cast<PWSTR>(big.data()),
                                     static_cast<USHORT>(big.size() * 2));
    nameAfter = NameOf(fo);
    shorter = IoReplaceFileObjectName(fo, reinterpret_cast<PWSTR>(small.data()),
                                      static_cast<USHORT>(small.size() * 2));
    sim::faults::Clear();
    data->IoStatus.Status = STATUS_ACCESS_DENIED;
    return FLT_PREOP_COMPLETE;
  };
  LoadTestFilter(0, 300000);
  HANDLE h;
  EXPECT_EQ(Open("\\??\\C:\\a.txt", &h), STATUS_ACCESS_DENIED);
  EXPECT_EQ(longer, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(nameAfter, u"\\a.txt");
  EXPECT_EQ(shorter, STATUS_SUCCESS);
}

}  // namespace
}  // namespace tavo_test
