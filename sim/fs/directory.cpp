// IRP_MN_QUERY_DIRECTORY: the directory-information classes, with NTFS's
// rules as MS-FSA describes them:
// - entries come in upcased-name order, after "." and ".." (not in the root);
// - the first query of a handle fixes the pattern ("*" when none is given);
//   a restart that gives a pattern replaces it;
// - a name matches when its long or its short name is in the expression
//   (FsRtlIsNameInExpression, case-insensitive, DOS wildcards included);
// - entries start on 8-byte boundaries; when even the first entry does not
//   fit, as much of its name as fits is returned with its full length and
//   STATUS_BUFFER_OVERFLOW, and the entry counts as returned;
// - nothing left: STATUS_NO_SUCH_FILE on a handle's first query,
//   STATUS_NO_MORE_FILES afterwards.
// FileIndex is 0 in every entry, as on NTFS where an entry has no fixed
// position. SL_INDEX_SPECIFIED restarts the scan at the entry with that
// ordinal ("." is 0 outside the root), the nearest NTFS-like reading of an
// index on a volume that does not keep one.
#include <algorithm>
#include <cstring>

#include "fs/names.h"
#include "fs/volume.h"

namespace sim::fs {
namespace {

ULONG BaseLength(FILE_INFORMATION_CLASS c) {
  switch (c) {
    case FileDirectoryInformation:
      return FIELD_OFFSET(FILE_DIRECTORY_INFORMATION, FileName);
    case FileFullDirectoryInformation:
      return FIELD_OFFSET(FILE_FULL_DIR_INFORMATION, FileName);
    case FileIdFullDirectoryInformation:
      return FIELD_OFFSET(FILE_ID_FULL_DIR_INFORMATION, FileName);
    case FileBothDirectoryInformation:
      return FIELD_OFFSET(FILE_BOTH_DIR_INFORMATION, FileName);
    case FileIdBothDirectoryInformation:
      return FIELD_OFFSET(FILE_ID_BOTH_DIR_INFORMATION, FileName);
    case FileNamesInformation:
      return FIELD_OFFSET(FILE_NAMES_INFORMATION, FileName);
    default:
      return 0;
  }
}

// Fills one entry (NextEntryOffset left 0) with `copied` bytes of `name`.
void FillEntry(UCHAR* at, FILE_INFORMATION_CLASS c, const Node& node, std::u16string_view name,
               ULONG copied) {
  const ULONG base = BaseLength(c);
  std::memset(at, 0, base);
  const auto fullBytes = static_cast<ULONG>(name.size() * sizeof(WCHAR));
  if (c == FileNamesInformation) {
    reinterpret_cast<FILE_NAMES_INFORMATION*>(at)->FileNameLength = fullBytes;
  } else {
    // Every other class starts with FILE_DIRECTORY_INFORMATION's members.
    auto* d = reinterpret_cast<FILE_DIRECTORY_INFORMATION*>(at);
    d->CreationTime.QuadPart = node.creationTime;
    d->LastAccessTime.QuadPart = node.lastAccessTime;
    d->LastWriteTime.QuadPart = node.lastWriteTime;
    d->ChangeTime.QuadPart = node.changeTime;
    d->EndOfFile.QuadPart = node.isDirectory ? 0 : node.EndOfFile();
    d->AllocationSize.QuadPart = node.isDirectory ? 0 : node.allocationSize;
    d->FileAttributes = node.attributes == 0 ? FILE_ATTRIBUTE_NORMAL : node.attributes;
    d->FileNameLength = fullBytes;
    const bool dots = name == u"." || name == u"..";
    const std::u16string& shortName = dots ? std::u16string() : node.shortName;
    LARGE_INTEGER id;
    id.QuadPart = static_cast<LONGLONG>(node.fileId);
    if (c == FileBothDirectoryInformation || c == FileIdBothDirectoryInformation) {
      auto* b = reinterpret_cast<FILE_BOTH_DIR_INFORMATION*>(at);
      b->ShortNameLength = static_cast<CCHAR>(shortName.size() * sizeof(WCHAR));
      std::memcpy(b->ShortName, shortName.data(), shortName.size() * sizeof(WCHAR));
      if (c == FileIdBothDirectoryInformation)
        reinterpret_cast<FILE_ID_BOTH_DIR_INFORMATION*>(at)->FileId = id;
    } else if (c == FileIdFullDirectoryInformation) {
      reinterpret_cast<FILE_ID_FULL_DIR_INFORMATION*>(at)->FileId = id;
    }
  }
  std::memcpy(at + base, name.data(), copied);
}

}  // namespace

NTSTATUS Volume::QueryDirectory(FILE_OBJECT* fo, const io::DirectoryQuery& query, void* buffer,
                                ULONG length, IO_STATUS_BLOCK& iosb) {
  std::lock_guard lock(mutex_);
  iosb.Information = 0;
  Fcb* fcb;
  Ccb* ccb;
  if (!Lookup(fo, &fcb, &ccb)) return iosb.Status = STATUS_INVALID_DEVICE_REQUEST;
  if (ccb->volumeOpen || !fcb->node->isDirectory) return iosb.Status = STATUS_INVALID_PARAMETER;
  const FILE_INFORMATION_CLASS infoClass = query.infoClass;
  const ULONG base = BaseLength(infoClass);
  if (base == 0) return iosb.Status = STATUS_INVALID_INFO_CLASS;
  if (length < base) return iosb.Status = STATUS_INFO_LENGTH_MISMATCH;
  Node* dir = fcb->node.get();

  const bool firstQuery = !ccb->queryStarted;
  const bool patternGiven =
      query.pattern != nullptr && query.pattern->Length != 0 && query.pattern->Buffer != nullptr;
  const bool restart = (query.flags & SL_RESTART_SCAN) != 0;
  if (firstQuery || (patternGiven && restart)) {
    std::u16string pattern = u"*";
    if (patternGiven) {
      pattern.assign(reinterpret_cast<const char16_t*>(query.pattern->Buffer),
                     query.pattern->Length / sizeof(WCHAR));
      if (!IsLegalPattern(pattern)) return iosb.Status = STATUS_OBJECT_NAME_INVALID;
    }
    ccb->pattern = Upcase(pattern);
    ccb->patternHasWildcards = HasWildcards(pattern);
    ccb->queryStarted = true;
  }
  const bool isRoot = dir == root_.get();
  if (firstQuery || restart || (query.flags & SL_INDEX_SPECIFIED) != 0) {
    ccb->position = isRoot ? 2 : 0;
    ccb->haveLastKey = false;
    ccb->lastKey.clear();
  }
  if ((query.flags & SL_INDEX_SPECIFIED) != 0) {
    ULONG skip = query.fileIndex;
    while (skip > 0 && ccb->position < 2) {
      ccb->position++;
      skip--;
    }
    if (skip > 0) {
      auto it = dir->children.begin();
      while (skip > 0 && it != dir->children.end()) {
        ccb->lastKey = it->first;
        ccb->haveLastKey = true;
        ++it;
        --skip;
      }
    }
  }

  auto* out = static_cast<UCHAR*>(buffer);
  ULONG used = 0;
  ULONG previous = 0;
  bool any = false;
  NTSTATUS status = STATUS_SUCCESS;
  const bool single = (query.flags & SL_RETURN_SINGLE_ENTRY) != 0;

  // Emits a candidate; false when the buffer is full (the cursor must then
  // not move past it).
  auto emit = [&](const Node& node, std::u16string_view name) -> bool {
    const auto nameBytes = static_cast<ULONG>(name.size() * sizeof(WCHAR));
    const ULONG start = any ? static_cast<ULONG>(ALIGN_UP_BY(used, 8)) : 0;
    if (static_cast<ULONGLONG>(start) + base + nameBytes > length) {
      if (any) return false;
      const ULONG copied = (length - base) & ~1u;
      FillEntry(out, infoClass, node, name, copied);
      used = base + copied;
      any = true;
      status = STATUS_BUFFER_OVERFLOW;
      return true;
    }
    FillEntry(out + start, infoClass, node, name, nameBytes);
    if (any) reinterpret_cast<ULONG*>(out + previous)[0] = start - previous;
    previous = start;
    used = start + base + nameBytes;
    any = true;
    return true;
  };
  const bool matchAll = ccb->pattern == u"*";
  auto matches = [&](const Node& node, std::u16string_view name) {
    if (matchAll) return true;
    return MatchesPattern(ccb->pattern, name) || (!node.shortName.empty() && name == node.name &&
                                                  MatchesPattern(ccb->pattern, node.shortName));
  };
  auto done = [&] { return status != STATUS_SUCCESS || (single && any); };

  // "." and "..".
  while (ccb->position < 2 && !done()) {
    const bool dot = ccb->position == 0;
    const Node& node = dot ? *dir : (dir->parent != nullptr ? *dir->parent : *dir);
    const std::u16string_view name = dot ? u"." : u"..";
    if (MatchesPattern(ccb->pattern, name) && !emit(node, name)) break;
    ccb->position++;
  }
  // The children, in upcased-name order from the cursor.
  if (ccb->position == 2 && !done()) {
    if (!ccb->patternHasWildcards) {
      // A plain name can match one entry only: look it up.
      if (!ccb->haveLastKey) {
        auto child = FindChild(dir, ccb->pattern);
        if (child != nullptr && emit(*child, child->name)) {
          ccb->haveLastKey = true;
          ccb->lastKey = Upcase(child->name);
        } else if (child == nullptr) {
          ccb->haveLastKey = true;
        }
      }
    } else {
      auto it = ccb->haveLastKey ? dir->children.upper_bound(ccb->lastKey) : dir->children.begin();
      for (; it != dir->children.end() && !done(); ++it) {
        const Node& child = *it->second;
        if (matches(child, child.name) && !emit(child, child.name)) break;
        ccb->lastKey = it->first;
        ccb->haveLastKey = true;
      }
    }
  }

  if (!any) return iosb.Status = firstQuery ? STATUS_NO_SUCH_FILE : STATUS_NO_MORE_FILES;
  iosb.Information = used;
  return iosb.Status = status;
}

}  // namespace sim::fs
