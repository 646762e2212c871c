// State the agent's request handling and change synchronisation share:
// - OwnChanges: local paths the agent itself is changing right now, so that
//   the driver's notifications about them are not taken for user changes;
// - SyncLedger: for each local copy, the size and write time it had when it
//   last matched the server and the server version it matched, so that the
//   upload scan sends changed copies only and tells a newer server version
//   (a conflict) from its own; it is kept across restarts as text;
// - ReplacedItems: server items set aside by replacing renames in flight;
// - PathLocks: per-item locks that keep downloads, renames, deletes, the
//   notification thread and the upload scan off each other's items;
// - counters and the trace sink.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "agent_types.h"
#include "replaced_items.h"

namespace tavo::agent {

using TraceSink = std::function<void(const std::string&)>;

class OwnChanges {
 public:
  void Begin(const std::u16string& path);
  void End(const std::u16string& path);
  bool IsOwn(const std::u16string& path) const;

 private:
  mutable std::mutex lock_;
  std::map<std::u16string, int> paths_;  // upcased path -> changes in progress
};

// Marks a path as the agent's own change for the scope's life.
class OwnChangeScope {
 public:
  OwnChangeScope(OwnChanges& changes, std::u16string path)
      : changes_(changes), path_(std::move(path)) {
    changes_.Begin(path_);
  }
  ~OwnChangeScope() { changes_.End(path_); }
  OwnChangeScope(const OwnChangeScope&) = delete;
  OwnChangeScope& operator=(const OwnChangeScope&) = delete;

 private:
  OwnChanges& changes_;
  std::u16string path_;
};

// Locks by server path, ignoring case. Taking a path locks it exclusively
// and each folder above it shared, so that a folder is not renamed or
// deleted while something below it is being worked on. All locks of one
// call are taken in the order of their upcased paths (a folder before what
// it holds), the one order every caller uses: a thread never asks for more
// while it holds a Hold.
class PathLocks {
 public:
  class [[nodiscard]] Hold {
   public:
    Hold() = default;
    Hold(Hold&&) = default;
    Hold& operator=(Hold&&) = delete;
    Hold(const Hold&) = delete;
    ~Hold();

   private:
    friend class PathLocks;
    struct Held {
      std::shared_ptr<std::shared_mutex> lock;
      bool exclusive;
    };
    std::vector<Held> held_;
  };

  Hold Lock(const std::vector<std::u16string>& serverPaths);

 private:
  std::mutex lock_;
  std::map<std::u16string, std::weak_ptr<std::shared_mutex>> slots_;  // by upcased path
};

struct SyncStamp {
  std::uint64_t size = 0;
  std::int64_t lastWriteTime = 0;
  bool operator==(const SyncStamp&) const = default;
};

inline SyncStamp StampOf(const ItemInfo& item) {
  return {item.size, item.lastWriteTime};
}

struct SyncRecord {
  SyncStamp local;   // the copy when it last matched the server
  SyncStamp server;  // the server's version it matched
  bool operator==(const SyncRecord&) const = default;
};

class SyncLedger {
 public:
  void Record(const std::u16string& localPath, const SyncRecord& record);
  std::optional<SyncRecord> Find(const std::u16string& localPath) const;
  void Forget(const std::u16string& localPath);
  // A rename: the record (and those below a folder) move to the new path.
  void Move(const std::u16string& from, const std::u16string& to);

  // One line per copy, "<local size> <local time> <server size> <server
  // time> <path>" in UTF-8; Load replaces the ledger with what it reads
  // (lines it cannot read are skipped).
  std::string Save() const;
  void Load(std::string_view text);

 private:
  mutable std::mutex lock_;
  std::map<std::u16string, std::pair<std::u16string, SyncRecord>>
      stamps_;  // upcased -> (path, record)
};

struct AgentCounters {
  std::atomic<std::uint64_t> requests{0};
  std::atomic<std::uint64_t> refused{0};
  std::atomic<std::uint64_t> downloads{0};
  std::atomic<std::uint64_t> uploads{0};
  std::atomic<std::uint64_t> notifications{0};
  std::atomic<std::uint64_t> ownNotifications{0};
};

struct AgentState {
  OwnChanges ownChanges;
  SyncLedger ledger;
  ReplacedItems replaced;
  PathLocks pathLocks;
  AgentCounters counters;
  TraceSink trace;  // may be empty

  void Trace(const std::string& line) const {
    if (trace) trace(line);
  }
};

}  // namespace tavo::agent
