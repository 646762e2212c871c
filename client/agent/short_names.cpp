#include "short_names.h"

#include <algorithm>

#include "name_pattern.h"
#include "text.h"

namespace tavo::agent {

std::map<std::u16string, std::u16string> ShortNameBook::ForFolder(
    const std::u16string& folder, const std::vector<std::u16string>& names) {
  std::vector<std::u16string> needing;
  for (const std::u16string& name : names) {
    if (name != u"." && name != u".." && !IsShortFormName(name)) needing.push_back(name);
  }
  std::sort(needing.begin(), needing.end(),
            [](const std::u16string& a, const std::u16string& b) { return Upcase(a) < Upcase(b); });
  std::vector<std::u16string> upcased;
  for (const std::u16string& name : needing) upcased.push_back(Upcase(name));

  const std::u16string key = Upcase(folder);
  {
    std::lock_guard guard(lock_);
    auto it = folders_.find(key);
    if (it != folders_.end() && it->second.upcasedNames == upcased) return it->second.shortByLong;
  }
  Folder made;
  made.upcasedNames = upcased;
  if (!needing.empty() && source_) {
    auto shorts = source_(needing);
    if (!shorts || shorts->size() != needing.size())
      return {};  // not remembered: asked again next time
    for (std::size_t i = 0; i < needing.size(); ++i) {
      made.shortByLong[upcased[i]] = (*shorts)[i];
      made.longByShort[Upcase((*shorts)[i])] = needing[i];
    }
  }
  std::lock_guard guard(lock_);
  folders_[key] = made;
  return made.shortByLong;
}

std::optional<std::u16string> ShortNameBook::LongNameOf(const std::u16string& folder,
                                                        const std::u16string& shortName) const {
  std::lock_guard guard(lock_);
  auto it = folders_.find(Upcase(folder));
  if (it == folders_.end()) return std::nullopt;
  auto name = it->second.longByShort.find(Upcase(shortName));
  if (name == it->second.longByShort.end()) return std::nullopt;
  return name->second;
}

bool ShortNameBook::Knows(const std::u16string& folder) const {
  std::lock_guard guard(lock_);
  return folders_.count(Upcase(folder)) != 0;
}

void ShortNameBook::Forget(const std::u16string& folder) {
  std::lock_guard guard(lock_);
  folders_.erase(Upcase(folder));
}

}  // namespace tavo::agent
