#include "listing.h"

#include <algorithm>
#include <cstring>

#include "name_pattern.h"
#include "text.h"

namespace tavo::agent {
namespace {

// Offsets of the documented FILE_*_INFORMATION layouts. Every class but
// FILE_NAMES_INFORMATION begins with FILE_DIRECTORY_INFORMATION's fields.
constexpr std::size_t kNextEntryOffset = 0;
constexpr std::size_t kCreationTime = 8;
constexpr std::size_t kLastAccessTime = 16;
constexpr std::size_t kLastWriteTime = 24;
constexpr std::size_t kChangeTime = 32;
constexpr std::size_t kEndOfFile = 40;
constexpr std::size_t kAllocationSize = 48;
constexpr std::size_t kFileAttributes = 56;
constexpr std::size_t kFileNameLength = 60;
constexpr std::size_t kNamesFileNameLength = 8;  // FILE_NAMES_INFORMATION
constexpr std::size_t kShortNameLength = 68;     // the Both classes (a CCHAR)
constexpr std::size_t kShortName = 70;           // WCHAR[12]
constexpr std::size_t kIdFullFileId = 72;        // FILE_ID_FULL_DIR_INFORMATION
constexpr std::size_t kIdBothFileId = 96;        // FILE_ID_BOTH_DIR_INFORMATION
constexpr std::size_t kShortNameChars = 12;

template <class T>
void Put(std::uint8_t* at, std::size_t offset, T value) {
  std::memcpy(at + offset, &value, sizeof(T));
}

// Fills one entry's header (NextEntryOffset 0) and `nameBytes` of its name.
void FillEntry(std::uint8_t* at, std::uint32_t infoClass, const ListingEntry& entry,
               std::uint32_t nameBytes) {
  const std::uint32_t header = EntryHeaderBytes(infoClass);
  std::memset(at, 0, header);
  const auto fullBytes = static_cast<std::uint32_t>(entry.item.name.size() * 2);
  if (infoClass == kFileNamesInformation) {
    Put<std::uint32_t>(at, kNamesFileNameLength, fullBytes);
  } else {
    const ItemInfo& item = entry.item;
    Put<std::int64_t>(at, kCreationTime, item.creationTime);
    Put<std::int64_t>(at, kLastAccessTime, item.lastAccessTime);
    Put<std::int64_t>(at, kLastWriteTime, item.lastWriteTime);
    Put<std::int64_t>(at, kChangeTime, item.changeTime);
    Put<std::int64_t>(at, kEndOfFile, item.isDirectory ? 0 : static_cast<std::int64_t>(item.size));
    Put<std::int64_t>(at, kAllocationSize,
                      item.isDirectory ? 0 : static_cast<std::int64_t>(item.allocationSize));
    Put<std::uint32_t>(at, kFileAttributes, ReportedAttributes(item));
    Put<std::uint32_t>(at, kFileNameLength, fullBytes);
    if (infoClass == kFileBothDirectoryInformation ||
        infoClass == kFileIdBothDirectoryInformation) {
      const std::size_t chars = std::min(entry.shortName.size(), kShortNameChars);
      at[kShortNameLength] = static_cast<std::uint8_t>(chars * 2);
      std::memcpy(at + kShortName, entry.shortName.data(), chars * 2);
    }
    if (infoClass == kFileIdBothDirectoryInformation)
      Put<std::uint64_t>(at, kIdBothFileId, item.fileId);
    if (infoClass == kFileIdFullDirectoryInformation)
      Put<std::uint64_t>(at, kIdFullFileId, item.fileId);
  }
  std::memcpy(at + header, entry.item.name.data(), nameBytes);
}

bool Matches(const ListingEntry& entry, const std::u16string& pattern) {
  if (pattern.empty() || pattern == u"*") return true;
  if (MatchesPattern(pattern, entry.item.name)) return true;
  return !entry.shortName.empty() && MatchesPattern(pattern, entry.shortName);
}

}  // namespace

std::uint32_t EntryHeaderBytes(std::uint32_t infoClass) {
  switch (infoClass) {
    case kFileDirectoryInformation:
      return 64;
    case kFileFullDirectoryInformation:
      return 68;
    case kFileBothDirectoryInformation:
      return 94;
    case kFileNamesInformation:
      return 12;
    case kFileIdBothDirectoryInformation:
      return 104;
    case kFileIdFullDirectoryInformation:
      return 80;
    default:
      return 0;
  }
}

void SortForListing(std::vector<ListingEntry>* entries) {
  // Each name is upcased once, not at every comparison.
  struct Key {
    int rank;  // "." 0, ".." 1, others 2
    std::u16string upcased;
    std::size_t index;
  };
  std::vector<Key> keys;
  keys.reserve(entries->size());
  for (std::size_t i = 0; i < entries->size(); ++i) {
    const std::u16string& name = (*entries)[i].item.name;
    const int rank = name == u"." ? 0 : name == u".." ? 1 : 2;
    keys.push_back({rank, rank == 2 ? Upcase(name) : std::u16string(), i});
  }
  std::stable_sort(keys.begin(), keys.end(), [](const Key& a, const Key& b) {
    return a.rank != b.rank ? a.rank < b.rank : a.upcased < b.upcased;
  });
  std::vector<ListingEntry> sorted;
  sorted.reserve(entries->size());
  for (const Key& key : keys) sorted.push_back(std::move((*entries)[key.index]));
  *entries = std::move(sorted);
}

std::vector<ListingEntry> MatchingEntries(std::vector<ListingEntry> entries,
                                          const std::u16string& pattern) {
  std::erase_if(entries, [&](const ListingEntry& entry) { return !Matches(entry, pattern); });
  return entries;
}

ListingAnswer BuildListing(const std::vector<ListingEntry>& entries, const ListingQuery& query) {
  if (!query.pattern.empty() && !IsLegalPattern(query.pattern)) {
    return BuildListingPage({}, query);
  }
  return BuildListingPage(MatchingEntries(entries, query.pattern), query);
}

ListingAnswer BuildListingPage(const std::vector<ListingEntry>& matching, const ListingQuery& query) {
  ListingAnswer answer;
  const std::uint32_t header = EntryHeaderBytes(query.infoClass);
  if (header == 0) {
    answer.status = status::kInvalidInfoClass;
    return answer;
  }
  if (query.bufferLength < header) {
    answer.status = status::kInfoLengthMismatch;
    return answer;
  }
  if (!query.pattern.empty() && !IsLegalPattern(query.pattern)) {
    answer.status = status::kObjectNameInvalid;
    return answer;
  }

  // The entries that fit are measured first and the answer is sized once:
  // the caller's buffer length (up to 4 GiB) is a limit, not a size to
  // allocate, and a page of thousands of entries is not grown step by step.
  std::uint64_t used = 0;
  std::size_t end = query.startIndex;
  for (; end < matching.size(); ++end) {
    const std::uint64_t start = end == query.startIndex ? 0 : (used + 7u) & ~std::uint64_t{7};
    const std::uint64_t entryEnd = start + header + matching[end].item.name.size() * 2;
    if (entryEnd > query.bufferLength) break;
    used = entryEnd;
    if (query.singleEntry) {
      ++end;
      break;
    }
  }

  answer.status = status::kSuccess;
  if (end == query.startIndex && end < matching.size()) {
    // Not even the first entry fits: as much of its name as there is room for.
    const std::uint32_t copied = (query.bufferLength - header) & ~1u;
    answer.data.assign(header + copied, 0);
    FillEntry(answer.data.data(), query.infoClass, matching[end], copied);
    answer.entries = 1;
    answer.status = status::kBufferOverflow;
    return answer;
  }
  if (end <= query.startIndex) {
    answer.status = query.startIndex == 0 ? status::kNoSuchFile : status::kNoMoreFiles;
    return answer;
  }

  answer.data.resize(used);
  std::uint8_t* out = answer.data.data();
  std::uint32_t at = 0;
  for (std::size_t index = query.startIndex; index < end; ++index) {
    const ListingEntry& entry = matching[index];
    const auto nameBytes = static_cast<std::uint32_t>(entry.item.name.size() * 2);
    FillEntry(out + at, query.infoClass, entry, nameBytes);
    if (index + 1 == end) break;
    const std::uint32_t next = (at + header + nameBytes + 7u) & ~7u;
    Put<std::uint32_t>(out + at, kNextEntryOffset, next - at);
    at = next;
  }
  answer.entries = static_cast<std::uint32_t>(end - query.startIndex);
  return answer;
}

}  // namespace tavo::agent
