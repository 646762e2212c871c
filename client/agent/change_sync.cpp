#include "change_sync.h"

#include "request_payloads.h"
#include "text.h"

namespace tavo::agent {
namespace {

// A copy's stamp in the ledger that no copy has: not yet sent.
constexpr SyncStamp kNeverMatched{~std::uint64_t{0}, 0};

}  // namespace

using namespace tavo::protocol;

ChangeSync::ChangeSync(ViewPaths paths, ServerStore& server, LocalFiles& local,
                       ShortNameBook& shortNames, AgentState& state)
    : paths_(std::move(paths)),
      server_(server),
      local_(local),
      shortNames_(shortNames),
      state_(state) {}

bool ChangeSync::IsOwnChange(const DecodedNotification& n) const {
  if (state_.ownChanges.IsOwn(n.firstName)) return true;
  return !n.secondName.empty() && state_.ownChanges.IsOwn(n.secondName);
}

void ChangeSync::Queued(const DecodedNotification& n) {
  std::lock_guard guard(pendingLock_);
  for (const auto& path : {paths_.AnyToServer(n.firstName), paths_.AnyToServer(n.secondName)}) {
    if (path && !path->empty()) ++pending_[Upcase(*path)];
  }
}

void ChangeSync::Applied(const DecodedNotification& n) {
  std::lock_guard guard(pendingLock_);
  for (const auto& path : {paths_.AnyToServer(n.firstName), paths_.AnyToServer(n.secondName)}) {
    if (!path || path->empty()) continue;
    auto it = pending_.find(Upcase(*path));
    if (it != pending_.end() && --it->second <= 0) pending_.erase(it);
  }
}

bool ChangeSync::IsPendingLocked(const std::u16string& key) const {
  for (const auto& [path, count] : pending_) {
    if (IsAtOrUnder(key, path)) return true;
  }
  return false;
}

bool ChangeSync::DeferIfPending(const std::u16string& serverPath, bool isDirectory) {
  std::lock_guard guard(pendingLock_);
  const std::u16string key = Upcase(serverPath);
  if (!IsPendingLocked(key)) return false;
  deferred_[key] = {serverPath, isDirectory};
  return true;
}

void ChangeSync::Defer(const std::u16string& serverPath, bool isDirectory) {
  std::lock_guard guard(pendingLock_);
  deferred_[Upcase(serverPath)] = {serverPath, isDirectory};
}

// A rename in the view takes along what was to be sent under the old name.
void ChangeSync::MoveDeferred(const std::u16string& from, const std::u16string& to) {
  std::lock_guard guard(pendingLock_);
  std::vector<std::pair<std::u16string, bool>> moved;
  for (auto it = deferred_.begin(); it != deferred_.end();) {
    if (IsAtOrUnder(it->first, Upcase(from))) {
      moved.push_back({to + it->second.first.substr(from.size()), it->second.second});
      it = deferred_.erase(it);
    } else {
      ++it;
    }
  }
  for (const auto& [path, isDirectory] : moved) deferred_[Upcase(path)] = {path, isDirectory};
}

// Items a scan skipped while a notification about them was queued, and
// items moved into the view, are sent once no notification about them is
// queued any more: the scan that skipped one may be the last for a while.
void ChangeSync::SendDeferred() {
  std::vector<std::pair<std::u16string, bool>> ready;
  {
    std::lock_guard guard(pendingLock_);
    for (auto it = deferred_.begin(); it != deferred_.end();) {
      if (IsPendingLocked(it->first)) {
        ++it;
      } else {
        ready.push_back(it->second);
        it = deferred_.erase(it);
      }
    }
  }
  if (ready.empty()) return;
  try {
    for (const auto& [path, isDirectory] : ready) {
      // Its folders first, as a scan would make them on the way down.
      bool foldersThere = true;
      for (std::size_t slash = path.find(u'\\'); foldersThere && slash != std::u16string::npos;
           slash = path.find(u'\\', slash + 1)) {
        foldersThere = Upload(path.substr(0, slash), true);
      }
      if (foldersThere && Upload(path, isDirectory) && isDirectory) ScanFolder(path);
    }
    SaveLedger();
  } catch (const std::exception& error) {
    state_.Trace(std::string("agent: a deferred upload stopped: ") + error.what());
  }
}

void ChangeSync::Apply(const DecodedNotification& n) {
  try {
    ApplyLocked(n);
  } catch (const std::exception& error) {
    state_.Trace("agent: " + DescribeNotification(n) + " not carried over: " + error.what());
  }
  Applied(n);
  SendDeferred();
}

// What the user had below a server path goes: the item itself, and below a
// folder the files the ledger knows as local copies and the folders left
// empty. Items the user never had locally stay on the server, and so does a
// file changed on the server since the user's copy was made (the user
// removed an older version).
bool ChangeSync::RemoveFromServer(const std::u16string& serverPath, bool known) {
  auto item = server_.Stat(serverPath);
  if (!item) return false;
  if (item->isDirectory) {
    for (const ItemInfo& child : server_.List(serverPath).value_or(std::vector<ItemInfo>{})) {
      RemoveFromServer(JoinRelative(serverPath, child.name), false);
    }
  } else {
    const auto record = state_.ledger.Find(paths_.ServerToBackend(serverPath));
    if (record ? record->server != StampOf(*item) : !known) return false;
  }
  return server_.Remove(serverPath);
}

void ChangeSync::ApplyLocked(const DecodedNotification& n) {
  auto first = paths_.AnyToServer(n.firstName);
  auto second = n.secondName.empty() ? std::nullopt : paths_.AnyToServer(n.secondName);
  std::vector<std::u16string> locked;
  if (first && !first->empty()) locked.push_back(*first);
  if (second && !second->empty()) locked.push_back(*second);
  if (locked.empty()) return;
  PathLocks::Hold hold = state_.pathLocks.Lock(locked);
  switch (n.type) {
    case kNotificationCreated: {
      if (!first || first->empty()) return;
      // The local copy is looked at under the backend root, never through the view.
      auto item = local_.Stat(paths_.ServerToBackend(*first));
      // Gone already (an editor's temporary renamed to its final name): the
      // rename or the upload scan carries it over. A placeholder made now
      // would have no record, and the renamed copy would meet it as a
      // conflict.
      if (!item) return;
      if (item->isDirectory) {
        server_.MakeFolder(*first);
      } else if (!server_.Stat(*first)) {
        // The contents follow with the upload scan, once the file is
        // written; the empty file is the version the copy starts from.
        server_.MakeFolder(ParentOf(*first));
        const auto placeholder = server_.Write(*first, {}) ? server_.Stat(*first) : std::nullopt;
        if (placeholder) {
          // The copy matches the placeholder only while it is empty too.
          const SyncStamp local = item->size == 0 ? StampOf(*item) : kNeverMatched;
          state_.ledger.Record(paths_.ServerToBackend(*first), {local, StampOf(*placeholder)});
        }
      }
      state_.Trace("agent: created " + ToUtf8(*first) + " on the server");
      return;
    }
    case kNotificationDeleted: {
      if (!first || first->empty()) return;
      shortNames_.Forget(*first);
      if (RemoveFromServer(*first, true)) {
        state_.Trace("agent: deleted " + ToUtf8(*first) + " on the server");
      } else if (server_.Stat(*first)) {
        state_.Trace("agent: " + ToUtf8(*first) + " kept on the server: it holds items never here");
      }
      state_.ledger.Forget(paths_.ServerToBackend(*first));
      return;
    }
    case kNotificationRenamed: {
      // A local file renamed into the view over a server item: the rename
      // set that item aside and has now taken its name.
      if (second && !second->empty()) state_.replaced.Taken(*second);
      if (first && !first->empty() && second && !second->empty()) {
        MoveDeferred(*first, *second);
        const auto source = server_.Stat(*first);
        const auto target = Upcase(*first) != Upcase(*second) ? server_.Stat(*second) : std::nullopt;
        if (source && target && source->isDirectory && target->isDirectory) {
          // The upload scan made the new name first: the two become one.
          MergeFolder(*first, *second);
          state_.ledger.Forget(paths_.ServerToBackend(*first));
          return;
        }
        if (source && target && !target->isDirectory && !RemoveFromServer(*second, false)) {
          // The local rename replaced the copy of an older version: the
          // newer one stays, under a conflict name.
          const std::u16string conflict = ConflictName(*second);
          if (server_.Rename(*second, conflict)) {
            state_.Trace("agent: " + ToUtf8(*second) + " changed on the server; kept as " +
                         ToUtf8(conflict));
          }
        }
        state_.ledger.Move(paths_.ServerToBackend(*first), paths_.ServerToBackend(*second));
        if (source) {
          server_.MakeFolder(ParentOf(*second));
          if (server_.Rename(*first, *second)) {
            state_.Trace("agent: renamed " + ToUtf8(*first) + " to " + ToUtf8(*second) +
                         " on the server");
          }
        } else if (auto item = local_.Stat(paths_.ServerToBackend(*second))) {
          // Never on the server (moved in or created, then renamed before
          // either was applied, so nothing was deferred): sent as well.
          Defer(*second, item->isDirectory);
        }
      } else if (first && !first->empty() && !paths_.InView(n.secondName) &&
                 !IsAtOrUnder(n.secondName, paths_.roots().backendRoot)) {
        // Moved out of the view: what the user had of the server item goes.
        if (RemoveFromServer(*first, true))
          state_.Trace("agent: " + ToUtf8(*first) + " left the view; deleted on the server");
        state_.ledger.Forget(paths_.ServerToBackend(*first));
      } else if (!first && second && !second->empty()) {
        // Moved into the view from elsewhere: sent once this is applied.
        if (auto item = local_.Stat(paths_.ServerToBackend(*second))) Defer(*second, item->isDirectory);
      }
      return;
    }
    default:
      return;
  }
}

// Moves what `from` holds into the folder `to` where nothing of that name
// is there yet, with its ledger records (folders met on both sides are
// merged in turn), drops a file whose twin at the target has the same
// contents (the target's record is the scan's), and removes `from` once it
// is empty. Anything else stays where it was.
void ChangeSync::MergeFolder(const std::u16string& from, const std::u16string& to) {
  for (const ItemInfo& child : server_.List(from).value_or(std::vector<ItemInfo>{})) {
    const std::u16string source = JoinRelative(from, child.name);
    const std::u16string target = JoinRelative(to, child.name);
    const auto existing = server_.Stat(target);
    if (!existing) {
      if (server_.Rename(source, target))
        state_.ledger.Move(paths_.ServerToBackend(source), paths_.ServerToBackend(target));
    } else if (child.isDirectory && existing->isDirectory) {
      MergeFolder(source, target);
    } else if (!child.isDirectory && !existing->isDirectory) {
      Bytes ours, theirs;
      if (server_.Read(source, &ours) && server_.Read(target, &theirs) && ours == theirs)
        server_.Remove(source);
    }
  }
  if (server_.Remove(from)) {
    state_.Trace("agent: renamed " + ToUtf8(from) + " to " + ToUtf8(to) + " on the server");
  } else {
    state_.Trace("agent: " + ToUtf8(from) + " kept on the server beside " + ToUtf8(to) +
                 ": they differ");
  }
}

std::size_t ChangeSync::SyncNow() {
  try {
    const std::size_t uploaded = ScanFolder(u"");
    SaveLedger();
    return uploaded;
  } catch (const std::exception& error) {
    state_.Trace(std::string("agent: the upload scan stopped: ") + error.what());
    return 0;
  }
}

std::size_t ChangeSync::ScanFolder(const std::u16string& serverFolder) {
  auto items = local_.List(paths_.ServerToBackend(serverFolder));
  if (!items) return 0;
  std::size_t uploaded = 0;
  for (const ItemInfo& listed : *items) {
    const std::u16string serverPath = JoinRelative(serverFolder, listed.name);
    if (CheckServerPath(serverPath) != NameVerdict::kLegal) continue;
    if (listed.isDirectory) {
      if (!Upload(serverPath, true)) continue;
      uploaded += ScanFolder(serverPath);
    } else if (Upload(serverPath, false)) {
      ++uploaded;
    }
  }
  return uploaded;
}

// One item of the scan: a folder is made on the server (true when it is
// there to descend into), a changed file sent (true when it was).
bool ChangeSync::Upload(const std::u16string& serverPath, bool isDirectory) {
  PathLocks::Hold hold = state_.pathLocks.Lock({serverPath});
  // A change whose notification is still queued is the notification's to
  // carry over (the scan would otherwise bring back what a rename moved);
  // and the copy is looked at again under the lock, as a rename or delete
  // may have come first.
  if (DeferIfPending(serverPath, isDirectory)) return false;
  const std::u16string localPath = paths_.ServerToBackend(serverPath);
  auto item = local_.Stat(localPath);
  if (!item || item->isDirectory != isDirectory) return false;
  if (isDirectory) return server_.Stat(serverPath) || server_.MakeFolder(serverPath);

  const SyncStamp stamp = StampOf(*item);
  const auto known = state_.ledger.Find(localPath);
  if (known && known->local == stamp) return false;
  Bytes contents;
  if (!local_.ReadAll(localPath, &contents)) return false;  // busy: the next scan tries again
  const auto onServer = server_.Stat(serverPath);
  if (onServer && onServer->isDirectory) return false;
  Bytes serverContents;
  if (onServer && server_.Read(serverPath, &serverContents) && serverContents == contents) {
    state_.ledger.Record(localPath, {stamp, StampOf(*onServer)});
    return false;
  }
  // The server's version is not the one this copy was made from (changed
  // elsewhere, or unknown after a restart without a record): keep both.
  if (onServer && (!known || known->server != StampOf(*onServer)))
    return KeepBoth(serverPath, contents);
  if (!server_.Write(serverPath, contents)) return false;
  const auto written = server_.Stat(serverPath);
  state_.ledger.Record(localPath, {stamp, written ? StampOf(*written) : SyncStamp{}});
  ++state_.counters.uploads;
  state_.Trace("agent: uploaded " + ToUtf8(serverPath) + " (" + std::to_string(contents.size()) +
               " bytes)");
  return true;
}

// "notes (conflicted copy).txt", then "... copy 2)", ...: the first name
// neither side has.
std::u16string ChangeSync::ConflictName(const std::u16string& serverPath) {
  const std::u16string leaf = LeafOf(serverPath);
  const std::size_t dot = leaf.rfind(u'.');
  const bool hasExtension = dot != std::u16string::npos && dot != 0;
  const std::u16string stem = hasExtension ? leaf.substr(0, dot) : leaf;
  const std::u16string extension = hasExtension ? leaf.substr(dot) : u"";
  for (int n = 1;; ++n) {
    const std::u16string suffix =
        n == 1 ? u" (conflicted copy)" : u" (conflicted copy " + FromUtf8(std::to_string(n)) + u")";
    const std::u16string candidate = JoinRelative(ParentOf(serverPath), stem + suffix + extension);
    if (!server_.Stat(candidate) && !local_.Stat(paths_.ServerToBackend(candidate)))
      return candidate;
  }
}

// The server's version keeps the name; the local edit goes to the server
// under a conflict name, and the local copy takes that name too, so that
// the view shows both and the next open of the name downloads the
// server's version.
bool ChangeSync::KeepBoth(const std::u16string& serverPath, const Bytes& contents) {
  const std::u16string conflict = ConflictName(serverPath);
  const std::u16string localPath = paths_.ServerToBackend(serverPath);
  const std::u16string conflictCopy = paths_.ServerToBackend(conflict);
  if (!server_.CanHold(conflict)) return false;
  {
    OwnChangeScope ownOld(state_.ownChanges, localPath);
    OwnChangeScope ownNew(state_.ownChanges, conflictCopy);
    if (!local_.Rename(localPath, conflictCopy, false)) return false;  // busy: next scan
  }
  state_.ledger.Forget(localPath);
  state_.Trace("agent: " + ToUtf8(serverPath) + " changed on the server and here; kept both, " +
               "the local edit as " + ToUtf8(conflict));
  if (!server_.Write(conflict, contents)) return false;  // the next scan uploads it
  const auto copy = local_.Stat(conflictCopy);
  const auto written = server_.Stat(conflict);
  if (copy && written) {
    state_.ledger.Record(conflictCopy, {StampOf(*copy), StampOf(*written)});
  }
  ++state_.counters.uploads;
  return true;
}

void ChangeSync::UseLedgerFile(std::u16string path) {
  std::lock_guard guard(saveLock_);
  ledgerFile_ = std::move(path);
  Bytes text;
  if (local_.ReadAll(ledgerFile_, &text)) {
    state_.ledger.Load(std::string_view(reinterpret_cast<const char*>(text.data()), text.size()));
  }
}

// Written aside and renamed over the old file.
void ChangeSync::SaveLedger() {
  std::lock_guard guard(saveLock_);  // the scan thread and SyncNow's caller
  if (ledgerFile_.empty()) return;
  const std::string text = state_.ledger.Save();
  const std::u16string aside = ledgerFile_ + u".new";
  if (!local_.WriteAll(aside, Bytes(text.begin(), text.end())) ||
      !local_.Rename(aside, ledgerFile_, true)) {
    state_.Trace("agent: cannot save the sync ledger to " + ToUtf8(ledgerFile_));
  }
}

}  // namespace tavo::agent
