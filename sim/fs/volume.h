// The simulated NTFS-like volume: the file system below the filters. It
// implements the I/O manager's file-system seam with NTFS semantics as
// publicly documented (create dispositions, share access, delete pending,
// rename rules, directory-information layouts, 8.3 names), in memory.
//
// Every entry point takes the volume's lock, so the volume may be called
// from any number of threads; filter-context teardown runs outside it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "fs/nodes.h"
#include "io/file_system.h"

namespace sim::fs {

struct VolumeOptions {
  bool shortNames = true;                 // generate 8.3 names, as system volumes do
  std::uint64_t sizeBytes = 64ull << 30;  // capacity
  std::uint32_t clusterSize = 4096;       // allocation unit
  std::uint32_t sectorSize = 512;
  std::u16string label = u"TAVO";
  std::uint32_t serialNumber = 0x7A5D0C31;
  std::u16string deviceName = u"\\Device\\HarddiskVolume2";
  std::optional<LONGLONG> creationTime;  // default: the clock when the volume is made
  // FCB headers set FSRTL_FLAG2_SUPPORTS_FILTER_CONTEXTS, as NTFS does; off,
  // the volume behaves like a file system without filter-context support
  // (stream and stream-handle contexts are refused on its files).
  bool filterContexts = true;
};

// One file or directory for Volume::Populate.
struct FileSpec {
  std::u16string path;  // volume-relative: "\dir\file.txt"
  bool directory = false;
  std::string contents;  // bytes of a file
  ULONG attributes = 0;  // FILE_ATTRIBUTE_* (DIRECTORY is implied by `directory`)
  std::optional<LONGLONG> creationTime, lastAccessTime, lastWriteTime, changeTime;
};

struct DumpOptions {
  bool shortNames = true;  // show generated short names
  bool times = false;      // show the four times
};

class Volume : public io::FileSystem {
 public:
  explicit Volume(VolumeOptions options = {});
  ~Volume() override;

  const VolumeOptions& options() const { return options_; }
  // Applies to streams opened from now on.
  void SetFilterContextSupport(bool on) { options_.filterContexts = on; }

  // ---- io::FileSystem
  NTSTATUS Create(FILE_OBJECT* fileObject, const io::CreateParameters& parameters,
                  IO_STATUS_BLOCK& iosb) override;
  NTSTATUS Cleanup(FILE_OBJECT* fileObject, IO_STATUS_BLOCK& iosb) override;
  void Close(FILE_OBJECT* fileObject) override;
  NTSTATUS Read(FILE_OBJECT* fileObject, void* buffer, ULONG length,
                const LARGE_INTEGER* byteOffset, IO_STATUS_BLOCK& iosb) override;
  NTSTATUS Write(FILE_OBJECT* fileObject, const void* buffer, ULONG length,
                 const LARGE_INTEGER* byteOffset, IO_STATUS_BLOCK& iosb) override;
  NTSTATUS QueryInformation(FILE_OBJECT* fileObject, FILE_INFORMATION_CLASS infoClass, void* buffer,
                            ULONG length, IO_STATUS_BLOCK& iosb) override;
  NTSTATUS SetInformation(FILE_OBJECT* fileObject, FILE_INFORMATION_CLASS infoClass,
                          const void* buffer, ULONG length, const io::RenameTarget* target,
                          IO_STATUS_BLOCK& iosb) override;
  NTSTATUS QueryDirectory(FILE_OBJECT* fileObject, const io::DirectoryQuery& query, void* buffer,
                          ULONG length, IO_STATUS_BLOCK& iosb) override;
  NTSTATUS QueryVolumeInformation(FILE_OBJECT* fileObject, FS_INFORMATION_CLASS infoClass,
                                  void* buffer, ULONG length, IO_STATUS_BLOCK& iosb) override;
  NTSTATUS QuerySecurity(FILE_OBJECT* fileObject, SECURITY_INFORMATION information, void* buffer,
                         ULONG length, IO_STATUS_BLOCK& iosb) override;
  NTSTATUS SetSecurity(FILE_OBJECT* fileObject, SECURITY_INFORMATION information,
                       PSECURITY_DESCRIPTOR descriptor, IO_STATUS_BLOCK& iosb) override;
  NTSTATUS FileSystemControl(FILE_OBJECT* fileObject, ULONG controlCode, const void* input,
                             ULONG inputLength, void* output, ULONG outputLength,
                             IO_STATUS_BLOCK& iosb) override;
  NTSTATUS DeviceControl(FILE_OBJECT* fileObject, ULONG controlCode, const void* input,
                         ULONG inputLength, void* output, ULONG outputLength,
                         IO_STATUS_BLOCK& iosb) override;
  NTSTATUS FlushBuffers(FILE_OBJECT* fileObject, IO_STATUS_BLOCK& iosb) override;
  NTSTATUS LockControl(FILE_OBJECT* fileObject, UCHAR minor, const io::ByteRangeRequest& request,
                       IO_STATUS_BLOCK& iosb) override;
  NTSTATUS NotifyChangeDirectory(FILE_OBJECT* fileObject, const io::NotifyRequest& request,
                                 void* buffer, ULONG length, IO_STATUS_BLOCK& iosb) override;
  bool Owns(const FILE_OBJECT* fileObject) const override;

  // ---- harness
  // Creates the listed files and directories (and any missing parent
  // directories) directly, without going through the I/O path. Fails on an
  // invalid name or an existing path of the other kind.
  NTSTATUS Populate(const std::vector<FileSpec>& files);
  // Copies a host folder's tree under `under` (a volume directory path).
  NTSTATUS PopulateFromHost(const std::filesystem::path& hostFolder,
                            const std::u16string& under = u"\\");
  // The tree in a deterministic text form (UTF-8), one entry per line in
  // NTFS order, e.g. "\docs\Report 2024.txt size=5 attr=A short=REPORT~1.TXT".
  std::string DumpTree(const DumpOptions& options = {}) const;
  // Number of file objects the volume has open.
  std::size_t OpenFileObjectCount() const;

 private:
  friend struct VolumeAccess;

  // All below run with mutex_ held.
  LONGLONG Now() const;
  std::shared_ptr<Node> NewNode(Node* parent, const std::u16string& name, bool directory,
                                ULONG attributes);
  void LinkChild(Node* parent, const std::shared_ptr<Node>& child);
  std::shared_ptr<Node> UnlinkChild(Node* child);
  std::shared_ptr<Node> FindChild(const Node* directory, std::u16string_view name) const;
  void AssignShortName(Node* parent, Node* child);
  std::u16string PathOf(const Node* node) const;
  Fcb* AcquireFcb(const std::shared_ptr<Node>& node);
  LONGLONG ClusterRound(LONGLONG bytes) const;
  bool ReserveAllocation(LONGLONG oldSize, LONGLONG newSize);
  void TouchDirectory(Node* directory);
  void DeleteNode(Node* node);

  NTSTATUS CreateLocked(FILE_OBJECT* fileObject, const io::CreateParameters& parameters,
                        IO_STATUS_BLOCK& iosb);
  NTSTATUS OpenVolume(FILE_OBJECT* fileObject, const io::CreateParameters& parameters,
                      IO_STATUS_BLOCK& iosb);
  void CleanupLocked(FILE_OBJECT* fileObject, Fcb* fcb, Ccb* ccb);
  void AttachOpen(FILE_OBJECT* fileObject, Fcb* fcb, std::unique_ptr<Ccb> ccb);
  static bool CheckShareAccess(const ShareCounts& counts, ACCESS_MASK access,
                               const io::CreateParameters& p);
  void RecordShareAccess(FILE_OBJECT* fileObject, Fcb* fcb, Ccb* ccb, ACCESS_MASK access,
                         const io::CreateParameters& p);

  NTSTATUS SetBasic(FILE_OBJECT* fo, Fcb* fcb, Ccb* ccb, const void* buffer, ULONG length);
  NTSTATUS SetEndOfFile(Fcb* fcb, Ccb* ccb, LONGLONG size);
  NTSTATUS SetAllocation(Fcb* fcb, Ccb* ccb, LONGLONG size);
  NTSTATUS SetDisposition(FILE_OBJECT* fo, Fcb* fcb, Ccb* ccb, ULONG flags);
  NTSTATUS Rename(FILE_OBJECT* fo, Fcb* fcb, Ccb* ccb, const io::RenameTarget& target);
  void UpdateHeaderSizes(Fcb* fcb);
  // Byte-range locks (locks.cpp): whether a read or write of the range
  // through this file object is allowed, and the locks it loses at cleanup.
  static bool LocksAllow(const Fcb* fcb, const FILE_OBJECT* fo, LONGLONG offset, LONGLONG length,
                         bool write);
  void ReleaseLocksOf(Fcb* fcb, const FILE_OBJECT* fo);
  void NoteModified(Node* node, Ccb* ccb);
  // Change notification (notify.cpp): a change to `name` in `parent`,
  // offered to the handles watching it.
  void ReportChange(const Node* parent, const std::u16string& name, ULONG filter, ULONG action);
  void StopWatching(Ccb* ccb);

  // Looks the open up; null when the file object is not one of ours.
  bool Lookup(const FILE_OBJECT* fileObject, Fcb** fcb, Ccb** ccb) const;

  VolumeOptions options_;
  mutable std::mutex mutex_;
  std::condition_variable locksChanged_;  // a byte-range lock went (waiting lockers retry)
  std::shared_ptr<Node> root_;
  Fcb* volumeFcb_ = nullptr;
  LONGLONG volumeCreationTime_ = 0;
  ULONGLONG nextRecord_ = 64;  // file records below 64 are the metadata files', as on NTFS
  LONGLONG allocatedBytes_ = 0;
  // Open file objects with their FCB and CCB (kept here as well, so the
  // volume can drop them without touching file objects already freed).
  struct OpenRecord {
    Fcb* fcb;
    Ccb* ccb;
  };
  std::unordered_map<const FILE_OBJECT*, OpenRecord> open_;
  // Handles with change notification set up, and the directory each watches.
  std::unordered_map<Ccb*, const Node*> watchers_;
  std::condition_variable changesReported_;  // a watcher gained a change or was cleaned up
};

// A new volume for the machine harness to mount.
std::shared_ptr<Volume> CreateVolume(VolumeOptions options = {});

}  // namespace sim::fs
