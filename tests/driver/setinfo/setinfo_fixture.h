// Scenario fixture of the set-information path: the create path's fake
// server, which also renames on request and answers the emptiness check of
// a folder, and set-information calls through the user-mode NT API.
#pragma once

#include <cstring>
#include <vector>

#include "create_path_fixture.h"
#include "fs/volume.h"
#include "harness/debug_log.h"

namespace tavo::testing {

struct SetInfoResult {
  NTSTATUS status = STATUS_PENDING;
  ULONG_PTR information = 0;
};

// A FILE_RENAME_INFORMATION for `name`; FileNameLength is the name's
// length unless `nameLength` says otherwise.
inline std::vector<std::uint8_t> RenameInfo(const std::u16string& name, ULONG first,
                                            long nameLength = -1, HANDLE root = nullptr) {
  const std::size_t header = FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName);
  std::vector<std::uint8_t> buffer(std::max<std::size_t>(header + name.size() * 2 + 2, 24), 0);
  std::memcpy(buffer.data(), &first, sizeof(first));
  std::memcpy(buffer.data() + FIELD_OFFSET(FILE_RENAME_INFORMATION, RootDirectory), &root,
              sizeof(root));
  const ULONG length = nameLength < 0 ? static_cast<ULONG>(name.size() * 2) : nameLength;
  std::memcpy(buffer.data() + FIELD_OFFSET(FILE_RENAME_INFORMATION, FileNameLength), &length, 4);
  std::memcpy(buffer.data() + header, name.data(), name.size() * 2);
  return buffer;
}

// The DOS-device form of a volume-relative path on C:.
inline std::u16string Dos(const std::u16string& onVolume) { return u"\\??\\C:" + onVolume; }
inline const std::u16string kViewOnVolume = u"\\Users\\ann\\Tavo";
// The DOS-device form of a path under the view.
inline std::u16string ViewDos(const std::u16string& relative) {
  return Dos(kViewOnVolume + relative);
}
// A folder outside the view that items are moved out to.
inline const std::u16string kDocumentsOnVolume = u"\\Users\\ann\\Documents";
// A rename answer of the fake server.
inline ScriptedAnswer RenameAnswered(std::uint32_t answer) {
  std::vector<std::uint8_t> data(4);
  std::memcpy(data.data(), &answer, 4);
  return ScriptedAnswer::Now(STATUS_SUCCESS, data);
}

class SetInfoTest : public CreatePathTest {
 protected:
  void SetUp() override;

  SetInfoResult SetInfo(const OpenResult& opened, FILE_INFORMATION_CLASS infoClass,
                        std::vector<std::uint8_t> buffer);
  // A rename of the handle's file to `name`, as the caller gives it.
  SetInfoResult Rename(const OpenResult& opened, const std::u16string& name, ULONG first = 0,
                       HANDLE root = nullptr) {
    return SetInfo(opened, FileRenameInformation, RenameInfo(name, first, -1, root));
  }
  // Sets (or, with 0, clears) the handle's delete disposition.
  NTSTATUS Dispose(const OpenResult& opened, std::uint8_t flag = 1) {
    return SetInfo(opened, FileDispositionInformation, {flag}).status;
  }
  void AddDocumentsFolder() {
    ASSERT_EQ(volume_->Populate({DirSpec(kDocumentsOnVolume)}), STATUS_SUCCESS);
  }

  // Answers of the fake server to renames (the last one given answers
  // every later rename) and to the emptiness check.
  void SetRenameAnswer(std::uint32_t answer) { renameAnswers_ = {answer}; }
  void SetRenameAnswers(std::vector<std::uint32_t> answers) { renameAnswers_ = std::move(answers); }
  void SetDeleteCheckAnswer(std::uint8_t answer) { deleteCheckAnswer_ = answer; }

  std::vector<std::string> DebugLines();

  // The invariant every scenario keeps: nothing made in the view's own
  // folder on disk, no file object left open once every handle is closed.
  void ExpectViewFolderEmpty();

  std::vector<std::uint32_t> renameAnswers_{protocol::kRenameDone};
  std::size_t renamesAnswered_ = 0;
  std::uint8_t deleteCheckAnswer_ = protocol::kDeleteCheckMayDelete;
  std::vector<std::u16string> renamed_;  // "old>new" as the server saw them
};

}  // namespace tavo::testing
