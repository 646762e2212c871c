#include "listing_snapshots.h"

#include "text.h"

namespace tavo::agent {

ListingSnapshots::Snapshot ListingSnapshots::Get(const std::u16string& folder,
                                                 const std::u16string& pattern,
                                                 bool withShortNames, std::uint32_t startIndex,
                                                 std::optional<Version> version,
                                                 const Build& build) {
  // Names and patterns ignore case; NUL cannot occur in either.
  std::u16string key = Upcase(folder);
  key += u'\0';
  key += Upcase(pattern);
  key += u'\0';
  key += withShortNames ? u'S' : u'L';
  {
    std::lock_guard guard(lock_);
    for (auto it = kept_.begin(); it != kept_.end(); ++it) {
      if (it->key != key) continue;
      if (startIndex == 0 && (!version || it->version != version)) break;
      kept_.splice(kept_.begin(), kept_, it);
      return kept_.front().entries;
    }
  }
  auto built = build();
  if (!built) return nullptr;
  auto snapshot = std::make_shared<const std::vector<ListingEntry>>(std::move(*built));
  std::lock_guard guard(lock_);
  std::erase_if(kept_, [&](const Kept& kept) { return kept.key == key; });
  kept_.push_front({std::move(key), snapshot, std::move(version)});
  if (kept_.size() > capacity_) kept_.pop_back();
  return snapshot;
}

}  // namespace tavo::agent
