// The in-memory volume's records: a Node per file or directory (what the
// disk holds), an Fcb per node while it is open (what FsContext points at,
// with the advanced FCB header filters attach stream contexts to) and a Ccb
// per open file object (FsContext2: granted access, share access, the
// delete-on-close state and the directory-enumeration cursor).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <ntifs.h>

namespace sim::fs {

struct Fcb;

// A file or directory. Directories index their children by upcased long
// name and by upcased short name, so lookups and resumed enumerations cost
// O(log n) whatever the directory's size.
struct Node {
  std::u16string name;       // as created: case preserved
  std::u16string shortName;  // the generated 8.3 name, empty when there is none
  Node* parent = nullptr;    // null for the root and for unlinked nodes
  bool isDirectory = false;
  bool unlinked = false;  // removed from the namespace (deleted), possibly still open
  ULONG attributes = 0;   // FILE_ATTRIBUTE_*, FILE_ATTRIBUTE_DIRECTORY included for directories
  LONGLONG creationTime = 0;
  LONGLONG lastAccessTime = 0;
  LONGLONG lastWriteTime = 0;
  LONGLONG changeTime = 0;
  std::vector<std::uint8_t> data;      // the unnamed data stream
  LONGLONG allocationSize = 0;         // cluster multiple
  ULONGLONG fileId = 0;                // file reference number: sequence << 48 | record
  std::vector<std::uint8_t> security;  // self-relative security descriptor
  std::map<std::u16string, std::shared_ptr<Node>> children;  // key: upcased long name
  std::map<std::u16string, Node*> shortChildren;             // key: upcased short name
  Fcb* fcb = nullptr;                                        // while open

  LONGLONG EndOfFile() const { return static_cast<LONGLONG>(data.size()); }
};

// Share access as IoCheckShareAccess/IoUpdateShareAccess keep it.
struct ShareCounts {
  ULONG openCount = 0;
  ULONG readers = 0;
  ULONG writers = 0;
  ULONG deleters = 0;
  ULONG sharedRead = 0;
  ULONG sharedWrite = 0;
  ULONG sharedDelete = 0;
};

// A granted byte-range lock and its owner.
struct RangeLock {
  LONGLONG offset = 0;
  LONGLONG length = 0;
  ULONG key = 0;
  ULONG processId = 0;
  const FILE_OBJECT* fileObject = nullptr;
  bool exclusive = false;
};

// Per open stream. The header comes first: FsContext points at it.
struct Fcb {
  FSRTL_ADVANCED_FCB_HEADER header{};
  FAST_MUTEX headerMutex{};
  SECTION_OBJECT_POINTERS sectionObjectPointers{};
  std::shared_ptr<Node> node;  // null for the volume's own stream (volume opens)
  ULONG openCount = 0;         // file objects between Create and Close
  ULONG cleanupCount = 0;      // of those, the ones whose handle is not closed yet
  ShareCounts share;
  bool deletePending = false;
  std::vector<RangeLock> locks;  // byte-range locks, in the order granted
};

// Per open file object.
struct Ccb {
  ACCESS_MASK grantedAccess = 0;
  bool volumeOpen = false;
  bool cleanedUp = false;
  // Share access this open recorded (removed again at cleanup).
  bool shareRecorded = false;
  bool readAccess = false, writeAccess = false, deleteAccess = false;
  bool sharedRead = false, sharedWrite = false, sharedDelete = false;
  bool deleteOnClose = false;  // FILE_DELETE_ON_CLOSE, or FILE_DISPOSITION_ON_CLOSE
  bool posixDelete = false;    // set a POSIX-semantics delete disposition
  // Times this handle asked not to be updated (-1 in FileBasicInformation).
  bool freezeLastWrite = false, freezeChange = false, freezeLastAccess = false;

  // Directory enumeration: the pattern is fixed by the first query.
  bool queryStarted = false;
  std::u16string pattern;  // upcased
  bool patternHasWildcards = true;
  int position = 0;        // 0: before ".", 1: before "..", 2: in the children
  std::u16string lastKey;  // upcased name of the last child returned
  bool haveLastKey = false;

  // Change notification (notify.cpp): set up by the handle's first request,
  // changes kept between requests.
  struct Change {
    ULONG action;
    std::u16string name;  // relative to the watched directory
  };
  bool watching = false;
  ULONG notifyFilter = 0;
  bool notifyWatchTree = false;
  ULONG notifyCapacity = 0;  // bytes of records kept between requests
  ULONG notifyBytes = 0;     // bytes the kept changes take as records
  bool notifyOverflow = false;
  std::vector<Change> changes;
};

}  // namespace sim::fs
