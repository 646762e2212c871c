#include "payloads.h"

#include <cstring>

#include "request_payloads.h"
#include "text.h"

namespace tavo::agent {
namespace {

using namespace tavo::protocol;

class Reader {
 public:
  explicit Reader(const Bytes& bytes) : bytes_(bytes) {}

  std::optional<std::uint32_t> U32(std::size_t offset) const {
    if (offset + 4 > bytes_.size()) return std::nullopt;
    std::uint32_t value;
    std::memcpy(&value, bytes_.data() + offset, 4);
    return value;
  }

  // A name of `length` bytes (its NUL included) at `offset`.
  std::optional<std::u16string> Name(std::size_t offset, std::uint32_t length) const {
    if (length < 2 || length % 2 != 0) return std::nullopt;
    if (offset > bytes_.size() || length > bytes_.size() - offset) return std::nullopt;
    std::u16string text(length / 2, u'\0');
    std::memcpy(text.data(), bytes_.data() + offset, length);
    // The NUL ends the name; one inside it would cut it short ("docs\0junk"
    // is not "docs"): such a name is refused whole.
    if (text.find(u'\0') != text.size() - 1) return std::nullopt;
    text.pop_back();
    return text;
  }

  // A NUL-terminated string in a fixed field; cut at the field's end.
  std::u16string Field(std::size_t offset, std::size_t bytes) const {
    std::u16string text;
    for (std::size_t i = 0; i + 1 < bytes && offset + i + 1 < bytes_.size(); i += 2) {
      char16_t c;
      std::memcpy(&c, bytes_.data() + offset + i, 2);
      if (c == u'\0') break;
      text += c;
    }
    return text;
  }

 private:
  const Bytes& bytes_;
};

}  // namespace

std::optional<DecodedRequest> DecodeRequest(std::uint32_t type, const Bytes& payload) {
  const Reader in(payload);
  DecodedRequest r;
  r.type = type;
  switch (type) {
    case kRequestDownload: {
      auto session = in.U32(0), notAllowed = in.U32(4), isDirectory = in.U32(8),
           length = in.U32(__builtin_offsetof(DownloadRequest, NameLength));
      if (!session || !notAllowed || !isDirectory || !length) return std::nullopt;
      auto name = in.Name(kDownloadNameOffset, *length);
      if (!name) return std::nullopt;
      r.notAllowed = *notAllowed;
      r.isDirectory = *isDirectory;
      r.processName =
          in.Field(__builtin_offsetof(DownloadRequest, ProcessName), kProcessNameFieldBytes);
      r.name = *name;
      return r;
    }
    case kRequestDirectoryListing: {
      auto infoClass = in.U32(4), purpose = in.U32(8), start = in.U32(12), single = in.U32(16),
           bufferLength = in.U32(20), pathLength = in.U32(24), patternLength = in.U32(28);
      if (!patternLength || !infoClass || !purpose || !start || !single || !bufferLength ||
          !pathLength) {
        return std::nullopt;
      }
      // The emptiness check counts the path without its NUL (which follows it).
      const std::uint32_t pathBytes =
          *purpose == kDirectoryQueryDeleteCheck ? *pathLength + 2 : *pathLength;
      if (pathBytes < *pathLength) return std::nullopt;
      auto path = in.Name(kDirectoryQueryNamesOffset, pathBytes);
      if (!path) return std::nullopt;
      if (*patternLength != 0) {
        auto pattern =
            in.Name(kDirectoryQueryNamesOffset + std::size_t{pathBytes}, *patternLength);
        if (!pattern) return std::nullopt;
        r.secondName = *pattern;
      }
      r.infoClass = *infoClass;
      r.purpose = *purpose;
      r.startIndex = *start;
      r.singleEntry = static_cast<std::int32_t>(*single) == 1;
      r.bufferLength = *bufferLength;
      r.name = *path;
      return r;
    }
    case kRequestItemQuery: {
      auto kind = in.U32(4), length = in.U32(8);
      if (!kind || !length || (*kind != kQueryItemInfo && *kind != kQueryLongName))
        return std::nullopt;
      auto name = in.Name(kItemInfoNameOffset, *length);
      if (!name) return std::nullopt;
      r.queryKind = *kind;
      r.name = *name;
      return r;
    }
    case kRequestRenameItem: {
      auto localFolder = in.U32(4), oldLength = in.U32(8), newLength = in.U32(12);
      if (!localFolder || !oldLength || !newLength) return std::nullopt;
      auto oldName = in.Name(kRenameNamesOffset, *oldLength);
      auto newName = in.Name(kRenameNamesOffset + std::size_t{*oldLength}, *newLength);
      if (!oldName || !newName) return std::nullopt;
      r.localFolder = *localFolder;
      r.name = *oldName;
      r.secondName = *newName;
      return r;
    }
    case kRequestDeleteItem: {
      auto isDirectory = in.U32(4), length = in.U32(8);
      if (!isDirectory || !length) return std::nullopt;
      auto name = in.Name(kDeleteNameOffset, *length);
      if (!name) return std::nullopt;
      r.isDirectory = *isDirectory;
      r.name = *name;
      return r;
    }
    case kRequestCreatePath: {
      auto isDirectory = in.U32(4), length = in.U32(12);
      if (!isDirectory || !length) return std::nullopt;
      auto name = in.Name(kCreatePathNameOffset, *length);
      if (!name) return std::nullopt;
      r.isDirectory = *isDirectory;
      r.name = *name;
      return r;
    }
    default:
      return std::nullopt;
  }
}

std::optional<DecodedNotification> DecodeNotification(std::uint32_t type, const Bytes& payload) {
  if (type != kNotificationRenamed && type != kNotificationDeleted &&
      type != kNotificationCreated) {
    return std::nullopt;
  }
  const Reader in(payload);
  auto firstLength = in.U32(4), secondLength = in.U32(8);
  if (!firstLength || !secondLength) return std::nullopt;
  auto first = in.Name(kNotificationNamesOffset, *firstLength);
  if (!first) return std::nullopt;
  DecodedNotification n;
  n.type = type;
  n.firstName = *first;
  if (*secondLength != 0) {
    auto second = in.Name(kNotificationNamesOffset + std::size_t{*firstLength}, *secondLength);
    if (!second) return std::nullopt;
    n.secondName = *second;
  }
  if (type == kNotificationRenamed && n.secondName.empty()) return std::nullopt;
  return n;
}

std::string DescribeRequest(const DecodedRequest& r) {
  switch (r.type) {
    case kRequestDownload:
      return std::string(r.isDirectory ? "download folder " : "download ") + ToUtf8(r.name) +
             " for " + (r.processName.empty() ? std::string("?") : ToUtf8(r.processName)) +
             (r.notAllowed ? " (process not allowed)" : "");
    case kRequestDirectoryListing:
      if (r.purpose == kDirectoryQueryDeleteCheck) return "may-delete check of " + ToUtf8(r.name);
      return "listing of " + ToUtf8(r.name) + " class " + std::to_string(r.infoClass) +
             (r.secondName.empty() ? std::string() : " pattern " + ToUtf8(r.secondName)) +
             " from " + std::to_string(r.startIndex) + (r.singleEntry ? " single" : "") +
             " buffer " + std::to_string(r.bufferLength);
    case kRequestItemQuery:
      return (r.queryKind == kQueryLongName ? "long name of " : "item information of ") +
             ToUtf8(r.name);
    case kRequestRenameItem:
      return "rename " + ToUtf8(r.name) + " to " + ToUtf8(r.secondName) +
             (r.localFolder ? " (local folder)" : "");
    case kRequestDeleteItem:
      return "delete server item " + ToUtf8(r.name);
    case kRequestCreatePath:
      return std::string("create ") + (r.isDirectory ? "folder " : "file ") + ToUtf8(r.name);
    default:
      return "request type " + std::to_string(r.type);
  }
}

std::string DescribeNotification(const DecodedNotification& n) {
  switch (n.type) {
    case kNotificationRenamed:
      return "renamed " + ToUtf8(n.firstName) + " to " + ToUtf8(n.secondName);
    case kNotificationDeleted:
      return "deleted " + ToUtf8(n.firstName);
    case kNotificationCreated:
      return "created " + ToUtf8(n.firstName);
    default:
      return "notification type " + std::to_string(n.type);
  }
}

}  // namespace tavo::agent
