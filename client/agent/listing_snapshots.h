// Snapshots of the folders being listed. An enumeration fetches a folder in
// buffers of k entries, each query naming the index to start from; building
// and sorting the merged folder for every query would cost O(n log n) per
// buffer. Instead a query at index 0 (a new enumeration or a restart) takes
// a sorted, pattern-filtered snapshot, and the later queries of the same
// folder and pattern seek into it: O(n log n) per enumeration, O(k) per
// buffer. The few most recently listed folders are kept. A listing sees
// the folder as it was when its enumeration began; a change shows in the
// next enumeration.
#pragma once

#include <cstddef>
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

  explicit ListingSnapshots(std::size_t capacity = 16) : capacity_(capacity) {}

  // The snapshot of (folder, pattern, withShortNames): taken anew when
  // startIndex is 0 or none is kept, otherwise the kept one. Null when the
  // folder does not exist.
  Snapshot Get(const std::u16string& folder, const std::u16string& pattern, bool withShortNames,
               std::uint32_t startIndex, const Build& build);

 private:
  struct Kept {
    std::u16string key;
    Snapshot entries;
  };
  std::size_t capacity_;
  std::mutex lock_;
  std::list<Kept> kept_;  // most recently used first
};

}  // namespace tavo::agent
