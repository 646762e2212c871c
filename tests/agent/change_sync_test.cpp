// Carrying local changes over to the server: notifications from the
// driver, the agent's own changes told apart, and the upload scan.
#include "agent_test_support.h"
#include "change_sync.h"
#include "text.h"

namespace tavo::agent::testing {
namespace {

using namespace tavo::protocol;

class ChangeSyncTest : public AgentFixture {
 protected:
  void SetUp() override {
    AgentFixture::SetUp();
    sync_ = std::make_unique<ChangeSync>(ViewPaths({kView, kBackend, kSecondary}), server_, *local_,
                                         handler_->shortNames(), state_);
  }
  void Notify(std::uint32_t type, std::u16string first, std::u16string second = {}) {
    DecodedNotification n{type, std::move(first), std::move(second)};
    ASSERT_FALSE(sync_->IsOwnChange(n));
    sync_->Apply(n);
  }
  std::unique_ptr<ChangeSync> sync_;
};

TEST_F(ChangeSyncTest, NotificationsAreCarriedOverToTheServer) {
  server_.AddFile(u"docs\\old.txt", "old");
  server_.AddFile(u"docs\\gone.txt", "gone");
  server_.AddFile(u"docs\\leaving.txt", "leaving");
  PutLocal(u"docs\\new.txt", "");
  PutLocal(u"New Folder\\x", "");

  Notify(kNotificationCreated, Backend(u"docs\\new.txt"));
  Notify(kNotificationCreated, Backend(u"New Folder"));
  Notify(kNotificationDeleted, Backend(u"docs\\gone.txt"));
  Notify(kNotificationRenamed, Backend(u"docs\\old.txt"), Backend(u"docs\\renamed.txt"));
  // Moved out of the view: the server item goes.
  Notify(kNotificationRenamed, Backend(u"docs\\leaving.txt"),
         u"\\Device\\HarddiskVolume3\\Users\\alice\\Desktop\\l.txt");
  // Names in the view's form are understood as well.
  Notify(kNotificationDeleted, View(u"docs\\renamed.txt"));
  // Outside everything: ignored.
  Notify(kNotificationCreated, u"\\Device\\HarddiskVolume3\\Windows\\Temp\\t.tmp");

  EXPECT_EQ(server_.Dump(), "docs\\\ndocs\\new.txt 0\nNew Folder\\\n");
}

TEST_F(ChangeSyncTest, OwnChangesAreRecognisedWhileInProgress) {
  DecodedNotification created{kNotificationCreated, Backend(u"a.txt"), {}};
  DecodedNotification renamed{kNotificationRenamed, std::u16string(kStaging) + u"\\1.download",
                              Backend(u"A.TXT")};
  EXPECT_FALSE(sync_->IsOwnChange(created));
  {
    OwnChangeScope own(state_.ownChanges, Backend(u"a.txt"));
    EXPECT_TRUE(sync_->IsOwnChange(created));
    EXPECT_TRUE(sync_->IsOwnChange(renamed));  // either name, any case
    { OwnChangeScope again(state_.ownChanges, Backend(u"a.txt")); }
    EXPECT_TRUE(sync_->IsOwnChange(created)) << "nested scopes count";
  }
  EXPECT_FALSE(sync_->IsOwnChange(created));
}

TEST_F(ChangeSyncTest, DownloadsAreNotUploadedBackButEditsAre) {
  server_.AddFile(u"docs\\a.txt", "from the server");
  ASSERT_EQ(ByteAnswer(Ask(kRequestDownload, DownloadPayload(View(u"docs\\a.txt")))), 1);
  PutLocal(u"docs\\fresh.txt", "written by the user");
  EXPECT_EQ(sync_->SyncNow(), 1u);
  EXPECT_EQ(server_.Dump(), "docs\\\ndocs\\a.txt 15\ndocs\\fresh.txt 19\n");
  EXPECT_EQ(sync_->SyncNow(), 0u) << "nothing changed since";

  // An edit of the downloaded copy goes up.
  ASSERT_TRUE(local_->WriteAll(Backend(u"docs\\a.txt"), Bytes{'e', 'd', 'i', 't'}));
  EXPECT_EQ(sync_->SyncNow(), 1u);
  Bytes contents;
  ASSERT_TRUE(server_.Read(u"docs\\a.txt", &contents));
  EXPECT_EQ(std::string(contents.begin(), contents.end()), "edit");
  EXPECT_EQ(state_.counters.uploads, 2u);
}

// Without a record of the server version a copy came from (a first run,
// a lost ledger), a copy that differs from the server is not sent over it.
// (It used to overwrite the server file.)
TEST_F(ChangeSyncTest, ACopyThatDiffersWithoutARecordIsKeptBesideTheServerFile) {
  server_.AddFile(u"same.txt", "same");
  PutLocal(u"same.txt", "same");
  PutLocal(u"different.txt", "mine");
  server_.AddFile(u"different.txt", "theirs");
  // A name whose only dot leads it has no extension to keep last.
  PutLocal(u".profile", "mine");
  server_.AddFile(u".profile", "theirs");
  EXPECT_EQ(sync_->SyncNow(), 2u);
  EXPECT_EQ(server_.Dump(),
            ".profile 6\n.profile (conflicted copy) 4\n"
            "different (conflicted copy).txt 4\ndifferent.txt 6\nsame.txt 4\n");
  EXPECT_EQ(ReadLocal(Backend(u"different (conflicted copy).txt")), "mine");
  EXPECT_EQ(ReadLocal(Backend(u"different.txt")), "<missing>") << "the next open downloads theirs";
  EXPECT_EQ(sync_->SyncNow(), 0u);
}

// An edit of a downloaded copy whose server file changed meanwhile keeps
// both; the ledger, saved after the scan, tells a restarted agent which
// server version each copy came from, so an edit over an unchanged server
// file simply goes up.
TEST_F(ChangeSyncTest, EditsOverANewerServerVersionKeepBothAndTheLedgerOutlivesARestart) {
  server_.AddFile(u"a.txt", "v1");
  server_.AddFile(u"b.txt", "b1");
  for (const char16_t* name : {u"a.txt", u"b.txt"}) {
    ASSERT_EQ(ByteAnswer(Ask(kRequestDownload, DownloadPayload(View(name)))), 1);
  }
  const std::u16string ledger = std::u16string(kStaging) + u"\\sync-ledger.txt";
  sync_->UseLedgerFile(ledger);
  server_.AddFile(u"a.txt", "v2 from elsewhere");
  ASSERT_TRUE(local_->WriteAll(Backend(u"a.txt"), Bytes{'m', 'i', 'n', 'e'}));
  EXPECT_EQ(sync_->SyncNow(), 1u);
  EXPECT_EQ(server_.Dump(), "a (conflicted copy).txt 4\na.txt 17\nb.txt 2\n");

  AgentState restartedState;
  ChangeSync restarted(ViewPaths({kView, kBackend, kSecondary}), server_, *local_,
                       handler_->shortNames(), restartedState);
  restarted.UseLedgerFile(ledger);
  ASSERT_TRUE(local_->WriteAll(Backend(u"b.txt"), Bytes{'b', '2', '!'}));
  EXPECT_EQ(restarted.SyncNow(), 1u);
  Bytes contents;
  ASSERT_TRUE(server_.Read(u"b.txt", &contents));
  EXPECT_EQ(std::string(contents.begin(), contents.end()), "b2!");
  EXPECT_EQ(server_.Dump(), "a (conflicted copy).txt 4\na.txt 17\nb.txt 3\n");
}

// A folder deleted or moved out of the view takes with it what the user
// had locally; server items never seen here stay.
TEST_F(ChangeSyncTest, RemovalsTakeOnlyWhatTheUserHadLocally) {
  server_.AddFile(u"shared\\seen.txt", "s");
  server_.AddFile(u"shared\\server-only.txt", "o");
  server_.AddFile(u"album\\one.jpg", "1");
  server_.AddFile(u"album\\more\\two.jpg", "2");
  server_.AddFile(u"shared\\changed.txt", "c");
  for (const char16_t* seen : {u"shared\\seen.txt", u"shared\\changed.txt", u"album\\one.jpg",
                               u"album\\more\\two.jpg"}) {
    ASSERT_EQ(ByteAnswer(Ask(kRequestDownload, DownloadPayload(View(seen)))), 1);
  }
  server_.AddFile(u"shared\\changed.txt", "newer, from elsewhere");
  Notify(kNotificationRenamed, Backend(u"album"),
         u"\\Device\\HarddiskVolume3\\Users\\alice\\Desktop\\album");
  Notify(kNotificationDeleted, Backend(u"shared\\seen.txt"));
  Notify(kNotificationDeleted, Backend(u"shared\\changed.txt"));  // an older version went
  Notify(kNotificationDeleted, Backend(u"shared"));
  EXPECT_EQ(server_.Dump(), "shared\\\nshared\\changed.txt 21\nshared\\server-only.txt 1\n");
}

// The user renamed a folder and its notification still waits: the scan
// must not upload the new name as a new folder beside the old one.
TEST_F(ChangeSyncTest, TheScanLeavesAQueuedChangeToItsNotification) {
  server_.AddFile(u"old\\a.txt", "a");
  PutLocal(u"new\\a.txt", "a");
  const DecodedNotification renamed{kNotificationRenamed, Backend(u"old"), Backend(u"new")};
  sync_->Queued(renamed);
  EXPECT_EQ(sync_->SyncNow(), 0u);
  EXPECT_EQ(server_.Dump(), "old\\\nold\\a.txt 1\n");
  sync_->Apply(renamed);
  EXPECT_EQ(sync_->SyncNow(), 0u);
  EXPECT_EQ(server_.Dump(), "new\\\nnew\\a.txt 1\n");
}

// What the scan skipped for a queued notification is sent once that is
// applied, and an item moved into the view needs no scan at all: the next
// scan may be far off.
TEST_F(ChangeSyncTest, SkippedAndMovedInItemsAreSentWhenTheirNotificationIsApplied) {
  PutLocal(u"new.txt", "fresh");
  const DecodedNotification created{kNotificationCreated, Backend(u"new.txt"), {}};
  sync_->Queued(created);
  EXPECT_EQ(sync_->SyncNow(), 0u);
  sync_->Apply(created);
  PutLocal(u"moved\\in.txt", "in");
  Notify(kNotificationRenamed, u"\\Device\\HarddiskVolume3\\Users\\alice\\moved", Backend(u"moved"));
  EXPECT_EQ(server_.Dump(), "moved\\\nmoved\\in.txt 2\nnew.txt 5\n");
  // Into a local folder the server has not got yet: the folder goes first.
  PutLocal(u"made\\deeper\\in.txt", "in");
  Notify(kNotificationRenamed, u"\\Device\\HarddiskVolume3\\Users\\alice\\in.txt",
         Backend(u"made\\deeper\\in.txt"));
  EXPECT_EQ(server_.Dump(),
            "made\\\nmade\\deeper\\\nmade\\deeper\\in.txt 2\nmoved\\\nmoved\\in.txt 2\nnew.txt 5\n");
}

// An item renamed in the view before it was sent goes up under its new
// name once the rename is applied. (It stayed local, or an empty
// placeholder, until the next periodic scan.)
TEST_F(ChangeSyncTest, AnUnsentItemRenamedInTheViewIsSentUnderItsNewName) {
  // Moved in, then renamed before the move was applied.
  PutLocal(u"b.txt", "in");
  const DecodedNotification movedIn{kNotificationRenamed,
                                    u"\\Device\\HarddiskVolume3\\Users\\alice\\x.txt",
                                    Backend(u"a.txt")};
  const DecodedNotification renamedIn{kNotificationRenamed, Backend(u"a.txt"), Backend(u"b.txt")};
  sync_->Queued(movedIn);
  sync_->Queued(renamedIn);
  sync_->Apply(movedIn);
  sync_->Apply(renamedIn);
  EXPECT_EQ(server_.Dump(), "b.txt 2\n");
  // Created and skipped by a scan, renamed after the create was applied.
  PutLocal(u"c.txt", "ccc");
  const DecodedNotification created{kNotificationCreated, Backend(u"c.txt"), {}};
  const DecodedNotification renamed{kNotificationRenamed, Backend(u"c.txt"), Backend(u"d.txt")};
  sync_->Queued(created);
  EXPECT_EQ(sync_->SyncNow(), 0u);
  sync_->Queued(renamed);
  sync_->Apply(created);
  ASSERT_TRUE(local_->Rename(Backend(u"c.txt"), Backend(u"d.txt"), false));
  sync_->Apply(renamed);
  EXPECT_EQ(server_.Dump(), "b.txt 2\nd.txt 3\n");
}

// A local rename over a downloaded copy replaces the server file only when
// the copy was of the server's current version; a newer one is kept under
// a conflict name. (It used to be removed.)
TEST_F(ChangeSyncTest, ARenameOverACopyKeepsANewerServerVersion) {
  server_.AddFile(u"a.txt", "aaa");
  server_.AddFile(u"b.txt", "b");
  server_.AddFile(u"c.txt", "cccc");
  server_.AddFile(u"d.txt", "d");
  for (const char16_t* name : {u"a.txt", u"b.txt", u"c.txt", u"d.txt"}) {
    ASSERT_EQ(ByteAnswer(Ask(kRequestDownload, DownloadPayload(View(name)))), 1);
  }
  server_.AddFile(u"b.txt", "b2 newer");
  for (const auto& [from, to] : {std::pair{u"a.txt", u"b.txt"}, std::pair{u"c.txt", u"d.txt"}}) {
    ASSERT_TRUE(local_->Rename(Backend(from), Backend(to), true));
    Notify(kNotificationRenamed, Backend(from), Backend(to));
  }
  EXPECT_EQ(server_.Dump(), "b (conflicted copy).txt 8\nb.txt 3\nd.txt 4\n");
}

// An editor saves a new file as a temporary renamed to its name; the
// Created notification is applied after the rename. The file goes up as
// it is, without a conflict. (An empty placeholder used to meet it.)
TEST_F(ChangeSyncTest, ANewFileSavedThroughATemporaryIsNoConflict) {
  server_.AddFolder(u"docs\\");
  PutLocal(u"docs\\report.txt", "my report");
  Notify(kNotificationCreated, Backend(u"docs\\~tmp1"));
  Notify(kNotificationRenamed, Backend(u"docs\\~tmp1"), Backend(u"docs\\report.txt"));
  EXPECT_EQ(sync_->SyncNow(), 0u) << "sent when the rename was applied";
  EXPECT_EQ(server_.Dump(), "docs\\\ndocs\\report.txt 9\n");
  EXPECT_EQ(ReadLocal(Backend(u"docs\\report.txt")), "my report");
}

// A folder rename the scan saw before its notification was queued: the
// scan made the new name, the rename merges the old one into it (server
// items never here included), and later edits go up without a conflict.
// (The old folder used to stay beside the new one.)
TEST_F(ChangeSyncTest, AFolderRenameTheScanSawFirstMergesIntoTheNewName) {
  server_.AddFile(u"d\\f.txt", "x");
  server_.AddFile(u"d\\server-only.txt", "oo");
  ASSERT_EQ(ByteAnswer(Ask(kRequestDownload, DownloadPayload(View(u"d\\f.txt")))), 1);
  ASSERT_TRUE(local_->Rename(Backend(u"d"), Backend(u"e"), false));
  EXPECT_EQ(sync_->SyncNow(), 1u);
  Notify(kNotificationRenamed, Backend(u"d"), Backend(u"e"));
  EXPECT_EQ(server_.Dump(), "e\\\ne\\f.txt 1\ne\\server-only.txt 2\n");
  ASSERT_TRUE(local_->WriteAll(Backend(u"e\\f.txt"), Bytes{'e', 'd', 'i', 't'}));
  EXPECT_EQ(sync_->SyncNow(), 1u);
  EXPECT_EQ(server_.Dump(), "e\\\ne\\f.txt 4\ne\\server-only.txt 2\n");
}

}  // namespace
}  // namespace tavo::agent::testing
