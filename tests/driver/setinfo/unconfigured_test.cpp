// Before the client configures the view the driver is attached but owns no
// folder: renames on the volume are the file system's, in every form.
#include <ntapi.h>

#include <cstring>

#include "driver_fixture.h"
#include "harness/strings.h"

namespace tavo::testing {
namespace {

class UnconfiguredTest : public DriverTest {};

TEST_F(UnconfiguredTest, RenamesGoDownAsMade) {
  sim::fs::FileSpec folder, file;
  folder.path = u"\\Users\\ann";
  folder.directory = true;
  file.path = u"\\Users\\ann\\a.txt";
  ASSERT_EQ(volume_->Populate({folder, file}), STATUS_SUCCESS);
  sim::harness::OwnedUnicodeString name(std::u16string(kVolumeDevice) + u"\\Users\\ann\\a.txt");
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, name.get(), OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  IO_STATUS_BLOCK iosb{};
  HANDLE handle = nullptr;
  ASSERT_EQ(NtCreateFile(&handle, DELETE | SYNCHRONIZE, &attributes, &iosb, nullptr, 0,
                         FILE_SHARE_READ, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0),
            STATUS_SUCCESS);
  const std::u16string bare = u"b.txt";
  const std::u16string full = u"\\??\\C:\\Users\\ann\\c.txt";
  for (const std::u16string* target : {&bare, &full}) {
    std::vector<std::uint8_t> buffer(FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName) +
                                     target->size() * 2);
    auto* info = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer.data());
    info->FileNameLength = static_cast<ULONG>(target->size() * 2);
    std::memcpy(info->FileName, target->data(), target->size() * 2);
    EXPECT_EQ(NtSetInformationFile(handle, &iosb, buffer.data(), static_cast<ULONG>(buffer.size()),
                                   FileRenameInformation),
              STATUS_SUCCESS)
        << sim::harness::ToUtf8(*target);
  }
  NtClose(handle);
  const std::string tree = volume_->DumpTree({false, false});
  EXPECT_NE(tree.find("\\Users\\ann\\c.txt"), std::string::npos) << tree;
  EXPECT_EQ(tree.find("\\Users\\ann\\a.txt"), std::string::npos) << tree;
}

}  // namespace
}  // namespace tavo::testing
