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
  ASSERT_EQ(volume_->Populate({DirSpec(u"\\Users\\ann"), FileSpecOf(u"\\Users\\ann\\a.txt")}),
            STATUS_SUCCESS);
  HANDLE handle = nullptr;
  ASSERT_EQ(CreateFileHandle(std::u16string(kVolumeDevice) + u"\\Users\\ann\\a.txt", nullptr,
                             DELETE | SYNCHRONIZE, FILE_SHARE_READ, FILE_OPEN,
                             FILE_SYNCHRONOUS_IO_NONALERT, &handle),
            STATUS_SUCCESS);
  IO_STATUS_BLOCK iosb{};
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
