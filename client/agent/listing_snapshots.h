// Snapshots of the folders being listed. An enumeration fetches a folder in
// buffers of k entries, each query naming the index to start from; building
// and sorting the merged folder for every query would cost O(n log n) per
// buffer. Instead a query at index 0 (a new enumeration or a restart) takes
// a sorted, pattern-filtered snapshot, and the later queries of the same
// folder and pattern seek into it: O(n log n) per enumeration, O(k) per
// buffer. The few most recently listed folders are kept. A listing sees
// the folder as it was when its enumeration began; a change shows in the
// next enumeration.
//
// A new enumeration reuses the kept snapshot only when the caller proves
// the folder unchanged: it passes a Version read *before* building (the
// server's generation, or the server folder and its items as read now when
// the server cannot tell its changes; the short-name book's generation; and the
// local side as read now), and a kept snapshot serves only an equal
// Version. A change racing with a build leaves the kept Version older than
// the state, so the next enumeration rebuilds. Without a Version every
// enumeration rebuilds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "listing.h"

namespace tavo::agent {

class ListingSnapshots {
 public:
  using Snapshot = std::shared_ptr<const std::vector<ListingEntry>>;
  // Builds the matching entries in listing order; nothing when the folder
  // does not exist.
  using Build = std::function<std::optional<std::vector<ListingEntry>>()>;
  // What the folder's listing was made from; equal Versions mean an equal listing.
  struct Version {
    std::uint64_t serverGeneration = 0;
    std::optional<std::vector<ItemInfo>> serverItems;  // a server without generations: its folder
    std::optional<ItemInfo> serverFolder;              // and the folder itself ("." and "..")
    std::uint64_t shortNameGeneration = 0;
    std::optional<std::vector<ItemInfo>> localItems;  // the backend folder's items
    std::optional<ItemInfo> localFolder;               // the backend folder itself
    bool operator==(const Version&) const = default;
  };

  explicit ListingSnapshots(std::size_t capacity = 16) : capacity_(capacity) {}

  // The snapshot of (folder, pattern, withShortNames): the kept one when
  // startIndex is not 0, or when it is and the kept one was made from an
  // equal version; otherwise taken anew. Null when the folder does not exist.
  Snapshot Get(const std::u16string& folder, const std::u16string& pattern, bool withShortNames,
               std::uint32_t startIndex, std::optional<Version> version, const Build& build);

 private:
  struct Kept {
    std::u16string key;
    Snapshot entries;
    std::optional<Version> version;
  };
  std::size_t capacity_;
  std::mutex lock_;
  std::list<Kept> kept_;  // most recently used first
};

}  // namespace tavo::agent
