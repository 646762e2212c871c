// Builds the answer to a directory listing exactly as a file system fills
// the caller's buffer for NtQueryDirectoryFile, in the directory-information
// classes an NTFS volume supports:
// - entries in upcased-name order, "." and ".." first;
// - a name matches when its long or its short name is in the pattern (DOS
//   wildcard rules, case ignored); no pattern matches everything;
// - the first `startIndex` matching entries are skipped (the driver counts
//   what it has already handed to the caller);
// - each entry starts on an 8-byte boundary and the previous entry's
//   NextEntryOffset points at it; the last one has NextEntryOffset 0;
// - single-entry queries return one entry;
// - when even the first entry does not fit, as much of its name as fits is
//   returned with its full FileNameLength and STATUS_BUFFER_OVERFLOW;
// - nothing left: STATUS_NO_SUCH_FILE when nothing was skipped (the
//   handle's first query), STATUS_NO_MORE_FILES afterwards.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "agent_types.h"

namespace tavo::agent {

// FILE_INFORMATION_CLASS values of the directory-information classes.
enum DirectoryInformationClass : std::uint32_t {
  kFileDirectoryInformation = 1,
  kFileFullDirectoryInformation = 2,
  kFileBothDirectoryInformation = 3,
  kFileNamesInformation = 12,
  kFileIdBothDirectoryInformation = 37,
  kFileIdFullDirectoryInformation = 38,
};

// Bytes before FileName in an entry of the class; 0 for a class that is
// not a directory-information class.
std::uint32_t EntryHeaderBytes(std::uint32_t infoClass);

struct ListingEntry {
  ItemInfo item;
  std::u16string shortName;  // "" when the name needs none
};

struct ListingQuery {
  std::uint32_t infoClass = kFileDirectoryInformation;
  std::uint32_t startIndex = 0;
  bool singleEntry = false;
  std::uint32_t bufferLength = 0;
  std::u16string pattern;  // "" matches everything
};

struct ListingAnswer {
  std::int32_t status = 0;
  Bytes data;  // at most bufferLength bytes
  std::uint32_t entries = 0;
};

// `entries` is the whole folder in listing order ("." and ".." included).
ListingAnswer BuildListing(const std::vector<ListingEntry>& entries, const ListingQuery& query);

// The entries of a folder the pattern matches, in listing order.
std::vector<ListingEntry> MatchingEntries(std::vector<ListingEntry> entries,
                                          const std::u16string& pattern);

// BuildListing over entries already filtered by the query's pattern (which
// is then only checked for legality): the answer starts at
// matching[startIndex] at once, so a query costs O(k) for k entries.
ListingAnswer BuildListingPage(const std::vector<ListingEntry>& matching, const ListingQuery& query);

// Sorts a folder's items into listing order (by upcased name).
void SortForListing(std::vector<ListingEntry>* entries);

}  // namespace tavo::agent
