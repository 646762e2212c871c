// The requests a create sends: their payloads byte by byte, and the
// process-list verdict they carry.
#include "create_path_fixture.h"

namespace tavo::testing {
namespace {

using namespace protocol;

class ClientRequestsTest : public CreatePathTest {
 protected:
  void SetUp() override {
    CreatePathTest::SetUp();
    AddServerItem(file_, {false, "server bytes"});
  }
  const std::u16string file_ = InView(u"\\Budget.xlsx");
};

TEST_F(ClientRequestsTest, DataOpenDownloadsThenReadsTheLocalCopy) {
  const std::uint32_t notepad =
      sim::harness::CreateProcess("\\Device\\HarddiskVolume3\\Windows\\notepad.exe", 3);
  sim::harness::TakeDebugLines();
  OpenResult opened = Opened(file_, GENERIC_READ, FILE_OPEN, FILE_NON_DIRECTORY_FILE, notepad);
  EXPECT_EQ(ReadAll(opened), "server bytes");
  EXPECT_TRUE(Printed(sim::harness::TakeDebugLines(), "Process notepad.exe is requesting for Download"));

  const auto downloads = Sent(kRequestDownload);
  ASSERT_EQ(downloads.size(), 1u);
  const SentRequest& request = downloads[0];
  EXPECT_EQ(request.payload.size(), file_.size() * 2 + kDownloadRequestOverhead);
  EXPECT_EQ(request.U32(0), 3u);  // the requestor's session
  EXPECT_EQ(request.U32(4), 0u);  // allowed
  EXPECT_EQ(request.U32(8), 0u);  // a file
  EXPECT_EQ(TextOf(request.payload, 12, 24), std::u16string(u"notepad.exe\0", 12));
  // The rest of the process-name field is zero.
  for (std::size_t i = 12 + 24; i < 532; ++i) ASSERT_EQ(request.payload[i], 0) << i;
  EXPECT_EQ(request.U32(532), file_.size() * 2 + 2);
  EXPECT_EQ(request.Name(532, kDownloadNameOffset), file_);
  EXPECT_EQ(request.U32(request.payload.size() - 4), 0u);
  Close(opened);
}

TEST_F(ClientRequestsTest, BlockedProcessIsRefusedWhateverTheClientAnswers) {
  SetDownloadAnswer(1);
  OpenResult opened = Open(file_, GENERIC_READ, FILE_OPEN, 0, indexer_);
  EXPECT_EQ(opened.status, STATUS_ACCESS_DENIED);
  const auto downloads = Sent(kRequestDownload);
  ASSERT_EQ(downloads.size(), 1u);
  EXPECT_EQ(downloads[0].U32(4), 1u);  // NotAllowed
  EXPECT_EQ(TextOf(downloads[0].payload, 12, 22), u"indexer.exe");
  EXPECT_FALSE(VolumeHas(kBackendOnVolume + u"\\Budget.xlsx"));
}

TEST_F(ClientRequestsTest, UnreadableImageNameLeavesProcessNameEmpty) {
  // An image path longer than 255 characters does not fit the query buffer.
  const std::string longImage = "\\Device\\HarddiskVolume3\\" + std::string(250, 'x') + "\\tool.exe";
  const std::uint32_t tool = sim::harness::CreateProcess(longImage);
  sim::harness::TakeDebugLines();
  OpenResult opened = Opened(file_, GENERIC_READ, FILE_OPEN, 0, tool);
  EXPECT_TRUE(Printed(sim::harness::TakeDebugLines(), "ProcessImageFileName for process"));
  const auto downloads = Sent(kRequestDownload);
  ASSERT_EQ(downloads.size(), 1u);
  for (std::size_t i = 12; i < 532; ++i) ASSERT_EQ(downloads[0].payload[i], 0) << i;
  Close(opened);
}

TEST_F(ClientRequestsTest, CreatePathAndDeletePayloads) {
  struct Case {
    const char* what;
    std::u16string path;
    ULONG disposition;
    ULONG options;
    std::uint32_t type;
    std::size_t nameOffset, lengthOffset, overhead;
    std::uint32_t isDirectory;
  };
  const Case cases[] = {
      {"create of a folder", InView(u"\\New folder"), FILE_CREATE, FILE_DIRECTORY_FILE,
       kRequestCreatePath, kCreatePathNameOffset, 12, kCreatePathRequestOverhead, 1},
      {"create of a file", InView(u"\\notes.txt"), FILE_CREATE, FILE_NON_DIRECTORY_FILE,
       kRequestCreatePath, kCreatePathNameOffset, 12, kCreatePathRequestOverhead, 0},
      {"overwrite-if deletes the server item first", file_, FILE_OVERWRITE_IF, 0, kRequestDeleteItem,
       kDeleteNameOffset, 8, kDeleteRequestOverhead, 0},
  };
  for (const Case& c : cases) {
    const std::size_t before = Sent(c.type).size();
    OpenResult opened = Open(c.path, GENERIC_WRITE, c.disposition, c.options);
    EXPECT_EQ(opened.status, STATUS_SUCCESS) << c.what;
    Close(opened);
    const auto sent = Sent(c.type);
    ASSERT_EQ(sent.size(), before + 1) << c.what;
    const SentRequest& request = sent.back();
    EXPECT_EQ(request.payload.size(), c.path.size() * 2 + c.overhead) << c.what;
    EXPECT_EQ(request.U32(0), 1u) << c.what;  // the default process's session
    EXPECT_EQ(request.U32(4), c.isDirectory) << c.what;
    EXPECT_EQ(request.Name(c.lengthOffset, c.nameOffset), c.path) << c.what;
    EXPECT_EQ(request.U32(request.payload.size() - 4), 0u) << c.what;
    if (c.type == kRequestCreatePath) {
      EXPECT_EQ(request.U32(8), 0u) << c.what;
    }
  }
}

TEST_F(ClientRequestsTest, FailedDeleteBeforeOverwriteIsOnlyPrinted) {
  SetDeleteAnswer(0);
  sim::harness::TakeDebugLines();
  OpenResult opened = Opened(file_, GENERIC_WRITE, FILE_OVERWRITE_IF);
  EXPECT_TRUE(Printed(sim::harness::TakeDebugLines(),
                      "FilterPreCloseOperationCallback: Failed to delete online file or folder " +
                          sim::harness::ToUtf8(file_)));
  Close(opened);
}

}  // namespace
}  // namespace tavo::testing
