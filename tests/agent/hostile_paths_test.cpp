// The handler and the change sync over a real folder server, fed paths
// meant to reach outside it: climbing components, host path syntax,
// device names, an embedded NUL, symbolic links planted in the server
// folder. Every request is refused, and nothing changes on the host (the
// server folder and its neighbours) or on the local volume outside the
// backend folder.
#include <filesystem>
#include <fstream>
#include <map>

#include "agent_test_support.h"
#include "change_sync.h"
#include "folder_server_store.h"
#include "harness/strings.h"
#include "harness/volume.h"
#include "text.h"

namespace tavo::agent::testing {
namespace {

namespace fs = std::filesystem;
using namespace tavo::protocol;
using Snapshot = std::map<std::string, std::string>;

void WriteHostFile(const fs::path& path, const std::string& contents) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << contents;
}

class HostilePaths : public AgentFixture {
 protected:
  void SetUp() override {
    AgentFixture::SetUp();
    sandbox_ = MakeSandbox();
    WriteHostFile(sandbox_ / "server" / "docs" / "a.txt", "a");
    WriteHostFile(sandbox_ / "server" / "docs" / "sub" / "b.txt", "b");
    WriteHostFile(sandbox_ / "victim" / "secret.txt", "secret");
    WriteHostFile(sandbox_ / "victim.txt", "victim");
    fs::create_directory_symlink(sandbox_ / "victim", sandbox_ / "server" / "link");
    fs::create_symlink(sandbox_ / "victim.txt", sandbox_ / "server" / "docs" / "filelink");
    PutOutside(u"\\Users\\alice\\Desktop\\victim.txt");
    PutOutside(u"\\Users\\alice\\Desktop\\victim\\secret.txt");

    store_ = std::make_unique<FolderServerStore>(sandbox_ / "server");
    ViewPaths paths({kView, kBackend, kSecondary});
    folderHandler_ =
        std::make_unique<RequestHandler>(paths, *store_, *local_, FakeShortNames, state_, kStaging);
    sync_ = std::make_unique<ChangeSync>(paths, *store_, *local_, folderHandler_->shortNames(),
                                         state_);
  }
  void TearDown() override {
    if (!sandbox_.empty()) fs::remove_all(sandbox_);
  }

  void PutOutside(std::u16string path) {
    sim::harness::FileSpec spec;
    spec.path = std::move(path);
    spec.contents = "keep";
    ASSERT_EQ(volume_->Populate({spec}), STATUS_SUCCESS);
  }

  // Every entry below the sandbox, links as links (never followed).
  Snapshot Host() const {
    Snapshot seen;
    for (const auto& entry : fs::recursive_directory_iterator(sandbox_)) {
      const std::string name = entry.path().lexically_relative(sandbox_).string();
      if (entry.is_symlink()) {
        seen[name] = "-> " + fs::read_symlink(entry.path()).string();
      } else if (entry.is_directory()) {
        seen[name] = "folder";
      } else {
        std::ifstream in(entry.path(), std::ios::binary);
        seen[name] = std::string(std::istreambuf_iterator<char>(in), {});
      }
    }
    return seen;
  }

  // Every item of the local volume below \Users, except the backend folder.
  Snapshot Local(const std::u16string& folder = u"\\Device\\HarddiskVolume3\\Users") {
    Snapshot seen;
    for (const ItemInfo& item : local_->List(folder).value_or(std::vector<ItemInfo>{})) {
      const std::u16string path = folder + u"\\" + item.name;
      if (EqualsIgnoreCase(path, kBackend)) continue;
      if (item.isDirectory) {
        seen[agent::ToUtf8(path)] = "folder";
        seen.merge(Local(path));
      } else {
        seen[agent::ToUtf8(path)] = ReadLocal(path);
      }
    }
    return seen;
  }

  fs::path sandbox_;
  std::unique_ptr<FolderServerStore> store_;
  std::unique_ptr<RequestHandler> folderHandler_;
  std::unique_ptr<ChangeSync> sync_;
};

TEST_F(HostilePaths, NothingOutsideTheServerAndBackendFoldersChanges) {
  const std::u16string hostVictim = (sandbox_ / "victim").u16string();
  const struct {
    const char* what;
    std::u16string rest;  // below the view's root, and below the backend's
    bool legal = false;   // a legal name: the server has no such item
  } rows[] = {
      {"parent", u".."},
      {"parent's item", u"..\\victim"},
      {"climbing out of a folder", u"docs\\..\\..\\victim"},
      {"climbing to a local file", u"..\\..\\..\\..\\Desktop\\victim.txt"},
      {"dot", u"."},
      {"dot inside", u"docs\\.\\a.txt"},
      {"empty component", u"docs\\\\a.txt"},
      {"host separators", u"docs/../../victim"},
      {"absolute host path", hostVictim},
      {"drive-relative", u"C:victim"},
      {"stream", u"docs\\a.txt:evil"},
      {"device", u"docs\\NUL"},
      {"device with extension", u"con.txt"},
      {"NUL inside", std::u16string(u"docs\0junk", 9)},
      {"trailing dot", u"docs."},
      {"trailing space", u"docs "},
      {"control character", u"docs\\a\x01"},
      {"too long", u"docs\\" + std::u16string(kMaxPathChars, u'x')},
      {"link to a folder outside", u"link", true},
      {"through a link", u"link\\secret.txt", true},
      {"link to a file outside", u"docs\\filelink", true},
      {"write temporary in other letters", u"docs\\.TAVO-Write-1-2", true},
  };
  // A write in progress (made after the store started, which removes those
  // a crash left).
  WriteHostFile(sandbox_ / "server" / "docs" / ".tavo-write-1-2", "half");
  const Snapshot hostBefore = Host(), localBefore = Local();
  const std::u16string outside = u"\\Device\\HarddiskVolume3\\Users\\alice\\Desktop\\moved";

  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const std::u16string view = View(row.rest), backend = Backend(row.rest);
    auto ask = [&](std::uint32_t type, const Bytes& payload) {
      return folderHandler_->Handle(type, payload);
    };
    // A rename refused: answer 0, or no answer at all for a payload refused whole.
    auto refused = [&](const Bytes& payload) {
      const AgentAnswer answer = ask(kRequestRenameItem, payload);
      return answer.data.empty() || WordAnswer(answer) == 0;
    };
    EXPECT_LT(ask(kRequestItemQuery, ItemQuery(view)).status, 0);
    EXPECT_LT(ask(kRequestDirectoryListing, ListingPayload(view, FileDirectoryInformation)).status,
              0);
    EXPECT_NE(ByteAnswer(ask(kRequestDirectoryListing, DeleteCheckPayload(view))),
              kDeleteCheckMayDelete);
    for (const bool directory : {false, true}) {
      EXPECT_NE(ByteAnswer(ask(kRequestDownload, DownloadPayload(view, 0, u"x.exe", directory))),
                1);
      EXPECT_NE(ByteAnswer(ask(kRequestDeleteItem, DeletePayload(view, directory))), 1);
      EXPECT_TRUE(refused(RenamePayload(View(u"docs\\sub"), view, directory)));
      // A legal name the server does not show may still be created or
      // renamed as a local item; an illegal one never.
      const AgentAnswer created = ask(kRequestCreatePath, CreatePathPayload(view, directory));
      const bool renamedIn = refused(RenamePayload(view, View(u"docs\\moved"), directory));
      const bool renamedOut = refused(RenamePayload(view, outside, directory));
      if (row.legal) continue;
      EXPECT_NE(ByteAnswer(created), 1);
      EXPECT_TRUE(renamedIn);
      EXPECT_TRUE(renamedOut);
    }
    if (!row.legal) {
      EXPECT_LT(ask(kRequestItemQuery, ItemQuery(view, kQueryLongName)).status, 0);
    }
    for (const std::u16string& name : {backend, view}) {
      sync_->Apply({kNotificationCreated, name, {}});
      sync_->Apply({kNotificationDeleted, name, {}});
      sync_->Apply({kNotificationRenamed, name, Backend(u"docs\\moved")});
      // A local rename to a name the server cannot take is no move out of the view.
      sync_->Apply({kNotificationRenamed, Backend(u"docs\\a.txt"), name});
    }
  }
  EXPECT_EQ(Host(), hostBefore);
  EXPECT_EQ(Local(), localBefore);
}


// A server folder that lists empty may still hold host entries the server
// hides (a link, a name Windows cannot use): the delete check must not
// promise a delete that then fails. A write temporary left by a crash is
// removed when the store starts, so its folder may go. (The check used to
// answer "may delete" for all three.)
TEST_F(HostilePaths, TheDeleteCheckCountsEntriesTheServerHides) {
  const fs::path server = sandbox_ / "server";
  WriteHostFile(server / "crashed" / ".tavo-write-3-12345", "half");
  WriteHostFile(server / "odd" / "trailing.", "x");
  fs::create_directories(server / "linked");
  fs::create_symlink(sandbox_ / "victim.txt", server / "linked" / "l");
  FolderServerStore restarted(server);
  RequestHandler handler(ViewPaths({kView, kBackend, kSecondary}), restarted, *local_,
                         FakeShortNames, state_, kStaging);
  const struct {
    const char16_t* folder;
    std::uint8_t check;
    bool removed;
  } rows[] = {{u"crashed", kDeleteCheckMayDelete, true}, {u"odd", 0, false}, {u"linked", 0, false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(agent::ToUtf8(row.folder));
    EXPECT_EQ(ByteAnswer(handler.Handle(kRequestDirectoryListing,
                                        DeleteCheckPayload(View(row.folder)))),
              row.check);
    EXPECT_EQ(ByteAnswer(handler.Handle(kRequestDeleteItem, DeletePayload(View(row.folder), true))),
              row.removed ? 1 : 0);
    EXPECT_EQ(fs::exists(server / row.folder), !row.removed);
  }
}

}  // namespace
}  // namespace tavo::agent::testing
