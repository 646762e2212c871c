// A tiny NT-like client for driving the volume through the I/O manager's
// file-system seam directly: it owns FILE_OBJECTs, opens them with Create,
// and closes them with Cleanup + Close, so each test reads like a sequence
// of NtCreateFile / NtQueryInformationFile / NtClose calls.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fs/volume.h"
#include "harness/strings.h"

namespace sim::fs::testing {

using harness::FromUtf8;
using harness::ToUtf8;

// One open file object; closes itself (cleanup, then close) when it goes.
class File {
 public:
  File() = default;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  File(File&& other) noexcept { *this = std::move(other); }
  File& operator=(File&& other) noexcept {
    Reset();
    volume_ = std::move(other.volume_);
    fo_ = std::move(other.fo_);
    name_ = std::move(other.name_);
    return *this;
  }
  ~File() { Reset(); }

  FILE_OBJECT* fo() const { return fo_.get(); }
  explicit operator bool() const { return fo_ != nullptr; }

  // IRP_MJ_CLEANUP only (the handle closes; the file object stays).
  NTSTATUS CloseHandle() {
    IO_STATUS_BLOCK iosb{};
    return volume_->Cleanup(fo_.get(), iosb);
  }
  // Cleanup (unless done) and close.
  void Reset() {
    if (fo_ == nullptr) return;
    if ((fo_->Flags & FO_CLEANUP_COMPLETE) == 0) CloseHandle();
    volume_->Close(fo_.get());
    fo_.reset();
    name_.reset();
  }

 private:
  friend class Client;
  std::shared_ptr<Volume> volume_;
  std::unique_ptr<FILE_OBJECT> fo_;
  std::unique_ptr<std::u16string> name_;
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
  UCHAR flags = 0;
  LONGLONG allocation = 0;
  const File* related = nullptr;
  ULONG foFlags = FO_SYNCHRONOUS_IO;
};

class Client {
 public:
  explicit Client(std::shared_ptr<Volume> volume) : volume_(std::move(volume)) {}
  Volume& volume() { return *volume_; }

  OpenResult Open(std::string_view utf8Path, const OpenArgs& args = {}) {
    OpenResult result;
    auto& file = result.file;
    file.volume_ = volume_;
    file.fo_ = std::make_unique<FILE_OBJECT>();
    file.name_ = std::make_unique<std::u16string>(FromUtf8(utf8Path));
    FILE_OBJECT* fo = file.fo_.get();
    fo->Type = 5;  // IO_TYPE_FILE
    fo->Size = sizeof(FILE_OBJECT);
    fo->Flags = args.foFlags;
    fo->FileName = harness::MakeUnicodeString(*file.name_);
    fo->RelatedFileObject = args.related != nullptr ? args.related->fo() : nullptr;
    io::CreateParameters p;
    p.desiredAccess = args.access;
    p.options = args.options;
    p.disposition = args.disposition;
    p.shareAccess = static_cast<USHORT>(args.share);
    p.fileAttributes = args.attributes;
    p.allocationSize.QuadPart = args.allocation;
    p.flags = args.flags;
    IO_STATUS_BLOCK iosb{};
    result.status = volume_->Create(fo, p, iosb);
    result.information = iosb.Information;
    EXPECT_EQ(iosb.Status, result.status);
    if (!NT_SUCCESS(result.status)) {
      file.fo_.reset();
      file.name_.reset();
    }
    return result;
  }

  // Opens and expects success.
  File MustOpen(std::string_view path, const OpenArgs& args = {}) {
    auto r = Open(path, args);
    EXPECT_EQ(r.status, STATUS_SUCCESS) << "opening " << path;
    return std::move(r.file);
  }
  File MustCreateFile(std::string_view path, std::string_view contents = {}, USHORT attributes = 0) {
    OpenArgs args;
    args.access = FILE_GENERIC_READ | FILE_GENERIC_WRITE | DELETE;
    args.disposition = FILE_CREATE;
    args.options = FILE_NON_DIRECTORY_FILE;
    args.attributes = attributes;
    File f = MustOpen(path, args);
    if (f && !contents.empty()) {
      IO_STATUS_BLOCK iosb{};
      LARGE_INTEGER zero{};
      EXPECT_EQ(volume_->Write(f.fo(), contents.data(), static_cast<ULONG>(contents.size()), &zero, iosb),
                STATUS_SUCCESS);
    }
    return f;
  }
  File MustCreateDirectory(std::string_view path) {
    OpenArgs args;
    args.disposition = FILE_CREATE;
    args.options = FILE_DIRECTORY_FILE;
    return MustOpen(path, args);
  }
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
    NTSTATUS s = volume_->QueryInformation(f.fo(), c, out, length, iosb);
    if (information != nullptr) *information = iosb.Information;
    return s;
  }
  template <class T>
  NTSTATUS Set(const File& f, FILE_INFORMATION_CLASS c, const T& in, ULONG length = sizeof(T)) {
    IO_STATUS_BLOCK iosb{};
    return volume_->SetInformation(f.fo(), c, &in, length, nullptr, iosb);
  }
  NTSTATUS SetDisposition(const File& f, bool del) {
    FILE_DISPOSITION_INFORMATION d{static_cast<BOOLEAN>(del)};
    return Set(f, FileDispositionInformation, d);
  }
  NTSTATUS SetDispositionEx(const File& f, ULONG flags) {
    FILE_DISPOSITION_INFORMATION_EX d{flags};
    return Set(f, FileDispositionInformationEx, d);
  }
  NTSTATUS Rename(const File& f, std::string_view target, bool replace, bool relative = false, ULONG flagsEx = 0) {
    io::RenameTarget t;
    t.path = FromUtf8(target);
    t.relativeToSourceParent = relative;
    t.replaceIfExists = replace;
    t.flagsEx = flagsEx;
    FILE_RENAME_INFORMATION info{};
    info.Flags = flagsEx;
    if (flagsEx == 0) info.ReplaceIfExists = replace;
    IO_STATUS_BLOCK iosb{};
    return volume_->SetInformation(f.fo(), flagsEx != 0 ? FileRenameInformationEx : FileRenameInformation, &info,
                                   sizeof(info), &t, iosb);
  }

  NTSTATUS Write(const File& f, std::string_view data, const LARGE_INTEGER* offset = nullptr) {
    IO_STATUS_BLOCK iosb{};
    return volume_->Write(f.fo(), data.data(), static_cast<ULONG>(data.size()), offset, iosb);
  }
  NTSTATUS Read(const File& f, std::string* out, ULONG length, const LARGE_INTEGER* offset = nullptr) {
    out->assign(length, '\0');
    IO_STATUS_BLOCK iosb{};
    NTSTATUS s = volume_->Read(f.fo(), out->data(), length, offset, iosb);
    out->resize(iosb.Information);
    return s;
  }
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
  std::u16string Name(const File& f) {
    std::vector<UCHAR> buffer(4096);
    auto* info = reinterpret_cast<FILE_NAME_INFORMATION*>(buffer.data());
    EXPECT_EQ(Query(f, FileNameInformation, info, static_cast<ULONG>(buffer.size())), STATUS_SUCCESS);
    return std::u16string(reinterpret_cast<const char16_t*>(info->FileName), info->FileNameLength / 2);
  }

  // Lists a directory's names with one class, restarting the scan.
  std::vector<std::string> List(std::string_view dir, std::string_view pattern = {},
                                FILE_INFORMATION_CLASS c = FileNamesInformation);

 private:
  std::shared_ptr<Volume> volume_;
};

// Walks the entries of a directory-query buffer.
std::vector<std::string> EntryNames(const void* buffer, FILE_INFORMATION_CLASS c);

// The name of a directory entry of class c at `entry`.
std::string EntryName(const UCHAR* entry, FILE_INFORMATION_CLASS c);

// A fresh volume with a client, for test fixtures.
class VolumeTest : public ::testing::Test {
 protected:
  explicit VolumeTest(VolumeOptions options = {}) : volume_(CreateVolume(std::move(options))), client_(volume_) {}
  std::shared_ptr<Volume> volume_;
  Client client_;
};

}  // namespace sim::fs::testing
