#include "memory_server_store.h"

#include "name_pattern.h"
#include "text.h"
#include "view_paths.h"

namespace tavo::agent {
namespace {

// 2025-03-03 09:00:00 UTC, the simulated machine's boot time.
constexpr std::int64_t kDefaultTime = 133854660000000000;

}  // namespace

MemoryServerStore::MemoryServerStore(std::size_t maxPathChars) : maxPathChars_(maxPathChars) {
  root_.info.isDirectory = true;
  root_.info.attributes = kAttributeDirectory;
}

MemoryServerStore::Node* MemoryServerStore::Find(const std::u16string& path) {
  if (CheckServerPath(path) != NameVerdict::kLegal) return nullptr;
  Node* node = &root_;
  for (const std::u16string& part : SplitComponents(path)) {
    if (!node->info.isDirectory) return nullptr;
    auto it = node->children.find(Upcase(part));
    if (it == node->children.end()) return nullptr;
    node = it->second.get();
  }
  return node;
}

MemoryServerStore::Node* MemoryServerStore::MakeFolders(const std::u16string& path) {
  Node* node = &root_;
  for (const std::u16string& part : SplitComponents(path)) {
    if (!node->info.isDirectory) return nullptr;
    auto& slot = node->children[Upcase(part)];
    if (slot == nullptr) {
      slot = std::make_unique<Node>();
      slot->info.name = part;
      slot->info.isDirectory = true;
      slot->info.attributes = kAttributeDirectory;
      slot->info.creationTime = slot->info.lastAccessTime = slot->info.lastWriteTime =
          slot->info.changeTime = kDefaultTime;
      slot->info.fileId = nextId_++;
      ++generation_;
    }
    node = slot.get();
  }
  return node->info.isDirectory ? node : nullptr;
}

void MemoryServerStore::AddFile(const std::u16string& path, std::string contents,
                                std::int64_t time) {
  MakeFolder(ParentOf(path));
  Write(path, Bytes(contents.begin(), contents.end()));
  std::lock_guard guard(lock_);
  Node* node = Find(path);
  if (node != nullptr && time != 0) {
    ++generation_;
    node->info.creationTime = node->info.lastAccessTime = node->info.lastWriteTime =
        node->info.changeTime = time;
  }
}

void MemoryServerStore::AddFolder(const std::u16string& path) {
  MakeFolder(path);
}

std::string MemoryServerStore::Dump() const {
  std::lock_guard guard(lock_);
  std::string out;
  DumpNode(root_, u"", &out);
  return out;
}

void MemoryServerStore::DumpNode(const Node& node, const std::u16string& path,
                                 std::string* out) const {
  for (const auto& [key, child] : node.children) {
    const std::u16string childPath = JoinRelative(path, child->info.name);
    *out += ToUtf8(childPath);
    if (child->info.isDirectory) {
      *out += "\\\n";
      DumpNode(*child, childPath, out);
    } else {
      *out += " " + std::to_string(child->contents.size()) + "\n";
    }
  }
}

std::optional<ItemInfo> MemoryServerStore::Stat(const std::u16string& path) {
  std::lock_guard guard(lock_);
  Node* node = Find(path);
  if (node == nullptr) return std::nullopt;
  return node->info;
}

std::optional<std::vector<ItemInfo>> MemoryServerStore::List(const std::u16string& path) {
  std::lock_guard guard(lock_);
  ++lists_;
  Node* node = Find(path);
  if (node == nullptr || !node->info.isDirectory) return std::nullopt;
  std::vector<ItemInfo> items;
  for (const auto& [key, child] : node->children) items.push_back(child->info);
  return items;
}

bool MemoryServerStore::Read(const std::u16string& path, Bytes* contents) {
  std::lock_guard guard(lock_);
  Node* node = Find(path);
  if (node == nullptr || node->info.isDirectory) return false;
  ++reads_;
  *contents = node->contents;
  return true;
}

bool MemoryServerStore::Write(const std::u16string& path, const Bytes& contents) {
  if (!CanHold(path) || path.empty()) return false;
  std::lock_guard guard(lock_);
  Node* parent = Find(ParentOf(path));
  if (parent == nullptr || !parent->info.isDirectory) return false;
  const std::u16string name = LeafOf(path);
  auto& slot = parent->children[Upcase(name)];
  if (slot != nullptr && slot->info.isDirectory) return false;
  if (slot == nullptr) {
    slot = std::make_unique<Node>();
    slot->info.name = name;
    slot->info.fileId = nextId_++;
    slot->info.attributes = kAttributeArchive;
    slot->info.creationTime = kDefaultTime;
  }
  ++generation_;
  slot->contents = contents;
  slot->info.size = contents.size();
  slot->info.allocationSize = (contents.size() + 4095) / 4096 * 4096;
  // Each write is a new version: its time moves on by one unit.
  slot->info.lastAccessTime = slot->info.lastWriteTime = slot->info.changeTime =
      kDefaultTime + static_cast<std::int64_t>(++writes_);
  return true;
}

bool MemoryServerStore::MakeFolder(const std::u16string& path) {
  if (!path.empty() && !CanHold(path)) return false;
  std::lock_guard guard(lock_);
  return MakeFolders(path) != nullptr;
}

bool MemoryServerStore::Remove(const std::u16string& path) {
  if (path.empty()) return false;
  std::lock_guard guard(lock_);
  Node* parent = Find(ParentOf(path));
  if (parent == nullptr) return false;
  auto it = parent->children.find(Upcase(LeafOf(path)));
  // A folder with contents is never removed whole.
  if (it == parent->children.end() || !it->second->children.empty()) return false;
  parent->children.erase(it);
  ++generation_;
  return true;
}

bool MemoryServerStore::Rename(const std::u16string& from, const std::u16string& to) {
  if (from.empty() || to.empty() || !CanHold(to)) return false;
  std::lock_guard guard(lock_);
  Node* oldParent = Find(ParentOf(from));
  Node* newParent = Find(ParentOf(to));
  if (oldParent == nullptr || newParent == nullptr || !newParent->info.isDirectory) return false;
  auto it = oldParent->children.find(Upcase(LeafOf(from)));
  if (it == oldParent->children.end()) return false;
  const std::u16string newKey = Upcase(LeafOf(to));
  const bool sameItem = oldParent == newParent && it->first == newKey;
  if (!sameItem && newParent->children.count(newKey) != 0) return false;
  std::unique_ptr<Node> node = std::move(it->second);
  oldParent->children.erase(it);
  node->info.name = LeafOf(to);
  newParent->children[newKey] = std::move(node);
  ++generation_;
  return true;
}

bool MemoryServerStore::CanHold(const std::u16string& path) const {
  return path.size() <= maxPathChars_ && CheckServerPath(path) == NameVerdict::kLegal;
}

}  // namespace tavo::agent
