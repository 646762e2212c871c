// The volume mounted in the machine and driven through the user-mode NT API
// (NtCreateFile and friends), as programs and the driver's tests use it:
// the seam between the I/O manager and the volume.
#include <ntapi.h>

#include "fs_client.h"
#include "harness/volume.h"

namespace sim::fs::testing {
namespace {

using harness::OwnedUnicodeString;

class MountedVolumeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    volume_ = harness::MountNewVolume(u'C');
    FileSpec spec;
    spec.path = u"\\docs\\Quarterly Report.txt";
    spec.contents = "numbers";
    ASSERT_EQ(volume_->Populate({spec}), STATUS_SUCCESS);
  }
  void TearDown() override { EXPECT_EQ(volume_->OpenFileObjectCount(), 0u); }

  NTSTATUS Create(const std::string& path, HANDLE* h, ACCESS_MASK access, ULONG disposition,
                  ULONG options = 0, ULONG_PTR* information = nullptr) {
    OwnedUnicodeString name(path);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, name.get(), OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb{};
    const NTSTATUS s =
        NtCreateFile(h, access | SYNCHRONIZE, &oa, &iosb, nullptr, FILE_ATTRIBUTE_NORMAL,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, disposition,
                     options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (information != nullptr) *information = iosb.Information;
    return s;
  }

  std::shared_ptr<Volume> volume_;
};

TEST_F(MountedVolumeTest, CreateWriteRenameEnumerateDelete) {
  HANDLE h = nullptr;
  ULONG_PTR information = 0;
  ASSERT_EQ(Create("\\??\\C:\\docs\\new.txt", &h, GENERIC_READ | GENERIC_WRITE | DELETE,
                   FILE_CREATE, FILE_NON_DIRECTORY_FILE, &information),
            STATUS_SUCCESS);
  EXPECT_EQ(information, static_cast<ULONG_PTR>(FILE_CREATED));
  IO_STATUS_BLOCK iosb{};
  char data[] = "abc";
  ASSERT_EQ(NtWriteFile(h, nullptr, nullptr, nullptr, &iosb, data, 3, nullptr, nullptr),
            STATUS_SUCCESS);

  // Rename to a full name on the same volume.
  const std::u16string target = u"\\??\\C:\\docs\\renamed.txt";
  std::vector<UCHAR> buffer(sizeof(FILE_RENAME_INFORMATION) + target.size() * 2);
  auto* rename = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer.data());
  rename->FileNameLength = static_cast<ULONG>(target.size() * 2);
  std::memcpy(rename->FileName, target.data(), target.size() * 2);
  ASSERT_EQ(NtSetInformationFile(h, &iosb, rename, static_cast<ULONG>(buffer.size()),
                                 FileRenameInformation),
            STATUS_SUCCESS);
  std::vector<UCHAR> nameBuffer(512);
  ASSERT_EQ(NtQueryInformationFile(h, &iosb, nameBuffer.data(), 512, FileNameInformation),
            STATUS_SUCCESS);
  const auto* name = reinterpret_cast<const FILE_NAME_INFORMATION*>(nameBuffer.data());
  EXPECT_EQ(
      std::u16string(reinterpret_cast<const char16_t*>(name->FileName), name->FileNameLength / 2),
      u"\\docs\\renamed.txt");

  FILE_DISPOSITION_INFORMATION disposition{TRUE};
  ASSERT_EQ(
      NtSetInformationFile(h, &iosb, &disposition, sizeof(disposition), FileDispositionInformation),
      STATUS_SUCCESS);

  // Enumerate with a short-name pattern while the file is delete pending.
  HANDLE dir = nullptr;
  ASSERT_EQ(Create("\\??\\C:\\docs", &dir, FILE_LIST_DIRECTORY, FILE_OPEN, FILE_DIRECTORY_FILE),
            STATUS_SUCCESS);
  std::vector<UCHAR> entries(1024);
  OwnedUnicodeString pattern(std::string_view("*"));
  ASSERT_EQ(NtQueryDirectoryFile(dir, nullptr, nullptr, nullptr, &iosb, entries.data(), 1024,
                                 FileBothDirectoryInformation, FALSE, pattern.get(), FALSE),
            STATUS_SUCCESS);
  EXPECT_EQ(EntryNames(entries.data(), FileBothDirectoryInformation),
            (std::vector<std::string>{".", "..", "Quarterly Report.txt", "renamed.txt"}));
  EXPECT_EQ(NtClose(dir), STATUS_SUCCESS);

  EXPECT_EQ(NtClose(h), STATUS_SUCCESS);
  EXPECT_EQ(volume_->DumpTree(),
            "\\\n\\docs\\\n\\docs\\Quarterly Report.txt size=7 attr=A short=QUARTE~1.TXT\n");
}

TEST_F(MountedVolumeTest, VolumeAndShortNameOpens) {
  HANDLE h = nullptr;
  ASSERT_EQ(Create("\\??\\C:\\DOCS\\QUARTE~1.TXT", &h, GENERIC_READ, FILE_OPEN), STATUS_SUCCESS);
  char out[16] = {};
  IO_STATUS_BLOCK iosb{};
  ASSERT_EQ(NtReadFile(h, nullptr, nullptr, nullptr, &iosb, out, sizeof(out), nullptr, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(std::string(out, iosb.Information), "numbers");
  EXPECT_EQ(NtReadFile(h, nullptr, nullptr, nullptr, &iosb, out, sizeof(out), nullptr, nullptr),
            STATUS_END_OF_FILE);
  EXPECT_EQ(NtClose(h), STATUS_SUCCESS);

  ASSERT_EQ(Create("\\Device\\HarddiskVolume2", &h, FILE_READ_ATTRIBUTES, FILE_OPEN),
            STATUS_SUCCESS);
  std::vector<UCHAR> buffer(64);
  ASSERT_EQ(NtQueryVolumeInformationFile(h, &iosb, buffer.data(), 64, FileFsAttributeInformation),
            STATUS_SUCCESS);
  const auto* a = reinterpret_cast<const FILE_FS_ATTRIBUTE_INFORMATION*>(buffer.data());
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(a->FileSystemName),
                           a->FileSystemNameLength / 2),
            u"NTFS");
  EXPECT_EQ(NtClose(h), STATUS_SUCCESS);
}

}  // namespace
}  // namespace sim::fs::testing
