// Keeps the server in step with the local copies under the backend root:
// the driver's notifications (a copy created, renamed, deleted) are carried
// over to the server, and an upload scan sends copies whose size or write
// time changed since they last matched the server. The scan runs on demand
// (SyncNow) and, when the agent is so configured, periodically.
//
// Notifications about paths the agent is changing itself (downloads, the
// folders made for them, renames it makes) are recognised by OwnChanges and
// ignored.
#pragma once

#include <map>
#include <mutex>

#include "agent_state.h"
#include "local_files.h"
#include "payloads.h"
#include "server_store.h"
#include "short_names.h"
#include "view_paths.h"

namespace tavo::agent {

class ChangeSync {
 public:
  ChangeSync(ViewPaths paths, ServerStore& server, LocalFiles& local, ShortNameBook& shortNames,
             AgentState& state);

  // True when the notification is about one of the agent's own changes
  // (decided when it arrives, while the change is still in progress).
  bool IsOwnChange(const DecodedNotification& notification) const;
  // A notification waits in the queue for Apply; until it is applied the
  // upload scan leaves its paths alone.
  void Queued(const DecodedNotification& notification);
  // Carries a user's change over to the server (after Queued).
  void Apply(const DecodedNotification& notification);
  // A queued notification that will not be applied.
  void Unqueued(const DecodedNotification& notification) { Applied(notification); }
  // Uploads every local copy that changed; returns how many were sent. A
  // copy whose server file changed since the copy was made is not sent
  // over it: both are kept (see KeepBoth).
  std::size_t SyncNow();
  // Where the ledger is kept across restarts (read now, written after each
  // scan and by SaveLedger).
  void UseLedgerFile(std::u16string path);
  void SaveLedger();

 private:
  void ApplyLocked(const DecodedNotification& notification);
  void Applied(const DecodedNotification& notification);
  bool IsPendingLocked(const std::u16string& upcasedPath) const;
  bool DeferIfPending(const std::u16string& serverPath, bool isDirectory);
  void Defer(const std::u16string& serverPath, bool isDirectory);
  void MoveDeferred(const std::u16string& from, const std::u16string& to);
  void SendDeferred();
  bool RemoveFromServer(const std::u16string& serverPath, bool known);
  void MergeFolder(const std::u16string& from, const std::u16string& to);
  std::size_t ScanFolder(const std::u16string& serverFolder);
  bool Upload(const std::u16string& serverPath, bool isDirectory);
  std::u16string ConflictName(const std::u16string& serverPath);
  bool KeepBoth(const std::u16string& serverPath, const Bytes& contents);

  ViewPaths paths_;
  ServerStore& server_;
  LocalFiles& local_;
  ShortNameBook& shortNames_;
  AgentState& state_;
  mutable std::mutex pendingLock_;
  std::map<std::u16string, int> pending_;  // upcased server path -> queued notifications
  // upcased server path -> (path, is a folder): to send once nothing about it is queued
  std::map<std::u16string, std::pair<std::u16string, bool>> deferred_;
  std::mutex saveLock_;
  std::u16string ledgerFile_;
};

}  // namespace tavo::agent
