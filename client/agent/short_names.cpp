#include "short_names.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "name_pattern.h"
#include "text.h"

namespace tavo::agent {

std::u16string FirstFreeShortName(const std::u16string& candidate,
                                  const std::set<std::u16string>& taken) {
  if (taken.count(Upcase(candidate)) == 0) return candidate;
  const std::size_t tilde = candidate.rfind(u'~');
  if (tilde == std::u16string::npos) return candidate;
  const std::size_t dot = candidate.find(u'.', tilde);
  const std::u16string base = candidate.substr(0, tilde);
  const std::u16string extension = dot == std::u16string::npos ? u"" : candidate.substr(dot);
  for (std::uint32_t number = 1; number < 1000000; ++number) {
    std::u16string digits;
    for (std::uint32_t rest = number; rest != 0; rest /= 10) {
      digits.insert(digits.begin(), static_cast<char16_t>(u'0' + rest % 10));
    }
    const std::size_t keep = std::min(base.size(), std::size_t{8} - 1 - digits.size());
    std::u16string name = base.substr(0, keep) + u"~" + digits + extension;
    if (taken.count(Upcase(name)) == 0) return name;
  }
  return candidate;
}

std::map<std::u16string, std::u16string> ShortNameBook::ForFolder(
    const std::u16string& folder, const std::vector<std::u16string>& names) {
  std::vector<std::u16string> needing;
  std::set<std::u16string> taken;  // upcased: no short name may equal another item's name
  for (const std::u16string& name : names) {
    if (name == u"." || name == u"..") continue;
    if (IsShortFormName(name)) {
      taken.insert(Upcase(name));
    } else {
      needing.push_back(name);
    }
  }
  // Sorted by upcased name, each name upcased once.
  std::vector<std::pair<std::u16string, std::u16string>> byUpcased;  // (upcased, name)
  byUpcased.reserve(needing.size());
  for (std::u16string& name : needing) byUpcased.emplace_back(Upcase(name), std::move(name));
  std::sort(byUpcased.begin(), byUpcased.end());
  std::vector<std::u16string> upcased;
  upcased.reserve(byUpcased.size());
  needing.clear();
  for (auto& [key, name] : byUpcased) {
    upcased.push_back(std::move(key));
    needing.push_back(std::move(name));
  }

  const std::u16string key = Upcase(folder);
  Folder before;
  {
    std::lock_guard guard(lock_);
    auto it = folders_.find(key);
    if (it != folders_.end()) {
      if (it->second.upcasedNames == upcased) return it->second.shortByLong;
      before = it->second;
    }
  }
  // Names still here keep their short names; the others are asked for.
  Folder made;
  made.upcasedNames = upcased;
  std::vector<std::u16string> fresh;
  for (std::size_t i = 0; i < needing.size(); ++i) {
    auto kept = before.shortByLong.find(upcased[i]);
    if (kept == before.shortByLong.end()) {
      fresh.push_back(needing[i]);
      continue;
    }
    made.shortByLong[upcased[i]] = kept->second;
    made.longByShort[Upcase(kept->second)] = needing[i];
    taken.insert(Upcase(kept->second));
  }
  if (!fresh.empty()) {
    if (!source_) return {};
    std::vector<std::u16string> sent = fresh;
    for (std::u16string& name : sent) std::replace(name.begin(), name.end(), u';', u'_');
    auto shorts = source_(sent);
    if (!shorts || shorts->size() != fresh.size())
      return {};  // not remembered: asked again next time
    for (std::size_t i = 0; i < fresh.size(); ++i) {
      const std::u16string shortName = FirstFreeShortName((*shorts)[i], taken);
      taken.insert(Upcase(shortName));
      made.shortByLong[Upcase(fresh[i])] = shortName;
      made.longByShort[Upcase(shortName)] = fresh[i];
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

void ShortNameBook::Forget(const std::u16string& folder) {
  std::lock_guard guard(lock_);
  folders_.erase(Upcase(folder));
  ++forgotten_;
}

}  // namespace tavo::agent
