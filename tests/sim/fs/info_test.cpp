// Query and set information: every class's size rules, the name classes'
// partial results, short names, and FileBasicInformation's time
// semantics (0 keeps, -1 freezes for the handle, -2 unfreezes).
#include "fs_client.h"
#include "kernel/clock.h"

namespace sim::fs::testing {
namespace {

using InfoTest = VolumeTest;

TEST_F(InfoTest, FixedSizeClassesNeedTheirWholeStructure) {
  File f = client_.MustCreateFile("\\dir-less-file.txt", "abc");
  struct Case {
    FILE_INFORMATION_CLASS infoClass;
    ULONG size;
  } cases[] = {
      {FileBasicInformation, sizeof(FILE_BASIC_INFORMATION)},
      {FileStandardInformation, sizeof(FILE_STANDARD_INFORMATION)},
      {FileInternalInformation, sizeof(FILE_INTERNAL_INFORMATION)},
      {FileEaInformation, sizeof(FILE_EA_INFORMATION)},
      {FileAccessInformation, sizeof(FILE_ACCESS_INFORMATION)},
      {FilePositionInformation, sizeof(FILE_POSITION_INFORMATION)},
      {FileModeInformation, sizeof(FILE_MODE_INFORMATION)},
      {FileAlignmentInformation, sizeof(FILE_ALIGNMENT_INFORMATION)},
      {FileNetworkOpenInformation, sizeof(FILE_NETWORK_OPEN_INFORMATION)},
      {FileAttributeTagInformation, sizeof(FILE_ATTRIBUTE_TAG_INFORMATION)},
      {FileNameInformation, sizeof(FILE_NAME_INFORMATION)},
      {FileNormalizedNameInformation, sizeof(FILE_NAME_INFORMATION)},
      {FileAllInformation, sizeof(FILE_ALL_INFORMATION)},
  };
  std::vector<UCHAR> buffer(1024);
  for (const auto& c : cases) {
    ULONG_PTR information = 1234;
    EXPECT_EQ(client_.Query(f, c.infoClass, buffer.data(), c.size - 1, &information),
              STATUS_INFO_LENGTH_MISMATCH)
        << c.infoClass;
    EXPECT_EQ(information, 0u) << c.infoClass;
    const NTSTATUS s = client_.Query(f, c.infoClass, buffer.data(),
                                     static_cast<ULONG>(buffer.size()), &information);
    EXPECT_EQ(s, STATUS_SUCCESS) << c.infoClass;
    EXPECT_GE(information, c.size - sizeof(WCHAR)) << c.infoClass;
  }
  EXPECT_EQ(client_.Query(f, FileStreamInformation, buffer.data(), 1024), STATUS_INVALID_PARAMETER);
}

TEST_F(InfoTest, NamesThatDoNotFitAreCutWithBufferOverflow) {
  client_.Mkdir("\\directory");
  File f = client_.MustCreateFile("\\directory\\file.txt");
  const std::u16string full = u"\\directory\\file.txt";
  const ULONG fullBytes = static_cast<ULONG>(full.size() * 2);
  struct Case {
    FILE_INFORMATION_CLASS infoClass;
    ULONG nameOffset;
  } classes[] = {
      {FileNameInformation, FIELD_OFFSET(FILE_NAME_INFORMATION, FileName)},
      {FileNormalizedNameInformation, FIELD_OFFSET(FILE_NAME_INFORMATION, FileName)},
      {FileAllInformation, FIELD_OFFSET(FILE_ALL_INFORMATION, NameInformation.FileName)},
  };
  for (const auto& c : classes) {
    for (ULONG room : {4u, 7u, fullBytes - 2, fullBytes}) {
      std::vector<UCHAR> buffer(c.nameOffset + room, 0xCC);
      ULONG_PTR information = 0;
      const NTSTATUS s = client_.Query(f, c.infoClass, buffer.data(),
                                       static_cast<ULONG>(buffer.size()), &information);
      const ULONG copied = std::min(room & ~1u, fullBytes);
      EXPECT_EQ(s, copied < fullBytes ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS)
          << c.infoClass << " " << room;
      EXPECT_EQ(information, c.nameOffset + copied) << c.infoClass << " " << room;
      const auto* lengthField = reinterpret_cast<const ULONG*>(buffer.data() + c.nameOffset - 4);
      EXPECT_EQ(*lengthField, fullBytes) << "FileNameLength is the full length";
      EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(buffer.data() + c.nameOffset),
                               copied / 2),
                full.substr(0, copied / 2));
    }
  }
}

TEST_F(InfoTest, ShortNamesAreGeneratedForLongNamesOnly) {
  client_.Mkdir("\\d");
  struct Case {
    const char* name;
    const char16_t* shortName;  // null: none
  } cases[] = {
      {"short.txt", nullptr},  // already 8.3 (case aside)
      {"UPPER.TXT", nullptr},
      {"A Long File Name.txt", u"ALONGF~1.TXT"},
      {"A Long File Name Too.txt", u"ALONGF~2.TXT"},  // collides, next number
      {"name with space", u"NAMEWI~1"},
      {"two.dots.here", u"TWODOT~1.HER"},
  };
  for (const auto& c : cases) {
    File f = client_.MustCreateFile(std::string("\\d\\") + c.name);
    std::vector<UCHAR> buffer(256);
    auto* info = reinterpret_cast<FILE_NAME_INFORMATION*>(buffer.data());
    const NTSTATUS s = client_.Query(f, FileAlternateNameInformation, info, 256);
    if (c.shortName == nullptr) {
      EXPECT_EQ(s, STATUS_OBJECT_NAME_NOT_FOUND) << c.name;
      continue;
    }
    ASSERT_EQ(s, STATUS_SUCCESS) << c.name;
    EXPECT_EQ(
        std::u16string(reinterpret_cast<const char16_t*>(info->FileName), info->FileNameLength / 2),
        c.shortName);
    // The short name opens the same file.
    File viaShort = client_.MustOpen("\\d\\" + ToUtf8(c.shortName));
    EXPECT_EQ(client_.Name(viaShort), u"\\d\\" + FromUtf8(c.name));
  }
}

TEST_F(InfoTest, BasicInformationTimeSemantics) {
  using kernel::clock::Advance;
  File f = client_.MustOpen(
      "\\f", {.access = FILE_GENERIC_READ | FILE_GENERIC_WRITE, .disposition = FILE_CREATE});
  const auto created = client_.Basic(f);

  // 0: nothing changes.
  FILE_BASIC_INFORMATION keep{};
  ASSERT_EQ(client_.Set(f, FileBasicInformation, keep), STATUS_SUCCESS);
  EXPECT_EQ(client_.Basic(f).LastWriteTime.QuadPart, created.LastWriteTime.QuadPart);

  // A write moves LastWriteTime and ChangeTime.
  Advance(100);
  ASSERT_EQ(client_.Write(f, "a"), STATUS_SUCCESS);
  EXPECT_EQ(client_.Basic(f).LastWriteTime.QuadPart, created.LastWriteTime.QuadPart + 100);

  // -1 freezes LastWriteTime for this handle; writes no longer move it.
  FILE_BASIC_INFORMATION freeze{};
  freeze.LastWriteTime.QuadPart = -1;
  ASSERT_EQ(client_.Set(f, FileBasicInformation, freeze), STATUS_SUCCESS);
  Advance(100);
  ASSERT_EQ(client_.Write(f, "b"), STATUS_SUCCESS);
  EXPECT_EQ(client_.Basic(f).LastWriteTime.QuadPart, created.LastWriteTime.QuadPart + 100);
  EXPECT_EQ(client_.Basic(f).ChangeTime.QuadPart, created.ChangeTime.QuadPart + 200)
      << "ChangeTime still moves";
  // ... but another handle's writes do.
  File other = client_.MustOpen("\\f", {.access = FILE_GENERIC_WRITE});
  Advance(100);
  ASSERT_EQ(client_.Write(other, "c"), STATUS_SUCCESS);
  EXPECT_EQ(client_.Basic(f).LastWriteTime.QuadPart, created.LastWriteTime.QuadPart + 300);

  // -2 unfreezes.
  FILE_BASIC_INFORMATION unfreeze{};
  unfreeze.LastWriteTime.QuadPart = -2;
  ASSERT_EQ(client_.Set(f, FileBasicInformation, unfreeze), STATUS_SUCCESS);
  Advance(100);
  ASSERT_EQ(client_.Write(f, "d"), STATUS_SUCCESS);
  EXPECT_EQ(client_.Basic(f).LastWriteTime.QuadPart, created.LastWriteTime.QuadPart + 400);

  // An explicit time is set as given.
  FILE_BASIC_INFORMATION set{};
  set.CreationTime.QuadPart = 42;
  set.LastWriteTime.QuadPart = 4242;
  ASSERT_EQ(client_.Set(f, FileBasicInformation, set), STATUS_SUCCESS);
  EXPECT_EQ(client_.Basic(f).CreationTime.QuadPart, 42);
  EXPECT_EQ(client_.Basic(f).LastWriteTime.QuadPart, 4242);

  // Setting a time changes the file's metadata: ChangeTime moves too.
  const LONGLONG changed = client_.Basic(f).ChangeTime.QuadPart;
  Advance(100);
  FILE_BASIC_INFORMATION touch{};
  touch.CreationTime.QuadPart = 43;
  ASSERT_EQ(client_.Set(f, FileBasicInformation, touch), STATUS_SUCCESS);
  EXPECT_EQ(client_.Basic(f).ChangeTime.QuadPart, changed + 100);

  FILE_BASIC_INFORMATION bad{};
  bad.LastAccessTime.QuadPart = -3;
  EXPECT_EQ(client_.Set(f, FileBasicInformation, bad), STATUS_INVALID_PARAMETER);
}

}  // namespace
}  // namespace sim::fs::testing
