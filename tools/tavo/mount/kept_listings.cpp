#include "kept_listings.h"

namespace tavo::tool {

std::uint64_t KeptListings::Generation() const {
  std::lock_guard guard(lock_);
  return generation_;
}

KeptListings::Entries KeptListings::Find(const std::string& folder, std::uint32_t process,
                                         Clock::time_point now) {
  std::lock_guard guard(lock_);
  auto found = kept_.find({folder, process});
  if (found == kept_.end()) return nullptr;
  if (!Good(found->second, now)) {
    Forget(found);
    return nullptr;
  }
  return found->second.entries;
}

void KeptListings::Keep(const std::string& folder, std::uint32_t process, std::uint64_t generation,
                        Entries entries, Clock::time_point now) {
  std::lock_guard guard(lock_);
  if (generation != generation_ || entries->size() > capacity_) return;
  if (auto found = kept_.find({folder, process}); found != kept_.end()) Forget(found);
  if (keptEntries_ + entries->size() > capacity_) {
    // Full: what is stale goes first, and everything when that is not enough.
    for (auto it = kept_.begin(); it != kept_.end();) {
      auto next = std::next(it);
      if (!Good(it->second, now)) Forget(it);
      it = next;
    }
    if (keptEntries_ + entries->size() > capacity_) {
      kept_.clear();
      keptEntries_ = 0;
    }
  }
  keptEntries_ += entries->size();
  kept_.emplace(std::make_pair(folder, process), Kept{std::move(entries), generation, now});
}

void KeptListings::Changed() {
  std::lock_guard guard(lock_);
  ++generation_;
  kept_.clear();
  keptEntries_ = 0;
}

bool KeptListings::Good(const Kept& kept, Clock::time_point now) const {
  return kept.generation == generation_ && now - kept.taken < lifetime_;
}

void KeptListings::Forget(std::map<Key, Kept>::iterator kept) {
  keptEntries_ -= kept->second.entries->size();
  kept_.erase(kept);
}

}  // namespace tavo::tool
