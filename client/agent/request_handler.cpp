#include "request_handler.h"

#include <cstring>

#include "name_pattern.h"
#include "request_payloads.h"
#include "text.h"

namespace tavo::agent {
namespace {

using namespace tavo::protocol;

AgentAnswer OneByte(std::uint8_t value) {
  return {status::kSuccess, Bytes{value}};
}

AgentAnswer FourBytes(std::uint32_t value) {
  AgentAnswer answer{status::kSuccess, Bytes(4)};
  std::memcpy(answer.data.data(), &value, 4);
  return answer;
}

AgentAnswer Failure(std::int32_t code) {
  return {code, {}};
}

AgentAnswer ToAnswer(ListingAnswer listing) {
  return {listing.status, std::move(listing.data)};
}

std::u16string Number(std::uint64_t value) {
  std::u16string text;
  do {
    text.insert(text.begin(), static_cast<char16_t>(u'0' + value % 10));
    value /= 10;
  } while (value != 0);
  return text;
}

// "\Device\HarddiskVolume3" of "\Device\HarddiskVolume3\Users\...".
std::u16string VolumeOf(const std::u16string& path) {
  std::size_t end = 0;
  for (int i = 0; i < 3 && end != std::u16string::npos; ++i) end = path.find(u'\\', end + 1);
  return path.substr(0, end);
}

bool EndsWith(const std::u16string& name, std::u16string_view tail) {
  return name.size() >= tail.size() && EqualsIgnoreCase(name.substr(name.size() - tail.size()), tail);
}

constexpr std::u16string_view kStagedSuffix = u".download";

}  // namespace

RequestHandler::RequestHandler(ViewPaths paths, ServerStore& server, LocalFiles& local,
                               ShortNameSource shortNames, AgentState& state,
                               std::u16string stagingFolder)
    : paths_(std::move(paths)),
      server_(server),
      local_(local),
      shortNames_(std::move(shortNames)),
      state_(state),
      staging_(stagingFolder.empty() ? DefaultStaging(paths_.roots()) : std::move(stagingFolder)) {
}

std::u16string RequestHandler::DefaultStaging(const ViewRoots& roots) {
  std::u16string backend = roots.backendRoot;
  while (!backend.empty() && backend.back() == u'\\') backend.pop_back();
  return backend + u".staging";
}

bool RequestHandler::PrepareStaging() {
  const ViewRoots& roots = paths_.roots();
  if (!EqualsIgnoreCase(VolumeOf(staging_), VolumeOf(roots.backendRoot)) ||
      IsAtOrUnder(staging_, roots.backendRoot) || paths_.InView(staging_)) {
    state_.Trace("agent: the staging folder " + ToUtf8(staging_) +
                 " must be on the backend's volume, outside the backend folder and the view");
    return false;
  }
  if (!local_.Stat(staging_) && !local_.MakeDirectory(staging_)) {
    state_.Trace("agent: cannot make the staging folder " + ToUtf8(staging_));
    return false;
  }
  for (const ItemInfo& item : local_.List(staging_).value_or(std::vector<ItemInfo>{})) {
    if (!item.isDirectory && EndsWith(item.name, kStagedSuffix)) {
      local_.Remove(staging_ + u"\\" + item.name);
    }
  }
  return true;
}

std::int32_t RequestHandler::Check(std::uint32_t type, const Bytes& payload) const {
  return DecodeRequest(type, payload) ? status::kSuccess : status::kInvalidParameter;
}

AgentAnswer RequestHandler::Handle(std::uint32_t type, const Bytes& payload) {
  auto request = DecodeRequest(type, payload);
  if (!request) return Failure(status::kInvalidParameter);
  return Handle(*request);
}

// Whatever goes wrong inside (a host name that does not convert, an I/O
// error half-way through a walk, memory running out) fails this request
// alone; the agent goes on answering the others.
AgentAnswer RequestHandler::Handle(const DecodedRequest& request) {
  try {
    return Dispatch(request);
  } catch (const std::exception& error) {
    state_.Trace("agent: " + DescribeRequest(request) + " failed: " + error.what());
  } catch (...) {
    state_.Trace("agent: " + DescribeRequest(request) + " failed");
  }
  return Failure(status::kUnsuccessful);
}

AgentAnswer RequestHandler::Dispatch(const DecodedRequest& request) {
  switch (request.type) {
    case kRequestDownload:
      return Download(request);
    case kRequestDirectoryListing:
      return request.purpose == kDirectoryQueryDeleteCheck ? DeleteCheck(request)
                                                           : Listing(request);
    case kRequestItemQuery:
      return request.queryKind == kQueryLongName ? LongName(request) : ItemInformation(request);
    case kRequestRenameItem:
      return Rename(request);
    case kRequestDeleteItem:
      return DeleteItem(request);
    case kRequestCreatePath:
      return CreatePath(request);
    default:
      return Failure(status::kInvalidParameter);
  }
}

// ---- item information and long names

AgentAnswer RequestHandler::ItemInformation(const DecodedRequest& request) {
  auto path = paths_.ViewToServer(request.name);
  if (!path) return Failure(status::kObjectNameNotFound);
  auto item = server_.Stat(*path);
  if (!item) return Failure(status::kObjectNameNotFound);
  ItemInfoReply reply{};
  reply.CreationTime = item->creationTime;
  reply.LastAccessTime = item->lastAccessTime;
  reply.LastWriteTime = item->lastWriteTime;
  reply.ChangeTime = item->changeTime;
  reply.EndOfFile = item->isDirectory ? 0 : static_cast<i64>(item->size);
  reply.AllocationSize = item->isDirectory ? 0 : static_cast<i64>(item->allocationSize);
  reply.FileAttributes = ReportedAttributes(*item);
  AgentAnswer answer{status::kSuccess, Bytes(kItemInfoReplySize)};
  std::memcpy(answer.data.data(), &reply, kItemInfoReplySize);
  return answer;
}

// Each component below the view's root that is a short name the agent
// handed out for its folder is replaced by its long name; every other
// component is kept as it is (the long form of a name nobody shortened is
// the name itself, also for names that do not exist yet).
AgentAnswer RequestHandler::LongName(const DecodedRequest& request) {
  const ViewRoots& roots = paths_.roots();
  std::u16string root;
  if (IsAtOrUnder(request.name, roots.mergedViewRoot)) {
    root = request.name.substr(0, roots.mergedViewRoot.size());
  } else if (IsAtOrUnder(request.name, roots.secondaryViewRoot)) {
    root = request.name.substr(0, roots.secondaryViewRoot.size());
  } else {
    return Failure(status::kObjectPathNotFound);
  }
  if (!paths_.ViewToServer(request.name)) return Failure(status::kObjectNameInvalid);
  std::u16string result = root;
  std::u16string folder;
  for (const std::u16string& component : SplitComponents(request.name.substr(root.size()))) {
    std::u16string longName = component;
    if (IsShortFormName(component)) {
      auto known = shortNames_.LongNameOf(folder, component);
      if (!known) {
        // Not handed out yet, or the folder gained names since: ask afresh.
        if (auto items = MergedFolder(folder)) {
          std::vector<std::u16string> names;
          for (const ItemInfo& item : *items) names.push_back(item.name);
          shortNames_.ForFolder(folder, names);
          known = shortNames_.LongNameOf(folder, component);
        }
      }
      if (known) longName = *known;
    }
    result += u'\\';
    result += longName;
    folder = JoinRelative(folder, longName);
  }
  if (request.name.size() > root.size() && request.name.back() == u'\\') result += u'\\';
  result += u'\0';
  if (result.size() * 2 > kLongNameAnswerBytes) return Failure(status::kNameTooLong);
  AgentAnswer answer{status::kSuccess, Bytes(result.size() * 2)};
  std::memcpy(answer.data.data(), result.data(), answer.data.size());
  return answer;
}

// ---- listings

std::optional<std::vector<ItemInfo>> RequestHandler::MergedFolder(
    const std::u16string& serverPath) {
  auto serverItems = server_.List(serverPath);
  auto localItems = local_.List(paths_.ServerToBackend(serverPath));
  if (!serverItems && !localItems) return std::nullopt;
  std::map<std::u16string, ItemInfo> merged;
  if (serverItems) {
    for (ItemInfo& item : *serverItems) merged[Upcase(item.name)] = std::move(item);
  }
  if (localItems) {
    for (ItemInfo& item : *localItems) merged[Upcase(item.name)] = std::move(item);
  }
  std::vector<ItemInfo> items;
  for (auto& [key, item] : merged) items.push_back(std::move(item));
  return items;
}

std::optional<ItemInfo> RequestHandler::FolderInfo(const std::u16string& serverPath) {
  if (auto item = server_.Stat(serverPath); item && item->isDirectory) return item;
  if (auto item = local_.Stat(paths_.ServerToBackend(serverPath)); item && item->isDirectory) {
    return item;
  }
  return std::nullopt;
}

AgentAnswer RequestHandler::Listing(const DecodedRequest& request) {
  auto path = paths_.ViewToServer(request.name);
  if (!path) return Failure(status::kObjectPathNotFound);
  ListingQuery query;
  query.infoClass = request.infoClass;
  query.startIndex = request.startIndex;
  query.singleEntry = request.singleEntry;
  query.bufferLength = request.bufferLength;
  query.pattern = request.secondName;
  // A query the listing refuses anyway (class, buffer, pattern) takes no snapshot.
  if (EntryHeaderBytes(query.infoClass) == 0 || query.bufferLength < EntryHeaderBytes(query.infoClass) ||
      (!query.pattern.empty() && !IsLegalPattern(query.pattern))) {
    return ToAnswer(BuildListingPage({}, query));
  }
  // Short names are needed to fill the "Both" classes and to match a pattern.
  const bool wantShortNames = request.infoClass == kFileBothDirectoryInformation ||
                              request.infoClass == kFileIdBothDirectoryInformation ||
                              !request.secondName.empty();
  // A new enumeration may reuse the last one's snapshot when nothing it was
  // made from moved: the server (by its generation), the short names, and
  // the local side, which anyone may change under the backend folder and
  // which is therefore read afresh and compared whole. A server that cannot
  // tell its changes (a host folder) is read afresh and compared whole too:
  // an unchanged folder then costs one read, not a merge, short names and
  // a sort of every entry.
  std::optional<ListingSnapshots::Version> version;
  if (query.startIndex == 0) {
    const std::u16string backend = paths_.ServerToBackend(*path);
    version = ListingSnapshots::Version{0,
                                        std::nullopt,
                                        std::nullopt,
                                        shortNames_.Generation(),
                                        local_.List(backend),
                                        local_.Stat(backend)};
    if (auto generation = server_.Generation()) {
      version->serverGeneration = *generation;
    } else {
      // The folder's own description fills "." and "..".
      version->serverItems = server_.List(*path);
      version->serverFolder = server_.Stat(*path);
    }
  }
  auto snapshot =
      snapshots_.Get(*path, query.pattern, wantShortNames, query.startIndex, std::move(version),
                     [&] { return FolderForListing(*path, query.pattern, wantShortNames); });
  if (!snapshot) return Failure(status::kObjectNameNotFound);
  return ToAnswer(BuildListingPage(*snapshot, query));
}

// The folder's entries that match the pattern, in listing order.
std::optional<std::vector<ListingEntry>> RequestHandler::FolderForListing(
    const std::u16string& serverPath, const std::u16string& pattern, bool wantShortNames) {
  auto items = MergedFolder(serverPath);
  if (!items) return std::nullopt;
  // "." and ".." carry the folder's own description (the view's root has
  // no parent inside the view, so every folder uses its own for both).
  ItemInfo self = FolderInfo(serverPath).value_or(ItemInfo{});
  self.isDirectory = true;
  std::vector<ListingEntry> entries;
  entries.reserve(items->size() + 2);
  for (const char16_t* dots : {u".", u".."}) {
    ListingEntry entry{self, {}};
    entry.item.name = dots;
    entries.push_back(entry);
  }
  std::map<std::u16string, std::u16string> shortByLong;
  if (wantShortNames) {
    std::vector<std::u16string> names;
    for (const ItemInfo& item : *items) names.push_back(item.name);
    shortByLong = shortNames_.ForFolder(serverPath, names);
  }
  for (ItemInfo& item : *items) {
    ListingEntry entry{std::move(item), {}};
    auto it = shortByLong.find(Upcase(entry.item.name));
    if (it != shortByLong.end()) entry.shortName = it->second;
    entries.push_back(std::move(entry));
  }
  // Already in listing order: "." and "..", then MergedFolder's items, which
  // come ordered by upcased name.
  return MatchingEntries(std::move(entries), pattern);
}

AgentAnswer RequestHandler::DeleteCheck(const DecodedRequest& request) {
  auto path = paths_.ViewToServer(request.name);
  if (!path || path->empty()) return OneByte(kDeleteCheckRefused);
  auto serverEmpty = server_.IsEmptyFolder(*path);
  if (!serverEmpty) return OneByte(kDeleteCheckRefused);
  auto localItems = local_.List(paths_.ServerToBackend(*path));
  const bool empty = *serverEmpty && (!localItems || localItems->empty());
  return OneByte(empty ? kDeleteCheckMayDelete : 0);
}

// ---- downloads

bool RequestHandler::EnsureLocalFolders(const std::u16string& serverFolder) {
  std::u16string path = paths_.roots().backendRoot;
  if (!local_.Stat(path) && !local_.MakeDirectory(path)) return false;
  for (const std::u16string& component : SplitComponents(serverFolder)) {
    path += u'\\';
    path += component;
    if (auto item = local_.Stat(path)) {
      if (!item->isDirectory) return false;
      continue;
    }
    OwnChangeScope own(state_.ownChanges, path);
    if (!local_.MakeDirectory(path)) return false;
  }
  return true;
}

bool RequestHandler::DownloadFile(const std::u16string& serverPath) {
  PathLocks::Hold hold = state_.pathLocks.Lock({serverPath});
  const std::u16string backend = paths_.ServerToBackend(serverPath);
  // A local copy is never overwritten: it may hold changes not yet uploaded.
  if (auto existing = local_.Stat(backend)) return !existing->isDirectory;
  // The version read is recorded as the copy's base (taken before the
  // read: a change in between shows as a conflict later, never as none).
  auto version = server_.Stat(serverPath);
  Bytes contents;
  if (!version || !server_.Read(serverPath, &contents)) return false;
  if (!EnsureLocalFolders(ParentOf(serverPath))) return false;

  OwnChangeScope own(state_.ownChanges, backend);
  // Written aside and moved into place, so that nobody opens a half-written
  // copy and a download cut short never stands as the local copy.
  if (!local_.Stat(staging_)) local_.MakeDirectory(staging_);
  const std::u16string staged =
      staging_ + u"\\" + Number(++stagingCounter_) + std::u16string(kStagedSuffix);
  OwnChangeScope ownStaged(state_.ownChanges, staged);
  if (!local_.WriteAll(staged, contents) || !local_.Rename(staged, backend, false)) {
    local_.Remove(staged);
    state_.Trace("agent: download of " + ToUtf8(serverPath) + " failed");
    return false;
  }
  if (auto copy = local_.Stat(backend)) {
    state_.ledger.Record(backend, {StampOf(*copy), StampOf(*version)});
  }
  ++state_.counters.downloads;
  state_.Trace("agent: downloaded " + ToUtf8(serverPath) + " (" + std::to_string(contents.size()) +
               " bytes) to " + ToUtf8(backend));
  return true;
}

bool RequestHandler::DownloadFolder(const std::u16string& serverPath) {
  if (!EnsureLocalFolders(serverPath)) return false;
  auto items = server_.List(serverPath);
  if (!items) return false;
  for (const ItemInfo& item : *items) {
    const std::u16string child = JoinRelative(serverPath, item.name);
    if (!(item.isDirectory ? DownloadFolder(child) : DownloadFile(child))) return false;
  }
  return true;
}

bool RequestHandler::LocalCopyIsComplete(const std::u16string& serverPath) {
  auto items = server_.List(serverPath);
  if (!items) return true;
  for (const ItemInfo& item : *items) {
    const std::u16string child = JoinRelative(serverPath, item.name);
    if (!local_.Stat(paths_.ServerToBackend(child))) return false;
    if (item.isDirectory && !LocalCopyIsComplete(child)) return false;
  }
  return true;
}

AgentAnswer RequestHandler::Download(const DecodedRequest& request) {
  if (request.notAllowed != 0) {
    state_.Trace("agent: download of " + ToUtf8(request.name) +
                 " refused: " + ToUtf8(request.processName) + " may not download");
    return OneByte(0);
  }
  auto path = paths_.ViewToServer(request.name);
  if (!path || path->empty()) return OneByte(0);
  auto item = server_.Stat(*path);
  if (!item) return OneByte(0);
  const bool done = item->isDirectory ? DownloadFolder(*path) : DownloadFile(*path);
  return OneByte(done ? 1 : 0);
}

// ---- creates, deletes, renames

// As a file system answers a create: an illegal name is refused, a name
// too long for the server is told apart, and an item is made only in a
// folder the view already has (no missing folders are made on the way).
AgentAnswer RequestHandler::CreatePath(const DecodedRequest& request) {
  NameVerdict verdict;
  auto path = paths_.ViewToServer(request.name, &verdict);
  if (verdict == NameVerdict::kTooLong) return OneByte(kCreatePathNameTooLong);
  if (!path || path->empty()) return OneByte(0);
  if (!server_.CanHold(*path)) return OneByte(kCreatePathNameTooLong);
  PathLocks::Hold hold = state_.pathLocks.Lock({*path});
  if (!FolderInfo(ParentOf(*path))) {
    state_.Trace("agent: create of " + ToUtf8(*path) + " refused: its folder does not exist");
    return OneByte(0);
  }
  bool ready;
  if (request.isDirectory != 0) {
    // The folder may exist only locally so far: the server gets it too.
    ready = server_.MakeFolder(*path);
  } else {
    // The file system creates the file under the backend root: its folder must be there.
    ready = EnsureLocalFolders(ParentOf(*path));
  }
  return OneByte(ready ? kCreatePathPrepared : 0);
}

// Only an item of the kind asked for, and a folder only when it is empty:
// a file request (an overwrite of a folder's name) never takes a folder.
AgentAnswer RequestHandler::DeleteItem(const DecodedRequest& request) {
  auto path = paths_.ViewToServer(request.name);
  if (!path || path->empty()) return OneByte(0);
  PathLocks::Hold hold = state_.pathLocks.Lock({*path});
  auto item = server_.Stat(*path);
  if (!item || item->isDirectory != (request.isDirectory != 0)) return OneByte(0);
  const bool removed = server_.Remove(*path);
  if (removed) {
    shortNames_.Forget(*path);
    state_.replaced.Forget(*path);
  }
  return OneByte(removed ? 1 : 0);
}

// Answers: 1 renamed on the server; 3 nothing to do (the same name); 5 the
// target is outside the view (the driver downloads the item and moves the
// copy); 6 a local folder that is to leave the view is missing items of the
// server's folder, which must be downloaded first. 0 refuses.
AgentAnswer RequestHandler::Rename(const DecodedRequest& request) {
  auto from = paths_.ViewToServer(request.name);
  auto to = paths_.ViewToServer(request.secondName);
  if (!from || from->empty()) return FourBytes(0);
  // A target in the view that names nothing legal is refused, not taken
  // for a move out of the view.
  if (!to && paths_.InView(request.secondName)) return FourBytes(0);
  PathLocks::Hold hold = state_.pathLocks.Lock(to ? std::vector{*from, *to} : std::vector{*from});

  if (request.localFolder != 0) {
    if (!to)
      return FourBytes(LocalCopyIsComplete(*from) ? kRenameDone : kRenameDownloadFolderFirst);
    if (to->empty() || !server_.CanHold(*to)) return FourBytes(0);
    if (server_.Stat(*from) && !server_.Rename(*from, *to)) return FourBytes(0);
    return FourBytes(kRenameDone);
  }

  if (!to) return FourBytes(kRenameMoveOutOfView);
  if (*from == *to) return FourBytes(kRenameAcceptedWithoutNewName);
  if (to->empty() || !server_.CanHold(*to)) return FourBytes(0);
  const auto source = server_.Stat(*from);
  if (!source) return FourBytes(0);
  // A replacing rename's steps are journaled (see ReplacedItems): the item
  // set aside before it moves, the name taken once the rename took it. The
  // driver sets files aside only (it never replaces a folder).
  const bool settingAside = !source->isDirectory && ReplacedItems::IsSetAside(*from, *to);
  // An aside name in use is refused before the journal is touched: its
  // line about the item already standing there would be lost.
  if (settingAside && server_.Stat(*to)) return FourBytes(0);
  if (settingAside) state_.replaced.SetAside(*from, *to, source->fileId);
  if (!MoveServerItem(*from, *to)) {
    if (settingAside) state_.replaced.Forget(*to);
    return FourBytes(0);
  }
  if (!settingAside) {
    state_.replaced.Forget(*from);  // an item set aside that got its name back
    state_.replaced.Taken(*to);
  }
  return FourBytes(kRenameDone);
}

// A rename on the server; a local copy of the item follows it, or the view
// would show both names.
bool RequestHandler::MoveServerItem(const std::u16string& from, const std::u16string& to) {
  if (!server_.Rename(from, to)) return false;
  const std::u16string oldCopy = paths_.ServerToBackend(from);
  const std::u16string newCopy = paths_.ServerToBackend(to);
  if (local_.Stat(oldCopy)) {
    OwnChangeScope ownOld(state_.ownChanges, oldCopy);
    OwnChangeScope ownNew(state_.ownChanges, newCopy);
    if (EnsureLocalFolders(ParentOf(to)) && local_.Rename(oldCopy, newCopy, false)) {
      state_.ledger.Move(oldCopy, newCopy);
    }
  }
  return true;
}

void RequestHandler::RecoverReplacedItems() {
  state_.replaced.UseFile(local_, staging_ + u"\\replaced-items.txt");
  for (const ReplacedItems::Item& item : state_.replaced.Items()) {
    PathLocks::Hold hold = state_.pathLocks.Lock({item.original, item.aside});
    // Only the very item set aside: not a folder, nor another item made
    // under its aside name since.
    auto aside = server_.CanHold(item.original) && server_.CanHold(item.aside)
                     ? server_.Stat(item.aside)
                     : std::nullopt;
    if (aside && (aside->isDirectory || aside->fileId != item.fileId)) aside.reset();
    if (aside && item.taken) {
      const std::u16string copy = paths_.ServerToBackend(item.aside);
      OwnChangeScope own(state_.ownChanges, copy);
      if (local_.Stat(copy) && local_.Remove(copy)) state_.ledger.Forget(copy);
      if (!server_.Remove(item.aside)) continue;  // journaled still: the next start tries again
      state_.Trace("agent: deleted " + ToUtf8(item.aside) + ", replaced by " +
                   ToUtf8(item.original) + " before the last stop");
    } else if (aside && !server_.Stat(item.original) &&
               !local_.Stat(paths_.ServerToBackend(item.original))) {
      if (!MoveServerItem(item.aside, item.original)) continue;
      state_.Trace("agent: " + ToUtf8(item.aside) + " got its name " + ToUtf8(item.original) +
                   " back: its replacement did not happen");
    } else if (aside) {
      state_.Trace("agent: kept " + ToUtf8(item.aside) + ": " + ToUtf8(item.original) +
                   " was taken by another item");
    }
    state_.replaced.Forget(item.aside);
  }
}

}  // namespace tavo::agent
