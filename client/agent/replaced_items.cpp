#include "replaced_items.h"

#include <algorithm>
#include <charconv>
#include <optional>
#include <sstream>

#include "text.h"

namespace tavo::agent {
namespace {

constexpr std::u16string_view kAsideSuffix = u".tavo-replaced";
// The driver cuts a name only as far as needed for its aside name to stay
// within 255 UTF-16 units and 255 UTF-8 bytes: a cut name's aside name
// lies within a surrogate pair and "-N" of those limits.
constexpr std::size_t kCutNameMinimum = 255 - 4;

std::size_t Utf8Size(std::u16string_view text) { return ToUtf8(text).size(); }

// "<head>.tavo-replaced" or "<head>.tavo-replaced-<digit>": the head, or
// nothing when `leaf` has neither form.
std::optional<std::u16string> AsideHead(const std::u16string& leaf) {
  std::u16string_view rest = leaf;
  if (rest.size() > 2 && rest[rest.size() - 2] == u'-' && rest.back() >= u'1' &&
      rest.back() <= u'9') {
    rest.remove_suffix(2);
  }
  if (rest.size() <= kAsideSuffix.size() ||
      rest.substr(rest.size() - kAsideSuffix.size()) != kAsideSuffix) {
    return std::nullopt;
  }
  return std::u16string(rest.substr(0, rest.size() - kAsideSuffix.size()));
}

}  // namespace

bool ReplacedItems::IsSetAside(const std::u16string& from, const std::u16string& to) {
  if (!EqualsIgnoreCase(ParentOf(from), ParentOf(to))) return false;
  const std::u16string name = LeafOf(from);
  const std::u16string aside = LeafOf(to);
  const auto head = AsideHead(aside);
  if (!head) return false;
  if (*head == name) return true;
  return !head->empty() && name.compare(0, head->size(), *head) == 0 &&
         (aside.size() >= kCutNameMinimum || Utf8Size(aside) >= kCutNameMinimum);
}

void ReplacedItems::UseFile(LocalFiles& local, std::u16string file) {
  std::lock_guard guard(lock_);
  local_ = &local;
  file_ = std::move(file);
  items_.clear();
  Bytes bytes;
  if (!local_->ReadAll(file_, &bytes)) return;
  // One line per item: "<0|1>\t<file id>\t<original>\t<aside>" in UTF-8
  // (a tab is no legal character of a name).
  std::istringstream text(std::string(bytes.begin(), bytes.end()));
  for (std::string line; std::getline(text, line);) {
    if (line.size() < 2 || (line[0] != '0' && line[0] != '1') || line[1] != '\t') continue;
    Item item;
    item.taken = line[0] == '1';
    const char* const end = line.data() + line.size();
    const auto [idEnd, error] = std::from_chars(line.data() + 2, end, item.fileId);
    if (error != std::errc() || idEnd == end || *idEnd != '\t') continue;
    const std::string_view names(idEnd + 1, static_cast<std::size_t>(end - idEnd - 1));
    const std::size_t tab = names.find('\t');
    if (tab == std::string_view::npos) continue;
    item.original = FromUtf8(names.substr(0, tab));
    item.aside = FromUtf8(names.substr(tab + 1));
    if (IsSetAside(item.original, item.aside)) items_.push_back(std::move(item));
  }
}

void ReplacedItems::SetAside(const std::u16string& original, const std::u16string& aside,
                             std::uint64_t fileId) {
  std::lock_guard guard(lock_);
  std::erase_if(items_, [&](const Item& item) { return EqualsIgnoreCase(item.aside, aside); });
  items_.push_back({original, aside, fileId, false});
  SaveLocked();
}

void ReplacedItems::Forget(const std::u16string& aside) {
  std::lock_guard guard(lock_);
  if (std::erase_if(items_, [&](const Item& item) { return EqualsIgnoreCase(item.aside, aside); }))
    SaveLocked();
}

void ReplacedItems::Taken(const std::u16string& original) {
  std::lock_guard guard(lock_);
  bool changed = false;
  for (Item& item : items_) {
    if (!item.taken && EqualsIgnoreCase(item.original, original)) item.taken = changed = true;
  }
  if (changed) SaveLocked();
}

std::vector<ReplacedItems::Item> ReplacedItems::Items() const {
  std::lock_guard guard(lock_);
  return items_;
}

void ReplacedItems::SaveLocked() {
  if (local_ == nullptr) return;
  std::string text;
  for (const Item& item : items_) {
    text += (item.taken ? "1\t" : "0\t") + std::to_string(item.fileId) + "\t" +
            ToUtf8(item.original) + "\t" + ToUtf8(item.aside) + "\n";
  }
  const std::u16string aside = file_ + u".new";
  if (!local_->WriteAll(aside, Bytes(text.begin(), text.end()))) return;
  (void)local_->Rename(aside, file_, true);
}

}  // namespace tavo::agent
