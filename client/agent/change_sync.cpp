#include "change_sync.h"

#include "request_payloads.h"
#include "text.h"

namespace tavo::agent {

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

void ChangeSync::Apply(const DecodedNotification& n) {
  auto first = paths_.AnyToServer(n.firstName);
  switch (n.type) {
    case kNotificationCreated: {
      if (!first || first->empty()) return;
      shortNames_.Forget(ParentOf(*first));
      // The local copy is looked at under the backend root, never through the view.
      auto item = local_.Stat(paths_.ServerToBackend(*first));
      if (item && item->isDirectory) {
        server_.MakeFolder(*first);
      } else if (!server_.Stat(*first)) {
        // The contents follow with the upload scan, once the file is written.
        server_.MakeFolder(ParentOf(*first));
        server_.Write(*first, {});
      }
      state_.Trace("agent: created " + ToUtf8(*first) + " on the server");
      return;
    }
    case kNotificationDeleted: {
      if (!first || first->empty()) return;
      shortNames_.Forget(ParentOf(*first));
      state_.ledger.Forget(n.firstName);
      if (server_.Remove(*first))
        state_.Trace("agent: deleted " + ToUtf8(*first) + " on the server");
      return;
    }
    case kNotificationRenamed: {
      auto second = paths_.AnyToServer(n.secondName);
      if (first) shortNames_.Forget(ParentOf(*first));
      if (second) shortNames_.Forget(ParentOf(*second));
      if (first && !first->empty() && second && !second->empty()) {
        state_.ledger.Move(paths_.ServerToBackend(*first), paths_.ServerToBackend(*second));
        if (server_.Stat(*first)) {
          // The local rename has replaced whatever the target was.
          if (server_.Stat(*second) && Upcase(*first) != Upcase(*second)) server_.Remove(*second);
          server_.MakeFolder(ParentOf(*second));
          if (server_.Rename(*first, *second)) {
            state_.Trace("agent: renamed " + ToUtf8(*first) + " to " + ToUtf8(*second) +
                         " on the server");
          }
        }
      } else if (first && !first->empty()) {
        // Moved out of the view: the server item goes.
        state_.ledger.Forget(paths_.ServerToBackend(*first));
        server_.Remove(*first);
        state_.Trace("agent: " + ToUtf8(*first) + " left the view; deleted on the server");
      }
      // Moved into the view: the upload scan sends it.
      return;
    }
    default:
      return;
  }
}

std::size_t ChangeSync::SyncNow() {
  return ScanFolder(u"");
}

std::size_t ChangeSync::ScanFolder(const std::u16string& serverFolder) {
  auto items = local_.List(paths_.ServerToBackend(serverFolder));
  if (!items) return 0;
  std::size_t uploaded = 0;
  for (const ItemInfo& item : *items) {
    const std::u16string serverPath = JoinRelative(serverFolder, item.name);
    const std::u16string localPath = paths_.ServerToBackend(serverPath);
    if (item.isDirectory) {
      if (!server_.Stat(serverPath)) server_.MakeFolder(serverPath);
      uploaded += ScanFolder(serverPath);
      continue;
    }
    const SyncStamp stamp{item.size, item.lastWriteTime};
    if (auto known = state_.ledger.Find(localPath); known && *known == stamp) continue;
    Bytes contents;
    if (!local_.ReadAll(localPath, &contents)) continue;  // busy: the next scan tries again
    Bytes onServer;
    if (server_.Read(serverPath, &onServer) && onServer == contents) {
      state_.ledger.Record(localPath, stamp);
      continue;
    }
    server_.MakeFolder(serverFolder);
    if (server_.Write(serverPath, contents)) {
      state_.ledger.Record(localPath, stamp);
      ++state_.counters.uploads;
      ++uploaded;
      state_.Trace("agent: uploaded " + ToUtf8(serverPath) + " (" +
                   std::to_string(contents.size()) + " bytes)");
    }
  }
  return uploaded;
}

}  // namespace tavo::agent
