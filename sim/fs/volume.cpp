// The volume's namespace and its open/close path: IRP_MJ_CREATE (every
// disposition, directory/non-directory checks, share access, read-only and
// delete-pending rules, SL_OPEN_TARGET_DIRECTORY, volume opens),
// IRP_MJ_CLEANUP (share access removal, delete on last handle) and
// IRP_MJ_CLOSE (FCB teardown with its filter contexts).
#include "fs/volume.h"

#include <algorithm>
#include <cstring>

#include "fs/names.h"
#include "kernel/security_descriptor.h"

namespace sim::fs {
namespace {

// NTFS numbers the root directory's file record 5, with sequence number 5.
constexpr ULONGLONG kRootFileId = (5ull << 48) | 5ull;
constexpr CSHORT kNodeTypeFcb = 0x0702;
constexpr CSHORT kNodeTypeVcb = 0x0701;

constexpr ACCESS_MASK kWriteDataAccess = FILE_WRITE_DATA | FILE_APPEND_DATA;

std::u16string_view CharsOf(const UNICODE_STRING& s) {
  if (s.Buffer == nullptr) return {};
  return std::u16string_view(reinterpret_cast<const char16_t*>(s.Buffer), s.Length / sizeof(WCHAR));
}

bool IsOverwrite(ULONG disposition) {
  return disposition == FILE_SUPERSEDE || disposition == FILE_OVERWRITE ||
         disposition == FILE_OVERWRITE_IF;
}

}  // namespace

Volume::Volume(VolumeOptions options) : options_(std::move(options)) {
  if (options_.clusterSize == 0) options_.clusterSize = 4096;
  if (options_.sectorSize == 0) options_.sectorSize = 512;
  const LONGLONG now = Now();
  volumeCreationTime_ = options_.creationTime.value_or(now);
  root_ = std::make_shared<Node>();
  root_->isDirectory = true;
  root_->attributes = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  root_->creationTime = root_->lastAccessTime = root_->lastWriteTime = root_->changeTime =
      volumeCreationTime_;
  root_->fileId = kRootFileId;
  root_->security = kernel::security::DefaultFileSecurity();
}

// File objects still open when the volume goes (a machine reset with open
// handles) lose their FCBs and CCBs here; no filter is left to tear down.
Volume::~Volume() {
  std::unordered_set<Fcb*> fcbs;
  for (const auto& [fo, record] : open_) {
    delete record.ccb;
    fcbs.insert(record.fcb);
  }
  for (Fcb* fcb : fcbs) {
    if (fcb->node != nullptr) fcb->node->fcb = nullptr;
    delete fcb;
  }
}

std::shared_ptr<Volume> CreateVolume(VolumeOptions options) {
  return std::make_shared<Volume>(std::move(options));
}

LONGLONG Volume::Now() const {
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  return now.QuadPart;
}

LONGLONG Volume::ClusterRound(LONGLONG bytes) const {
  const LONGLONG cluster = options_.clusterSize;
  return bytes <= 0 ? 0 : (bytes + cluster - 1) / cluster * cluster;
}

bool Volume::ReserveAllocation(LONGLONG oldSize, LONGLONG newSize) {
  const LONGLONG delta = newSize - oldSize;
  if (delta > 0 && allocatedBytes_ + delta > static_cast<LONGLONG>(options_.sizeBytes))
    return false;
  allocatedBytes_ += delta;
  return true;
}

std::shared_ptr<Node> Volume::NewNode(Node* parent, const std::u16string& name, bool directory,
                                      ULONG attributes) {
  auto node = std::make_shared<Node>();
  node->name = name;
  node->isDirectory = directory;
  node->attributes = attributes;
  const LONGLONG now = Now();
  node->creationTime = node->lastAccessTime = node->lastWriteTime = node->changeTime = now;
  node->fileId = (1ull << 48) | nextRecord_++;
  // New files take their parent's descriptor. Real inheritance computes the
  // inheritable ACEs; a copy is what a default tree (every ACE inheritable)
  // gives, and all the simulation needs.
  node->security = parent != nullptr ? parent->security : kernel::security::DefaultFileSecurity();
  return node;
}

void Volume::LinkChild(Node* parent, const std::shared_ptr<Node>& child) {
  child->parent = parent;
  child->unlinked = false;
  parent->children[Upcase(child->name)] = child;
  AssignShortName(parent, child.get());
}

std::shared_ptr<Node> Volume::UnlinkChild(Node* child) {
  Node* parent = child->parent;
  if (parent == nullptr) return nullptr;
  if (!child->shortName.empty()) parent->shortChildren.erase(Upcase(child->shortName));
  auto it = parent->children.find(Upcase(child->name));
  std::shared_ptr<Node> keep;
  if (it != parent->children.end()) {
    keep = it->second;
    parent->children.erase(it);
  }
  child->parent = nullptr;
  return keep;
}

std::shared_ptr<Node> Volume::FindChild(const Node* directory, std::u16string_view name) const {
  const auto key = Upcase(name);
  if (auto it = directory->children.find(key); it != directory->children.end()) return it->second;
  if (auto it = directory->shortChildren.find(key); it != directory->shortChildren.end()) {
    return directory->children.at(Upcase(it->second->name));
  }
  return nullptr;
}

// Gives a long name a unique short name in its directory: one no other
// entry uses as its short or its long name.
void Volume::AssignShortName(Node* parent, Node* child) {
  child->shortName.clear();
  if (!options_.shortNames || !NeedsShortName(child->name)) return;
  GENERATE_NAME_CONTEXT context{};
  UNICODE_STRING longName;
  longName.Buffer = reinterpret_cast<PWCH>(child->name.data());
  longName.Length = longName.MaximumLength =
      static_cast<USHORT>(child->name.size() * sizeof(WCHAR));
  WCHAR buffer[12];
  for (int attempt = 0; attempt < 1000000; ++attempt) {
    UNICODE_STRING shortName{0, sizeof(buffer), buffer};
    if (!NT_SUCCESS(RtlGenerate8dot3Name(&longName, FALSE, &context, &shortName))) return;
    std::u16string candidate(reinterpret_cast<const char16_t*>(buffer),
                             shortName.Length / sizeof(WCHAR));
    const auto key = Upcase(candidate);
    if (parent->shortChildren.count(key) != 0 || parent->children.count(key) != 0) continue;
    child->shortName = candidate;
    parent->shortChildren[key] = child;
    return;
  }
}

std::u16string Volume::PathOf(const Node* node) const {
  if (node == root_.get()) return u"\\";
  std::vector<const Node*> chain;
  for (const Node* n = node; n != nullptr && n != root_.get(); n = n->parent) chain.push_back(n);
  std::u16string path;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    path += u'\\';
    path += (*it)->name;
  }
  return path;
}

void Volume::TouchDirectory(Node* directory) {
  if (directory == nullptr) return;
  directory->lastWriteTime = directory->changeTime = Now();
}

Fcb* Volume::AcquireFcb(const std::shared_ptr<Node>& node) {
  if (node->fcb != nullptr) return node->fcb;
  auto* fcb = new Fcb();
  fcb->node = node;
  fcb->header.NodeTypeCode = kNodeTypeFcb;
  fcb->header.NodeByteSize = static_cast<CSHORT>(sizeof(FSRTL_ADVANCED_FCB_HEADER));
  ExInitializeFastMutex(&fcb->headerMutex);
  FsRtlSetupAdvancedHeader(&fcb->header, &fcb->headerMutex);
  if (!options_.filterContexts) {
    fcb->header.Flags2 =
        static_cast<UCHAR>(fcb->header.Flags2 & ~FSRTL_FLAG2_SUPPORTS_FILTER_CONTEXTS);
  }
  node->fcb = fcb;
  UpdateHeaderSizes(fcb);
  return fcb;
}

void Volume::UpdateHeaderSizes(Fcb* fcb) {
  const Node* node = fcb->node.get();
  if (node == nullptr || node->isDirectory) return;
  fcb->header.AllocationSize.QuadPart = node->allocationSize;
  fcb->header.FileSize.QuadPart = node->EndOfFile();
  fcb->header.ValidDataLength.QuadPart = node->EndOfFile();
}

// Removes a node from the namespace. Its clusters are freed now, or at the
// last close when it is still open (its opens may still write to it).
void Volume::DeleteNode(Node* node) {
  Node* parent = node->parent;
  ReportChange(parent, node->name,
               node->isDirectory ? FILE_NOTIFY_CHANGE_DIR_NAME : FILE_NOTIFY_CHANGE_FILE_NAME,
               FILE_ACTION_REMOVED);
  auto keep = UnlinkChild(node);
  node->unlinked = true;
  if (node->fcb == nullptr) ReserveAllocation(node->allocationSize, 0);
  TouchDirectory(parent);
}

bool Volume::Lookup(const FILE_OBJECT* fileObject, Fcb** fcb, Ccb** ccb) const {
  if (fileObject == nullptr || open_.count(fileObject) == 0) return false;
  *fcb = CONTAINING_RECORD(static_cast<FSRTL_ADVANCED_FCB_HEADER*>(fileObject->FsContext), Fcb,
                           header);
  *ccb = static_cast<Ccb*>(fileObject->FsContext2);
  return true;
}

bool Volume::Owns(const FILE_OBJECT* fileObject) const {
  std::lock_guard lock(mutex_);
  return open_.count(fileObject) != 0;
}

std::size_t Volume::OpenFileObjectCount() const {
  std::lock_guard lock(mutex_);
  return open_.size();
}

// IoCheckShareAccess: an open that reads, writes or deletes must be allowed
// by every existing open's sharing, and must itself share what they use.
// Opens for attributes or synchronize only are never checked, nor are opens
// whose file object ignores sharing (IO_IGNORE_SHARE_ACCESS_CHECK).
bool Volume::CheckShareAccess(const ShareCounts& c, ACCESS_MASK access,
                              const io::CreateParameters& p) {
  if (p.ignoreShareAccess) return true;
  const ULONG share = p.shareAccess;
  const bool read = (access & (FILE_READ_DATA | FILE_EXECUTE)) != 0;
  const bool write = (access & kWriteDataAccess) != 0;
  const bool del = (access & DELETE) != 0;
  if (!read && !write && !del) return true;
  const bool sharedRead = (share & FILE_SHARE_READ) != 0;
  const bool sharedWrite = (share & FILE_SHARE_WRITE) != 0;
  const bool sharedDelete = (share & FILE_SHARE_DELETE) != 0;
  if ((read && c.sharedRead < c.openCount) || (write && c.sharedWrite < c.openCount) ||
      (del && c.sharedDelete < c.openCount) || (c.readers != 0 && !sharedRead) ||
      (c.writers != 0 && !sharedWrite) || (c.deleters != 0 && !sharedDelete)) {
    return false;
  }
  return true;
}

// IoSetShareAccess. A file object that ignores sharing keeps its own access
// and sharing in its fields but is not counted in the file's share access,
// so later opens are checked as if it were not there (and its cleanup
// removes nothing).
void Volume::RecordShareAccess(FILE_OBJECT* fo, Fcb* fcb, Ccb* ccb, ACCESS_MASK access,
                               const io::CreateParameters& p) {
  const ULONG share = p.shareAccess;
  ccb->readAccess = (access & (FILE_READ_DATA | FILE_EXECUTE)) != 0;
  ccb->writeAccess = (access & kWriteDataAccess) != 0;
  ccb->deleteAccess = (access & DELETE) != 0;
  fo->ReadAccess = ccb->readAccess;
  fo->WriteAccess = ccb->writeAccess;
  fo->DeleteAccess = ccb->deleteAccess;
  if (!ccb->readAccess && !ccb->writeAccess && !ccb->deleteAccess) return;
  ccb->sharedRead = (share & FILE_SHARE_READ) != 0;
  ccb->sharedWrite = (share & FILE_SHARE_WRITE) != 0;
  ccb->sharedDelete = (share & FILE_SHARE_DELETE) != 0;
  fo->SharedRead = ccb->sharedRead;
  fo->SharedWrite = ccb->sharedWrite;
  fo->SharedDelete = ccb->sharedDelete;
  if (p.ignoreShareAccess) return;
  auto& c = fcb->share;
  c.openCount++;
  c.readers += ccb->readAccess;
  c.writers += ccb->writeAccess;
  c.deleters += ccb->deleteAccess;
  c.sharedRead += ccb->sharedRead;
  c.sharedWrite += ccb->sharedWrite;
  c.sharedDelete += ccb->sharedDelete;
  ccb->shareRecorded = true;
}

void Volume::AttachOpen(FILE_OBJECT* fo, Fcb* fcb, std::unique_ptr<Ccb> ccb) {
  fo->FsContext = &fcb->header;
  fo->FsContext2 = ccb.release();
  fo->SectionObjectPointer = &fcb->sectionObjectPointers;
  fcb->openCount++;
  fcb->cleanupCount++;
  open_[fo] = OpenRecord{fcb, static_cast<Ccb*>(fo->FsContext2)};
}

NTSTATUS Volume::Create(FILE_OBJECT* fileObject, const io::CreateParameters& parameters,
                        IO_STATUS_BLOCK& iosb) {
  std::lock_guard lock(mutex_);
  iosb.Information = 0;
  const NTSTATUS status = CreateLocked(fileObject, parameters, iosb);
  Fcb* fcb;
  Ccb* ccb;
  if (NT_SUCCESS(status) && status != STATUS_REPARSE && parameters.grantedAccess != nullptr &&
      Lookup(fileObject, &fcb, &ccb)) {
    *parameters.grantedAccess = ccb->grantedAccess;
  }
  iosb.Status = status;
  return status;
}

NTSTATUS Volume::OpenVolume(FILE_OBJECT* fo, const io::CreateParameters& p, IO_STATUS_BLOCK& iosb) {
  if (p.disposition != FILE_OPEN && p.disposition != FILE_OPEN_IF) return STATUS_ACCESS_DENIED;
  if ((p.options & FILE_DIRECTORY_FILE) != 0) return STATUS_NOT_A_DIRECTORY;
  if ((p.options & FILE_DELETE_ON_CLOSE) != 0) return STATUS_CANNOT_DELETE;
  if (volumeFcb_ == nullptr) {
    volumeFcb_ = new Fcb();
    volumeFcb_->header.NodeTypeCode = kNodeTypeVcb;
    volumeFcb_->header.NodeByteSize = static_cast<CSHORT>(sizeof(FSRTL_ADVANCED_FCB_HEADER));
    ExInitializeFastMutex(&volumeFcb_->headerMutex);
    FsRtlSetupAdvancedHeader(&volumeFcb_->header, &volumeFcb_->headerMutex);
  }
  const ACCESS_MASK access = (p.desiredAccess & MAXIMUM_ALLOWED) != 0
                                 ? (FILE_ALL_ACCESS | (p.desiredAccess & ~MAXIMUM_ALLOWED))
                                 : p.desiredAccess;
  if (!CheckShareAccess(volumeFcb_->share, access, p)) {
    if (volumeFcb_->openCount == 0) {
      delete volumeFcb_;
      volumeFcb_ = nullptr;
    }
    return STATUS_SHARING_VIOLATION;
  }
  auto ccb = std::make_unique<Ccb>();
  ccb->grantedAccess = access;
  ccb->volumeOpen = true;
  RecordShareAccess(fo, volumeFcb_, ccb.get(), access, p);
  AttachOpen(fo, volumeFcb_, std::move(ccb));
  iosb.Information = FILE_OPENED;
  return STATUS_SUCCESS;
}

NTSTATUS Volume::CreateLocked(FILE_OBJECT* fo, const io::CreateParameters& p,
                              IO_STATUS_BLOCK& iosb) {
  if (fo == nullptr || open_.count(fo) != 0) return STATUS_INVALID_PARAMETER;
  const ULONG options = p.options;
  const ULONG disposition = p.disposition;
  const bool wantDirectory = (options & FILE_DIRECTORY_FILE) != 0;
  const bool wantFile = (options & FILE_NON_DIRECTORY_FILE) != 0;
  const bool deleteOnClose = (options & FILE_DELETE_ON_CLOSE) != 0;
  if (disposition > FILE_MAXIMUM_DISPOSITION || (wantDirectory && wantFile))
    return STATUS_INVALID_PARAMETER;
  if (wantDirectory && disposition != FILE_CREATE && disposition != FILE_OPEN &&
      disposition != FILE_OPEN_IF) {
    return STATUS_INVALID_PARAMETER;
  }
  if (deleteOnClose && (p.desiredAccess & (DELETE | MAXIMUM_ALLOWED)) == 0)
    return STATUS_INVALID_PARAMETER;
  // Files are opened by name only: there is no file-ID index.
  if ((options & FILE_OPEN_BY_FILE_ID) != 0) return STATUS_NOT_SUPPORTED;
  // No extended attributes (FILE_SUPPORTS_EXTENDED_ATTRIBUTES is not claimed).
  if (p.eaLength != 0) return STATUS_EAS_NOT_SUPPORTED;

  // Where the name starts: the related file object's directory or the root.
  std::u16string_view name = CharsOf(fo->FileName);
  // "name::$DATA" names the default data stream: the file itself. Other
  // stream names fail the name check (there are no named streams).
  if (constexpr std::u16string_view kDataStream = u"::$DATA";
      name.size() > kDataStream.size() &&
      Upcase(name.substr(name.size() - kDataStream.size())) == kDataStream) {
    name.remove_suffix(kDataStream.size());
  }
  std::shared_ptr<Node> start = root_;
  if (fo->RelatedFileObject != nullptr) {
    Fcb* relatedFcb;
    Ccb* relatedCcb;
    if (!Lookup(fo->RelatedFileObject, &relatedFcb, &relatedCcb)) return STATUS_INVALID_PARAMETER;
    if (relatedFcb->node == nullptr) {
      if (name.empty()) return OpenVolume(fo, p, iosb);
      return STATUS_INVALID_PARAMETER;
    }
    start = relatedFcb->node;
    if (!name.empty() && !start->isDirectory) return STATUS_INVALID_PARAMETER;
    if (!name.empty() && name.front() == u'\\') return STATUS_OBJECT_NAME_INVALID;
    if (start->unlinked) return STATUS_DELETE_PENDING;
  } else {
    if (name.empty()) return OpenVolume(fo, p, iosb);
    if (name.front() != u'\\') return STATUS_OBJECT_NAME_INVALID;
  }

  std::vector<std::u16string> components;
  bool trailingBackslash = false;
  if (NTSTATUS s = SplitPath(name, &components, &trailingBackslash); !NT_SUCCESS(s)) return s;

  // Walk to the parent of the last component.
  std::shared_ptr<Node> parent = start;
  for (std::size_t i = 0; i + 1 < components.size(); ++i) {
    auto next = FindChild(parent.get(), components[i]);
    if (next == nullptr || !next->isDirectory) return STATUS_OBJECT_PATH_NOT_FOUND;
    parent = std::move(next);
  }

  std::shared_ptr<Node> target;
  std::u16string leaf;
  if (components.empty()) {
    target = start;  // "\" or the related directory itself
  } else {
    leaf = components.back();
    target = FindChild(parent.get(), leaf);
  }

  // SL_OPEN_TARGET_DIRECTORY: open the parent and say whether the final
  // component exists; as NTFS does, leave only that component in FileName.
  if ((p.flags & SL_OPEN_TARGET_DIRECTORY) != 0) {
    if (components.empty()) return STATUS_INVALID_PARAMETER;
    Fcb* fcb = AcquireFcb(parent);
    const ACCESS_MASK access =
        (p.desiredAccess & MAXIMUM_ALLOWED) != 0 ? FILE_ALL_ACCESS : p.desiredAccess;
    if (fcb->deletePending) {
      if (fcb->openCount == 0) {
        parent->fcb = nullptr;
        delete fcb;
      }
      return STATUS_DELETE_PENDING;
    }
    if (!CheckShareAccess(fcb->share, access, p)) {
      if (fcb->openCount == 0) {
        parent->fcb = nullptr;
        delete fcb;
      }
      return STATUS_SHARING_VIOLATION;
    }
    auto ccb = std::make_unique<Ccb>();
    ccb->grantedAccess = access;
    RecordShareAccess(fo, fcb, ccb.get(), access, p);
    AttachOpen(fo, fcb, std::move(ccb));
    std::memmove(fo->FileName.Buffer, leaf.data(), leaf.size() * sizeof(WCHAR));
    fo->FileName.Length = static_cast<USHORT>(leaf.size() * sizeof(WCHAR));
    iosb.Information = target != nullptr ? FILE_EXISTS : FILE_DOES_NOT_EXIST;
    return STATUS_SUCCESS;
  }

  // A new file or directory.
  if (target == nullptr) {
    if (disposition == FILE_OPEN || disposition == FILE_OVERWRITE)
      return STATUS_OBJECT_NAME_NOT_FOUND;
    if (trailingBackslash && !wantDirectory) return STATUS_OBJECT_NAME_INVALID;
    if (parent->fcb != nullptr && parent->fcb->deletePending) return STATUS_DELETE_PENDING;
    ULONG attributes = p.fileAttributes & FILE_ATTRIBUTE_VALID_SET_FLAGS & ~FILE_ATTRIBUTE_NORMAL;
    if (wantDirectory) {
      if ((attributes & FILE_ATTRIBUTE_TEMPORARY) != 0) return STATUS_INVALID_PARAMETER;
      attributes |= FILE_ATTRIBUTE_DIRECTORY;
    } else {
      attributes |= FILE_ATTRIBUTE_ARCHIVE;
    }
    if (deleteOnClose && (attributes & FILE_ATTRIBUTE_READONLY) != 0) return STATUS_CANNOT_DELETE;
    LONGLONG allocation = 0;
    if (!wantDirectory && p.allocationSize.QuadPart > 0) {
      allocation = ClusterRound(p.allocationSize.QuadPart);
      if (!ReserveAllocation(0, allocation)) return STATUS_DISK_FULL;
    }
    auto node = NewNode(parent.get(), leaf, wantDirectory, attributes);
    node->allocationSize = allocation;
    LinkChild(parent.get(), node);
    TouchDirectory(parent.get());
    ReportChange(parent.get(), node->name,
                 wantDirectory ? FILE_NOTIFY_CHANGE_DIR_NAME : FILE_NOTIFY_CHANGE_FILE_NAME,
                 FILE_ACTION_ADDED);
    Fcb* fcb = AcquireFcb(node);
    auto ccb = std::make_unique<Ccb>();
    // No DACL evaluation: the creator gets what it asked for.
    ccb->grantedAccess = (p.desiredAccess & MAXIMUM_ALLOWED) != 0
                             ? (FILE_ALL_ACCESS | (p.desiredAccess & ~MAXIMUM_ALLOWED))
                             : p.desiredAccess;
    ccb->deleteOnClose = deleteOnClose;
    RecordShareAccess(fo, fcb, ccb.get(), ccb->grantedAccess, p);
    AttachOpen(fo, fcb, std::move(ccb));
    iosb.Information = FILE_CREATED;
    return STATUS_SUCCESS;
  }

  // An existing file or directory.
  Node* node = target.get();
  if (trailingBackslash && !node->isDirectory) return STATUS_OBJECT_NAME_INVALID;
  if (disposition == FILE_CREATE) return STATUS_OBJECT_NAME_COLLISION;
  if (node->isDirectory) {
    if (wantFile) return STATUS_FILE_IS_A_DIRECTORY;
    if (IsOverwrite(disposition)) return STATUS_FILE_IS_A_DIRECTORY;
  } else if (wantDirectory) {
    return STATUS_NOT_A_DIRECTORY;
  }
  if (node->fcb != nullptr && node->fcb->deletePending) return STATUS_DELETE_PENDING;

  const bool readOnly = (node->attributes & FILE_ATTRIBUTE_READONLY) != 0;
  ACCESS_MASK access = p.desiredAccess;
  if ((access & MAXIMUM_ALLOWED) != 0) {
    access = (access & ~MAXIMUM_ALLOWED) | FILE_ALL_ACCESS;
    if (readOnly && !node->isDirectory) access &= ~kWriteDataAccess;
  }
  // A read-only file can be opened for reading, attributes and DELETE (the
  // delete itself is then refused unless the read-only attribute is
  // ignored), never for writing its data.
  if (readOnly && !node->isDirectory) {
    if ((access & kWriteDataAccess) != 0 || IsOverwrite(disposition)) return STATUS_ACCESS_DENIED;
  }
  if (deleteOnClose) {
    if (readOnly || node == root_.get()) return STATUS_CANNOT_DELETE;
    if (node->isDirectory && !node->children.empty()) return STATUS_DIRECTORY_NOT_EMPTY;
  }
  ULONG newAttributes = 0;
  if (IsOverwrite(disposition)) {
    newAttributes = (p.fileAttributes & FILE_ATTRIBUTE_VALID_SET_FLAGS & ~FILE_ATTRIBUTE_NORMAL) |
                    FILE_ATTRIBUTE_ARCHIVE;
    // Overwriting may not drop the hidden or system attribute.
    if (((node->attributes & FILE_ATTRIBUTE_HIDDEN) != 0 &&
         (newAttributes & FILE_ATTRIBUTE_HIDDEN) == 0) ||
        ((node->attributes & FILE_ATTRIBUTE_SYSTEM) != 0 &&
         (newAttributes & FILE_ATTRIBUTE_SYSTEM) == 0)) {
      return STATUS_ACCESS_DENIED;
    }
  }

  const bool hadFcb = node->fcb != nullptr;
  Fcb* fcb = AcquireFcb(target);
  if (!CheckShareAccess(fcb->share, access, p)) {
    if (!hadFcb) {
      node->fcb = nullptr;
      delete fcb;
    }
    return STATUS_SHARING_VIOLATION;
  }
  if (IsOverwrite(disposition)) {
    const LONGLONG allocation = ClusterRound(std::max<LONGLONG>(p.allocationSize.QuadPart, 0));
    ReserveAllocation(node->allocationSize, 0);
    if (!ReserveAllocation(0, allocation)) {
      ReserveAllocation(0, node->allocationSize);
      if (!hadFcb) {
        node->fcb = nullptr;
        delete fcb;
      }
      return STATUS_DISK_FULL;
    }
    node->data.clear();
    node->data.shrink_to_fit();
    node->allocationSize = allocation;
    node->attributes = newAttributes;
    node->lastWriteTime = node->changeTime = Now();
    UpdateHeaderSizes(fcb);
    iosb.Information = disposition == FILE_SUPERSEDE ? FILE_SUPERSEDED : FILE_OVERWRITTEN;
  } else {
    iosb.Information = FILE_OPENED;
  }
  auto ccb = std::make_unique<Ccb>();
  ccb->grantedAccess = access;
  ccb->deleteOnClose = deleteOnClose;
  RecordShareAccess(fo, fcb, ccb.get(), access, p);
  AttachOpen(fo, fcb, std::move(ccb));
  return STATUS_SUCCESS;
}

NTSTATUS Volume::Cleanup(FILE_OBJECT* fileObject, IO_STATUS_BLOCK& iosb) {
  std::lock_guard lock(mutex_);
  iosb.Information = 0;
  Fcb* fcb;
  Ccb* ccb;
  if (!Lookup(fileObject, &fcb, &ccb)) return iosb.Status = STATUS_INVALID_DEVICE_REQUEST;
  CleanupLocked(fileObject, fcb, ccb);
  return iosb.Status = STATUS_SUCCESS;
}

void Volume::CleanupLocked(FILE_OBJECT* fileObject, Fcb* fcb, Ccb* ccb) {
  if (ccb->cleanedUp) return;
  ccb->cleanedUp = true;
  StopWatching(ccb);  // its pending change notification completes
  ReleaseLocksOf(fcb, fileObject);
  fcb->cleanupCount--;
  if (ccb->shareRecorded) {
    auto& c = fcb->share;
    c.openCount--;
    c.readers -= ccb->readAccess;
    c.writers -= ccb->writeAccess;
    c.deleters -= ccb->deleteAccess;
    c.sharedRead -= ccb->sharedRead;
    c.sharedWrite -= ccb->sharedWrite;
    c.sharedDelete -= ccb->sharedDelete;
    ccb->shareRecorded = false;
  }
  fileObject->Flags |= FO_CLEANUP_COMPLETE;
  Node* node = fcb->node.get();
  if (node != nullptr && !node->unlinked && node != root_.get()) {
    // A directory that gained entries since the delete was asked for is
    // left alone, as NTFS does.
    if (ccb->deleteOnClose && !(node->isDirectory && !node->children.empty()))
      fcb->deletePending = true;
    const bool deleteNow = fcb->deletePending && (fcb->cleanupCount == 0 || ccb->posixDelete);
    if (deleteNow && !(node->isDirectory && !node->children.empty())) {
      DeleteNode(node);
      fcb->deletePending = false;
    }
  }
}

void Volume::Close(FILE_OBJECT* fileObject) {
  Fcb* toFree = nullptr;
  {
    std::lock_guard lock(mutex_);
    Fcb* fcb;
    Ccb* ccb;
    if (!Lookup(fileObject, &fcb, &ccb)) return;
    // A file object closed without a cleanup (its handle was never closed
    // through the I/O path) is cleaned up now.
    CleanupLocked(fileObject, fcb, ccb);
    open_.erase(fileObject);
    delete ccb;
    fileObject->FsContext2 = nullptr;
    fcb->openCount--;
    if (fcb->openCount == 0) {
      if (fcb->node != nullptr) {
        if (fcb->node->unlinked) ReserveAllocation(fcb->node->allocationSize, 0);
        fcb->node->fcb = nullptr;
      } else {
        volumeFcb_ = nullptr;
      }
      toFree = fcb;
    }
  }
  if (toFree != nullptr) {
    // The stream's FCB goes: the filters' stream contexts go with it.
    FsRtlTeardownPerStreamContexts(&toFree->header);
    delete toFree;
  }
}

}  // namespace sim::fs
