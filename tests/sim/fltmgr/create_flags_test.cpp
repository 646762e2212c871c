// The Flags of FltCreateFileEx2 on the NTFS-like volume: what the stack
// below sees of each, and share access ignored with
// IO_IGNORE_SHARE_ACCESS_CHECK (the opener is neither checked nor counted).
#include <gtest/gtest.h>

#include "fs/volume.h"
#include "harness/processes.h"
#include "test_filter.h"

namespace tavo_test {
namespace {

class CreateFlags : public FilterTest {
 protected:
  void SetUp() override {
    FilterTest::SetUp();
    sim::fs::VolumeOptions options;
    options.deviceName = u"\\Device\\HarddiskVolume4";
    ntfs = sim::fs::CreateVolume(options);
    sim::fs::FileSpec dir, file;
    dir.path = u"\\dir";
    dir.directory = true;
    file.path = u"\\dir\\file.txt";
    file.contents = "data";
    ASSERT_EQ(ntfs->Populate({dir, file}), STATUS_SUCCESS);
    sim::harness::MountVolume(u"\\Device\\HarddiskVolume4", u'E', ntfs);
  }

  // FltCreateFileEx2 from the top of the stack with a kernel handle.
  NTSTATUS FltOpen(const char* path, ACCESS_MASK access, ULONG share, ULONG flags, HANDLE* handle,
                   IO_STATUS_BLOCK* iosbOut = nullptr) {
    sim::harness::OwnedUnicodeString name{std::string_view(path)};
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, name.get(), OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr,
                               nullptr);
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status = FltCreateFileEx2(
        Slot(0).filter, nullptr, handle, nullptr, access | SYNCHRONIZE, &oa, &iosb, nullptr, 0,
        share, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0, flags, nullptr);
    if (iosbOut) *iosbOut = iosb;
    return status;
  }

  // NtCreateFile as the calling thread's process, sharing as given.
  static NTSTATUS PlainOpen(const char* path, ACCESS_MASK access, ULONG share, HANDLE* handle) {
    sim::harness::OwnedUnicodeString name{std::string_view(path)};
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, name.get(), OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb{};
    return NtCreateFile(handle, access | SYNCHRONIZE, &oa, &iosb, nullptr, FILE_ATTRIBUTE_NORMAL,
                        share, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  }

  std::shared_ptr<sim::fs::Volume> ntfs;
};

TEST_F(CreateFlags, IgnoringShareAccessNeitherChecksNorCountsTheOpener) {
  LoadTestFilter(0, 300000);
  const std::uint32_t other =
      sim::harness::CreateProcess("\\Device\\HarddiskVolume3\\Windows\\notepad.exe");
  const char* path = "\\??\\E:\\dir\\file.txt";

  // Another process holds the file for reading and shares nothing.
  HANDLE exclusive = nullptr;
  ASSERT_EQ(
      sim::harness::RunAs(other, [&] { return PlainOpen(path, FILE_READ_DATA, 0, &exclusive); }),
      STATUS_SUCCESS);

  HANDLE h = nullptr;
  EXPECT_EQ(FltOpen(path, FILE_READ_DATA, FILE_SHARE_READ, 0, &h), STATUS_SHARING_VIOLATION);
  EXPECT_EQ(h, nullptr);
  HANDLE ignoring = nullptr;
  ASSERT_EQ(FltOpen(path, FILE_READ_DATA, FILE_SHARE_READ, IO_IGNORE_SHARE_ACCESS_CHECK, &ignoring),
            STATUS_SUCCESS);

  // Plain opens are still checked against the first opener...
  EXPECT_EQ(FltOpen(path, FILE_READ_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, 0, &h),
            STATUS_SHARING_VIOLATION);
  // ... also after the ignoring opener's handle went (its cleanup removes
  // nothing from the file's share access).
  EXPECT_EQ(FltClose(ignoring), STATUS_SUCCESS);
  EXPECT_EQ(FltOpen(path, FILE_READ_DATA, FILE_SHARE_READ, 0, &h), STATUS_SHARING_VIOLATION);

  // And only against it: an ignoring opener that shares nothing does not
  // stop an exclusive open once the first opener has gone.
  ASSERT_EQ(
      FltOpen(path, FILE_READ_DATA | FILE_WRITE_DATA, 0, IO_IGNORE_SHARE_ACCESS_CHECK, &ignoring),
      STATUS_SUCCESS);
  sim::harness::RunAs(other, [&] { return NtClose(exclusive); });
  HANDLE writer = nullptr;
  EXPECT_EQ(PlainOpen(path, FILE_WRITE_DATA, 0, &writer), STATUS_SUCCESS);
  // The exclusive writer now blocks plain opens, not ignoring ones.
  EXPECT_EQ(FltOpen(path, FILE_READ_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, 0, &h),
            STATUS_SHARING_VIOLATION);
  HANDLE second = nullptr;
  EXPECT_EQ(FltOpen(path, FILE_READ_DATA, 0, IO_IGNORE_SHARE_ACCESS_CHECK, &second),
            STATUS_SUCCESS);
  if (second) FltClose(second);
  if (writer) NtClose(writer);
  FltClose(ignoring);
}

// Each option reaches the stack below as Windows conveys it: the create's
// stack-location flags, or the file object's "ignore sharing" option.
TEST_F(CreateFlags, OptionsReachThePreCreateAndTheFileSystem) {
  struct Seen {
    UCHAR operationFlags = 0;
    bool ignoring = false;
  } seen;
  Slot(0).pre[IRP_MJ_CREATE] = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID*) {
    seen.operationFlags = data->Iopb->OperationFlags;
    seen.ignoring = IoIsFileObjectIgnoringSharing(data->Iopb->TargetFileObject) != FALSE;
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
  };
  LoadTestFilter(0, 300000);
  struct Case {
    ULONG flags;
    UCHAR operationFlag;  // expected in the stack location's flags
    bool ignoring;
    ULONG_PTR information;  // the file system's answer
  };
  const Case cases[] = {
      {0, 0, false, FILE_OPENED},
      {IO_FORCE_ACCESS_CHECK, SL_FORCE_ACCESS_CHECK, false, FILE_OPENED},
      {IO_STOP_ON_SYMLINK, SL_STOP_ON_SYMLINK, false, FILE_OPENED},
      {IO_IGNORE_SHARE_ACCESS_CHECK, 0, true, FILE_OPENED},
      // The parent directory is opened; the answer says the leaf exists.
      {IO_OPEN_TARGET_DIRECTORY, SL_OPEN_TARGET_DIRECTORY, false, FILE_EXISTS},
  };
  constexpr UCHAR kCreateFlags =
      SL_FORCE_ACCESS_CHECK | SL_OPEN_TARGET_DIRECTORY | SL_STOP_ON_SYMLINK;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.flags);
    seen = {};
    HANDLE h = nullptr;
    IO_STATUS_BLOCK iosb{};
    ASSERT_EQ(FltOpen("\\??\\E:\\dir\\file.txt", FILE_READ_ATTRIBUTES, FILE_SHARE_READ, c.flags, &h,
                      &iosb),
              STATUS_SUCCESS);
    EXPECT_EQ(seen.operationFlags & kCreateFlags, c.operationFlag);
    EXPECT_EQ(seen.ignoring, c.ignoring);
    EXPECT_EQ(iosb.Information, c.information);
    FltClose(h);
  }
}

}  // namespace
}  // namespace tavo_test
