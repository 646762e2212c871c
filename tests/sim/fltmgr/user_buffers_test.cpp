// Callers' buffers as the layers below see them: user-mode buffers probed
// for alignment before anything else; query and set information through a
// system buffer (the caller's pointer never reaches a filter); a directory
// listing in the caller's own memory, which a hostile program can rewrite
// while a filter works on it, or which is valid only through its MDL.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "harness/user_buffers.h"
#include "test_filter.h"

namespace tavo_test {
namespace {

class UserBuffers : public FilterTest {
 protected:
  void SetUp() override {
    FilterTest::SetUp();
    fs->AddDirectory(u"\\dir");
    fs->AddFile(u"\\dir\\a.txt", "a");
  }
  HANDLE OpenDir() {
    HANDLE dir = nullptr;
    EXPECT_EQ(Open("\\??\\C:\\dir", &dir,
                   FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE,
                   FILE_OPEN, FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT),
              STATUS_SUCCESS);
    return dir;
  }
};

// Query and set information are buffered besides: a filter sees a system
// buffer, and the answer reaches the caller's buffer when the request
// completes.
TEST_F(UserBuffers, MisalignedUserBuffersAreRefusedBeforeAnyFilter) {
  struct Case {
    const char* what;
    int call;  // 0 query, 1 set, 2 directory
    KPROCESSOR_MODE mode;
    size_t offset;
    NTSTATUS expected;
  };
  const Case cases[] = {
      {"query, aligned", 0, UserMode, 0, STATUS_SUCCESS},
      {"query, odd address", 0, UserMode, 1, STATUS_DATATYPE_MISALIGNMENT},
      {"query, 4 bytes off a class of 8", 0, UserMode, 4, STATUS_DATATYPE_MISALIGNMENT},
      {"set, odd address", 1, UserMode, 1, STATUS_DATATYPE_MISALIGNMENT},
      {"listing, odd address", 2, UserMode, 1, STATUS_DATATYPE_MISALIGNMENT},
      {"listing, 4 bytes off", 2, UserMode, 4, STATUS_SUCCESS},
      {"query from kernel mode, odd address", 0, KernelMode, 1, STATUS_SUCCESS},
  };
  int seen = 0;
  const void* seenBuffer = nullptr;
  for (UCHAR major : {IRP_MJ_QUERY_INFORMATION, IRP_MJ_SET_INFORMATION, IRP_MJ_DIRECTORY_CONTROL}) {
    Slot(0).pre[major] = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID*) {
      ++seen;
      if (data->Iopb->MajorFunction == IRP_MJ_QUERY_INFORMATION)
        seenBuffer = data->Iopb->Parameters.QueryFileInformation.InfoBuffer;
      return FLT_PREOP_SUCCESS_NO_CALLBACK;
    };
  }
  LoadTestFilter(0, 300000);
  HANDLE dir = OpenDir();
  alignas(16) std::uint8_t storage[600] = {};
  for (const Case& c : cases) {
    seen = 0;
    void* buffer = storage + c.offset;
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status;
    if (c.call == 0) {
      status = c.mode == UserMode
                   ? NtQueryInformationFile(dir, &iosb, buffer, sizeof(FILE_BASIC_INFORMATION),
                                            FileBasicInformation)
                   : ZwQueryInformationFile(dir, &iosb, buffer, sizeof(FILE_BASIC_INFORMATION),
                                            FileBasicInformation);
    } else if (c.call == 1) {
      status = NtSetInformationFile(dir, &iosb, buffer, sizeof(FILE_BASIC_INFORMATION),
                                    FileBasicInformation);
    } else {
      status = NtQueryDirectoryFile(dir, nullptr, nullptr, nullptr, &iosb, buffer, 512,
                                    FileNamesInformation, TRUE, nullptr, TRUE);
    }
    EXPECT_EQ(status, c.expected) << c.what;
    EXPECT_EQ(seen, c.expected == STATUS_DATATYPE_MISALIGNMENT ? 0 : 1) << c.what;
    if (c.call == 0 && c.mode == UserMode && NT_SUCCESS(status)) {
      EXPECT_NE(seenBuffer, buffer);
      EXPECT_EQ(
          static_cast<FILE_BASIC_INFORMATION*>(buffer)->FileAttributes & FILE_ATTRIBUTE_DIRECTORY,
          FILE_ATTRIBUTE_DIRECTORY);
    }
  }
  NtClose(dir);
}

// A hostile program rewrites its listing buffer while the request runs: a
// filter that reads the buffer twice sees the program's bytes the second
// time.
TEST_F(UserBuffers, AHostileProgramRewritesItsListingBufferDuringTheCall) {
  std::atomic<bool> rewritten{false};
  Slot(0).pre[IRP_MJ_DIRECTORY_CONTROL] = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS,
                                              PVOID*) {
    auto* bytes = static_cast<volatile std::uint8_t*>(
        data->Iopb->Parameters.DirectoryControl.QueryDirectory.DirectoryBuffer);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (bytes[0] != 0xAB && std::chrono::steady_clock::now() < deadline)
      std::this_thread::yield();
    rewritten = bytes[0] == 0xAB;
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
  };
  LoadTestFilter(0, 300000);
  HANDLE dir = OpenDir();
  sim::harness::user_buffers::SetDirectoryBufferRewrite(
      [](std::uint8_t* data, std::uint32_t length) { std::memset(data, 0xAB, length); }, 0);
  ULONG buffer[64] = {};
  IO_STATUS_BLOCK iosb{};
  NtQueryDirectoryFile(dir, nullptr, nullptr, nullptr, &iosb, buffer, sizeof(buffer),
                       FileNamesInformation, TRUE, nullptr, TRUE);
  sim::harness::user_buffers::ClearDirectoryBufferRewrite();
  EXPECT_TRUE(rewritten);
  NtClose(dir);
}

// The MDL-only mode: a filter that locks and maps the buffer writes the
// caller's bytes; one that dereferences DirectoryBuffer faults.
class MdlOnlyBuffers : public UserBuffers {
 protected:
  void SetUp() override {
    UserBuffers::SetUp();
    sim::harness::user_buffers::SetDirectoryBufferMdlOnly(true);
  }
  void TearDown() override {
    sim::harness::user_buffers::SetDirectoryBufferMdlOnly(false);
    UserBuffers::TearDown();
  }
  // Lists with a filter that completes the query after writing "ok" into
  // the buffer, through the MDL or through the raw pointer.
  std::string ListWithFilterWriting(bool throughMdl) {
    Slot(0).pre[IRP_MJ_DIRECTORY_CONTROL] = [throughMdl](PFLT_CALLBACK_DATA data,
                                                        PCFLT_RELATED_OBJECTS, PVOID*) {
      auto& q = data->Iopb->Parameters.DirectoryControl.QueryDirectory;
      void* buffer = q.DirectoryBuffer;
      if (throughMdl) {
        if (!NT_SUCCESS(FltLockUserBuffer(data))) return FLT_PREOP_SUCCESS_NO_CALLBACK;
        buffer = MmGetSystemAddressForMdlSafe(q.MdlAddress, NormalPagePriority);
      }
      std::memcpy(buffer, "ok", 2);
      data->IoStatus.Status = STATUS_SUCCESS;
      data->IoStatus.Information = 2;
      return FLT_PREOP_COMPLETE;
    };
    LoadTestFilter(0, 300000);
    HANDLE dir = OpenDir();
    char buffer[64] = {};
    IO_STATUS_BLOCK iosb{};
    NtQueryDirectoryFile(dir, nullptr, nullptr, nullptr, &iosb, buffer, sizeof(buffer),
                         FileNamesInformation, FALSE, nullptr, FALSE);
    NtClose(dir);
    return std::string(buffer, 2);
  }
};

TEST_F(MdlOnlyBuffers, AFilterReachesTheBufferThroughItsMdl) {
  EXPECT_EQ(ListWithFilterWriting(true), "ok");
  // Without a filter the file system fills it.
  Slot(0).pre[IRP_MJ_DIRECTORY_CONTROL] = nullptr;
  HANDLE dir = OpenDir();
  alignas(8) std::uint8_t listing[256] = {};
  IO_STATUS_BLOCK iosb{};
  EXPECT_EQ(NtQueryDirectoryFile(dir, nullptr, nullptr, nullptr, &iosb, listing, sizeof(listing),
                                 FileNamesInformation, FALSE, nullptr, TRUE),
            STATUS_SUCCESS);
  EXPECT_GT(iosb.Information, 0u);
  NtClose(dir);
}

TEST_F(MdlOnlyBuffers, AFilterThatDereferencesTheUserAddressFaults) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // Any death: a sanitizer reports the fault and exits, a plain build is
  // killed by SIGSEGV.
  EXPECT_DEATH(ListWithFilterWriting(false), "");
}

}  // namespace
}  // namespace tavo_test
