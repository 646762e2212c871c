// A server held in memory, for tests: a tree of folders and files with
// fixed times, a path limit that tests can lower, and counters of reads and
// folder listings.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>

#include "server_store.h"

namespace tavo::agent {

class MemoryServerStore : public ServerStore {
 public:
  explicit MemoryServerStore(std::size_t maxPathChars = 1024);

  // Test set-up: a file (parents made as needed) or a folder ("x\").
  void AddFile(const std::u16string& path, std::string contents, std::int64_t time = 0);
  void AddFolder(const std::u16string& path);
  // Every path on the server, one per line, folders ending in '\'.
  std::string Dump() const;
  std::size_t ReadCount() const { return reads_; }
  std::size_t ListCount() const { return lists_; }

  std::optional<ItemInfo> Stat(const std::u16string& path) override;
  std::optional<std::vector<ItemInfo>> List(const std::u16string& path) override;
  bool Read(const std::u16string& path, Bytes* contents) override;
  bool Write(const std::u16string& path, const Bytes& contents) override;
  bool MakeFolder(const std::u16string& path) override;
  bool Remove(const std::u16string& path) override;
  bool Rename(const std::u16string& from, const std::u16string& to) override;
  bool CanHold(const std::u16string& path) const override;
  std::optional<std::uint64_t> Generation() const override { return generation_.load(); }

 private:
  struct Node {
    ItemInfo info;
    Bytes contents;
    std::map<std::u16string, std::unique_ptr<Node>> children;  // by upcased name
  };
  Node* Find(const std::u16string& path);
  Node* MakeFolders(const std::u16string& path);
  void DumpNode(const Node& node, const std::u16string& path, std::string* out) const;

  std::size_t maxPathChars_;
  mutable std::mutex lock_;
  Node root_;
  std::uint64_t nextId_ = 1000;
  std::uint64_t writes_ = 0;
  std::atomic<std::size_t> reads_{0};
  std::atomic<std::size_t> lists_{0};
  // Moved on, under lock_, by every change to the tree.
  std::atomic<std::uint64_t> generation_{0};
};

}  // namespace tavo::agent
