// The 8.3 short names the agent hands out for items of the merged view.
// Server-only items have no short names on disk, so the agent has the
// driver generate them (the populate-short-names command) for the names of
// a folder that need one, and remembers them per folder. Listings in the
// "Both" classes report them; long-name queries translate them back.
//
// As on a file system, a name keeps its short name for as long as it is in
// its folder: when a folder gains names, only the new ones get short names,
// numbered past those already handed out (QUARTE~1.DOC never moves to
// another file). Names are sent with ';' (the command's separator, which
// an 8.3 name turns into '_' anyway) replaced by '_'.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
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
  // names that need one. Generates them for names the folder did not have.
  std::map<std::u16string, std::u16string> ForFolder(const std::u16string& folder,
                                                     const std::vector<std::u16string>& names);
  // The long name behind a short name in a folder the book knows.
  std::optional<std::u16string> LongNameOf(const std::u16string& folder,
                                           const std::u16string& shortName) const;
  // A folder that is gone.
  void Forget(const std::u16string& folder);
  // Moves on whenever a folder is forgotten (its names may then be made
  // anew, differently); new names of a folder do not move existing ones.
  std::uint64_t Generation() const { return forgotten_.load(); }

 private:
  struct Folder {
    std::vector<std::u16string> upcasedNames;              // sorted: what the names were made from
    std::map<std::u16string, std::u16string> shortByLong;  // upcased long -> short
    std::map<std::u16string, std::u16string> longByShort;  // upcased short -> long
  };

  ShortNameSource source_;
  mutable std::mutex lock_;
  std::map<std::u16string, Folder> folders_;  // by upcased server path
  std::atomic<std::uint64_t> forgotten_{0};
};

// `candidate` ("QUARTE~1.DOC"), or the same name with the lowest number
// after its '~' that is not in `taken` (upcased names), its base shortened
// to keep it within 8 characters.
std::u16string FirstFreeShortName(const std::u16string& candidate,
                                  const std::set<std::u16string>& taken);

}  // namespace tavo::agent
