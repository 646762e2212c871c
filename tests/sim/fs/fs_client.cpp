// Directory-listing helpers of the test client.
#include "fs_client.h"

namespace sim::fs::testing {

std::string EntryName(const UCHAR* entry, FILE_INFORMATION_CLASS c) {
  ULONG length = 0;
  const WCHAR* name = nullptr;
  switch (c) {
    case FileNamesInformation: {
      auto* e = reinterpret_cast<const FILE_NAMES_INFORMATION*>(entry);
      length = e->FileNameLength;
      name = e->FileName;
      break;
    }
    case FileDirectoryInformation: {
      auto* e = reinterpret_cast<const FILE_DIRECTORY_INFORMATION*>(entry);
      length = e->FileNameLength;
      name = e->FileName;
      break;
    }
    case FileFullDirectoryInformation: {
      auto* e = reinterpret_cast<const FILE_FULL_DIR_INFORMATION*>(entry);
      length = e->FileNameLength;
      name = e->FileName;
      break;
    }
    case FileIdFullDirectoryInformation: {
      auto* e = reinterpret_cast<const FILE_ID_FULL_DIR_INFORMATION*>(entry);
      length = e->FileNameLength;
      name = e->FileName;
      break;
    }
    case FileBothDirectoryInformation: {
      auto* e = reinterpret_cast<const FILE_BOTH_DIR_INFORMATION*>(entry);
      length = e->FileNameLength;
      name = e->FileName;
      break;
    }
    case FileIdBothDirectoryInformation: {
      auto* e = reinterpret_cast<const FILE_ID_BOTH_DIR_INFORMATION*>(entry);
      length = e->FileNameLength;
      name = e->FileName;
      break;
    }
    default:
      ADD_FAILURE() << "unexpected class " << c;
      return {};
  }
  return ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(name), length / 2));
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

std::vector<std::string> Client::List(std::string_view dir, std::string_view pattern, FILE_INFORMATION_CLASS c) {
  OpenArgs args;
  args.access = FILE_LIST_DIRECTORY | SYNCHRONIZE;
  args.options = FILE_DIRECTORY_FILE;
  File d = MustOpen(dir, args);
  std::vector<std::string> names;
  if (!d) return names;
  std::u16string p = FromUtf8(pattern);
  UNICODE_STRING ps = harness::MakeUnicodeString(p);
  std::vector<UCHAR> buffer(512);
  io::DirectoryQuery q;
  q.infoClass = c;
  q.pattern = pattern.empty() ? nullptr : &ps;
  while (true) {
    IO_STATUS_BLOCK iosb{};
    NTSTATUS s = volume_->QueryDirectory(d.fo(), q, buffer.data(), static_cast<ULONG>(buffer.size()), iosb);
    if (s == STATUS_NO_MORE_FILES || s == STATUS_NO_SUCH_FILE) break;
    EXPECT_EQ(s, STATUS_SUCCESS);
    if (s != STATUS_SUCCESS) break;
    for (auto& n : EntryNames(buffer.data(), c)) names.push_back(n);
    q.pattern = nullptr;
  }
  return names;
}

}  // namespace sim::fs::testing
