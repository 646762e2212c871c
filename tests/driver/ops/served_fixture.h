// Fixture of the tests of operations on the driver's own handles: a server
// file and folder, a local copy, and a file outside the view.
#pragma once

#include <ntapi.h>

#include "create_path_fixture.h"

namespace tavo::testing {

const std::u16string kServerFile = InView(u"\\report.docx");
const std::u16string kServerFolder = InView(u"\\Projects");
const std::u16string kOutside = std::u16string(kVolumeDevice) + u"\\Users\\ann\\notes.txt";

// Access that keeps a server-only item virtual yet lets the I/O manager send
// every request of the sweep.
constexpr ACCESS_MASK kSweepAccess =
    FILE_READ_DATA | FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | FILE_READ_EA | FILE_WRITE_EA;

// `bytes` bytes of UTF-16 text at `text`, as UTF-8 (for readable failures).
inline std::string Utf8Of(const WCHAR* text, ULONG bytes) {
  return sim::harness::ToUtf8(std::u16string(reinterpret_cast<const char16_t*>(text), bytes / 2));
}

class ServedOperationsTest : public CreatePathTest {
 protected:
  void SetUp() override {
    CreatePathTest::SetUp();
    AddServerItem(kServerFile, {false, "twelve bytes"});
    AddServerItem(kServerFolder, {true, {}});
    AddBackendFile(u"\\local.txt", "local");
    ASSERT_EQ(volume_->Populate({FileSpecOf(u"\\Users\\ann\\notes.txt", "notes")}), STATUS_SUCCESS);
  }

  template <class Call>
  auto As(const OpenResult& opened, Call&& call) {
    return sim::harness::RunAs(opened.processId, call);
  }

  // The name a filter above the driver gets for the handle's file object
  // (the query's status in `status`).
  std::string NameFromAbove(const OpenResult& opened, ULONG options, NTSTATUS* status) {
    PVOID object = nullptr;
    *status = As(opened, [&] {
      return ObReferenceObjectByHandle(opened.handle, 0, nullptr, KernelMode, &object, nullptr);
    });
    if (!NT_SUCCESS(*status)) return "<no file object>";
    PFLT_FILE_NAME_INFORMATION info = nullptr;
    *status =
        FltGetFileNameInformationUnsafe(static_cast<PFILE_OBJECT>(object), nullptr, options, &info);
    std::string name;
    if (info != nullptr) {
      name = sim::harness::ToUtf8(sim::harness::ToU16(info->Name));
      FltReleaseFileNameInformation(info);
    }
    ObDereferenceObject(object);
    return name;
  }

  // The owner part of the handle's security descriptor, into `length`
  // bytes of a buffer whose guard bytes after them must stay untouched.
  NTSTATUS QuerySecurity(const OpenResult& opened, ULONG length, ULONG* needed) {
    return As(opened, [&] {
      std::vector<UCHAR> buffer(length + 8, 0xCC);
      const NTSTATUS status = NtQuerySecurityObject(opened.handle, OWNER_SECURITY_INFORMATION,
                                                    buffer.data(), length, needed);
      for (ULONG i = length; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], 0xCC);
      return status;
    });
  }

  NTSTATUS Query(const OpenResult& opened, void* buffer, ULONG length,
                 FILE_INFORMATION_CLASS infoClass, ULONG_PTR* information = nullptr) {
    return As(opened, [&] {
      IO_STATUS_BLOCK iosb{};
      const NTSTATUS status =
          NtQueryInformationFile(opened.handle, &iosb, buffer, length, infoClass);
      if (information != nullptr) *information = iosb.Information;
      return status;
    });
  }
};

}  // namespace tavo::testing
