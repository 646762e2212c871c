// Stat-type queries on server-only items end to end, with and without a
// handle: the driver answers from what the agent reported, the same both
// ways, with nothing downloaded. (The records' layout, the name and the
// security borrowed from the backend area are the served-operations tests'.)
#include <ntapi.h>

#include <filesystem>

#include "e2e_fixture.h"
#include "harness/processes.h"
#include "harness/strings.h"

namespace tavo::e2e {
namespace {

TEST_F(EndToEndTest, ServerItemsAreDescribedWithoutADownload) {
  struct Case {
    const char16_t* rest;
    bool directory;
    LONGLONG size;
  };
  const std::string notes = ServerFile("docs/notes.txt");
  for (const Case& c : {Case{u"docs\\notes.txt", false, static_cast<LONGLONG>(notes.size())},
                        Case{u"docs", true, 0}}) {
    const std::u16string path = View(c.rest);
    sim::harness::RunAs(explorer_, [&] {
      // Without a handle: the fast query open is refused and comes again as
      // a create the driver serves.
      sim::harness::OwnedUnicodeString name(path);
      OBJECT_ATTRIBUTES attributes;
      InitializeObjectAttributes(&attributes, name.get(), OBJ_CASE_INSENSITIVE, nullptr, nullptr);
      FILE_NETWORK_OPEN_INFORMATION full{};
      ASSERT_EQ(NtQueryFullAttributesFile(&attributes, &full), STATUS_SUCCESS);
      EXPECT_EQ((full.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0, c.directory);
      if (!c.directory) {
        EXPECT_EQ(full.EndOfFile.QuadPart, c.size);
      }
      EXPECT_NE(full.LastWriteTime.QuadPart, 0);

      HANDLE handle = nullptr;
      IO_STATUS_BLOCK iosb{};
      ASSERT_EQ(
          NtCreateFile(&handle, FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE, &attributes,
                       &iosb, nullptr, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0),
          STATUS_SUCCESS);
      FILE_BASIC_INFORMATION basic{};
      ASSERT_EQ(NtQueryInformationFile(handle, &iosb, &basic, sizeof(basic), FileBasicInformation),
                STATUS_SUCCESS);
      EXPECT_EQ(basic.LastWriteTime.QuadPart, full.LastWriteTime.QuadPart);
      EXPECT_EQ(basic.FileAttributes, full.FileAttributes);
      FILE_STANDARD_INFORMATION standard{};
      ASSERT_EQ(NtQueryInformationFile(handle, &iosb, &standard, sizeof(standard),
                                       FileStandardInformation),
                STATUS_SUCCESS);
      EXPECT_EQ(standard.EndOfFile.QuadPart, full.EndOfFile.QuadPart);
      NtClose(handle);
    });
  }
  EXPECT_FALSE(BackendHas(u"docs\\notes.txt"));
  EXPECT_EQ(agent_->counters().downloads, 0u);
}

}  // namespace
}  // namespace tavo::e2e
