// Every create outcome under the merged view, row by row, seen through the
// user-mode NT API: what the caller gets, what the client was asked, and
// where the item ends up.
#include "create_path_fixture.h"

namespace tavo::testing {
namespace {

enum class Local { None, File, Directory };
enum class Server { None, File, Directory };

constexpr ACCESS_MASK kMetadata = FILE_READ_ATTRIBUTES;
constexpr ACCESS_MASK kRead = GENERIC_READ;
constexpr ACCESS_MASK kWrite = GENERIC_WRITE;
constexpr int kAnyInformation = -1;

struct Row {
  const char* what;
  Local local;
  Server server;
  ULONG disposition;
  ACCESS_MASK access;
  ULONG options;
  std::uint8_t downloadAnswer;
  std::uint8_t createPathAnswer;
  NTSTATUS status;
  int information;
  std::size_t downloads, createPaths, deletes;
  bool backendAfter;  // a local copy exists afterwards
};

const Row kRows[] = {
    {"supersede goes to the backend", Local::None, Server::File, FILE_SUPERSEDE, kWrite, 0, 1, 1,
     STATUS_SUCCESS, FILE_CREATED, 0, 0, 0, true},
    {"open of a local copy", Local::File, Server::File, FILE_OPEN, kRead, 0, 1, 1, STATUS_SUCCESS,
     FILE_OPENED, 0, 0, 0, true},
    {"open-if of a local copy", Local::File, Server::None, FILE_OPEN_IF, kWrite, 0, 1, 1,
     STATUS_SUCCESS, FILE_OPENED, 0, 0, 0, true},
    {"metadata open of a server file", Local::None, Server::File, FILE_OPEN, kMetadata, 0, 1, 1,
     STATUS_SUCCESS, FILE_OPENED, 0, 0, 0, false},
    {"metadata open of nothing", Local::None, Server::None, FILE_OPEN, kMetadata, 0, 1, 1,
     STATUS_OBJECT_NAME_NOT_FOUND, kAnyInformation, 0, 0, 0, false},
    {"data open of a server directory", Local::None, Server::Directory, FILE_OPEN,
     FILE_LIST_DIRECTORY | FILE_TRAVERSE | READ_CONTROL, FILE_DIRECTORY_FILE, 1, 1, STATUS_SUCCESS,
     FILE_OPENED, 0, 0, 0, false},
    {"data open of nothing", Local::None, Server::None, FILE_OPEN, kRead, 0, 1, 1,
     STATUS_OBJECT_NAME_NOT_FOUND, kAnyInformation, 0, 0, 0, false},
    {"open-if with data, nothing anywhere: new local file", Local::None, Server::None,
     FILE_OPEN_IF, kWrite, 0, 1, 1, STATUS_SUCCESS, FILE_CREATED, 0, 0, 0, true},
    {"open-if of a directory with data, nothing anywhere", Local::None, Server::None, FILE_OPEN_IF,
     FILE_LIST_DIRECTORY | READ_CONTROL, FILE_DIRECTORY_FILE, 1, 1, STATUS_OBJECT_NAME_NOT_FOUND,
     kAnyInformation, 0, 0, 0, false},
    {"data open of a server file, download approved", Local::None, Server::File, FILE_OPEN, kRead,
     0, 1, 1, STATUS_SUCCESS, FILE_OPENED, 1, 0, 0, true},
    // "Data" is read with execute or read-control, or any write: one read
    // right alone is a metadata open.
    {"read data alone is no data open", Local::None, Server::File, FILE_OPEN, FILE_READ_DATA, 0, 1,
     1, STATUS_SUCCESS, FILE_OPENED, 0, 0, 0, false},
    {"execute alone is no data open", Local::None, Server::File, FILE_OPEN, FILE_EXECUTE, 0, 1, 1,
     STATUS_SUCCESS, FILE_OPENED, 0, 0, 0, false},
    {"write data alone is a data open", Local::None, Server::File, FILE_OPEN, FILE_WRITE_DATA, 0, 1,
     1, STATUS_SUCCESS, FILE_OPENED, 1, 0, 0, true},
    {"data open of a server file, download refused", Local::None, Server::File, FILE_OPEN, kRead, 0,
     0, 1, STATUS_ACCESS_DENIED, kAnyInformation, 1, 0, 0, false},
    {"create over a local file", Local::File, Server::None, FILE_CREATE, kWrite, 0, 1, 1,
     STATUS_OBJECT_NAME_COLLISION, kAnyInformation, 0, 0, 0, true},
    {"create over a local directory", Local::Directory, Server::None, FILE_CREATE, kWrite, 0, 1, 1,
     STATUS_OBJECT_NAME_COLLISION, kAnyInformation, 0, 0, 0, true},
    {"create over a server item", Local::None, Server::File, FILE_CREATE, kWrite, 0, 1, 1,
     STATUS_OBJECT_NAME_COLLISION, kAnyInformation, 0, 0, 0, false},
    {"create of a file, approved", Local::None, Server::None, FILE_CREATE, kWrite, 0, 1, 1,
     STATUS_SUCCESS, FILE_CREATED, 0, 1, 0, true},
    {"create of a directory, approved", Local::None, Server::None, FILE_CREATE,
     FILE_LIST_DIRECTORY, FILE_DIRECTORY_FILE, 1, 1, STATUS_SUCCESS, FILE_CREATED, 0, 1, 0, false},
    {"create of a directory, name too long", Local::None, Server::None, FILE_CREATE,
     FILE_LIST_DIRECTORY, FILE_DIRECTORY_FILE, 1, 3, STATUS_NAME_TOO_LONG, kAnyInformation, 0, 1,
     0, false},
    {"create of a directory, refused", Local::None, Server::None, FILE_CREATE, FILE_LIST_DIRECTORY,
     FILE_DIRECTORY_FILE, 1, 2, STATUS_ACCESS_DENIED, kAnyInformation, 0, 1, 0, false},
    {"overwrite never consults the backend", Local::File, Server::File, FILE_OVERWRITE, kWrite, 0,
     1, 1, STATUS_SUCCESS, FILE_OPENED, 0, 0, 0, true},
    {"overwrite of nothing on the server", Local::File, Server::None, FILE_OVERWRITE, kWrite, 0, 1,
     1, STATUS_OBJECT_NAME_NOT_FOUND, kAnyInformation, 0, 0, 0, true},
    {"overwrite-if without a local copy", Local::None, Server::File, FILE_OVERWRITE_IF, kWrite, 0,
     1, 1, STATUS_SUCCESS, FILE_CREATED, 0, 1, 1, true},
    {"overwrite-if of a local copy", Local::File, Server::File, FILE_OVERWRITE_IF, kWrite, 0, 1, 1,
     STATUS_SUCCESS, FILE_OVERWRITTEN, 0, 1, 0, true},
    {"overwrite-if refused by the client", Local::None, Server::File, FILE_OVERWRITE_IF, kWrite, 0,
     1, 0, STATUS_ACCESS_DENIED, kAnyInformation, 0, 1, 1, false},
};

class DecisionOutcomes : public CreatePathTest, public ::testing::WithParamInterface<Row> {};

TEST_P(DecisionOutcomes, CallerClientAndBackendSeeTheRowsOutcome) {
  const Row& row = GetParam();
  const std::u16string relative = u"\\docs\\item.txt";
  const std::u16string path = InView(relative);
  AddBackendDirectory(u"\\docs");
  AddServerItem(InView(u"\\docs"), {true, {}});
  if (row.local == Local::File) AddBackendFile(relative, "local bytes");
  if (row.local == Local::Directory) AddBackendDirectory(relative);
  if (row.server == Server::File) AddServerItem(path, {false, "server bytes"});
  if (row.server == Server::Directory) AddServerItem(path, {true, {}});
  SetDownloadAnswer(row.downloadAnswer);
  SetCreatePathAnswer(row.createPathAnswer);

  OpenResult opened = Open(path, row.access, row.disposition, row.options);
  EXPECT_EQ(opened.status, row.status) << row.what;
  if (row.information != kAnyInformation) {
    EXPECT_EQ(opened.information, static_cast<ULONG_PTR>(row.information)) << row.what;
  }
  EXPECT_EQ(Sent(protocol::kRequestDownload).size(), row.downloads) << row.what;
  EXPECT_EQ(Sent(protocol::kRequestCreatePath).size(), row.createPaths) << row.what;
  EXPECT_EQ(Sent(protocol::kRequestDeleteItem).size(), row.deletes) << row.what;
  EXPECT_EQ(VolumeHas(kBackendOnVolume + relative), row.backendAfter) << row.what;
  // Nothing is ever created in the merged view's folder on disk.
  EXPECT_FALSE(VolumeHas(u"\\Users\\ann\\Tavo" + relative)) << row.what;
  Close(opened);
  EXPECT_EQ(volume_->OpenFileObjectCount(), 0u) << row.what;
  EXPECT_EQ(ServerItemHolders(), u"") << row.what;
}

INSTANTIATE_TEST_SUITE_P(EveryRow, DecisionOutcomes, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return RowName(info); });

}  // namespace
}  // namespace tavo::testing
