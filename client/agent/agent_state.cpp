#include "agent_state.h"

#include <sstream>

#include "text.h"

namespace tavo::agent {

void OwnChanges::Begin(const std::u16string& path) {
  std::lock_guard guard(lock_);
  ++paths_[Upcase(path)];
}

void OwnChanges::End(const std::u16string& path) {
  std::lock_guard guard(lock_);
  auto it = paths_.find(Upcase(path));
  if (it != paths_.end() && --it->second <= 0) paths_.erase(it);
}

bool OwnChanges::IsOwn(const std::u16string& path) const {
  std::lock_guard guard(lock_);
  return paths_.count(Upcase(path)) != 0;
}

PathLocks::Hold::~Hold() {
  for (auto it = held_.rbegin(); it != held_.rend(); ++it) {
    if (it->exclusive) {
      it->lock->unlock();
    } else {
      it->lock->unlock_shared();
    }
  }
}

PathLocks::Hold PathLocks::Lock(const std::vector<std::u16string>& serverPaths) {
  std::map<std::u16string, bool> wanted;  // upcased path -> exclusive
  for (const std::u16string& path : serverPaths) {
    const std::u16string key = Upcase(path);
    for (std::size_t slash = key.find(u'\\'); slash != std::u16string::npos;
         slash = key.find(u'\\', slash + 1)) {
      wanted.emplace(key.substr(0, slash), false);
    }
    wanted[key] = true;
  }
  Hold hold;
  {
    std::lock_guard guard(lock_);
    for (auto it = slots_.begin(); it != slots_.end();) {
      it = it->second.expired() ? slots_.erase(it) : std::next(it);
    }
    for (const auto& [key, exclusive] : wanted) {
      std::shared_ptr<std::shared_mutex> lock = slots_[key].lock();
      if (lock == nullptr) {
        lock = std::make_shared<std::shared_mutex>();
        slots_[key] = lock;
      }
      hold.held_.push_back({std::move(lock), exclusive});
    }
  }
  for (const Hold::Held& held : hold.held_) {
    if (held.exclusive) {
      held.lock->lock();
    } else {
      held.lock->lock_shared();
    }
  }
  return hold;
}

void SyncLedger::Record(const std::u16string& localPath, const SyncRecord& record) {
  std::lock_guard guard(lock_);
  stamps_[Upcase(localPath)] = {localPath, record};
}

std::string SyncLedger::Save() const {
  std::lock_guard guard(lock_);
  std::string text;
  for (const auto& [key, entry] : stamps_) {
    const SyncRecord& r = entry.second;
    text += std::to_string(r.local.size) + " " + std::to_string(r.local.lastWriteTime) + " " +
            std::to_string(r.server.size) + " " + std::to_string(r.server.lastWriteTime) + " " +
            ToUtf8(entry.first) + "\n";
  }
  return text;
}

void SyncLedger::Load(std::string_view text) {
  std::map<std::u16string, std::pair<std::u16string, SyncRecord>> loaded;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find('\n'), text.size());
    std::istringstream line{std::string(text.substr(0, end))};
    text.remove_prefix(std::min(end + 1, text.size()));
    SyncRecord r;
    std::string path;
    if (!(line >> r.local.size >> r.local.lastWriteTime >> r.server.size >>
          r.server.lastWriteTime) ||
        !std::getline(line >> std::ws, path) || path.empty()) {
      continue;
    }
    const std::u16string localPath = FromUtf8(path);
    loaded[Upcase(localPath)] = {localPath, r};
  }
  std::lock_guard guard(lock_);
  stamps_ = std::move(loaded);
}

std::optional<SyncRecord> SyncLedger::Find(const std::u16string& localPath) const {
  std::lock_guard guard(lock_);
  auto it = stamps_.find(Upcase(localPath));
  if (it == stamps_.end()) return std::nullopt;
  return it->second.second;
}

void SyncLedger::Forget(const std::u16string& localPath) {
  std::lock_guard guard(lock_);
  const std::u16string key = Upcase(localPath);
  for (auto it = stamps_.begin(); it != stamps_.end();) {
    if (IsAtOrUnder(it->first, key)) {
      it = stamps_.erase(it);
    } else {
      ++it;
    }
  }
}

void SyncLedger::Move(const std::u16string& from, const std::u16string& to) {
  std::lock_guard guard(lock_);
  const std::u16string key = Upcase(from);
  std::map<std::u16string, std::pair<std::u16string, SyncRecord>> moved;
  for (auto it = stamps_.begin(); it != stamps_.end();) {
    if (IsAtOrUnder(it->first, key)) {
      const std::u16string newPath = to + it->second.first.substr(from.size());
      moved[Upcase(newPath)] = {newPath, it->second.second};
      it = stamps_.erase(it);
    } else {
      ++it;
    }
  }
  stamps_.insert(moved.begin(), moved.end());
}

}  // namespace tavo::agent
