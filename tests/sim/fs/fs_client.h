// A tiny NT client for driving the volume the way programs do: the volume is
// mounted in the machine (as \??\C:) and every call goes through the
// user-mode NT API (NtCreateFile, NtReadFile, NtQueryInformationFile,
// NtClose, ...) and the I/O manager, with no filter loaded. Paths given to
// the client are volume-relative ("\dir\file"); an open relative to another
// File passes that File's handle as RootDirectory.
//
// A few tests check the seam itself (the FCB header, FILE_OBJECT fields the
// file system sets, opens the NT API cannot express): File::fo() gives them
// the file object behind a handle, and OpenAtSeam makes an open directly at
// the file-system seam with a hand-made FILE_OBJECT.
#pragma once

#include <gtest/gtest.h>

#include <ntapi.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fs/volume.h"
#include "harness/strings.h"
#include "harness/volume.h"

namespace sim::kernel {
class KernelObject;
}

namespace sim::fs::testing {

using harness::FromUtf8;
using harness::ToUtf8;

// A file offset or length.
inline LARGE_INTEGER At(LONGLONG value) {
  LARGE_INTEGER li;
  li.QuadPart = value;
  return li;
}

// One open handle (NtCreateFile); closes itself (NtClose) when it goes.
class File {
 public:
  File() = default;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  File(File&& other) noexcept { *this = std::move(other); }
  File& operator=(File&& other) noexcept;
  ~File() { Reset(); }

  HANDLE handle() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr || fo_ != nullptr; }

  // For tests of the seam itself: the file object behind the handle. The
  // first call takes a reference that is held until Reset, so the file
  // object outlives CloseHandle (its IRP_MJ_CLOSE comes at Reset).
  FILE_OBJECT* fo() const;

  // NtClose. As the last handle of its file object, this sends
  // IRP_MJ_CLEANUP; IRP_MJ_CLOSE follows unless fo() holds a reference.
  NTSTATUS CloseHandle();
  // Closes the handle (unless closed) and drops the file-object reference.
  void Reset();

 private:
  friend class Client;
  HANDLE handle_ = nullptr;
  mutable kernel::KernelObject* object_ = nullptr;  // referenced by fo()
  mutable FILE_OBJECT* fo_ = nullptr;
};

struct OpenResult {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  ULONG_PTR information = 0;
  File file;
};

struct OpenArgs {
  ACCESS_MASK access = FILE_GENERIC_READ;
  ULONG share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  ULONG disposition = FILE_OPEN;
  ULONG options = 0;
  USHORT attributes = 0;
  LONGLONG allocation = 0;
  const File* related = nullptr;  // RootDirectory
  // FILE_SYNCHRONOUS_IO_NONALERT (with SYNCHRONIZE added to the access):
  // the handle keeps a file pointer.
  bool synchronous = true;
};

class Client {
 public:
  // A client of `volume`, mounted with drive letter `drive`.
  explicit Client(std::shared_ptr<Volume> volume, char16_t drive = u'C');
  Volume& volume() { return *volume_; }

  // The full object name of a volume-relative path: "\??\C:" + path.
  std::u16string FullName(std::string_view volumePath) const;

  OpenResult Open(std::string_view path, const OpenArgs& args = {});

  // Opens and expects success.
  File MustOpen(std::string_view path, const OpenArgs& args = {});
  File MustCreateFile(std::string_view path, std::string_view contents = {}, USHORT attributes = 0);
  File MustCreateDirectory(std::string_view path);
  // Creates a file and closes it again.
  void Touch(std::string_view path, std::string_view contents = {}, USHORT attributes = 0) {
    MustCreateFile(path, contents, attributes);
  }
  void Mkdir(std::string_view path) { MustCreateDirectory(path); }

  bool Exists(std::string_view path) {
    OpenArgs args;
    args.access = FILE_READ_ATTRIBUTES;
    return Open(path, args).status == STATUS_SUCCESS;
  }

  template <class T>
  NTSTATUS Query(const File& f, FILE_INFORMATION_CLASS c, T* out, ULONG length = sizeof(T),
                 ULONG_PTR* information = nullptr) {
    IO_STATUS_BLOCK iosb{};
    const NTSTATUS s = NtQueryInformationFile(f.handle(), &iosb, out, length, c);
    if (information != nullptr) *information = iosb.Information;
    return s;
  }
  template <class T>
  NTSTATUS Set(const File& f, FILE_INFORMATION_CLASS c, const T& in, ULONG length = sizeof(T)) {
    IO_STATUS_BLOCK iosb{};
    return NtSetInformationFile(f.handle(), &iosb, const_cast<T*>(&in), length, c);
  }
  NTSTATUS SetDisposition(const File& f, bool del) {
    FILE_DISPOSITION_INFORMATION d{static_cast<BOOLEAN>(del)};
    return Set(f, FileDispositionInformation, d);
  }
  NTSTATUS SetDispositionEx(const File& f, ULONG flags) {
    FILE_DISPOSITION_INFORMATION_EX d{flags};
    return Set(f, FileDispositionInformationEx, d);
  }
  // Renames to a volume path ("\dir\name", passed as the full name
  // "\??\C:\dir\name") or, when `relative`, to a bare name in the same
  // directory. A non-zero flagsEx uses FileRenameInformationEx.
  NTSTATUS Rename(const File& f, std::string_view target, bool replace, bool relative = false,
                  ULONG flagsEx = 0);

  NTSTATUS Write(const File& f, std::string_view data, const LARGE_INTEGER* offset = nullptr);
  NTSTATUS Read(const File& f, std::string* out, ULONG length,
                const LARGE_INTEGER* offset = nullptr);
  std::string ReadAll(const File& f) {
    std::string out;
    LARGE_INTEGER zero{};
    Read(f, &out, 1 << 20, &zero);
    return out;
  }

  FILE_STANDARD_INFORMATION Standard(const File& f) {
    FILE_STANDARD_INFORMATION s{};
    EXPECT_EQ(Query(f, FileStandardInformation, &s), STATUS_SUCCESS);
    return s;
  }
  FILE_BASIC_INFORMATION Basic(const File& f) {
    FILE_BASIC_INFORMATION b{};
    EXPECT_EQ(Query(f, FileBasicInformation, &b), STATUS_SUCCESS);
    return b;
  }
  LONGLONG Position(const File& f) {
    FILE_POSITION_INFORMATION p{};
    EXPECT_EQ(Query(f, FilePositionInformation, &p), STATUS_SUCCESS);
    return p.CurrentByteOffset.QuadPart;
  }
  std::u16string Name(const File& f);

  // Lists a directory's names with one class, restarting the scan.
  std::vector<std::string> List(std::string_view dir, std::string_view pattern = {},
                                FILE_INFORMATION_CLASS c = FileNamesInformation);

 private:
  std::shared_ptr<Volume> volume_;
  std::u16string drivePrefix_;  // "\??\C:"
};

// An open made directly at the file-system seam with a hand-made
// FILE_OBJECT, for what the NT API cannot ask for (SL_OPEN_TARGET_DIRECTORY,
// a relative name without a related file object, a related open the I/O
// manager refuses before the file system sees it). Cleaned up and closed
// when it goes.
class SeamOpen {
 public:
  SeamOpen(Volume& volume, std::string_view name, const OpenArgs& args, UCHAR flags = 0,
           FILE_OBJECT* related = nullptr);
  SeamOpen(const SeamOpen&) = delete;
  SeamOpen& operator=(const SeamOpen&) = delete;
  ~SeamOpen();

  NTSTATUS status = STATUS_UNSUCCESSFUL;
  ULONG_PTR information = 0;
  FILE_OBJECT* fo() { return &fo_; }
  // FileNameInformation of the open, asked of the file system.
  std::u16string Name();

 private:
  Volume& volume_;
  FILE_OBJECT fo_{};
  std::u16string name_;
};

// Walks the entries of a directory-query buffer.
std::vector<std::string> EntryNames(const void* buffer, FILE_INFORMATION_CLASS c);

// A fresh volume mounted as C: with a client, for test fixtures.
class VolumeTest : public ::testing::Test {
 protected:
  explicit VolumeTest(VolumeOptions options = {})
      : volume_(harness::MountNewVolume(u'C', std::move(options))), client_(volume_) {}
  std::shared_ptr<Volume> volume_;
  Client client_;
};

}  // namespace sim::fs::testing
