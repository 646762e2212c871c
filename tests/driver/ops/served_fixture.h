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

class ServedOperationsTest : public CreatePathTest {
 protected:
  void SetUp() override {
    CreatePathTest::SetUp();
    AddServerItem(kServerFile, {false, "twelve bytes"});
    AddServerItem(kServerFolder, {true, {}});
    AddBackendFile(u"\\local.txt", "local");
    sim::fs::FileSpec outside;
    outside.path = u"\\Users\\ann\\notes.txt";
    outside.contents = "notes";
    ASSERT_EQ(volume_->Populate({outside}), STATUS_SUCCESS);
  }

  template <class Call>
  auto As(const OpenResult& opened, Call&& call) {
    return sim::harness::RunAs(opened.processId, call);
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
