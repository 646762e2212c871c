// The agent over the driver's real ports: requests sent by the driver's own
// request routine and notifications by its notification routine reach the
// agent, are answered from the server folder, and malformed ones are
// refused in the acknowledgement; the agent can be restarted while the
// driver runs.
#include <ntapi.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "channel/notifications.h"
#include "e2e_fixture.h"
#include "harness/debug_log.h"
#include "harness/processes.h"
#include "harness/strings.h"
#include "payload_builders.h"
#include "request_payloads.h"

namespace tavo::e2e {
namespace {

using namespace tavo::protocol;
using namespace tavo::agent::testing;

// A download the driver asks for lands in the backend folder as the agent's
// own change: its notification is recognised and nothing goes back up.
TEST_F(EndToEndTest, ADownloadIsTheAgentsOwnChangeNotAnUpload) {
  Opened opened =
      OpenAs(notepad_, View(u"Photos\\beach.jpg"), GENERIC_READ, FILE_OPEN, FILE_NON_DIRECTORY_FILE);
  ASSERT_EQ(opened.status, STATUS_SUCCESS);
  sim::harness::RunAs(notepad_, [&] { NtClose(opened.handle); });
  EXPECT_TRUE(BackendHas(u"Photos\\beach.jpg"));
  ASSERT_TRUE(agent_->WaitIdle());
  EXPECT_EQ(agent_->counters().uploads, 0u);
  EXPECT_EQ(agent_->SyncNow(), 0u) << "a download is not uploaded back";
  EXPECT_GE(agent_->counters().ownNotifications, 1u);
  EXPECT_EQ(agent_->counters().notifications, agent_->counters().ownNotifications);
}

TEST_F(EndToEndTest, MalformedRequestsAreRefusedAndTheAgentCarriesOn) {
  Bytes cut = ItemQuery(View(u"readme.txt"));
  cut.resize(cut.size() - 6);  // the name's NUL is gone
  Exchange refused = Ask(kRequestItemQuery, cut, 200);
  EXPECT_LT(refused.status, 0);
  EXPECT_LT(Ask(42, ItemQuery(View(u"readme.txt")), 200).status, 0) << "an unknown request type";
  EXPECT_EQ(agent_->counters().refused, 2u);
  bool logged = false;
  for (const std::string& line : Trace())
    logged |= line.find("refused a malformed request of type 3") != std::string::npos;
  EXPECT_TRUE(logged);
  EXPECT_EQ(Ask(kRequestItemQuery, ItemQuery(View(u"readme.txt")), 200).status, STATUS_SUCCESS);
}

TEST_F(EndToEndTest, NotificationsReachTheServerAndMalformedOnesAreRefused) {
  ASSERT_TRUE(sim::harness::RunAs(agentProcess_, [&] {
    return local_->MakeDirectory(Backend(u"drafts")) &&
           local_->WriteAll(Backend(u"drafts\\idea.txt"), {'i', 'd', 'e', 'a'});
  }));
  const Bytes created = agent::testing::NotificationPayload(0, Backend(u"drafts\\idea.txt"));
  EXPECT_EQ(SendFileChangeNotification(created.data(), static_cast<ULONG>(created.size()),
                                       kNotificationCreated),
            STATUS_SUCCESS);
  ASSERT_TRUE(agent_->WaitIdle());
  EXPECT_TRUE(std::filesystem::exists(serverFolder_ / "drafts" / "idea.txt"));
  EXPECT_EQ(agent_->SyncNow(), 1u);
  EXPECT_EQ(ServerFile("drafts/idea.txt"), "idea");

  const Bytes deleted = agent::testing::NotificationPayload(5, Backend(u"docs\\notes.txt"));
  EXPECT_EQ(SendFileChangeNotification(deleted.data(), static_cast<ULONG>(deleted.size()),
                                       kNotificationDeleted),
            STATUS_SUCCESS);
  ASSERT_TRUE(agent_->WaitIdle());
  EXPECT_FALSE(std::filesystem::exists(serverFolder_ / "docs" / "notes.txt"));

  // Refused by the agent: the driver reports it and carries on.
  sim::harness::ClearDebugLog();
  Bytes broken = agent::testing::NotificationPayload(5, Backend(u"readme.txt"));
  broken.resize(broken.size() - 2);
  EXPECT_EQ(SendFileChangeNotification(broken.data(), static_cast<ULONG>(broken.size()),
                                       kNotificationDeleted),
            STATUS_SUCCESS);
  bool reported = false;
  for (const std::string& line : sim::harness::TakeDebugLines()) {
    reported |= line.find("Error In Sending File Change Notification") != std::string::npos;
  }
  EXPECT_TRUE(reported);
  EXPECT_EQ(ServerFile("readme.txt"), "read me");
}

TEST_F(EndToEndTest, AgentRestartedWhileTheDriverRuns) {
  StopAgent();
  // Without an agent a server-only item cannot be fetched.
  Opened absent =
      OpenAs(notepad_, View(u"readme.txt"), GENERIC_READ, FILE_OPEN, FILE_NON_DIRECTORY_FILE);
  EXPECT_NE(absent.status, STATUS_SUCCESS);
  if (absent.handle != nullptr) sim::harness::RunAs(notepad_, [&] { NtClose(absent.handle); });
  StartAgent();
  Opened opened =
      OpenAs(notepad_, View(u"readme.txt"), GENERIC_READ, FILE_OPEN, FILE_NON_DIRECTORY_FILE);
  ASSERT_EQ(opened.status, STATUS_SUCCESS);
  EXPECT_EQ(ReadAllAs(notepad_, opened.handle), "read me");
  sim::harness::RunAs(notepad_, [&] { NtClose(opened.handle); });
  // A second restart still leaves a working agent.
  StopAgent();
  StartAgent();
  Opened created = OpenAs(explorer_, View(u"New Folder"), FILE_LIST_DIRECTORY, FILE_CREATE,
                          FILE_DIRECTORY_FILE);
  ASSERT_EQ(created.status, STATUS_SUCCESS);
  sim::harness::RunAs(explorer_, [&] { NtClose(created.handle); });
  EXPECT_TRUE(std::filesystem::is_directory(serverFolder_ / "New Folder"));
}

// A folder server whose Stat of "slow" waits until the test opens the gate.
class GatedStore : public agent::FolderServerStore {
 public:
  using FolderServerStore::FolderServerStore;
  std::optional<agent::ItemInfo> Stat(const std::u16string& path) override {
    if (path == u"slow") {
      std::unique_lock guard(lock_);
      entered_ = true;
      changed_.notify_all();
      changed_.wait(guard, [&] { return open_; });
    }
    return FolderServerStore::Stat(path);
  }
  void Open() {
    std::lock_guard guard(lock_);
    open_ = true;
    changed_.notify_all();
  }
  void WaitEntered() {
    std::unique_lock guard(lock_);
    changed_.wait(guard, [&] { return entered_; });
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  bool entered_ = false, open_ = false;
};

// Its one worker busy, the agent has acknowledged a second request when it
// is stopped: the worker's answer goes out, and the second is failed by
// the agent itself, not left for the driver to fail when the ports close.
TEST_F(EndToEndTest, StopFailsTheRequestsItAcknowledgedButNeverTook) {
  StopAgent();
  auto gated = std::make_unique<GatedStore>(serverFolder_);
  GatedStore& gate = *gated;
  store_ = std::move(gated);
  workerThreads_ = 1;
  onTrace_ = [&](const std::string& line) {
    if (line.rfind("agent: stopping", 0) == 0) gate.Open();
  };
  StartAgent();
  NTSTATUS slowStatus = STATUS_PENDING, queuedStatus = STATUS_PENDING;
  std::thread slow([&] { slowStatus = Ask(kRequestItemQuery, ItemQuery(View(u"slow")), 200).status; });
  gate.WaitEntered();
  std::thread queued(
      [&] { queuedStatus = Ask(kRequestItemQuery, ItemQuery(View(u"readme.txt")), 200).status; });
  while (agent_->counters().requests < 2) std::this_thread::yield();
  StopAgent();
  slow.join();
  queued.join();
  EXPECT_EQ(slowStatus, STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(queuedStatus, STATUS_UNSUCCESSFUL);
}

TEST_F(EndToEndTest, AgentReconnectsWhenTheDriverRestarts) {
  EXPECT_TRUE(agent_->CheckConnection()) << "nothing to do while the driver hears it";
  ASSERT_EQ(Unload(/*mandatory=*/true), STATUS_SUCCESS);
  ASSERT_EQ(Load(), STATUS_SUCCESS);
  // Until the agent reconnects, the new driver has no one to ask.
  Opened early =
      OpenAs(notepad_, View(u"docs\\notes.txt"), GENERIC_READ, FILE_OPEN, FILE_NON_DIRECTORY_FILE);
  EXPECT_NE(early.status, STATUS_SUCCESS);
  if (early.handle != nullptr) sim::harness::RunAs(notepad_, [&] { NtClose(early.handle); });
  EXPECT_TRUE(agent_->CheckConnection());
  // Configured again: an open in the view is served by the agent.
  Opened opened =
      OpenAs(notepad_, View(u"docs\\notes.txt"), GENERIC_READ, FILE_OPEN, FILE_NON_DIRECTORY_FILE);
  ASSERT_EQ(opened.status, STATUS_SUCCESS);
  EXPECT_EQ(ReadAllAs(notepad_, opened.handle), "server notes");
  sim::harness::RunAs(notepad_, [&] { NtClose(opened.handle); });
  const auto trace = Trace();
  EXPECT_NE(std::find(trace.begin(), trace.end(), "agent: reconnected and configured"),
            trace.end());
}

TEST_F(EndToEndTest, PeriodicScanUploadsChangedCopiesWithoutBeingAsked) {
  StopAgent();
  // A new file: a copy of docs\\notes.txt with no record of the server
  // version it came from would be kept beside the server's, not sent over it.
  // It is written while no agent runs (so no notification can announce it,
  // and no scan can catch it half written): only the scan can find it.
  ASSERT_TRUE(sim::harness::RunAs(agentProcess_, [&] {
    return local_->MakeDirectory(Backend(u"docs")) &&
           local_->WriteAll(Backend(u"docs\\fresh.txt"), {'n', 'e', 'w'});
  }));
  scanInterval_ = std::chrono::milliseconds(20);
  StartAgent();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  // The counter moves just after the file lands: wait for both.
  while ((ServerFile("docs/fresh.txt") != "new" || agent_->counters().uploads == 0) &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(ServerFile("docs/fresh.txt"), "new");
  EXPECT_EQ(agent_->counters().uploads, 1u);
}

}  // namespace
}  // namespace tavo::e2e
