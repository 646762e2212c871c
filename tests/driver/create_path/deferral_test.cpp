// Creates that reach the filter at DISPATCH_LEVEL: decided on a worker
// thread and completed from there, or, when they cannot be deferred, passed
// down with nothing to do afterwards.
#include "create_path_fixture.h"
#include "harness/machine.h"
#include "verifier/faults.h"

namespace tavo::testing {
namespace {

class DeferralTest : public CreatePathTest {
 protected:
  void SetUp() override {
    CreatePathTest::SetUp();
    AddServerItem(InView(u"\\plan.txt"), {false, "plan"});
    AddBackendFile(u"\\local.txt", "local");
  }
  void TearDown() override {
    sim::harness::DeliverPreOperationsAtDispatchLevel(false);
    sim::faults::Clear();
    CreatePathTest::TearDown();
  }
};

TEST_F(DeferralTest, DeferredCreatesEndAsTheyWouldInline) {
  struct Case {
    const char* what;
    std::u16string path;
    ACCESS_MASK access;
    NTSTATUS status;
    std::string contents;  // read through the handle, when it is a local copy
  };
  const Case cases[] = {
      {"virtual open", InView(u"\\plan.txt"), FILE_READ_ATTRIBUTES, STATUS_SUCCESS, ""},
      {"download and reparse", InView(u"\\plan.txt"), GENERIC_READ, STATUS_SUCCESS, "plan"},
      {"local copy", InView(u"\\local.txt"), GENERIC_READ, STATUS_SUCCESS, "local"},
      {"nothing anywhere", InView(u"\\none.txt"), GENERIC_READ, STATUS_OBJECT_NAME_NOT_FOUND, ""},
      {"outside the view", u"\\Device\\HarddiskVolume3\\Users\\ann\\OneTavo", FILE_READ_ATTRIBUTES,
       STATUS_SUCCESS, ""},
  };
  sim::harness::DeliverPreOperationsAtDispatchLevel(true);
  for (const Case& c : cases) {
    OpenResult opened = Open(c.path, c.access, FILE_OPEN);
    EXPECT_EQ(opened.status, c.status) << c.what;
    if (!c.contents.empty()) {
      EXPECT_EQ(ReadAll(opened), c.contents) << c.what;
    }
    Close(opened);
  }
  sim::harness::DeliverPreOperationsAtDispatchLevel(false);
  // One deferral per create, the two re-issued after a reparse included.
  EXPECT_EQ(sim::faults::CallCount(sim::faults::Site::WorkItemAllocation), 7u);
  EXPECT_EQ(ServerItemHolders(), u"");
}

TEST_F(DeferralTest, CreateThatCannotBeDeferredGoesDownUndecided) {
  sim::harness::DeliverPreOperationsAtDispatchLevel(true);
  sim::faults::FailEvery(sim::faults::Site::WorkItemAllocation);
  // The file system looks for the name in the merged view's own folder,
  // which holds nothing: the client is never asked.
  OpenResult opened = Open(InView(u"\\plan.txt"), FILE_READ_ATTRIBUTES, FILE_OPEN);
  EXPECT_EQ(opened.status, STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_TRUE(client_->Requests().empty());
  // A name outside the view opens as usual.
  OpenResult outside =
      Opened(u"\\Device\\HarddiskVolume3\\Users\\ann\\OneTavo", FILE_READ_ATTRIBUTES, FILE_OPEN);
  Close(outside);
}

}  // namespace
}  // namespace tavo::testing
