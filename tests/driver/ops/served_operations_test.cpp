// Every operation on every kind of handle: the driver's own (the merged-view
// root, server-only files and folders) are answered or refused and never
// reach the file system; local copies and files outside the view pass down.
// Then the answers themselves: information records from the entry, the
// backend name rewrite, security borrowed from the backend area.
#include <mountdev.h>

#include <cstring>
#include <optional>

#include "allocation_sweep.h"
#include "harness/cache_manager.h"
#include "harness/pool.h"
#include "harness/shutdown.h"
#include "verifier/faults.h"
#include "served_fixture.h"

namespace tavo::testing {
namespace {

struct Handle {
  const char* name;
  std::u16string path;
  bool served;  // the driver answers for it
  bool folder;
};

const Handle kHandles[] = {
    {"merged-view root", kView, true, true},
    {"server-only file", kServerFile, true, false},
    {"server-only folder", kServerFolder, true, true},
    {"local copy through the view", InView(u"\\local.txt"), false, false},
    {"backend file opened directly", kBackend + u"\\local.txt", false, false},
    {"file outside the view", kOutside, false, false},
};

struct Row {
  const char* what;
  NTSTATUS served;  // on the driver's own handles
  NTSTATUS passed;  // on a local file, from the file system
  std::function<NTSTATUS(HANDLE)> call;
  std::optional<NTSTATUS> servedFolder = {};  // on the root and server folders, when it differs
};

NTSTATUS Control(HANDLE h, bool fs, ULONG code, ULONG outputLength = 256) {
  IO_STATUS_BLOCK iosb{};
  std::vector<UCHAR> out(outputLength);
  return fs ? NtFsControlFile(h, nullptr, nullptr, nullptr, &iosb, code, nullptr, 0, out.data(),
                              outputLength)
            : NtDeviceIoControlFile(h, nullptr, nullptr, nullptr, &iosb, code, nullptr, 0,
                                    out.data(), outputLength);
}

TEST_F(ServedOperationsTest, EveryOperationOnEveryKindOfHandle) {
  const Row rows[] = {
      {"read", STATUS_NOT_IMPLEMENTED, STATUS_SUCCESS,
       [](HANDLE h) {
         char byte;
         IO_STATUS_BLOCK iosb{};
         LARGE_INTEGER offset{};
         return NtReadFile(h, nullptr, nullptr, nullptr, &iosb, &byte, 1, &offset, nullptr);
       }},
      {"write at the end", STATUS_NOT_IMPLEMENTED, STATUS_SUCCESS,
       [](HANDLE h) {
         char byte = 'x';
         IO_STATUS_BLOCK iosb{};
         LARGE_INTEGER offset;
         offset.QuadPart = -1;  // FILE_WRITE_TO_END_OF_FILE
         return NtWriteFile(h, nullptr, nullptr, nullptr, &iosb, &byte, 1, &offset, nullptr);
       }},
      {"flush", STATUS_NOT_IMPLEMENTED, STATUS_SUCCESS,
       [](HANDLE h) {
         IO_STATUS_BLOCK iosb{};
         return NtFlushBuffersFile(h, &iosb);
       }},
      {"query EA", STATUS_NOT_IMPLEMENTED, STATUS_EAS_NOT_SUPPORTED,
       [](HANDLE h) {
         ULONG buffer[16] = {};
         IO_STATUS_BLOCK iosb{};
         return NtQueryEaFile(h, &iosb, buffer, sizeof(buffer), FALSE, nullptr, 0, nullptr, TRUE);
       }},
      {"set EA", STATUS_NOT_IMPLEMENTED, STATUS_EAS_NOT_SUPPORTED,
       [](HANDLE h) {
         ULONG buffer[16] = {};
         IO_STATUS_BLOCK iosb{};
         return NtSetEaFile(h, &iosb, buffer, sizeof(buffer));
       }},
      {"lock", STATUS_NOT_IMPLEMENTED, STATUS_SUCCESS,
       [](HANDLE h) {
         IO_STATUS_BLOCK iosb{};
         LARGE_INTEGER offset{}, length;
         length.QuadPart = 1;
         return NtLockFile(h, nullptr, nullptr, nullptr, &iosb, &offset, &length, 0, TRUE, TRUE);
       }},
      {"unlock", STATUS_NOT_IMPLEMENTED, STATUS_SUCCESS,
       [](HANDLE h) {
         IO_STATUS_BLOCK iosb{};
         LARGE_INTEGER offset{}, length;
         length.QuadPart = 1;
         return NtUnlockFile(h, &iosb, &offset, &length, 0);
       }},
      {"memory mapping", STATUS_NOT_IMPLEMENTED, STATUS_SUCCESS,
       [](HANDLE h) {
         HANDLE section = nullptr;
         const NTSTATUS status = NtCreateSection(&section, SECTION_MAP_READ, nullptr, nullptr,
                                                 PAGE_READONLY, SEC_COMMIT, h);
         if (section != nullptr) NtClose(section);
         return status;
       }},
      // Stat-type queries, offered as fast I/O first: refused there, they
      // come again as IRPs the driver answers.
      {"basic information", STATUS_SUCCESS, STATUS_SUCCESS,
       [](HANDLE h) {
         FILE_BASIC_INFORMATION basic{};
         IO_STATUS_BLOCK iosb{};
         return NtQueryInformationFile(h, &iosb, &basic, sizeof(basic), FileBasicInformation);
       }},
      {"network-open information", STATUS_SUCCESS, STATUS_SUCCESS,
       [](HANDLE h) {
         FILE_NETWORK_OPEN_INFORMATION info{};
         IO_STATUS_BLOCK iosb{};
         return NtQueryInformationFile(h, &iosb, &info, sizeof(info), FileNetworkOpenInformation);
       }},
      {"get reparse point", STATUS_NOT_A_REPARSE_POINT, STATUS_NOT_A_REPARSE_POINT,
       [](HANDLE h) { return Control(h, true, FSCTL_GET_REPARSE_POINT); }},
      {"read USN data", STATUS_SUCCESS, STATUS_INVALID_DEVICE_REQUEST,
       [](HANDLE h) { return Control(h, true, FSCTL_READ_FILE_USN_DATA); }},
      {"another FSCTL", STATUS_INVALID_PARAMETER, STATUS_INVALID_DEVICE_REQUEST,
       [](HANDLE h) { return Control(h, true, FSCTL_REQUEST_FILTER_OPLOCK); }},
      {"device name", STATUS_SUCCESS, STATUS_SUCCESS,
       [](HANDLE h) { return Control(h, false, IOCTL_MOUNTDEV_QUERY_DEVICE_NAME); }},
      {"another device control", STATUS_INVALID_PARAMETER, STATUS_INVALID_DEVICE_REQUEST,
       [](HANDLE h) {
         return Control(h, false,
                        CTL_CODE(MOUNTDEVCONTROLTYPE, 0, METHOD_BUFFERED, FILE_ANY_ACCESS));
       }},
      {"volume size", STATUS_SUCCESS, STATUS_SUCCESS,
       [](HANDLE h) {
         FILE_FS_SIZE_INFORMATION size{};
         IO_STATUS_BLOCK iosb{};
         return NtQueryVolumeInformationFile(h, &iosb, &size, sizeof(size), FileFsSizeInformation);
       }},
      {"mod-write", STATUS_NOT_IMPLEMENTED, STATUS_SUCCESS,
       [](HANDLE h) { return sim::harness::WriteModifiedPages(h, 4096); }},
      {"cache flush", STATUS_NOT_IMPLEMENTED, STATUS_SUCCESS,
       [](HANDLE h) { return sim::harness::FlushCachedFile(h); }},
      // Listings of the driver's folders come from the client (here: an
      // empty folder); a file has none, on the file system as on the driver.
      {"list the folder", STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER,
       [](HANDLE h) {
         std::vector<UCHAR> buffer(512);
         IO_STATUS_BLOCK iosb{};
         return NtQueryDirectoryFile(h, nullptr, nullptr, nullptr, &iosb, buffer.data(),
                                     static_cast<ULONG>(buffer.size()), FileDirectoryInformation,
                                     FALSE, nullptr, TRUE);
       },
       STATUS_NO_MORE_FILES},
      {"change notification", STATUS_NOT_IMPLEMENTED, STATUS_INVALID_PARAMETER,
       [](HANDLE h) {
         std::vector<UCHAR> buffer(512);
         IO_STATUS_BLOCK iosb{};
         return NtNotifyChangeDirectoryFile(h, nullptr, nullptr, nullptr, &iosb, buffer.data(),
                                            static_cast<ULONG>(buffer.size()),
                                            FILE_NOTIFY_CHANGE_FILE_NAME, FALSE);
       }},
      {"MDL read", STATUS_NOT_IMPLEMENTED, STATUS_SUCCESS,
       [](HANDLE h) {
         PMDL mdl = nullptr;
         IO_STATUS_BLOCK iosb{};
         NTSTATUS status = sim::harness::MdlRead(h, 0, 1, &mdl, &iosb);
         if (mdl != nullptr) sim::harness::MdlReadComplete(h, mdl);
         return status;
       }},
  };
  client_->OnRequest(protocol::kRequestDirectoryListing, ScriptedAnswer::Now(STATUS_NO_MORE_FILES));
  for (const Handle& handle : kHandles) {
    OpenResult opened = Open(handle.path,
                             handle.path == kView ? FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES |
                                                        FILE_READ_EA | FILE_WRITE_EA
                                                  : kSweepAccess,
                             FILE_OPEN);
    ASSERT_EQ(opened.status, STATUS_SUCCESS) << handle.name;
    for (const Row& row : rows) {
      const NTSTATUS status = As(opened, [&] { return row.call(opened.handle); });
      const bool folder = handle.folder;
      // Data requests on a folder are refused by the I/O manager or the
      // file system before any question of who serves it.
      if (!handle.served) {
        EXPECT_EQ(status, row.passed) << handle.name << ": " << row.what;
      } else if (!folder || row.served != STATUS_NOT_IMPLEMENTED ||
                 status != STATUS_ACCESS_DENIED) {
        const NTSTATUS expected = folder ? row.servedFolder.value_or(row.served) : row.served;
        EXPECT_EQ(status, expected) << handle.name << ": " << row.what;
      }
    }
    Close(opened);
  }
}

// Shutdown carries no file object: the driver lets it pass, asks the client
// nothing, and its handles go on working.
TEST_F(ServedOperationsTest, ShutdownLeavesServedHandlesAndTheClientAlone) {
  OpenResult file = Opened(kServerFile, kSweepAccess, FILE_OPEN);
  const std::size_t requests = client_->Requests().size();
  sim::harness::ShutDownSystem();
  EXPECT_EQ(client_->Requests().size(), requests);
  FILE_BASIC_INFORMATION basic{};
  EXPECT_EQ(Query(file, &basic, sizeof(basic), FileBasicInformation), STATUS_SUCCESS);
  Close(file);
}

TEST_F(ServedOperationsTest, VirtualItemRecordsComeFromTheEntry) {
  OpenResult file = Opened(kServerFile, FILE_READ_ATTRIBUTES, FILE_OPEN);
  OpenHandleEntry* entry = EntryOf(kServerFile);
  ASSERT_NE(entry, nullptr);
  entry->DeletePending = 1;  // never reported

  EXPECT_EQ(std::memcmp(entry->Signature, "Tavo", 4), 0);

  // The server gives one time for the last write, access and change.
  FILE_BASIC_INFORMATION basic{};
  ASSERT_EQ(Query(file, &basic, sizeof(basic), FileBasicInformation), STATUS_SUCCESS);
  EXPECT_EQ(basic.CreationTime.QuadPart, entry->CreationTime);
  EXPECT_EQ(basic.LastAccessTime.QuadPart, entry->LastWriteTime);
  EXPECT_EQ(basic.LastWriteTime.QuadPart, entry->LastWriteTime);
  EXPECT_EQ(basic.ChangeTime.QuadPart, entry->LastWriteTime);
  EXPECT_EQ(basic.FileAttributes, entry->FileAttributes);
  FILE_STANDARD_INFORMATION standard{};
  ASSERT_EQ(Query(file, &standard, sizeof(standard), FileStandardInformation), STATUS_SUCCESS);
  EXPECT_EQ(standard.EndOfFile.QuadPart, 12);
  EXPECT_EQ(standard.DeletePending, FALSE);
  EXPECT_EQ(standard.Directory, FALSE);
  EXPECT_EQ(standard.NumberOfLinks, 1u);
  FILE_INTERNAL_INFORMATION internal{};
  ASSERT_EQ(Query(file, &internal, sizeof(internal), FileInternalInformation), STATUS_SUCCESS);
  EXPECT_EQ(internal.IndexNumber.QuadPart, 1);
  FILE_NETWORK_OPEN_INFORMATION network{};
  ASSERT_EQ(Query(file, &network, sizeof(network), FileNetworkOpenInformation), STATUS_SUCCESS);
  EXPECT_EQ(network.EndOfFile.QuadPart, 12);
  EXPECT_EQ(network.LastWriteTime.QuadPart, entry->LastWriteTime);

  // Every size from 0 to past each record: the record whole, or nothing
  // written and no byte past the buffer. The I/O manager refuses a user
  // buffer shorter than the class's record before any filter sees it (the
  // request then carries a system buffer, which the caller cannot rewrite
  // meanwhile).
  struct Record {
    FILE_INFORMATION_CLASS infoClass;
    ULONG size;
  };
  for (const Record& record :
       {Record{FileBasicInformation, 40}, Record{FileStandardInformation, 24},
        Record{FileInternalInformation, 8}, Record{FileNetworkOpenInformation, 56}}) {
    for (ULONG length = 0; length <= record.size + 8; ++length) {
      // Aligned as the I/O manager demands, with guard bytes on both sides.
      std::vector<ULONGLONG> storage((length + 24) / 8 + 1);
      std::memset(storage.data(), 0xCC, storage.size() * 8);
      auto* bytes = reinterpret_cast<UCHAR*>(storage.data());
      ULONG_PTR information = 0;
      const NTSTATUS status = Query(file, bytes + 8, length, record.infoClass, &information);
      if (length >= record.size) {
        EXPECT_EQ(status, STATUS_SUCCESS) << record.infoClass << "/" << length;
      } else {
        EXPECT_EQ(status, STATUS_INFO_LENGTH_MISMATCH) << record.infoClass << "/" << length;
      }
      for (ULONG i = 0; i < storage.size() * 8; ++i) {
        if (i < 8 || i >= length + 8) {
          ASSERT_EQ(bytes[i], 0xCC) << length;
        }
      }
    }
  }
  ULONG_PTR information = 0;
  UCHAR big[256];
  // A misaligned buffer is refused before anyone writes to it.
  std::vector<ULONGLONG> aligned(8, ~0ull);
  auto* odd = reinterpret_cast<UCHAR*>(aligned.data()) + 1;
  EXPECT_EQ(Query(file, odd, 40, FileBasicInformation), STATUS_DATATYPE_MISALIGNMENT);
  for (ULONGLONG word : aligned) EXPECT_EQ(word, ~0ull);
  EXPECT_EQ(Query(file, big, sizeof(big), FileAllInformation, &information),
            STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(Query(file, big, sizeof(big), FileAttributeTagInformation, &information),
            STATUS_NOT_IMPLEMENTED);
  entry->DeletePending = 0;
  Close(file);

  OpenResult folder = Opened(kServerFolder, FILE_READ_ATTRIBUTES, FILE_OPEN);
  ASSERT_EQ(Query(folder, &standard, sizeof(standard), FileStandardInformation), STATUS_SUCCESS);
  EXPECT_EQ(standard.Directory, TRUE);
  Close(folder);
}

TEST_F(ServedOperationsTest, NameOfAVirtualItemIsItsPathWholeOrInPart) {
  OpenResult file = Opened(kServerFile, FILE_READ_ATTRIBUTES, FILE_OPEN);
  const ULONG pathBytes = static_cast<ULONG>(kServerFile.size() * 2);
  for (ULONG length = 0; length <= pathBytes + 12; ++length) {
    std::vector<UCHAR> buffer(length + 8, 0xCC);
    ULONG_PTR information = 0;
    const NTSTATUS status = Query(file, buffer.data(), length, FileNameInformation, &information);
    for (ULONG i = length; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0xCC) << length;
    if (length < 8) {
      // The I/O manager refuses a buffer smaller than the fixed part.
      EXPECT_EQ(status, STATUS_INFO_LENGTH_MISMATCH) << length;
      continue;
    }
    auto* record = reinterpret_cast<FILE_NAME_INFORMATION*>(buffer.data());
    if (length < pathBytes + 8) {
      EXPECT_EQ(status, STATUS_BUFFER_OVERFLOW) << length;
      EXPECT_EQ(information, length);
      EXPECT_EQ(record->FileNameLength, length - 8);
    } else {
      EXPECT_EQ(status, STATUS_SUCCESS);
      EXPECT_EQ(information, pathBytes + 8);
      ASSERT_EQ(record->FileNameLength, pathBytes);
    }
    EXPECT_EQ(std::memcmp(record->FileName, kServerFile.data(), record->FileNameLength), 0);
  }
  Close(file);
}

TEST_F(ServedOperationsTest, LocalCopyReportsItsMergedViewName) {
  OpenResult local = Opened(InView(u"\\local.txt"), FILE_READ_ATTRIBUTES, FILE_OPEN);
  const std::u16string viewName = u"\\Users\\ann\\Tavo\\local.txt";
  const ULONG needed = static_cast<ULONG>(viewName.size() * 2 + 8);
  for (FILE_INFORMATION_CLASS infoClass : {FileNameInformation, FileNormalizedNameInformation}) {
    std::vector<UCHAR> buffer(512, 0);
    ULONG_PTR information = 0;
    ASSERT_EQ(Query(local, buffer.data(), 512, infoClass, &information), STATUS_SUCCESS);
    auto* record = reinterpret_cast<FILE_NAME_INFORMATION*>(buffer.data());
    EXPECT_EQ(Utf8Of(record->FileName, record->FileNameLength), sim::harness::ToUtf8(viewName));
    EXPECT_EQ(information, needed);
    // Room for the backend name but not the merged-view one, and room for
    // neither: no byte of the backend path is left for the caller.
    // Also room for BackendRoot and part of the name after it, and an odd
    // length.
    for (ULONG length : {needed - 2, 20u, 70u, 81u}) {
      std::vector<UCHAR> small(length, 0);
      const NTSTATUS status = Query(local, small.data(), length, infoClass, &information);
      EXPECT_TRUE(status == STATUS_BUFFER_TOO_SMALL || status == STATUS_BUFFER_OVERFLOW);
      const std::string text(small.begin(), small.end());
      EXPECT_EQ(text.find("A\0p\0p\0D\0a\0t\0a", 0, 14), std::string::npos) << length;
    }
    // A caller that sizes its buffer from the length an overflow reports
    // gets the name on the retry, though the backend name is the longer.
    std::vector<ULONGLONG> first(1);
    ASSERT_EQ(Query(local, first.data(), 8, infoClass), STATUS_BUFFER_OVERFLOW);
    const ULONG retry = FIELD_OFFSET(FILE_NAME_INFORMATION, FileName) +
                        reinterpret_cast<FILE_NAME_INFORMATION*>(first.data())->FileNameLength;
    std::vector<ULONGLONG> second(retry / 8 + 1);
    EXPECT_EQ(Query(local, second.data(), retry, infoClass), STATUS_SUCCESS);
  }
  // The name that ends the all-information record is rewritten too.
  std::vector<ULONGLONG> all(64);
  ASSERT_EQ(Query(local, all.data(), 512, FileAllInformation), STATUS_SUCCESS);
  const auto& allName = reinterpret_cast<FILE_ALL_INFORMATION*>(all.data())->NameInformation;
  EXPECT_EQ(Utf8Of(allName.FileName, allName.FileNameLength), sim::harness::ToUtf8(viewName));
  FILE_BASIC_INFORMATION basic{};
  EXPECT_EQ(Query(local, &basic, sizeof(basic), FileBasicInformation), STATUS_SUCCESS);
  EXPECT_EQ(basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
  Close(local);
}

TEST_F(ServedOperationsTest, SecurityIsBorrowedFromTheBackendArea) {
  OpenResult file = Opened(kServerFile, FILE_READ_ATTRIBUTES | READ_CONTROL, FILE_OPEN);
  EXPECT_TRUE(Sent(protocol::kRequestDownload).empty());
  ULONG needed = 0;
  const NTSTATUS small = QuerySecurity(file, 0, &needed);
  EXPECT_TRUE(small == STATUS_BUFFER_OVERFLOW || small == STATUS_BUFFER_TOO_SMALL);
  ASSERT_GT(needed, 0u);
  ULONG got = 0;
  EXPECT_EQ(QuerySecurity(file, needed, &got), STATUS_SUCCESS);
  EXPECT_EQ(got, needed);
  // The first query on a file made its source next to BackendRoot.
  EXPECT_TRUE(VolumeHas(u"\\Users\\ann\\AppData\\Local\\Tavo\\catxt"));
  Close(file);

  OpenResult folder = Opened(kServerFolder, FILE_READ_ATTRIBUTES | READ_CONTROL, FILE_OPEN);
  EXPECT_EQ(QuerySecurity(folder, 256, &got), STATUS_SUCCESS);
  Close(folder);
  OpenResult root = Opened(kView, FILE_READ_ATTRIBUTES | READ_CONTROL, FILE_OPEN);
  EXPECT_EQ(QuerySecurity(root, 256, &got), STATUS_SUCCESS);
  Close(root);
}

// A device-name answer that would not fit is not written; a buffer that
// holds the fixed record learns the length needed. Information stays
// within the caller's buffer.
TEST_F(ServedOperationsTest, ShortDeviceNameBufferGetsTheLengthAtMost) {
  OpenResult file = Opened(kServerFile, FILE_READ_ATTRIBUTES, FILE_OPEN);
  const ULONG rootBytes = static_cast<ULONG>(kView.size() * 2);
  for (ULONG length : {0u, 3u, 4u, 10u, rootBytes - 1, rootBytes}) {
    std::vector<UCHAR> out(length + 8, 0xCC);
    IO_STATUS_BLOCK iosb{};
    const NTSTATUS status = As(file, [&] {
      return NtDeviceIoControlFile(file.handle, nullptr, nullptr, nullptr, &iosb,
                                   IOCTL_MOUNTDEV_QUERY_DEVICE_NAME, nullptr, 0, out.data(),
                                   length);
    });
    if (length < sizeof(MOUNTDEV_NAME)) {
      EXPECT_EQ(status, STATUS_BUFFER_OVERFLOW) << length;
      EXPECT_EQ(iosb.Information, 0u) << length;
      for (UCHAR byte : out) ASSERT_EQ(byte, 0xCC) << length;
    } else if (length < rootBytes) {
      EXPECT_EQ(status, STATUS_BUFFER_OVERFLOW) << length;
      EXPECT_EQ(iosb.Information, sizeof(MOUNTDEV_NAME)) << length;
      EXPECT_EQ(reinterpret_cast<MOUNTDEV_NAME*>(out.data())->NameLength,
                std::char_traits<char16_t>::length(kVolumeDevice) * 2);
      for (ULONG i = sizeof(MOUNTDEV_NAME); i < out.size(); ++i) ASSERT_EQ(out[i], 0xCC) << length;
    } else {
      ASSERT_EQ(status, STATUS_SUCCESS);
      auto* name = reinterpret_cast<MOUNTDEV_NAME*>(out.data());
      EXPECT_EQ(Utf8Of(name->Name, name->NameLength), sim::harness::ToUtf8(kVolumeDevice));
      EXPECT_EQ(iosb.Information, 2u + name->NameLength);
    }
  }
  Close(file);
}

// A BackendRoot of fewer than three characters gives a file no security
// source (and a folder's cannot be opened): the query is refused.
TEST_F(ServedOperationsTest, ShortBackendRootLeavesNoSecuritySource) {
  ASSERT_EQ(client_->Channel().Configure(1, kView, u"\\D", kSecondary).hresult, S_OK);
  for (const std::u16string& path : {kServerFile, kServerFolder}) {
    OpenResult opened = Opened(path, FILE_READ_ATTRIBUTES | READ_CONTROL, FILE_OPEN);
    ULONG needed = 0;
    EXPECT_EQ(QuerySecurity(opened, 256, &needed), STATUS_NOT_IMPLEMENTED);
    Close(opened);
  }
}

// Pool running out at any allocation of the driver's during a security
// query of a virtual file, or the rewrite of a local copy's name: the
// query fails cleanly or is answered, and nothing leaks.
TEST_F(ServedOperationsTest, EveryAllocationFailureEndsCleanly) {
  using sim::faults::Site;
  const std::uint32_t tag = sim::harness::PoolTag("Tavo");
  OpenResult file = Open(kServerFile, FILE_READ_ATTRIBUTES | READ_CONTROL, FILE_OPEN);
  OpenResult local = Open(InView(u"\\local.txt"), FILE_READ_ATTRIBUTES, FILE_OPEN);
  ASSERT_EQ(file.status, STATUS_SUCCESS);
  ASSERT_EQ(local.status, STATUS_SUCCESS);
  struct Scenario {
    const char* what;
    std::function<NTSTATUS()> run;
  };
  const Scenario scenarios[] = {
      {"security of a virtual file",
       [&] {
         ULONG needed = 0;
         return QuerySecurity(file, 256, &needed);
       }},
      {"name of a local copy",
       [&] {
         UCHAR buffer[512] = {};
         const NTSTATUS status = Query(local, buffer, sizeof(buffer), FileNameInformation);
         // Not rewritten, the backend name is not shown either.
         const std::string text(reinterpret_cast<char*>(buffer), sizeof(buffer));
         EXPECT_EQ(text.find("A\0p\0p\0D\0a\0t\0a", 0, 14), std::string::npos);
         return status;
       }},
      {"name of a virtual file",
       [&] {
         UCHAR buffer[512] = {};
         return Query(file, buffer, sizeof(buffer), FileNameInformation);
       }},
  };
  for (const Scenario& scenario : scenarios) {
    EXPECT_GT(
        SweepAllocations(Site::PoolAllocation, tag,
                         [&](std::uint64_t nth) {
                           const NTSTATUS status = scenario.run();
                           EXPECT_TRUE(status == STATUS_SUCCESS ||
                                       (nth != 0 && (status == STATUS_INSUFFICIENT_RESOURCES ||
                                                     status == STATUS_NOT_IMPLEMENTED)))
                               << scenario.what << " " << nth << ": " << std::hex << status;
                         }),
        0u)
        << scenario.what;
  }
  Close(file);
  Close(local);
}

}  // namespace
}  // namespace tavo::testing
