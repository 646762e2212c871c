// Answers the driver's requests: item information and long names, folder
// listings (server items united with local-only copies), the may-delete
// check, downloads into the backend folder, creates of paths, deletes and
// renames of server items. It works on decoded requests and returns the
// answer's status and data, so it is driven directly by tests as well as by
// the agent's worker threads. Safe to call from many threads at once.
#pragma once

#include <map>
#include <memory>
#include <mutex>

#include "agent_state.h"
#include "listing.h"
#include "listing_snapshots.h"
#include "local_files.h"
#include "payloads.h"
#include "server_store.h"
#include "short_names.h"
#include "view_paths.h"

namespace tavo::agent {

struct AgentAnswer {
  std::int32_t status = 0;
  Bytes data;
};

class RequestHandler {
 public:
  // stagingFolder: a folder on the backend's volume, outside the backend
  // root and the views, where downloads are written before they are moved
  // into place ("" for DefaultStaging).
  RequestHandler(ViewPaths paths, ServerStore& server, LocalFiles& local,
                 ShortNameSource shortNames, AgentState& state, std::u16string stagingFolder = {});

  // "<backend root>.staging": beside the backend root, on its volume.
  static std::u16string DefaultStaging(const ViewRoots& roots);
  // Checks the staging folder at start (made when missing; on the backend's
  // volume; neither under the backend root nor a view) and removes the
  // downloads a previous run left there unfinished. False when unusable.
  bool PrepareStaging();

  // Finishes what replacing renames of a previous run left undone (see
  // ReplacedItems), with the journal kept in the staging folder. Called
  // at start, before the driver is connected.
  void RecoverReplacedItems();

  // The acknowledgement status of a request: 0, or STATUS_INVALID_PARAMETER
  // for a payload that does not decode.
  std::int32_t Check(std::uint32_t type, const Bytes& payload) const;
  AgentAnswer Handle(std::uint32_t type, const Bytes& payload);
  AgentAnswer Handle(const DecodedRequest& request);

  // The merged contents of a folder (server items and local copies; a local
  // copy's description wins), in upcased-name order; nothing when neither
  // side has the folder.
  std::optional<std::vector<ItemInfo>> MergedFolder(const std::u16string& serverPath);
  // Makes the backend folders of a server folder path exist.
  bool EnsureLocalFolders(const std::u16string& serverFolder);
  // Copies a server file into its backend path unless a local copy exists.
  bool DownloadFile(const std::u16string& serverPath);

  const ViewPaths& paths() const { return paths_; }
  const std::u16string& staging() const { return staging_; }
  ShortNameBook& shortNames() { return shortNames_; }

 private:
  AgentAnswer Dispatch(const DecodedRequest& request);
  AgentAnswer ItemInformation(const DecodedRequest& request);
  AgentAnswer LongName(const DecodedRequest& request);
  AgentAnswer Listing(const DecodedRequest& request);
  std::optional<std::vector<ListingEntry>> FolderForListing(const std::u16string& serverPath,
                                                            const std::u16string& pattern,
                                                            bool wantShortNames);
  AgentAnswer DeleteCheck(const DecodedRequest& request);
  AgentAnswer Download(const DecodedRequest& request);
  AgentAnswer CreatePath(const DecodedRequest& request);
  AgentAnswer DeleteItem(const DecodedRequest& request);
  AgentAnswer Rename(const DecodedRequest& request);

  bool DownloadFolder(const std::u16string& serverPath);
  bool MoveServerItem(const std::u16string& from, const std::u16string& to);
  bool LocalCopyIsComplete(const std::u16string& serverPath);
  std::optional<ItemInfo> FolderInfo(const std::u16string& serverPath);

  ViewPaths paths_;
  ServerStore& server_;
  LocalFiles& local_;
  ShortNameBook shortNames_;
  AgentState& state_;
  std::u16string staging_;
  ListingSnapshots snapshots_;

  std::atomic<std::uint64_t> stagingCounter_{0};
};

}  // namespace tavo::agent
