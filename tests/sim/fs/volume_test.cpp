// Volume information, security descriptors, the control codes the volume
// answers, a reset with an open left behind, and concurrent use. Setting a
// security descriptor has no NT API routine here, so that one call goes to
// the volume at the seam.
#include <mountdev.h>

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "fs_client.h"
#include "kernel/lifecycle.h"
#include "kernel/security_descriptor.h"

namespace sim::fs::testing {
namespace {

class VolumeInfoTest : public VolumeTest {
 protected:
  VolumeInfoTest() : VolumeTest(Options()) {}
  static VolumeOptions Options() {
    VolumeOptions o;
    o.label = u"DATA";
    o.serialNumber = 0x12345678;
    o.creationTime = 777;
    o.sizeBytes = 1ull << 30;
    return o;
  }
  NTSTATUS QueryVolume(const File& f, FS_INFORMATION_CLASS c, void* buffer, ULONG length,
                       ULONG_PTR* information) {
    IO_STATUS_BLOCK iosb{};
    const NTSTATUS s = NtQueryVolumeInformationFile(f.handle(), &iosb, buffer, length, c);
    *information = iosb.Information;
    return s;
  }
};

TEST_F(VolumeInfoTest, SmallBuffers) {
  File root = client_.MustOpen("\\");
  ULONG_PTR information = 0;
  struct Case {
    FS_INFORMATION_CLASS infoClass;
    ULONG size;
  } cases[] = {
      {FileFsVolumeInformation, sizeof(FILE_FS_VOLUME_INFORMATION)},
      {FileFsSizeInformation, sizeof(FILE_FS_SIZE_INFORMATION)},
      {FileFsFullSizeInformation, sizeof(FILE_FS_FULL_SIZE_INFORMATION)},
      {FileFsAttributeInformation, sizeof(FILE_FS_ATTRIBUTE_INFORMATION)},
      {FileFsDeviceInformation, sizeof(FILE_FS_DEVICE_INFORMATION)},
  };
  for (const auto& c : cases) {
    std::vector<UCHAR> buffer(c.size);
    EXPECT_EQ(QueryVolume(root, c.infoClass, buffer.data(), c.size - 1, &information),
              STATUS_INFO_LENGTH_MISMATCH)
        << c.infoClass;
  }
  // The label and the file-system name are cut with STATUS_BUFFER_OVERFLOW.
  std::vector<UCHAR> buffer(sizeof(FILE_FS_VOLUME_INFORMATION));
  ASSERT_EQ(QueryVolume(root, FileFsVolumeInformation, buffer.data(), 24, &information),
            STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(reinterpret_cast<const FILE_FS_VOLUME_INFORMATION*>(buffer.data())->VolumeLabelLength,
            8u);
  EXPECT_EQ(information, 24u);
  ASSERT_EQ(QueryVolume(root, FileFsAttributeInformation, buffer.data(), 16, &information),
            STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(
      reinterpret_cast<const FILE_FS_ATTRIBUTE_INFORMATION*>(buffer.data())->FileSystemNameLength,
      8u);
}

// The controls the system sends to every file: allocated ranges of a file
// that is not sparse are the range asked for.
TEST_F(VolumeInfoTest, FileSystemControlsSentToFiles) {
  client_.Touch("\\f", "0123456789");
  client_.Mkdir("\\d");
  struct Row {
    const char* what;
    const char* path;
    ULONG code;
    LONGLONG offset, length;
    ULONG inLength, outLength;
    NTSTATUS status;
    ULONG_PTR information;
  };
  const ULONG range = sizeof(FILE_ALLOCATED_RANGE_BUFFER);
  const Row rows[] = {
      {"ranges: the one asked for", "\\f", FSCTL_QUERY_ALLOCATED_RANGES, 4, 100, range, 64,
       STATUS_SUCCESS, range},
      {"ranges: zero length", "\\f", FSCTL_QUERY_ALLOCATED_RANGES, 4, 0, range, 64,
       STATUS_SUCCESS, 0},
      {"ranges: short input", "\\f", FSCTL_QUERY_ALLOCATED_RANGES, 0, 1, range - 1, 64,
       STATUS_INVALID_PARAMETER, 0},
      {"ranges: negative offset", "\\f", FSCTL_QUERY_ALLOCATED_RANGES, -1, 1, range, 64,
       STATUS_INVALID_PARAMETER, 0},
      {"ranges: past the largest offset", "\\f", FSCTL_QUERY_ALLOCATED_RANGES, MAXLONGLONG, 2,
       range, 64, STATUS_INVALID_PARAMETER, 0},
      {"ranges: no room for one", "\\f", FSCTL_QUERY_ALLOCATED_RANGES, 0, 1, range, range - 1,
       STATUS_BUFFER_TOO_SMALL, 0},
      {"ranges: a directory", "\\d", FSCTL_QUERY_ALLOCATED_RANGES, 0, 1, range, 64,
       STATUS_INVALID_PARAMETER, 0},
      {"oplock", "\\f", FSCTL_REQUEST_OPLOCK, 0, 0, 0, 64, STATUS_INVALID_DEVICE_REQUEST, 0},
      {"filter oplock", "\\f", FSCTL_REQUEST_FILTER_OPLOCK, 0, 0, 0, 0,
       STATUS_INVALID_DEVICE_REQUEST, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    File f = client_.MustOpen(row.path);
    FILE_ALLOCATED_RANGE_BUFFER in{}, out[4] = {};
    in.FileOffset.QuadPart = row.offset;
    in.Length.QuadPart = row.length;
    IO_STATUS_BLOCK iosb{};
    EXPECT_EQ(NtFsControlFile(f.handle(), nullptr, nullptr, nullptr, &iosb, row.code, &in,
                              row.inLength, out, row.outLength),
              row.status);
    EXPECT_EQ(iosb.Information, row.information);
    if (row.information != 0) {
      EXPECT_EQ(out[0].FileOffset.QuadPart, row.offset);
      EXPECT_EQ(out[0].Length.QuadPart, row.length);
    }
  }
}

TEST_F(VolumeInfoTest, ControlCodes) {
  File f = client_.MustCreateFile("\\f");
  IO_STATUS_BLOCK iosb{};
  UCHAR out[64];
  EXPECT_EQ(NtFsControlFile(f.handle(), nullptr, nullptr, nullptr, &iosb, FSCTL_GET_REPARSE_POINT,
                            nullptr, 0, out, sizeof(out)),
            STATUS_NOT_A_REPARSE_POINT);
  EXPECT_EQ(NtFsControlFile(f.handle(), nullptr, nullptr, nullptr, &iosb,
                            CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 999, METHOD_BUFFERED, 0), nullptr, 0,
                            out, sizeof(out)),
            STATUS_INVALID_DEVICE_REQUEST);

  auto volume = client_.Open("");
  ASSERT_EQ(volume.status, STATUS_SUCCESS);
  const std::u16string device = u"\\Device\\HarddiskVolume2";
  MOUNTDEV_NAME small{};
  const HANDLE v = volume.file.handle();
  ASSERT_EQ(
      NtDeviceIoControlFile(v, nullptr, nullptr, nullptr, &iosb, IOCTL_MOUNTDEV_QUERY_DEVICE_NAME,
                            nullptr, 0, &small, sizeof(small)),
      STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(small.NameLength, device.size() * 2);
  EXPECT_EQ(iosb.Information, sizeof(MOUNTDEV_NAME));
  std::vector<UCHAR> big(sizeof(USHORT) + small.NameLength);
  ASSERT_EQ(
      NtDeviceIoControlFile(v, nullptr, nullptr, nullptr, &iosb, IOCTL_MOUNTDEV_QUERY_DEVICE_NAME,
                            nullptr, 0, big.data(), static_cast<ULONG>(big.size())),
      STATUS_SUCCESS);
  const auto* name = reinterpret_cast<const MOUNTDEV_NAME*>(big.data());
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(name->Name), name->NameLength / 2),
            device);
  EXPECT_EQ(iosb.Information, big.size());
  EXPECT_EQ(NtDeviceIoControlFile(v, nullptr, nullptr, nullptr, &iosb,
                                  IOCTL_MOUNTDEV_QUERY_DEVICE_NAME, nullptr, 0, big.data(), 1),
            STATUS_INVALID_PARAMETER);
}

TEST_F(VolumeInfoTest, SecurityIsInheritedQueriedAndSet) {
  client_.Mkdir("\\d");
  File f = client_.MustCreateFile("\\d\\f");
  IO_STATUS_BLOCK iosb{};
  const SECURITY_INFORMATION all =
      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  UCHAR tiny[8];
  ULONG needed = 0;
  ASSERT_EQ(NtQuerySecurityObject(f.handle(), all, tiny, sizeof(tiny), &needed),
            STATUS_BUFFER_TOO_SMALL);
  ASSERT_GT(needed, sizeof(tiny));
  std::vector<UCHAR> sd(needed);
  ULONG returned = 0;
  ASSERT_EQ(NtQuerySecurityObject(f.handle(), all, sd.data(), needed, &returned), STATUS_SUCCESS);
  EXPECT_EQ(returned, needed);
  EXPECT_EQ(kernel::security::Bytes(sd.begin(), sd.end()),
            kernel::security::SelectParts(kernel::security::DefaultFileSecurity(), all));

  // Set a new owner; the rest stays.
  auto users = kernel::security::UsersSid();
  auto replacement = kernel::security::BuildSelfRelative(users, users, {});
  ASSERT_EQ(volume_->SetSecurity(f.fo(), OWNER_SECURITY_INFORMATION, replacement.data(), iosb),
            STATUS_SUCCESS);
  ASSERT_EQ(
      NtQuerySecurityObject(f.handle(), OWNER_SECURITY_INFORMATION, sd.data(), needed, &returned),
      STATUS_SUCCESS);
  const auto* rel = reinterpret_cast<const SECURITY_DESCRIPTOR_RELATIVE*>(sd.data());
  ASSERT_NE(rel->Owner, 0u);
  EXPECT_TRUE(RtlEqualSid(sd.data() + rel->Owner, users.data()));
  // A new child of the changed file's directory is unaffected.
  File g = client_.MustCreateFile("\\d\\g");
  ASSERT_EQ(
      NtQuerySecurityObject(g.handle(), OWNER_SECURITY_INFORMATION, sd.data(), needed, &returned),
      STATUS_SUCCESS);
  EXPECT_FALSE(RtlEqualSid(sd.data() + rel->Owner, users.data()));
}

// A machine reset with a handle still open: the reset drops the file object
// first, and the volume, going later, must not read it.
TEST(VolumeHarnessTest, ResetWithAnOpenHandleDropsTheOpenCleanly) {
  auto volume = harness::MountNewVolume(u'C');
  FileSpec spec;
  spec.path = u"\\left-open.txt";
  spec.contents = "x";
  ASSERT_EQ(volume->Populate({spec}), STATUS_SUCCESS);
  harness::OwnedUnicodeString name(std::string("\\??\\C:\\left-open.txt"));
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, name.get(), OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  IO_STATUS_BLOCK ioStatus{};
  HANDLE handle = nullptr;
  ASSERT_EQ(NtCreateFile(&handle, FILE_GENERIC_READ, &attributes, &ioStatus, nullptr, 0,
                         FILE_SHARE_READ, FILE_OPEN, 0, nullptr, 0),
            STATUS_SUCCESS);
  EXPECT_EQ(volume->OpenFileObjectCount(), 1u);
  kernel::ResetMachine();  // the handle is never closed
  volume.reset();          // frees the dropped open's FCB and CCB
}

// A host folder copied into the volume, under a folder and at the root:
// nested folders keep their place (host separators become backslashes),
// empty ones come too, contents are copied byte for byte; a missing host
// folder is refused.
TEST_F(VolumeTest, PopulateFromHostCopiesTheTree) {
  const std::filesystem::path host =
      std::filesystem::temp_directory_path() / ("tavo-populate-" + std::to_string(::getpid()));
  std::filesystem::remove_all(host);
  std::filesystem::create_directories(host / "docs" / "sub");
  std::filesystem::create_directories(host / "empty");
  std::ofstream(host / "docs" / "sub" / "a.txt", std::ios::binary) << std::string("a\0b", 3);
  std::ofstream(host / "top.txt", std::ios::binary) << "top";

  ASSERT_EQ(volume_->PopulateFromHost(host, u"\\cache"), STATUS_SUCCESS);
  ASSERT_EQ(volume_->PopulateFromHost(host), STATUS_SUCCESS);
  EXPECT_EQ(volume_->DumpTree(),
            "\\\n"
            "\\cache\\\n"
            "\\cache\\docs\\\n"
            "\\cache\\docs\\sub\\\n"
            "\\cache\\docs\\sub\\a.txt size=3 attr=A\n"
            "\\cache\\empty\\\n"
            "\\cache\\top.txt size=3 attr=A\n"
            "\\docs\\\n"
            "\\docs\\sub\\\n"
            "\\docs\\sub\\a.txt size=3 attr=A\n"
            "\\empty\\\n"
            "\\top.txt size=3 attr=A\n");
  EXPECT_EQ(client_.ReadAll(client_.MustOpen("\\cache\\docs\\sub\\a.txt")), std::string("a\0b", 3));
  EXPECT_EQ(client_.ReadAll(client_.MustOpen("\\top.txt")), "top");
  EXPECT_EQ(volume_->PopulateFromHost(host / "missing"), STATUS_OBJECT_PATH_NOT_FOUND);
  // A file that cannot be read (a link to nothing; a process's memory file,
  // whose read at offset 0 fails) fails the copy instead of arriving empty.
  for (const char* target : {"nowhere", "/proc/self/mem"}) {
    std::filesystem::create_directories(host / "bad");
    std::filesystem::create_symlink(target, host / "bad" / "unreadable");
    EXPECT_EQ(volume_->PopulateFromHost(host / "bad", u"\\bad"), STATUS_UNSUCCESSFUL) << target;
    std::filesystem::remove_all(host / "bad");
  }
  std::filesystem::remove_all(host);
}

TEST(VolumeConcurrencyTest, ThreadsCreateEnumerateAndDeleteInOneDirectory) {
  auto volume = harness::MountNewVolume(u'C');
  Client setup(volume);
  setup.Mkdir("\\shared");
  std::atomic<int> failures{0};
  auto worker = [&](int id) {
    Client client(volume);
    for (int i = 0; i < 200; ++i) {
      const std::string path = "\\shared\\t" + std::to_string(id) + "-" + std::to_string(i);
      auto r = client.Open(path, {.access = FILE_GENERIC_READ | FILE_GENERIC_WRITE | DELETE,
                                  .disposition = FILE_CREATE,
                                  .options = FILE_DELETE_ON_CLOSE});
      if (r.status != STATUS_SUCCESS || client.Write(r.file, "x") != STATUS_SUCCESS) failures++;
      if (i % 20 == 0) client.List("\\shared");
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) threads.emplace_back(worker, t);
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(setup.List("\\shared"), (std::vector<std::string>{".", ".."}));
  EXPECT_EQ(volume->OpenFileObjectCount(), 0u);
}

}  // namespace
}  // namespace sim::fs::testing
