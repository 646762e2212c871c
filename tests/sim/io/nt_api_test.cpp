// The I/O manager seen through the native API: name parsing, create
// parameter checks, relative opens, and the MDL
// rule that a mapping lasts only while the pages stay locked. (Handle
// ownership and the cleanup/close split are the object manager's:
// tests/sim/kernel/object_manager_test.cpp; rename targets are resolved in
// tests/sim/fltmgr/rename_target_test.cpp.)
#include <gtest/gtest.h>

#include <ntapi.h>

#include "harness/machine.h"
#include "harness/strings.h"
#include "io/io_manager.h"
#include "io/test_fs.h"
#include "verifier/verifier.h"

namespace {

using sim::harness::OwnedUnicodeString;
using sim::io::TestFileSystem;

class NtApi : public ::testing::Test {
 protected:
  void SetUp() override {
    c = std::make_shared<TestFileSystem>();
    d = std::make_shared<TestFileSystem>();
    sim::harness::MountVolume(u"\\Device\\HarddiskVolume2", u'C', c);
    sim::harness::MountVolume(u"\\Device\\HarddiskVolume3", u'D', d);
    c->AddDirectory(u"\\dir");
    c->AddFile(u"\\dir\\a.txt", "hello");
  }

  NTSTATUS Create(const std::string& path, HANDLE* h,
                  ACCESS_MASK access = GENERIC_READ | SYNCHRONIZE, ULONG disposition = FILE_OPEN,
                  ULONG options = FILE_SYNCHRONOUS_IO_NONALERT, HANDLE root = nullptr,
                  IO_STATUS_BLOCK* iosbOut = nullptr) {
    OwnedUnicodeString name(path);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, name.get(), OBJ_CASE_INSENSITIVE, root, nullptr);
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status = NtCreateFile(h, access, &oa, &iosb, nullptr, FILE_ATTRIBUTE_NORMAL,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   disposition, options, nullptr, 0);
    if (iosbOut) *iosbOut = iosb;
    return status;
  }

  std::shared_ptr<TestFileSystem> c, d;
};

TEST_F(NtApi, ObjectNamesResolveToVolumes) {
  struct Case {
    const char* name;
    NTSTATUS expected;
  };
  const Case cases[] = {
      {"\\??\\C:\\dir\\a.txt", STATUS_SUCCESS},
      {"\\??\\c:\\DIR\\A.TXT", STATUS_SUCCESS},
      {"\\DosDevices\\C:\\dir\\a.txt", STATUS_SUCCESS},
      {"\\GLOBAL??\\C:\\dir\\a.txt", STATUS_SUCCESS},
      {"\\Device\\HarddiskVolume2\\dir\\a.txt", STATUS_SUCCESS},
      {"\\device\\harddiskvolume2\\dir\\a.txt", STATUS_SUCCESS},
      {"\\??\\D:\\dir\\a.txt", STATUS_OBJECT_PATH_NOT_FOUND},  // D: has no \dir
      {"\\??\\Q:\\dir\\a.txt", STATUS_OBJECT_PATH_NOT_FOUND},  // no such drive
      {"\\Device\\HarddiskVolume7\\a.txt", STATUS_OBJECT_NAME_NOT_FOUND},
      {"\\Device\\HarddiskVolume22\\a.txt",
       STATUS_OBJECT_NAME_NOT_FOUND},                 // not a prefix match of Volume2
      {"dir\\a.txt", STATUS_OBJECT_PATH_SYNTAX_BAD},  // relative without a root
      {"\\??\\C:\\dir\\missing.txt", STATUS_OBJECT_NAME_NOT_FOUND},
  };
  for (const Case& k : cases) {
    HANDLE h = nullptr;
    EXPECT_EQ(Create(k.name, &h), k.expected) << k.name;
    if (h) NtClose(h);
  }
}

TEST_F(NtApi, CreateParametersAreCheckedBeforeTheFileSystem) {
  struct Case {
    const char* what;
    ACCESS_MASK access;
    ULONG disposition;
    ULONG options;
  };
  const Case cases[] = {
      {"disposition out of range", GENERIC_READ, 6, 0},
      {"directory and non-directory", GENERIC_READ, FILE_OPEN,
       FILE_DIRECTORY_FILE | FILE_NON_DIRECTORY_FILE},
      {"directory with overwrite", GENERIC_READ, FILE_OVERWRITE_IF, FILE_DIRECTORY_FILE},
      {"both synchronous modes", GENERIC_READ | SYNCHRONIZE, FILE_OPEN,
       FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT},
      {"synchronous without SYNCHRONIZE", FILE_READ_DATA, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT},
      {"delete-on-close without DELETE", GENERIC_READ, FILE_OPEN, FILE_DELETE_ON_CLOSE},
      {"unbuffered append", FILE_APPEND_DATA, FILE_OPEN, FILE_NO_INTERMEDIATE_BUFFERING},
      {"unknown option bits", GENERIC_READ, FILE_OPEN, 0x01000000},
  };
  const int creates = c->Count(IRP_MJ_CREATE);
  for (const Case& k : cases) {
    HANDLE h = nullptr;
    EXPECT_EQ(Create("\\??\\C:\\dir\\a.txt", &h, k.access, k.disposition, k.options),
              STATUS_INVALID_PARAMETER)
        << k.what;
  }
  EXPECT_EQ(c->Count(IRP_MJ_CREATE), creates);
}

TEST_F(NtApi, RootDirectoryRelativeOpens) {
  HANDLE dir;
  ASSERT_EQ(Create("\\??\\C:\\dir", &dir, FILE_LIST_DIRECTORY | SYNCHRONIZE, FILE_OPEN,
                   FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT),
            STATUS_SUCCESS);
  HANDLE h;
  ASSERT_EQ(
      Create("a.txt", &h, GENERIC_READ | SYNCHRONIZE, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, dir),
      STATUS_SUCCESS);
  char buffer[8];
  IO_STATUS_BLOCK iosb{};
  ASSERT_EQ(
      NtReadFile(h, nullptr, nullptr, nullptr, &iosb, buffer, sizeof(buffer), nullptr, nullptr),
      STATUS_SUCCESS);
  EXPECT_EQ(std::string(buffer, iosb.Information), "hello");
  NtClose(h);
  // NtOpenFile opens an existing file the same way.
  OwnedUnicodeString relative("a.txt");
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, relative.get(), OBJ_CASE_INSENSITIVE, dir, nullptr);
  ASSERT_EQ(NtOpenFile(&h, GENERIC_READ | SYNCHRONIZE, &oa, &iosb, FILE_SHARE_READ,
                       FILE_SYNCHRONOUS_IO_NONALERT),
            STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, FILE_OPENED);
  NtClose(h);
  EXPECT_EQ(Create("\\a.txt", &h, GENERIC_READ, FILE_OPEN, 0, dir), STATUS_OBJECT_PATH_SYNTAX_BAD);
  NtClose(dir);
  EXPECT_EQ(Create("a.txt", &h, GENERIC_READ, FILE_OPEN, 0, dir), STATUS_INVALID_HANDLE);
}

TEST(Mdl, UnlockingEndsTheMappingAndMappingUnlockedPagesIsReported) {
  char buffer[64];
  PMDL mdl = IoAllocateMdl(buffer, sizeof(buffer), FALSE, FALSE, nullptr);
  ASSERT_NE(mdl, nullptr);
  MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), buffer);
  EXPECT_TRUE(sim::verifier::TakeViolations().empty());
  MmUnlockPages(mdl);
  EXPECT_EQ(mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA), 0);
  MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
  EXPECT_EQ(sim::verifier::TakeViolations(sim::verifier::Check::Io).size(), 1u);
  IoFreeMdl(mdl);
}

}  // namespace
