// A small in-memory file system for testing the I/O manager and the Filter
// Manager on their own: directories and files with data, optional short
// names, dispositions, delete-on-close and delete dispositions, renames, and
// directory queries (names, directory and both-directory classes, with * and
// ? patterns). It keeps an FSRTL_ADVANCED_FCB_HEADER per file, so filters
// can attach stream contexts. No share access, security or oplocks: the
// NTFS-like volume in sim/fs is the faithful one. It keeps a change
// notification until the handle's cleanup, and reports no changes. (An open that ignores
// sharing, CreateParameters::ignoreShareAccess, is served like any other.)
#pragma once

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "io/file_system.h"

namespace sim::io {

class TestFileSystem : public FileSystem {
 public:
  TestFileSystem();
  ~TestFileSystem() override;

  // Builds the tree directly (paths are volume-relative: "\dir\file").
  void AddDirectory(const std::u16string& path);
  void AddFile(const std::u16string& path, const std::string& contents = {},
               const std::u16string& shortName = {});
  bool Exists(const std::u16string& path);
  std::string Contents(const std::u16string& path);
  // Operations of each major function the file system served.
  int Count(UCHAR major) const { return counts_[major]; }

  NTSTATUS Create(FILE_OBJECT* fileObject, const CreateParameters& parameters,
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
                          const void* buffer, ULONG length, const RenameTarget* target,
                          IO_STATUS_BLOCK& iosb) override;
  NTSTATUS QueryDirectory(FILE_OBJECT* fileObject, const DirectoryQuery& query, void* buffer,
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
  NTSTATUS NotifyChangeDirectory(FILE_OBJECT* fileObject, const NotifyRequest& request,
                                 void* buffer, ULONG length, IO_STATUS_BLOCK& iosb) override;
  bool Owns(const FILE_OBJECT* fileObject) const override;

  struct Node;

 private:
  Node* Lookup(const std::u16string& path, Node** parent, std::u16string* leaf);
  Node* NodeOf(const FILE_OBJECT* fileObject) const;
  std::u16string PathOf(const Node* node) const;
  void Unlink(Node* node);

  mutable std::recursive_mutex lock_;
  std::unique_ptr<Node> root_;
  std::set<const FILE_OBJECT*> open_;
  std::set<const FILE_OBJECT*> cleanedUp_;
  std::condition_variable_any cleanupDone_;  // a file object was cleaned up
  std::vector<std::unique_ptr<Node>> unlinked_;  // deleted nodes still open
  long long nextId_ = 1;
  int counts_[256] = {};
};

}  // namespace sim::io
