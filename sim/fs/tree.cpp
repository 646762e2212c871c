// The harness side of the volume: populating it directly (from a list of
// paths or from a host folder) and dumping its tree as text for assertions.
#include <cstdio>
#include <memory>
#include <sstream>

#include "fs/names.h"
#include "fs/volume.h"
#include "harness/strings.h"

namespace sim::fs {
namespace {

std::string AttributeLetters(ULONG attributes) {
  std::string letters;
  if (attributes & FILE_ATTRIBUTE_READONLY) letters += 'R';
  if (attributes & FILE_ATTRIBUTE_HIDDEN) letters += 'H';
  if (attributes & FILE_ATTRIBUTE_SYSTEM) letters += 'S';
  if (attributes & FILE_ATTRIBUTE_ARCHIVE) letters += 'A';
  if (attributes & FILE_ATTRIBUTE_TEMPORARY) letters += 'T';
  if (attributes & FILE_ATTRIBUTE_OFFLINE) letters += 'O';
  if (attributes & FILE_ATTRIBUTE_NOT_CONTENT_INDEXED) letters += 'I';
  return letters;
}

// stdio, not a stream: a stream's read error looks like the end of the file.
bool ReadHostFile(const std::filesystem::path& path, std::string* contents) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                       &std::fclose);
  if (!file) return false;
  char chunk[65536];
  std::size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) contents->append(chunk, got);
  return std::ferror(file.get()) == 0;
}

}  // namespace

NTSTATUS Volume::Populate(const std::vector<FileSpec>& files) {
  std::lock_guard lock(mutex_);
  for (const auto& spec : files) {
    std::vector<std::u16string> components;
    bool trailing = false;
    if (spec.path.empty() || spec.path.front() != u'\\') return STATUS_OBJECT_NAME_INVALID;
    if (NTSTATUS s = SplitPath(spec.path, &components, &trailing); !NT_SUCCESS(s)) return s;
    if (components.empty()) continue;
    const bool directory = spec.directory || trailing;
    Node* parent = root_.get();
    for (std::size_t i = 0; i < components.size(); ++i) {
      const bool last = i + 1 == components.size();
      auto node = FindChild(parent, components[i]);
      if (node == nullptr) {
        const bool isDir = !last || directory;
        ULONG attributes = isDir ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
        node = NewNode(parent, components[i], isDir, attributes);
        LinkChild(parent, node);
      } else if ((!last || directory) != node->isDirectory) {
        return STATUS_OBJECT_NAME_COLLISION;
      }
      if (last) {
        if (!directory) {
          node->data.assign(spec.contents.begin(), spec.contents.end());
          const LONGLONG allocation = ClusterRound(node->EndOfFile());
          if (!ReserveAllocation(node->allocationSize, allocation)) return STATUS_DISK_FULL;
          node->allocationSize = allocation;
        }
        if (spec.attributes != 0) {
          node->attributes =
              (spec.attributes & FILE_ATTRIBUTE_VALID_SET_FLAGS & ~FILE_ATTRIBUTE_NORMAL) |
              (node->isDirectory ? FILE_ATTRIBUTE_DIRECTORY : 0);
        }
        if (spec.creationTime) node->creationTime = *spec.creationTime;
        if (spec.lastAccessTime) node->lastAccessTime = *spec.lastAccessTime;
        if (spec.lastWriteTime) node->lastWriteTime = *spec.lastWriteTime;
        if (spec.changeTime) node->changeTime = *spec.changeTime;
      }
      parent = node.get();
    }
  }
  return STATUS_SUCCESS;
}

NTSTATUS Volume::PopulateFromHost(const std::filesystem::path& hostFolder,
                                  const std::u16string& under) {
  std::error_code error;
  if (!std::filesystem::is_directory(hostFolder, error)) return STATUS_OBJECT_PATH_NOT_FOUND;
  std::u16string prefix = under;
  if (prefix.empty() || prefix.back() != u'\\') prefix += u'\\';
  std::vector<FileSpec> specs;
  std::vector<std::filesystem::directory_entry> entries;
  for (auto it = std::filesystem::recursive_directory_iterator(hostFolder, error);
       !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    entries.push_back(*it);
  }
  if (error) return STATUS_UNSUCCESSFUL;
  // A file that cannot be read whole fails the copy: an empty file in its
  // place would pass for the real one.
  for (const auto& entry : entries) {
    const auto relative =
        std::filesystem::relative(entry.path(), hostFolder, error).generic_string();
    if (error) return STATUS_UNSUCCESSFUL;
    std::u16string path = prefix + harness::FromUtf8(relative);
    for (auto& c : path) {
      if (c == u'/') c = u'\\';
    }
    FileSpec spec;
    spec.path = path;
    spec.directory = entry.is_directory(error);
    if (!spec.directory) {
      if (!ReadHostFile(entry.path(), &spec.contents)) return STATUS_UNSUCCESSFUL;
    }
    specs.push_back(std::move(spec));
  }
  if (prefix != u"\\") {
    FileSpec base;
    base.path = prefix;
    base.directory = true;
    specs.insert(specs.begin(), base);
  }
  return Populate(specs);
}

std::string Volume::DumpTree(const DumpOptions& options) const {
  std::lock_guard lock(mutex_);
  std::ostringstream out;
  auto dump = [&](auto&& self, const Node& dir) -> void {
    for (const auto& [key, child] : dir.children) {
      out << harness::ToUtf8(PathOf(child.get()));
      if (child->isDirectory) {
        out << '\\';
      } else {
        out << " size=" << child->EndOfFile();
      }
      const auto letters = AttributeLetters(child->attributes);
      if (!letters.empty()) out << " attr=" << letters;
      if (options.shortNames && !child->shortName.empty())
        out << " short=" << harness::ToUtf8(child->shortName);
      if (options.times) {
        out << " times=" << child->creationTime << ',' << child->lastAccessTime << ','
            << child->lastWriteTime << ',' << child->changeTime;
      }
      out << '\n';
      if (child->isDirectory) self(self, *child);
    }
  };
  out << "\\\n";
  dump(dump, *root_);
  return out.str();
}

}  // namespace sim::fs
