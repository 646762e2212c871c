// The filter's own opens with FltCreateFileEx2, its queries below its
// instance, and replacing a file object's name when pool runs out.
#include <gtest/gtest.h>

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
