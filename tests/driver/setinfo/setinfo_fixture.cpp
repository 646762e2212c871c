#include "setinfo_fixture.h"

#include "harness/processes.h"

namespace tavo::testing {

void SetInfoTest::SetUp() {
  CreatePathTest::SetUp();
  client_->OnRequest(protocol::kRequestRenameItem, [this](const DriverMessage& m) {
    SentRequest request{m.type, m.payload};
    const std::u16string from = request.Name(8, protocol::kRenameNamesOffset);
    const std::u16string to =
        request.Name(12, protocol::kRenameNamesOffset + request.U32(8));
    const std::uint32_t given =
        renameAnswers_[std::min(renamesAnswered_++, renameAnswers_.size() - 1)];
    // The server holds names in the view only.
    if (given == protocol::kRenameDone && to.compare(0, kView.size(), kView) == 0) {
      MoveServerItem(from, to);
    }
    return RenameAnswered(given);
  });
  client_->OnRequest(protocol::kRequestDirectoryListing, [this](const DriverMessage&) {
    return ScriptedAnswer::Now(STATUS_SUCCESS, {deleteCheckAnswer_});
  });
}

SetInfoResult SetInfoTest::SetInfo(const OpenResult& opened, FILE_INFORMATION_CLASS infoClass,
                                   std::vector<std::uint8_t> buffer) {
  return sim::harness::RunAs(opened.processId, [&] {
    IO_STATUS_BLOCK ioStatus{};
    SetInfoResult result;
    result.status = NtSetInformationFile(opened.handle, &ioStatus, buffer.data(),
                                         static_cast<ULONG>(buffer.size()), infoClass);
    result.information = ioStatus.Information;
    return result;
  });
}

std::vector<std::string> SetInfoTest::DebugLines() { return sim::harness::TakeDebugLines(); }

void SetInfoTest::ExpectViewFolderEmpty() {
  const std::string tree = volume_->DumpTree({false, false});
  // Folders print with a trailing backslash: the folder itself may stand.
    const std::string folder = "\n\\Users\\ann\\Tavo\\";
    const std::size_t at = tree.find(folder);
    EXPECT_TRUE(at == std::string::npos || tree.compare(at + folder.size(), 1, "\n") == 0) << tree;
}

}  // namespace tavo::testing
