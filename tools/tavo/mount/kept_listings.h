// Folder listings kept for a moment, so that a program walking the view
// again (find run twice, a shell completing names, ls -R) does not ask the
// driver for the same folders over and over.
//
// A kept listing serves only the program it was made for (listings differ
// by program: a blocked one sees an empty view), only for the same folder,
// for at most `lifetime`, and only while nothing changed through the mount
// since it was taken. A change on the server side is therefore seen by
// listings within `lifetime`. At most `capacity` entries are kept in all.
#pragma once

#include <sys/stat.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace tavo::tool {

struct ListedName {
  std::string name;
  struct stat attributes;
  bool hasAttributes;  // false for "." and ".."
};

class KeptListings {
 public:
  using Clock = std::chrono::steady_clock;
  using Entries = std::shared_ptr<const std::vector<ListedName>>;

  KeptListings(Clock::duration lifetime, std::size_t capacityInEntries)
      : lifetime_(lifetime), capacity_(capacityInEntries) {}

  // Read before listing, and handed to Keep with the listing's entries: a
  // change made while the listing was being taken leaves it unused.
  std::uint64_t Generation() const;
  // The entries `process` was last shown for `folder`, when still good.
  Entries Find(const std::string& folder, std::uint32_t process, Clock::time_point now);
  void Keep(const std::string& folder, std::uint32_t process, std::uint64_t generation,
            Entries entries, Clock::time_point now);
  // Something may have changed what a listing shows: none kept so far is
  // used again.
  void Changed();

 private:
  using Key = std::pair<std::string, std::uint32_t>;  // folder, process
  struct Kept {
    Entries entries;
    std::uint64_t generation;
    Clock::time_point taken;
  };
  bool Good(const Kept& kept, Clock::time_point now) const;
  void Forget(std::map<Key, Kept>::iterator kept);

  const Clock::duration lifetime_;
  const std::size_t capacity_;
  mutable std::mutex lock_;
  std::uint64_t generation_ = 0;
  std::size_t keptEntries_ = 0;
  std::map<Key, Kept> kept_;
};

}  // namespace tavo::tool
