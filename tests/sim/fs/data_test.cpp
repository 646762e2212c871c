// Reading and writing: end of file, the synchronous file pointer, access
// rights, cluster-rounded allocation, and a full volume.
#include "fs_client.h"

namespace sim::fs::testing {
namespace {

using DataTest = VolumeTest;

TEST_F(DataTest, ReadStopsAtEndOfFile) {
  File f = client_.MustCreateFile("\\f", "hello world");
  struct Case {
    LONGLONG offset;
    ULONG length;
    NTSTATUS status;
    std::string data;
  } cases[] = {
      {0, 5, STATUS_SUCCESS, "hello"}, {6, 100, STATUS_SUCCESS, "world"},  // short read at the end
      {10, 1, STATUS_SUCCESS, "d"},    {11, 1, STATUS_END_OF_FILE, ""},    // at EOF
      {50, 1, STATUS_END_OF_FILE, ""},                                     // past EOF
      {50, 0, STATUS_SUCCESS, ""},  // zero-length reads always succeed
  };
  for (const auto& c : cases) {
    std::string out;
    const auto offset = At(c.offset);
    EXPECT_EQ(client_.Read(f, &out, c.length, &offset), c.status) << c.offset;
    EXPECT_EQ(out, c.data) << c.offset;
  }
}

TEST_F(DataTest, SynchronousHandlesKeepAFilePointer) {
  File f = client_.MustCreateFile("\\f");
  ASSERT_EQ(client_.Write(f, "abc"), STATUS_SUCCESS);
  ASSERT_EQ(client_.Write(f, "def"), STATUS_SUCCESS);  // continues at 3
  EXPECT_EQ(client_.Position(f), 6);
  FILE_POSITION_INFORMATION position{At(1)};
  ASSERT_EQ(client_.Set(f, FilePositionInformation, position), STATUS_SUCCESS);
  std::string out;
  ASSERT_EQ(client_.Read(f, &out, 2), STATUS_SUCCESS);
  EXPECT_EQ(out, "bc");
  // An explicit offset is used and moves the pointer past the transfer.
  const auto offset = At(4);
  ASSERT_EQ(client_.Read(f, &out, 1, &offset), STATUS_SUCCESS);
  EXPECT_EQ(out, "e");
  EXPECT_EQ(client_.Position(f), 5);
  // FILE_USE_FILE_POINTER_POSITION stands for "where the pointer is".
  LARGE_INTEGER usePointer;
  usePointer.HighPart = -1;
  usePointer.LowPart = FILE_USE_FILE_POINTER_POSITION;
  ASSERT_EQ(client_.Read(f, &out, 5, &usePointer), STATUS_SUCCESS);
  EXPECT_EQ(out, "f");
  FILE_POSITION_INFORMATION bad{At(-1)};
  EXPECT_EQ(client_.Set(f, FilePositionInformation, bad), STATUS_INVALID_PARAMETER);
  // An unbuffered handle's pointer stays on sector boundaries.
  File u = client_.MustOpen("\\f", {.options = FILE_NO_INTERMEDIATE_BUFFERING});
  FILE_POSITION_INFORMATION unaligned{At(100)};
  FILE_POSITION_INFORMATION aligned{At(512)};
  EXPECT_EQ(client_.Set(u, FilePositionInformation, unaligned), STATUS_INVALID_PARAMETER);
  ASSERT_EQ(client_.Set(u, FilePositionInformation, aligned), STATUS_SUCCESS);
  EXPECT_EQ(client_.Position(u), 512);
}

TEST_F(DataTest, AccessRightsGateReadAndWrite) {
  client_.Touch("\\f", "data");
  File f = client_.MustOpen("\\f", {.access = FILE_READ_ATTRIBUTES});
  std::string out;
  const auto zero = At(0);
  EXPECT_EQ(client_.Read(f, &out, 4, &zero), STATUS_ACCESS_DENIED);
  EXPECT_EQ(client_.Write(f, "x", &zero), STATUS_ACCESS_DENIED);
  File d = client_.MustCreateDirectory("\\d");
  EXPECT_EQ(client_.Read(d, &out, 4, &zero), STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(DataTest, EndOfFileAndAllocation) {
  File f = client_.MustCreateFile("\\f", "abc");
  auto standard = client_.Standard(f);
  EXPECT_EQ(standard.AllocationSize.QuadPart, 4096);
  EXPECT_NE(f.fo()->SectionObjectPointer, nullptr);
  struct Step {
    FILE_INFORMATION_CLASS infoClass;
    LONGLONG value;
    LONGLONG endOfFile;
    LONGLONG allocation;
  } steps[] = {
      {FileEndOfFileInformation, 5000, 5000, 8192},   // grows by whole clusters
      {FileEndOfFileInformation, 10, 10, 4096},       // shrinking frees clusters
      {FileAllocationInformation, 10000, 10, 12288},  // allocation alone, rounded up
      {FileAllocationInformation, 4, 4, 4096},        // below EOF truncates the data
      {FileEndOfFileInformation, 0, 0, 0},
  };
  for (const auto& s : steps) {
    LARGE_INTEGER value = At(s.value);
    ASSERT_EQ(client_.Set(f, s.infoClass, value), STATUS_SUCCESS) << s.value;
    standard = client_.Standard(f);
    EXPECT_EQ(standard.EndOfFile.QuadPart, s.endOfFile) << s.value;
    EXPECT_EQ(standard.AllocationSize.QuadPart, s.allocation) << s.value;
    auto* header = static_cast<FSRTL_ADVANCED_FCB_HEADER*>(f.fo()->FsContext);
    EXPECT_EQ(header->FileSize.QuadPart, s.endOfFile);
    EXPECT_EQ(header->AllocationSize.QuadPart, s.allocation) << s.value;
  }
  // FILE_ADD_FILE is a directory's FILE_WRITE_DATA, the access the I/O
  // manager asks of an end-of-file change: so the volume answers.
  File d = client_.MustOpen("\\d", {.access = FILE_GENERIC_READ | FILE_ADD_FILE,
                                    .disposition = FILE_CREATE,
                                    .options = FILE_DIRECTORY_FILE});
  LARGE_INTEGER one = At(1);
  EXPECT_EQ(client_.Set(d, FileEndOfFileInformation, one), STATUS_INVALID_PARAMETER);
  File r = client_.MustOpen("\\f");
  EXPECT_EQ(client_.Set(r, FileEndOfFileInformation, one), STATUS_ACCESS_DENIED);
}

class SmallVolumeTest : public VolumeTest {
 protected:
  SmallVolumeTest() : VolumeTest(SmallOptions()) {}
  static VolumeOptions SmallOptions() {
    VolumeOptions options;
    options.sizeBytes = 4 * 4096;
    return options;
  }
};

TEST_F(SmallVolumeTest, AFullVolumeRefusesToGrow) {
  File f = client_.MustCreateFile("\\f");
  const std::string threeClusters(3 * 4096, 'x');
  ASSERT_EQ(client_.Write(f, threeClusters), STATUS_SUCCESS);
  EXPECT_EQ(client_.Write(f, std::string(4097, 'y')), STATUS_DISK_FULL);
  EXPECT_EQ(client_.Standard(f).EndOfFile.QuadPart, 3 * 4096) << "a failed write changes nothing";
  FILE_FS_SIZE_INFORMATION size{};
  IO_STATUS_BLOCK iosb{};
  ASSERT_EQ(
      NtQueryVolumeInformationFile(f.handle(), &iosb, &size, sizeof(size), FileFsSizeInformation),
      STATUS_SUCCESS);
  EXPECT_EQ(size.TotalAllocationUnits.QuadPart, 4);
  EXPECT_EQ(size.AvailableAllocationUnits.QuadPart, 1);
  // Deleting the file gives its clusters back.
  ASSERT_EQ(client_.SetDisposition(f, true), STATUS_SUCCESS);
  f.Reset();
  // So does a POSIX-deleted file that grew after it was unlinked, at its
  // last close.
  File p = client_.MustCreateFile("\\p");
  File writer = client_.MustOpen("\\p", {.access = FILE_GENERIC_WRITE});
  ASSERT_EQ(client_.SetDispositionEx(p, FILE_DISPOSITION_DELETE | FILE_DISPOSITION_POSIX_SEMANTICS),
            STATUS_SUCCESS);
  p.Reset();
  ASSERT_FALSE(client_.Exists("\\p"));
  ASSERT_EQ(client_.Write(writer, std::string(2 * 4096, 'w')), STATUS_SUCCESS);
  writer.Reset();
  File g = client_.MustCreateFile("\\g");
  EXPECT_EQ(client_.Write(g, std::string(4 * 4096, 'z')), STATUS_SUCCESS);
}

}  // namespace
}  // namespace sim::fs::testing
