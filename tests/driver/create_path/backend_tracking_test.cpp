// Streams under the backend root: the creation notification, the handle
// count, and the deletion notification at the last cleanup.
#include "create_path_fixture.h"
#include "harness/strings.h"

namespace tavo::testing {
namespace {

using namespace protocol;

struct Notice {
  std::uint32_t type, kind, firstLength, secondLength;
  std::u16string name;
};

class BackendTrackingTest : public CreatePathTest {
 protected:
  std::vector<Notice> Notices() const {
    std::vector<Notice> notices;
    for (const auto& message : client_->Notifications()) {
      SentRequest n{message.type, message.payload};
      notices.push_back({message.type, n.U32(0), n.U32(4), n.U32(8), n.Name(4, 12)});
    }
    return notices;
  }
  bool WaitForNotices(std::size_t count) { return client_->WaitForNotifications(count); }
};

TEST_F(BackendTrackingTest, NewFileIsReportedOnceAndCountedPerOpen) {
  const std::u16string backendName = kBackend + u"\\minutes.txt";
  sim::harness::TakeDebugLines();
  OpenResult created = Opened(InView(u"\\minutes.txt"), GENERIC_WRITE, FILE_CREATE);
  ASSERT_TRUE(WaitForNotices(1));
  auto notices = Notices();
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].type, kNotificationCreated);
  EXPECT_EQ(notices[0].kind, 0u);
  EXPECT_EQ(notices[0].firstLength, backendName.size() * 2 + 2);
  EXPECT_EQ(notices[0].name, backendName);
  EXPECT_EQ(client_->Notifications()[0].payload.size(), backendName.size() * 2 + 18);
  EXPECT_TRUE(Printed(sim::harness::TakeDebugLines(), "TavoDriver: Backend Path FILE_CREATED"));

  // A second handle that asks for deletion: its cleanup leaves one open, so
  // nothing is reported until the first handle goes too.
  OpenResult deleting =
      Opened(InView(u"\\minutes.txt"), DELETE | GENERIC_READ, FILE_OPEN, FILE_DELETE_ON_CLOSE);
  Close(deleting);
  EXPECT_EQ(Notices().size(), 1u);
  Close(created);
  ASSERT_TRUE(WaitForNotices(2));
  notices = Notices();
  ASSERT_EQ(notices.size(), 2u);
  EXPECT_EQ(notices[1].type, kNotificationDeleted);
  EXPECT_EQ(notices[1].kind, kNotificationDeleted);
  EXPECT_EQ(notices[1].secondLength, 0u);
  EXPECT_EQ(notices[1].name, backendName);
  EXPECT_TRUE(Printed(sim::harness::TakeDebugLines(), "TavoDriver: Deleting fileObject"));
}

// A handle the post-create did not count (opened while the backend root
// was configured elsewhere) shares the stream's context with later tracked
// handles: whichever is closed first, the delete is reported once, when the
// tracked delete-on-close handle goes.
TEST_F(BackendTrackingTest, UncountedHandleNeitherReportsNorEndsTheCount) {
  AddBackendFile(u"\\notes.txt");
  for (bool uncountedFirst : {false, true}) {
    client_->Channel().Configure(1, kMergedViewRoot, u"\\Device\\HarddiskVolume3\\elsewhere", u"");
    OpenResult uncounted = Opened(kBackend + u"\\notes.txt", GENERIC_READ, FILE_OPEN);
    client_->Channel().Configure(1, kMergedViewRoot, kBackendRoot, u"");
    OpenResult tracked =
        Opened(kBackend + u"\\notes.txt", DELETE | GENERIC_READ, FILE_OPEN, FILE_DELETE_ON_CLOSE);
    const std::size_t before = Notices().size();
    if (uncountedFirst) {
      Close(uncounted);
      EXPECT_EQ(Notices().size(), before) << "reported while the tracked handle is open";
    }
    Close(tracked);
    Close(uncounted);
    const auto notices = Notices();
    ASSERT_EQ(notices.size(), before + 1) << uncountedFirst;
    EXPECT_EQ(notices.back().type, kNotificationDeleted);
    if (!uncountedFirst) AddBackendFile(u"\\notes.txt");  // deleted with its last handle
  }
}

TEST_F(BackendTrackingTest, UntrackedStreamsReportNothing) {
  AddBackendDirectory(u"\\x");
  struct Case {
    const char* what;
    std::u16string path;
    ULONG disposition;
    ULONG options;
  };
  const Case cases[] = {
      {"desktop.ini", kBackend + u"\\x\\desktop.ini", FILE_CREATE, FILE_DELETE_ON_CLOSE},
      {"partial download", kBackend + u"\\x\\file.PART", FILE_CREATE, FILE_DELETE_ON_CLOSE},
      {"failed create", kBackend + u"\\x\\missing.txt", FILE_OPEN, FILE_DELETE_ON_CLOSE},
      {"plain open closed without delete", kBackend + u"\\x\\kept.txt", FILE_OPEN_IF, 0},
  };
  for (const Case& c : cases) {
    OpenResult opened = Open(c.path, DELETE | GENERIC_WRITE, c.disposition, c.options);
    Close(opened);
  }
  // Only the new kept.txt is reported, as created.
  ASSERT_TRUE(WaitForNotices(1));
  const auto notices = Notices();
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].name, kBackend + u"\\x\\kept.txt");
  EXPECT_EQ(notices[0].type, kNotificationCreated);
}

}  // namespace
}  // namespace tavo::testing
