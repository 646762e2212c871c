// The 8.3 short names the agent hands out for items of the merged view.
// Server-only items have no short names on disk, so the agent has the
// driver generate them (the populate-short-names command) for every name of
// a folder that needs one, and remembers them per folder. Listings in the
// "Both" classes report them; long-name queries translate them back.
//
// A folder's names are generated in one command, so they are unique within
// the folder; they stay the same while the folder's set of names does not
// change, and are generated afresh when it does.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tavo::agent {

// Generates one short name per long name, in order; nothing on failure.
using ShortNameSource =
    std::function<std::optional<std::vector<std::u16string>>(const std::vector<std::u16string>&)>;

class ShortNameBook {
 public:
  explicit ShortNameBook(ShortNameSource source) : source_(std::move(source)) {}

  // Short names of a folder's items (server path of the folder, item
  // names): a map from the upcased long name to its short name, for the
  // names that need one. Generates them when the folder's names changed.
  std::map<std::u16string, std::u16string> ForFolder(const std::u16string& folder,
                                                     const std::vector<std::u16string>& names);
  // The long name behind a short name in a folder the book knows.
  std::optional<std::u16string> LongNameOf(const std::u16string& folder,
                                           const std::u16string& shortName) const;
  bool Knows(const std::u16string& folder) const;
  void Forget(const std::u16string& folder);

 private:
  struct Folder {
    std::vector<std::u16string> upcasedNames;              // sorted: what the names were made from
    std::map<std::u16string, std::u16string> shortByLong;  // upcased long -> short
    std::map<std::u16string, std::u16string> longByShort;  // upcased short -> long
  };

  ShortNameSource source_;
  mutable std::mutex lock_;
  std::map<std::u16string, Folder> folders_;  // by upcased server path
};

}  // namespace tavo::agent
