// How a merged-view name is normalised before it is decided: length
// limits, the secondary root, Desktop.ini, short names and the root itself.
#include <set>

#include "create_path_fixture.h"

namespace tavo::testing {
namespace {

using namespace protocol;

// A relative path of exactly `bytes` bytes: "\" and components of at most
// 200 characters.
std::u16string RelativeOfBytes(std::size_t bytes) {
  std::u16string path;
  std::size_t chars = bytes / 2;
  while (chars > 0) {
    const std::size_t component = std::min<std::size_t>(chars - 1, 200);
    path += u'\\';
    path += std::u16string(component == 0 ? 0 : component, u'n');
    chars -= component + 1;
  }
  return path;
}

TEST_F(CreatePathTest, NameLengthLimitsBeyondTheRoot) {
  struct Case {
    std::size_t beyondRoot;
    ULONG options;
    bool tooLong;
  };
  const Case cases[] = {{2558, 0, false},
                        {2560, 0, true},
                        {2048, FILE_DIRECTORY_FILE, false},
                        {2050, FILE_DIRECTORY_FILE, true}};
  for (const Case& c : cases) {
    const std::u16string relative = RelativeOfBytes(c.beyondRoot);
    ASSERT_EQ(relative.size() * 2, c.beyondRoot);
    const std::size_t before = client_->Requests().size();
    OpenResult opened = Open(InView(relative), GENERIC_READ, FILE_OPEN, c.options);
    if (c.tooLong) {
      EXPECT_EQ(opened.status, STATUS_NAME_TOO_LONG) << c.beyondRoot;
      EXPECT_EQ(client_->Requests().size(), before) << c.beyondRoot;
    } else {
      EXPECT_EQ(opened.status, STATUS_OBJECT_NAME_NOT_FOUND) << c.beyondRoot;
      EXPECT_GT(client_->Requests().size(), before) << c.beyondRoot;
    }
  }
}

TEST_F(CreatePathTest, SecondaryRootIsDecidedAsTheMergedView) {
  AddServerItem(InView(u"\\docs\\a.txt"), {false, "from the server"});
  AddBackendDirectory(u"\\docs");
  OpenResult opened = Opened(kSecondary + u"\\docs\\a.txt", GENERIC_READ, FILE_OPEN);
  EXPECT_EQ(ReadAll(opened), "from the server");
  const auto downloads = Sent(kRequestDownload);
  ASSERT_EQ(downloads.size(), 1u);
  EXPECT_EQ(downloads[0].Name(532, kDownloadNameOffset), InView(u"\\docs\\a.txt"));
  Close(opened);
}

TEST_F(CreatePathTest, DesktopIniOpensPassButItsCreateIsDecided) {
  OpenResult opened = Open(InView(u"\\desktop.ini"), GENERIC_READ, FILE_OPEN);
  EXPECT_EQ(opened.status, STATUS_OBJECT_NAME_NOT_FOUND);  // from the file system
  EXPECT_TRUE(client_->Requests().empty());
  OpenResult created = Opened(InView(u"\\Desktop.ini"), GENERIC_WRITE, FILE_CREATE);
  EXPECT_EQ(Sent(kRequestCreatePath).size(), 1u);
  EXPECT_TRUE(VolumeHas(kBackendOnVolume + u"\\Desktop.ini"));
  Close(created);
}

TEST_F(CreatePathTest, RootItselfGoesToTheFileSystem) {
  for (const std::u16string& root : {kView, kView + u"\\"}) {
    OpenResult opened =
        Opened(root, FILE_LIST_DIRECTORY | READ_CONTROL, FILE_OPEN, FILE_DIRECTORY_FILE);
    EXPECT_EQ(opened.information, static_cast<ULONG_PTR>(FILE_OPENED));
    Close(opened);
  }
  EXPECT_TRUE(client_->Requests().empty());
  EXPECT_EQ(volume_->OpenFileObjectCount(), 0u);
}

TEST_F(CreatePathTest, ShortNamesAreExpandedBeforeTheDecision) {
  const std::u16string longFolder = InView(u"\\Quarterly Reports");
  AddServerItem(longFolder + u"\\summary.txt", {false, "sum"});
  client_->OnRequest(kRequestItemQuery, [&](const DriverMessage& message) {
    SentRequest request{message.type, message.payload};
    const std::u16string name = request.Name(8, 12);
    if (request.U32(4) == kQueryLongName) {
      if (name == InView(u"\\QUARTE~1")) {
        std::u16string answer = longFolder;
        answer.push_back(u'\0');
        return ScriptedAnswer::Now(STATUS_SUCCESS, Bytes(answer.data(), answer.size() * 2));
      }
      std::u16string same = name;  // already long
      same.push_back(u'\0');
      return ScriptedAnswer::Now(STATUS_SUCCESS, Bytes(same.data(), same.size() * 2));
    }
    if (name != longFolder + u"\\summary.txt") return ScriptedAnswer::Now(STATUS_OBJECT_NAME_NOT_FOUND);
    ItemInfoReply reply{};
    reply.EndOfFile = 3;
    return ScriptedAnswer::Now(STATUS_SUCCESS, Bytes(&reply, sizeof(reply)));
  });
  OpenResult opened = Opened(InView(u"\\QUARTE~1\\summary.txt"), FILE_READ_ATTRIBUTES, FILE_OPEN);
  EXPECT_TRUE(ServerItemOpen(longFolder + u"\\summary.txt"));
  Close(opened);
  // Both kinds of query carry the requestor's session (the default process
  // runs in session 1).
  std::set<std::uint32_t> kinds;
  for (const SentRequest& request : Sent(kRequestItemQuery)) {
    EXPECT_EQ(request.U32(0), 1u) << request.U32(4);
    kinds.insert(request.U32(4));
  }
  EXPECT_EQ(kinds, (std::set<std::uint32_t>{kQueryItemInfo, kQueryLongName}));
}

}  // namespace
}  // namespace tavo::testing
