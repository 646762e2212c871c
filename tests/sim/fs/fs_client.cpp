// The test client over the NT API, the seam-level open, and the
// directory-listing helpers.
#include "fs_client.h"

#include "io/io_manager.h"
#include "kernel/object_manager.h"

namespace sim::fs::testing {

// ---- File

File& File::operator=(File&& other) noexcept {
  if (this == &other) return *this;
  Reset();
  handle_ = other.handle_;
  object_ = other.object_;
  fo_ = other.fo_;
  other.handle_ = nullptr;
  other.object_ = nullptr;
  other.fo_ = nullptr;
  return *this;
}

FILE_OBJECT* File::fo() const {
  if (fo_ != nullptr || handle_ == nullptr) return fo_;
  kernel::KernelObject* object = kernel::ReferenceHandle(handle_, UserMode);
  auto* file = dynamic_cast<io::FileObject*>(object);
  if (file == nullptr) {
    ADD_FAILURE() << "the handle is not a file's";
    if (object != nullptr) object->Dereference();
    return nullptr;
  }
  object_ = object;
  fo_ = file->fo();
  return fo_;
}

NTSTATUS File::CloseHandle() {
  if (handle_ == nullptr) return STATUS_INVALID_HANDLE;
  const NTSTATUS status = NtClose(handle_);
  handle_ = nullptr;
  return status;
}

void File::Reset() {
  if (handle_ != nullptr) {
    EXPECT_EQ(CloseHandle(), STATUS_SUCCESS);
  }
  if (object_ != nullptr) object_->Dereference();
  object_ = nullptr;
  fo_ = nullptr;
}

// ---- Client

Client::Client(std::shared_ptr<Volume> volume, char16_t drive)
    : volume_(std::move(volume)), drivePrefix_(std::u16string(u"\\??\\") + drive + u':') {}

std::u16string Client::FullName(std::string_view volumePath) const {
  return drivePrefix_ + FromUtf8(volumePath);
}

OpenResult Client::Open(std::string_view path, const OpenArgs& args) {
  OpenResult result;
  harness::OwnedUnicodeString name(args.related != nullptr ? FromUtf8(path) : FullName(path));
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, name.get(), OBJ_CASE_INSENSITIVE,
                             args.related != nullptr ? args.related->handle() : nullptr, nullptr);
  ACCESS_MASK access = args.access;
  ULONG options = args.options;
  if (args.synchronous) {
    access |= SYNCHRONIZE;
    options |= FILE_SYNCHRONOUS_IO_NONALERT;
  }
  LARGE_INTEGER allocation;
  allocation.QuadPart = args.allocation;
  IO_STATUS_BLOCK iosb{};
  HANDLE handle = nullptr;
  result.status =
      NtCreateFile(&handle, access, &oa, &iosb, args.allocation != 0 ? &allocation : nullptr,
                   args.attributes, args.share, args.disposition, options, nullptr, 0);
  result.information = iosb.Information;
  EXPECT_EQ(iosb.Status, result.status);
  if (NT_SUCCESS(result.status)) result.file.handle_ = handle;
  return result;
}

File Client::MustOpen(std::string_view path, const OpenArgs& args) {
  auto r = Open(path, args);
  EXPECT_EQ(r.status, STATUS_SUCCESS) << "opening " << path;
  return std::move(r.file);
}

File Client::MustCreateFile(std::string_view path, std::string_view contents, USHORT attributes) {
  File f = MustOpen(path, {.access = FILE_GENERIC_READ | FILE_GENERIC_WRITE | DELETE,
                           .disposition = FILE_CREATE,
                           .options = FILE_NON_DIRECTORY_FILE,
                           .attributes = attributes});
  if (f && !contents.empty()) {
    LARGE_INTEGER zero{};
    EXPECT_EQ(Write(f, contents, &zero), STATUS_SUCCESS);
  }
  return f;
}

File Client::MustCreateDirectory(std::string_view path) {
  return MustOpen(path, {.disposition = FILE_CREATE, .options = FILE_DIRECTORY_FILE});
}

NTSTATUS Client::Rename(const File& f, std::string_view target, bool replace, bool relative,
                        ULONG flagsEx) {
  const std::u16string name = relative ? FromUtf8(target) : FullName(target);
  std::vector<UCHAR> buffer(FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName) +
                            name.size() * sizeof(WCHAR) + sizeof(WCHAR));
  auto* info = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer.data());
  info->Flags = flagsEx;
  if (flagsEx == 0) info->ReplaceIfExists = replace;
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<ULONG>(name.size() * sizeof(WCHAR));
  std::memcpy(info->FileName, name.data(), name.size() * sizeof(WCHAR));
  IO_STATUS_BLOCK iosb{};
  return NtSetInformationFile(f.handle(), &iosb, info, static_cast<ULONG>(buffer.size()),
                              flagsEx != 0 ? FileRenameInformationEx : FileRenameInformation);
}

NTSTATUS Client::Write(const File& f, std::string_view data, const LARGE_INTEGER* offset) {
  IO_STATUS_BLOCK iosb{};
  LARGE_INTEGER at{};
  if (offset != nullptr) at = *offset;
  return NtWriteFile(f.handle(), nullptr, nullptr, nullptr, &iosb, const_cast<char*>(data.data()),
                     static_cast<ULONG>(data.size()), offset != nullptr ? &at : nullptr, nullptr);
}

NTSTATUS Client::Read(const File& f, std::string* out, ULONG length, const LARGE_INTEGER* offset) {
  out->assign(length, '\0');
  IO_STATUS_BLOCK iosb{};
  LARGE_INTEGER at{};
  if (offset != nullptr) at = *offset;
  const NTSTATUS s = NtReadFile(f.handle(), nullptr, nullptr, nullptr, &iosb, out->data(), length,
                                offset != nullptr ? &at : nullptr, nullptr);
  out->resize(iosb.Information);
  return s;
}

std::u16string Client::Name(const File& f) {
  std::vector<UCHAR> buffer(4096);
  auto* info = reinterpret_cast<FILE_NAME_INFORMATION*>(buffer.data());
  EXPECT_EQ(Query(f, FileNameInformation, info, static_cast<ULONG>(buffer.size())), STATUS_SUCCESS);
  return std::u16string(reinterpret_cast<const char16_t*>(info->FileName),
                        info->FileNameLength / 2);
}

// ---- SeamOpen

SeamOpen::SeamOpen(Volume& volume, std::string_view name, const OpenArgs& args, UCHAR flags,
                   FILE_OBJECT* related)
    : volume_(volume), name_(FromUtf8(name)) {
  fo_.Type = 5;  // IO_TYPE_FILE
  fo_.Size = sizeof(FILE_OBJECT);
  fo_.Flags = args.synchronous ? FO_SYNCHRONOUS_IO : 0;
  fo_.FileName = harness::MakeUnicodeString(name_);
  fo_.RelatedFileObject = related;
  io::CreateParameters p;
  p.desiredAccess = args.access | (args.synchronous ? SYNCHRONIZE : 0);
  p.options = args.options;
  p.disposition = args.disposition;
  p.shareAccess = static_cast<USHORT>(args.share);
  p.fileAttributes = args.attributes;
  p.allocationSize.QuadPart = args.allocation;
  p.flags = flags;
  IO_STATUS_BLOCK iosb{};
  status = volume_.Create(&fo_, p, iosb);
  information = iosb.Information;
  EXPECT_EQ(iosb.Status, status);
}

SeamOpen::~SeamOpen() {
  if (!NT_SUCCESS(status)) return;
  IO_STATUS_BLOCK iosb{};
  volume_.Cleanup(&fo_, iosb);
  volume_.Close(&fo_);
}

std::u16string SeamOpen::Name() {
  std::vector<UCHAR> buffer(4096);
  auto* info = reinterpret_cast<FILE_NAME_INFORMATION*>(buffer.data());
  IO_STATUS_BLOCK iosb{};
  EXPECT_EQ(volume_.QueryInformation(&fo_, FileNameInformation, info,
                                     static_cast<ULONG>(buffer.size()), iosb),
            STATUS_SUCCESS);
  return std::u16string(reinterpret_cast<const char16_t*>(info->FileName),
                        info->FileNameLength / 2);
}

// ---- Directory listings

template <class Entry>
std::string NameOf(const UCHAR* bytes) {
  auto* e = reinterpret_cast<const Entry*>(bytes);
  return ToUtf8(
      std::u16string_view(reinterpret_cast<const char16_t*>(e->FileName), e->FileNameLength / 2));
}

// The name of a directory entry of class c at `entry`.
static std::string EntryName(const UCHAR* entry, FILE_INFORMATION_CLASS c) {
  switch (c) {
    case FileNamesInformation:
      return NameOf<FILE_NAMES_INFORMATION>(entry);
    case FileDirectoryInformation:
      return NameOf<FILE_DIRECTORY_INFORMATION>(entry);
    case FileFullDirectoryInformation:
      return NameOf<FILE_FULL_DIR_INFORMATION>(entry);
    case FileIdFullDirectoryInformation:
      return NameOf<FILE_ID_FULL_DIR_INFORMATION>(entry);
    case FileBothDirectoryInformation:
      return NameOf<FILE_BOTH_DIR_INFORMATION>(entry);
    case FileIdBothDirectoryInformation:
      return NameOf<FILE_ID_BOTH_DIR_INFORMATION>(entry);
    default:
      ADD_FAILURE() << "unexpected class " << c;
      return {};
  }
}

std::vector<std::string> EntryNames(const void* buffer, FILE_INFORMATION_CLASS c) {
  std::vector<std::string> names;
  auto* entry = static_cast<const UCHAR*>(buffer);
  while (true) {
    names.push_back(EntryName(entry, c));
    const ULONG next = *reinterpret_cast<const ULONG*>(entry);
    if (next == 0) break;
    EXPECT_EQ(next % 8, 0u) << "NextEntryOffset must keep entries 8-byte aligned";
    entry += next;
  }
  return names;
}

std::vector<std::string> Client::List(std::string_view dir, std::string_view pattern,
                                      FILE_INFORMATION_CLASS c) {
  File d =
      MustOpen(dir, {.access = FILE_LIST_DIRECTORY | SYNCHRONIZE, .options = FILE_DIRECTORY_FILE});
  std::vector<std::string> names;
  if (!d) return names;
  harness::OwnedUnicodeString p(pattern);
  std::vector<UCHAR> buffer(512);
  bool first = true;
  while (true) {
    IO_STATUS_BLOCK iosb{};
    const NTSTATUS s =
        NtQueryDirectoryFile(d.handle(), nullptr, nullptr, nullptr, &iosb, buffer.data(),
                             static_cast<ULONG>(buffer.size()), c, FALSE,
                             first && !pattern.empty() ? p.get() : nullptr, FALSE);
    first = false;
    if (s == STATUS_NO_MORE_FILES || s == STATUS_NO_SUCH_FILE) break;
    EXPECT_EQ(s, STATUS_SUCCESS);
    if (s != STATUS_SUCCESS) break;
    for (auto& n : EntryNames(buffer.data(), c)) names.push_back(n);
  }
  return names;
}

}  // namespace sim::fs::testing
