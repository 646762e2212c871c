// The in-memory test file system.
#include "io/test_fs.h"

#include <algorithm>
#include <cstring>

namespace sim::io {

struct TestFileSystem::Node {
  FSRTL_ADVANCED_FCB_HEADER header{};  // first: FsContext points here
  std::u16string name;
  std::u16string shortName;
  bool directory = false;
  std::string data;
  Node* parent = nullptr;
  std::map<std::u16string, std::unique_ptr<Node>> children;  // by upcased name
  long long id = 0;
  bool deletePending = false;
  int opens = 0;
};

namespace {

struct Ccb {
  bool deleteOnClose = false;
  size_t cursor = 0;
  std::u16string pattern;
  bool started = false;
};

std::u16string Upcase(std::u16string s) {
  for (auto& c : s) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
  }
  return s;
}

bool Matches(std::u16string_view pattern, std::u16string_view name) {
  if (pattern.empty()) return name.empty();
  if (pattern[0] == u'*') {
    for (size_t i = 0; i <= name.size(); ++i) {
      if (Matches(pattern.substr(1), name.substr(i))) return true;
    }
    return false;
  }
  if (name.empty()) return false;
  const bool same = pattern[0] == u'?' ||
                    Upcase(std::u16string(1, pattern[0])) == Upcase(std::u16string(1, name[0]));
  return same && Matches(pattern.substr(1), name.substr(1));
}

std::vector<std::u16string> Split(const std::u16string& path) {
  std::vector<std::u16string> parts;
  size_t start = 0;
  while (start < path.size()) {
    size_t end = path.find(u'\\', start);
    if (end == std::u16string::npos) end = path.size();
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

}  // namespace

TestFileSystem::TestFileSystem() : root_(std::make_unique<Node>()) {
  root_->directory = true;
  root_->id = nextId_++;
  FsRtlSetupAdvancedHeader(&root_->header, nullptr);
}

TestFileSystem::~TestFileSystem() {
  // Dismount: every stream's filter contexts go.
  std::vector<Node*> stack{root_.get()};
  for (auto& node : unlinked_) stack.push_back(node.get());
  while (!stack.empty()) {
    Node* node = stack.back();
    stack.pop_back();
    for (auto& [key, child] : node->children) stack.push_back(child.get());
    FsRtlTeardownPerStreamContexts(&node->header);
  }
}

TestFileSystem::Node* TestFileSystem::Lookup(const std::u16string& path, Node** parent,
                                             std::u16string* leaf) {
  auto parts = Split(path);
  Node* node = root_.get();
  if (parent) *parent = nullptr;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (!node || !node->directory) return nullptr;
    if (parent) *parent = node;
    if (leaf) *leaf = parts[i];
    Node* next = nullptr;
    auto it = node->children.find(Upcase(parts[i]));
    if (it != node->children.end()) {
      next = it->second.get();
    } else {
      for (auto& [key, child] : node->children) {
        if (!child->shortName.empty() && Upcase(child->shortName) == Upcase(parts[i]))
          next = child.get();
      }
    }
    if (!next && i + 1 < parts.size()) {
      if (parent) *parent = nullptr;
      return nullptr;
    }
    node = next;
  }
  return node;
}

void TestFileSystem::AddDirectory(const std::u16string& path) {
  std::lock_guard guard(lock_);
  Node* parent = nullptr;
  std::u16string leaf;
  if (Lookup(path, &parent, &leaf) || !parent) return;
  auto node = std::make_unique<Node>();
  node->name = leaf;
  node->directory = true;
  node->parent = parent;
  node->id = nextId_++;
  FsRtlSetupAdvancedHeader(&node->header, nullptr);
  parent->children[Upcase(leaf)] = std::move(node);
}

void TestFileSystem::AddFile(const std::u16string& path, const std::string& contents,
                             const std::u16string& shortName) {
  std::lock_guard guard(lock_);
  Node* parent = nullptr;
  std::u16string leaf;
  if (Lookup(path, &parent, &leaf) || !parent) return;
  auto node = std::make_unique<Node>();
  node->name = leaf;
  node->shortName = shortName;
  node->data = contents;
  node->parent = parent;
  node->id = nextId_++;
  FsRtlSetupAdvancedHeader(&node->header, nullptr);
  parent->children[Upcase(leaf)] = std::move(node);
}

bool TestFileSystem::Exists(const std::u16string& path) {
  std::lock_guard guard(lock_);
  return Lookup(path, nullptr, nullptr) != nullptr;
}

std::string TestFileSystem::Contents(const std::u16string& path) {
  std::lock_guard guard(lock_);
  Node* node = Lookup(path, nullptr, nullptr);
  return node ? node->data : std::string();
}

TestFileSystem::Node* TestFileSystem::NodeOf(const FILE_OBJECT* fo) const {
  return static_cast<Node*>(fo->FsContext);
}

std::u16string TestFileSystem::PathOf(const Node* node) const {
  if (node == root_.get()) return u"\\";
  std::u16string path;
  for (; node && node != root_.get(); node = node->parent) path = u"\\" + node->name + path;
  return path;
}

void TestFileSystem::Unlink(Node* node) {
  Node* parent = node->parent;
  auto it = parent->children.find(Upcase(node->name));
  if (it == parent->children.end()) return;
  unlinked_.push_back(std::move(it->second));
  parent->children.erase(it);
  node->parent = nullptr;
}

NTSTATUS TestFileSystem::Create(FILE_OBJECT* fo, const CreateParameters& p, IO_STATUS_BLOCK& iosb) {
  std::lock_guard guard(lock_);
  ++counts_[IRP_MJ_CREATE];
  std::u16string path(reinterpret_cast<const char16_t*>(fo->FileName.Buffer),
                      fo->FileName.Length / 2);
  if (fo->RelatedFileObject) {
    Node* base = NodeOf(fo->RelatedFileObject);
    if (!base) return STATUS_INVALID_PARAMETER;
    path = PathOf(base) + (path.empty() ? u"" : u"\\" + path);
  }
  Node* node = nullptr;
  if (p.flags & SL_OPEN_TARGET_DIRECTORY) {
    // The parent directory; FileName keeps the final component only, and
    // Information says whether it exists.
    Node* parent = nullptr;
    std::u16string leaf;
    Node* existing = path.empty() ? nullptr : Lookup(path, &parent, &leaf);
    if (!parent) return path.empty() ? STATUS_INVALID_PARAMETER : STATUS_OBJECT_PATH_NOT_FOUND;
    node = parent;
    std::memmove(fo->FileName.Buffer, leaf.data(), leaf.size() * sizeof(WCHAR));
    fo->FileName.Length = static_cast<USHORT>(leaf.size() * sizeof(WCHAR));
    iosb.Information = existing ? FILE_EXISTS : FILE_DOES_NOT_EXIST;
  } else if (path.empty()) {
    node = root_.get();  // volume open
  } else {
    Node* parent = nullptr;
    std::u16string leaf;
    node = Lookup(path, &parent, &leaf);
    if (!node && !parent) return STATUS_OBJECT_PATH_NOT_FOUND;
    if (node && node->deletePending) return STATUS_DELETE_PENDING;
    const ULONG d = p.disposition;
    if (node && d == FILE_CREATE) return STATUS_OBJECT_NAME_COLLISION;
    if (!node && (d == FILE_OPEN || d == FILE_OVERWRITE)) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (!node) {
      auto created = std::make_unique<Node>();
      created->name = leaf;
      created->directory = (p.options & FILE_DIRECTORY_FILE) != 0;
      created->parent = parent;
      created->id = nextId_++;
      FsRtlSetupAdvancedHeader(&created->header, nullptr);
      node = created.get();
      parent->children[Upcase(leaf)] = std::move(created);
      iosb.Information = FILE_CREATED;
    } else {
      if ((p.options & FILE_DIRECTORY_FILE) && !node->directory) return STATUS_NOT_A_DIRECTORY;
      if ((p.options & FILE_NON_DIRECTORY_FILE) && node->directory)
        return STATUS_FILE_IS_A_DIRECTORY;
      if (d == FILE_OVERWRITE || d == FILE_OVERWRITE_IF || d == FILE_SUPERSEDE) {
        node->data.clear();
        iosb.Information = d == FILE_SUPERSEDE ? FILE_SUPERSEDED : FILE_OVERWRITTEN;
      } else {
        iosb.Information = FILE_OPENED;
      }
    }
  }
  if ((p.options & FILE_DIRECTORY_FILE) && !node->directory) return STATUS_NOT_A_DIRECTORY;
  auto* ccb = new Ccb;
  ccb->deleteOnClose = (p.options & FILE_DELETE_ON_CLOSE) != 0;
  fo->FsContext = &node->header;
  fo->FsContext2 = ccb;
  ++node->opens;
  open_.insert(fo);
  return STATUS_SUCCESS;
}

NTSTATUS TestFileSystem::Cleanup(FILE_OBJECT* fo, IO_STATUS_BLOCK&) {
  std::lock_guard guard(lock_);
  ++counts_[IRP_MJ_CLEANUP];
  cleanedUp_.insert(fo);
  cleanupDone_.notify_all();
  Node* node = NodeOf(fo);
  auto* ccb = static_cast<Ccb*>(fo->FsContext2);
  if ((ccb->deleteOnClose || node->deletePending) && node != root_.get() && node->parent) {
    if (node->directory && !node->children.empty()) return STATUS_SUCCESS;
    Unlink(node);
  }
  return STATUS_SUCCESS;
}

NTSTATUS TestFileSystem::NotifyChangeDirectory(FILE_OBJECT* fo, const NotifyRequest& request,
                                               void*, ULONG, IO_STATUS_BLOCK& iosb) {
  std::unique_lock guard(lock_);
  iosb.Information = 0;
  if (!NodeOf(fo)->directory) return STATUS_INVALID_PARAMETER;
  if (!cleanedUp_.count(fo)) {
    request.pending();
    cleanupDone_.wait(guard, [&] { return cleanedUp_.count(fo) != 0; });
  }
  return STATUS_NOTIFY_CLEANUP;
}

void TestFileSystem::Close(FILE_OBJECT* fo) {
  std::lock_guard guard(lock_);
  ++counts_[IRP_MJ_CLOSE];
  Node* node = NodeOf(fo);
  delete static_cast<Ccb*>(fo->FsContext2);
  open_.erase(fo);
  cleanedUp_.erase(fo);
  if (--node->opens == 0 && !node->parent && node != root_.get()) {
    // The last open of a deleted file: the stream goes, and its contexts.
    FsRtlTeardownPerStreamContexts(&node->header);
    auto it =
        std::find_if(unlinked_.begin(), unlinked_.end(), [&](auto& n) { return n.get() == node; });
    if (it != unlinked_.end()) unlinked_.erase(it);
  }
}

NTSTATUS TestFileSystem::Read(FILE_OBJECT* fo, void* buffer, ULONG length,
                              const LARGE_INTEGER* offset, IO_STATUS_BLOCK& iosb) {
  std::lock_guard guard(lock_);
  ++counts_[IRP_MJ_READ];
  Node* node = NodeOf(fo);
  if (node->directory) return STATUS_INVALID_DEVICE_REQUEST;
  const LONGLONG at = offset ? offset->QuadPart : fo->CurrentByteOffset.QuadPart;
  if (at >= static_cast<LONGLONG>(node->data.size()))
    return length ? STATUS_END_OF_FILE : STATUS_SUCCESS;
  const size_t count = std::min<size_t>(length, node->data.size() - static_cast<size_t>(at));
  std::memcpy(buffer, node->data.data() + at, count);
  iosb.Information = count;
  return STATUS_SUCCESS;
}

NTSTATUS TestFileSystem::Write(FILE_OBJECT* fo, const void* buffer, ULONG length,
                               const LARGE_INTEGER* offset, IO_STATUS_BLOCK& iosb) {
  std::lock_guard guard(lock_);
  ++counts_[IRP_MJ_WRITE];
  Node* node = NodeOf(fo);
  if (node->directory) return STATUS_INVALID_DEVICE_REQUEST;
  LONGLONG at = offset ? offset->QuadPart : fo->CurrentByteOffset.QuadPart;
  if (offset && offset->HighPart == -1 && offset->LowPart == FILE_WRITE_TO_END_OF_FILE) {
    at = static_cast<LONGLONG>(node->data.size());
  }
  if (node->data.size() < static_cast<size_t>(at) + length)
    node->data.resize(static_cast<size_t>(at) + length);
  std::memcpy(node->data.data() + at, buffer, length);
  iosb.Information = length;
  return STATUS_SUCCESS;
}

NTSTATUS TestFileSystem::QueryInformation(FILE_OBJECT* fo, FILE_INFORMATION_CLASS infoClass,
                                          void* buffer, ULONG length, IO_STATUS_BLOCK& iosb) {
  std::lock_guard guard(lock_);
  ++counts_[IRP_MJ_QUERY_INFORMATION];
  Node* node = NodeOf(fo);
  switch (infoClass) {
    case FileBasicInformation: {
      if (length < sizeof(FILE_BASIC_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
      auto* info = static_cast<FILE_BASIC_INFORMATION*>(buffer);
      *info = {};
      info->FileAttributes = node->directory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
      iosb.Information = sizeof(*info);
      return STATUS_SUCCESS;
    }
    case FileStandardInformation: {
      if (length < sizeof(FILE_STANDARD_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
      auto* info = static_cast<FILE_STANDARD_INFORMATION*>(buffer);
      *info = {};
      info->EndOfFile.QuadPart = static_cast<LONGLONG>(node->data.size());
      info->AllocationSize = info->EndOfFile;
      info->NumberOfLinks = 1;
      info->DeletePending = node->deletePending;
      info->Directory = node->directory;
      iosb.Information = sizeof(*info);
      return STATUS_SUCCESS;
    }
    case FileNetworkOpenInformation: {
      if (length < sizeof(FILE_NETWORK_OPEN_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
      auto* info = static_cast<FILE_NETWORK_OPEN_INFORMATION*>(buffer);
      *info = {};
      info->EndOfFile.QuadPart = static_cast<LONGLONG>(node->data.size());
      info->AllocationSize = info->EndOfFile;
      info->FileAttributes = node->directory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
      iosb.Information = sizeof(*info);
      return STATUS_SUCCESS;
    }
    case FileInternalInformation: {
      if (length < sizeof(FILE_INTERNAL_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
      static_cast<FILE_INTERNAL_INFORMATION*>(buffer)->IndexNumber.QuadPart = node->id;
      iosb.Information = sizeof(FILE_INTERNAL_INFORMATION);
      return STATUS_SUCCESS;
    }
    case FileNameInformation:
    case FileNormalizedNameInformation:
    case FileAlternateNameInformation: {
      // The 8.3 name alone; a file without one has none to give.
      if (infoClass == FileAlternateNameInformation && node->shortName.empty())
        return STATUS_OBJECT_NAME_NOT_FOUND;
      const std::u16string path =
          infoClass == FileAlternateNameInformation ? node->shortName : PathOf(node);
      auto* info = static_cast<FILE_NAME_INFORMATION*>(buffer);
      const ULONG header = FIELD_OFFSET(FILE_NAME_INFORMATION, FileName);
      if (length < header) return STATUS_INFO_LENGTH_MISMATCH;
      const ULONG bytes = static_cast<ULONG>(path.size() * 2);
      info->FileNameLength = bytes;
      const ULONG copied = std::min(bytes, length - header);
      std::memcpy(info->FileName, path.data(), copied);
      iosb.Information = header + copied;
      return copied < bytes ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
    }
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

NTSTATUS TestFileSystem::SetInformation(FILE_OBJECT* fo, FILE_INFORMATION_CLASS infoClass,
                                        const void* buffer, ULONG length,
                                        const RenameTarget* target, IO_STATUS_BLOCK&) {
  std::lock_guard guard(lock_);
  ++counts_[IRP_MJ_SET_INFORMATION];
  Node* node = NodeOf(fo);
  switch (infoClass) {
    case FileDispositionInformation:
      node->deletePending =
          static_cast<const FILE_DISPOSITION_INFORMATION*>(buffer)->DeleteFile != 0;
      return STATUS_SUCCESS;
    case FileDispositionInformationEx:
      node->deletePending = (static_cast<const FILE_DISPOSITION_INFORMATION_EX*>(buffer)->Flags &
                             FILE_DISPOSITION_DELETE) != 0;
      return STATUS_SUCCESS;
    case FileEndOfFileInformation:
      if (length < sizeof(FILE_END_OF_FILE_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
      node->data.resize(static_cast<size_t>(
          static_cast<const FILE_END_OF_FILE_INFORMATION*>(buffer)->EndOfFile.QuadPart));
      return STATUS_SUCCESS;
    case FileRenameInformation:
    case FileRenameInformationEx: {
      if (!target || node == root_.get()) return STATUS_INVALID_PARAMETER;
      const Node* directory = target->directory ? NodeOf(target->directory) : node->parent;
      if (!directory) return STATUS_INVALID_PARAMETER;
      std::u16string path = PathOf(directory);
      if (path.back() != u'\\') path += u'\\';
      path += target->name;
      Node* parent = nullptr;
      std::u16string leaf;
      Node* existing = Lookup(path, &parent, &leaf);
      if (!parent) return STATUS_OBJECT_PATH_NOT_FOUND;
      if (existing == node) return STATUS_SUCCESS;
      if (existing) {
        if (!target->replaceIfExists) return STATUS_OBJECT_NAME_COLLISION;
        Unlink(existing);
      }
      auto it = node->parent->children.find(Upcase(node->name));
      std::unique_ptr<Node> moving = std::move(it->second);
      node->parent->children.erase(it);
      moving->name = leaf;
      moving->parent = parent;
      parent->children[Upcase(leaf)] = std::move(moving);
      return STATUS_SUCCESS;
    }
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

NTSTATUS TestFileSystem::QueryDirectory(FILE_OBJECT* fo, const DirectoryQuery& query, void* buffer,
                                        ULONG length, IO_STATUS_BLOCK& iosb) {
  std::lock_guard guard(lock_);
  ++counts_[IRP_MJ_DIRECTORY_CONTROL];
  Node* node = NodeOf(fo);
  if (!node->directory) return STATUS_INVALID_PARAMETER;
  auto* ccb = static_cast<Ccb*>(fo->FsContext2);
  const bool first = !ccb->started;
  if (first || (query.flags & SL_RESTART_SCAN)) {
    ccb->cursor = 0;
    if (query.pattern && query.pattern->Length) {
      ccb->pattern.assign(reinterpret_cast<const char16_t*>(query.pattern->Buffer),
                          query.pattern->Length / 2);
    } else if (first) {
      ccb->pattern = u"*";
    }
    ccb->started = true;
  }
  std::vector<Node*> entries;
  for (auto& [key, child] : node->children) {
    if (Matches(ccb->pattern, child->name) ||
        (!child->shortName.empty() && Matches(ccb->pattern, child->shortName))) {
      entries.push_back(child.get());
    }
  }
  auto* out = static_cast<UCHAR*>(buffer);
  ULONG used = 0;
  ULONG lastOffset = 0;
  bool any = false;
  while (ccb->cursor < entries.size()) {
    Node* e = entries[ccb->cursor];
    const ULONG nameBytes = static_cast<ULONG>(e->name.size() * 2);
    ULONG fixed = 0;
    switch (query.infoClass) {
      case FileNamesInformation:
        fixed = FIELD_OFFSET(FILE_NAMES_INFORMATION, FileName);
        break;
      case FileDirectoryInformation:
        fixed = FIELD_OFFSET(FILE_DIRECTORY_INFORMATION, FileName);
        break;
      case FileBothDirectoryInformation:
        fixed = FIELD_OFFSET(FILE_BOTH_DIR_INFORMATION, FileName);
        break;
      default:
        return STATUS_INVALID_INFO_CLASS;
    }
    const ULONG start = static_cast<ULONG>(ALIGN_UP_BY(used, 8));
    if (start + fixed + nameBytes > length) {
      if (!any) return STATUS_BUFFER_OVERFLOW;
      break;
    }
    UCHAR* entry = out + start;
    std::memset(entry, 0, fixed);
    if (query.infoClass == FileNamesInformation) {
      auto* info = reinterpret_cast<FILE_NAMES_INFORMATION*>(entry);
      info->FileNameLength = nameBytes;
      std::memcpy(info->FileName, e->name.data(), nameBytes);
    } else if (query.infoClass == FileDirectoryInformation) {
      auto* info = reinterpret_cast<FILE_DIRECTORY_INFORMATION*>(entry);
      info->FileAttributes = e->directory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
      info->EndOfFile.QuadPart = static_cast<LONGLONG>(e->data.size());
      info->FileNameLength = nameBytes;
      std::memcpy(info->FileName, e->name.data(), nameBytes);
    } else {
      auto* info = reinterpret_cast<FILE_BOTH_DIR_INFORMATION*>(entry);
      info->FileAttributes = e->directory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
      info->EndOfFile.QuadPart = static_cast<LONGLONG>(e->data.size());
      info->ShortNameLength = static_cast<CCHAR>(e->shortName.size() * 2);
      std::memcpy(info->ShortName, e->shortName.data(), e->shortName.size() * 2);
      info->FileNameLength = nameBytes;
      std::memcpy(info->FileName, e->name.data(), nameBytes);
    }
    if (any) *reinterpret_cast<ULONG*>(out + lastOffset) = start - lastOffset;
    lastOffset = start;
    used = start + fixed + nameBytes;
    any = true;
    ++ccb->cursor;
    if (query.flags & SL_RETURN_SINGLE_ENTRY) break;
  }
  if (!any) return first ? STATUS_NO_SUCH_FILE : STATUS_NO_MORE_FILES;
  iosb.Information = used;
  return STATUS_SUCCESS;
}

NTSTATUS TestFileSystem::QueryVolumeInformation(FILE_OBJECT*, FS_INFORMATION_CLASS infoClass,
                                                void* buffer, ULONG length, IO_STATUS_BLOCK& iosb) {
  std::lock_guard guard(lock_);
  ++counts_[IRP_MJ_QUERY_VOLUME_INFORMATION];
  if (infoClass != FileFsAttributeInformation) return STATUS_INVALID_PARAMETER;
  static const char16_t kName[] = u"TESTFS";
  const ULONG header = FIELD_OFFSET(FILE_FS_ATTRIBUTE_INFORMATION, FileSystemName);
  if (length < header + sizeof(kName) - 2) return STATUS_BUFFER_OVERFLOW;
  auto* info = static_cast<FILE_FS_ATTRIBUTE_INFORMATION*>(buffer);
  info->FileSystemAttributes = FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK;
  info->MaximumComponentNameLength = 255;
  info->FileSystemNameLength = sizeof(kName) - 2;
  std::memcpy(info->FileSystemName, kName, sizeof(kName) - 2);
  iosb.Information = header + sizeof(kName) - 2;
  return STATUS_SUCCESS;
}

// An empty self-relative descriptor: revision 1, SE_SELF_RELATIVE.
NTSTATUS TestFileSystem::QuerySecurity(FILE_OBJECT*, SECURITY_INFORMATION, void* buffer,
                                       ULONG length, IO_STATUS_BLOCK& iosb) {
  ++counts_[IRP_MJ_QUERY_SECURITY];
  const ULONG needed = 20;
  iosb.Information = needed;
  if (length < needed) return STATUS_BUFFER_TOO_SMALL;
  auto* bytes = static_cast<UCHAR*>(buffer);
  std::memset(bytes, 0, needed);
  bytes[0] = 1;
  bytes[3] = 0x80;
  return STATUS_SUCCESS;
}

NTSTATUS TestFileSystem::SetSecurity(FILE_OBJECT*, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR,
                                     IO_STATUS_BLOCK&) {
  return STATUS_SUCCESS;
}

NTSTATUS TestFileSystem::FileSystemControl(FILE_OBJECT*, ULONG, const void*, ULONG, void*, ULONG,
                                           IO_STATUS_BLOCK&) {
  ++counts_[IRP_MJ_FILE_SYSTEM_CONTROL];
  return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS TestFileSystem::DeviceControl(FILE_OBJECT*, ULONG, const void*, ULONG, void*, ULONG,
                                       IO_STATUS_BLOCK&) {
  return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS TestFileSystem::FlushBuffers(FILE_OBJECT*, IO_STATUS_BLOCK&) {
  return STATUS_SUCCESS;
}

bool TestFileSystem::Owns(const FILE_OBJECT* fo) const {
  std::lock_guard guard(lock_);
  return open_.count(fo) != 0;
}

}  // namespace sim::io
